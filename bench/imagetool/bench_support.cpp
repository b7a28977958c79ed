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
      "\t<key>band-size</key>\n\t<integer>" + std::to_string(bandSize) + "</integer>\n"
      "\t<key>bundle-backingstore-version</key>\n\t<integer>1</integer>\n"
      "\t<key>diskimage-bundle-type</key>\n\t<string>com.apple.diskimage.sparsebundle</string>\n"
      "\t<key>size</key>\n\t<integer>" + std::to_string(size) + "</integer>\n</dict>\n</plist>\n";
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

}  // namespace quorbel::imagetool::bench
