#include "bench_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "imagetool/bundle/band_store.h"
#include "imagetool/bundle/bundle.h"

extern char** environ;

namespace quorbel::imagetool::bench {

namespace fs = std::filesystem;

Scratch::Scratch() {
  std::string templ = (fs::temp_directory_path() / "quorbel-bench-XXXXXX").string();
  if (::mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = templ;
}

Scratch::~Scratch() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

// Bytes written by this process and its reaped children, from /proc/self/io.
static std::uint64_t writtenSoFar() {
  std::ifstream io("/proc/self/io");
  std::string key;
  std::uint64_t value = 0;
  while (io >> key >> value)
    if (key == "wchar:") return value;
  return 0;
}

Measured run(const std::vector<std::string>& args, const std::vector<std::string>& env) {
  std::vector<std::string> copy = args;
  std::vector<char*> argv;
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> extra = env;
  std::vector<char*> envp;
  for (char** e = environ; *e != nullptr; ++e) envp.push_back(*e);
  for (auto& e : extra) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  const std::uint64_t writtenBefore = writtenSoFar();
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  if (::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
    throw std::runtime_error("cannot start " + args[0]);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  struct rusage usage {};
  ::wait4(pid, &status, 0, &usage);
  Measured m;
  m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  m.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  m.peakRssBytes = static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;
  m.bytesWritten = writtenSoFar() - writtenBefore;
  return m;
}

void writeRandomFile(const std::string& path, std::uint64_t length, std::uint64_t seed) {
  std::ofstream out(path, std::ios::binary);
  std::vector<std::uint64_t> block(1 << 17);  // 1 MiB
  std::uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
  for (std::uint64_t done = 0; done < length;) {
    for (auto& word : block) {  // xorshift64*
      x ^= x >> 12;
      x ^= x << 25;
      x ^= x >> 27;
      word = x * 0x2545F4914F6CDD1Dull;
    }
    const std::uint64_t n = std::min<std::uint64_t>(length - done, block.size() * 8);
    out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n));
    done += n;
  }
  if (!out) throw std::runtime_error("cannot write " + path);
}

void writeBundlePlists(const std::string& bundle, std::uint64_t bandSize, std::uint64_t size) {
  fs::create_directories(bundle + "/bands");
  const std::string plist =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
      "\t<key>CFBundleInfoDictionaryVersion</key>\n\t<string>6.0</string>\n"
      "\t<key>band-size</key>\n\t<integer>" +
      std::to_string(bandSize) +
      "</integer>\n"
      "\t<key>bundle-backingstore-version</key>\n\t<integer>1</integer>\n"
      "\t<key>diskimage-bundle-type</key>\n\t<string>com.apple.diskimage.sparsebundle</string>\n"
      "\t<key>size</key>\n\t<integer>" +
      std::to_string(size) + "</integer>\n</dict>\n</plist>\n";
  for (const char* name : {"/Info.plist", "/Info.bckup"}) std::ofstream(bundle + name) << plist;
  std::ofstream(bundle + "/token");
}

std::uint64_t treeBytesOnDisk(const std::string& dir) {
  std::uint64_t total = 0;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    struct stat st {};
    if (::lstat(entry.path().c_str(), &st) == 0) total += static_cast<std::uint64_t>(st.st_blocks) * 512;
  }
  return total;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

bool report(const std::string& name, double ratio, const std::string& op, double target) {
  const bool pass = op == "<=" ? ratio <= target : ratio >= target;
  std::printf("%s: ratio %.3f (target %s %.2f) %s\n", name.c_str(), ratio, op.c_str(), target, pass ? "PASS" : "FAIL");
  std::fflush(stdout);
  return pass;
}

namespace {

// Fills the free ranges of a bundle's image with pseudo-random data up to `wanted` bytes; returns the
// bytes written.
std::uint64_t fillFreeBlocks(const std::string& path, std::uint64_t wanted, const FreeRanges& freeRanges) {
  const Bundle bundle = Bundle::open(path, Access::inspect);
  BandStore image(bundle.bandsDir(), bundle.info().bandSize, bundle.info().size, true);
  std::vector<std::uint64_t> buffer((4u << 20) / sizeof(std::uint64_t));
  std::uint64_t state = 0x9E3779B97F4A7C15ull, written = 0;
  for (const auto& [offset, length] : freeRanges(image)) {
    for (std::uint64_t at = offset; at < offset + length && written < wanted;) {
      const std::uint64_t n =
          std::min(std::min(offset + length - at, wanted - written), static_cast<std::uint64_t>(buffer.size() * 8));
      for (auto& word : buffer) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        word = state | 1;
      }
      image.write(at, buffer.data(), static_cast<std::size_t>(n));
      at += n;
      written += n;
    }
  }
  image.sync();
  return written;
}

// Seconds to read every band file once.
double readBandsOnce(const std::string& path) {
  const auto start = std::chrono::steady_clock::now();
  std::vector<char> buffer(4u << 20);
  for (const auto& entry : fs::directory_iterator(path + "/bands")) {
    const int fd = ::open(entry.path().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    while (::read(fd, buffer.data(), buffer.size()) > 0) {
    }
    ::close(fd);
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

std::optional<Reclaimed> measureReclaim(const Scratch& dir, const std::string& fileSystem, std::uint64_t oldMiB,
                                        const FreeRanges& freeRanges) {
  std::vector<double> readTimes, compactTimes;
  Reclaimed result;
  for (int round = 0; round < 3; ++round) {
    const std::string path = dir / "Reclaim.sparsebundle";
    const std::string size = std::to_string(oldMiB * 2 + 64) + "m";
    if (run({QUORBEL_IMAGETOOL, "create", "-size", size, "-type", "SPARSEBUNDLE", "-fs", fileSystem, "-volname",
             "Reclaim", path})
            .status != 0) {
      std::printf("create failed\n");
      return std::nullopt;
    }
    const std::uint64_t filled = fillFreeBlocks(path, oldMiB << 20, freeRanges);
    const std::uint64_t before = treeBytesOnDisk(path);
    readTimes.push_back(readBandsOnce(path));
    const Measured compact = run({QUORBEL_IMAGETOOL, "compact", "-batteryallowed", path});
    if (compact.status != 0) {
      std::printf("compact failed with status %d\n", compact.status);
      return std::nullopt;
    }
    compactTimes.push_back(compact.seconds);
    const std::uint64_t after = treeBytesOnDisk(path);
    const std::uint64_t reclaimed = before > after ? before - after : 0;
    result.worstShare = std::min(result.worstShare, static_cast<double>(reclaimed) / static_cast<double>(filled));
    std::printf(
        "%s compact round %d: old data in free blocks %llu MiB; on disk before %llu MiB, after %llu MiB; "
        "reclaimed %llu MiB\n",
        fileSystem.c_str(), round + 1, static_cast<unsigned long long>(filled >> 20),
        static_cast<unsigned long long>(before >> 20), static_cast<unsigned long long>(after >> 20),
        static_cast<unsigned long long>(reclaimed >> 20));
    fs::remove_all(path);
  }
  result.readSeconds = median(readTimes);
  result.compactSeconds = median(compactTimes);
  std::printf("median: reading the bytes present once %.3f s; compact %.3f s\n", result.readSeconds,
              result.compactSeconds);
  return result;
}

}  // namespace quorbel::imagetool::bench
