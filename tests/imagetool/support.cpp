#include "support.h"

#include "hfs_check.h"
#include "imagetool/hfsplus/hfsplus.h"

#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace quorbel::imagetool::test {

namespace fs = std::filesystem;

Scratch::Scratch() : path_((fs::temp_directory_path() / "quorbel-imagetool-test-XXXXXX").string()) {
  if (::mkdtemp(path_.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
}

Scratch::~Scratch() {
  std::error_code ignored;  // a test that failed midway may leave anything there
  fs::remove_all(path_, ignored);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return {std::istreambuf_iterator<char>(in), {}};
}

void writeFile(const std::string& path, const std::string& content) {
  if (!(std::ofstream(path, std::ios::binary | std::ios::trunc) << content))
    throw std::runtime_error("cannot write " + path);
}

bool exists(const std::string& path) { return fs::exists(fs::symlink_status(path)); }

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::vector<std::string> listDir(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<Extent> extents(const std::string& path) {
  std::vector<Extent> result;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return result;
  constexpr unsigned batch = 64;
  std::vector<char> buffer(sizeof(fiemap) + batch * sizeof(fiemap_extent));
  auto* map = reinterpret_cast<fiemap*>(buffer.data());
  std::uint64_t start = 0;
  for (bool last = false; !last;) {
    std::fill(buffer.begin(), buffer.end(), '\0');
    map->fm_start = start;
    map->fm_length = FIEMAP_MAX_OFFSET - start;
    map->fm_flags = FIEMAP_FLAG_SYNC;
    map->fm_extent_count = batch;
    if (::ioctl(fd, FS_IOC_FIEMAP, map) != 0 || map->fm_mapped_extents == 0) break;
    for (unsigned i = 0; i < map->fm_mapped_extents; ++i) {
      const fiemap_extent& e = map->fm_extents[i];
      result.push_back({e.fe_logical, e.fe_length, (e.fe_flags & FIEMAP_EXTENT_SHARED) != 0});
      start = e.fe_logical + e.fe_length;
      last = last || (e.fe_flags & FIEMAP_EXTENT_LAST) != 0;
    }
  }
  ::close(fd);
  return result;
}

std::uint64_t allocatedBytes(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return 0;
  std::uint64_t total = static_cast<std::uint64_t>(st.st_blocks) * 512;
  if (S_ISDIR(st.st_mode))
    for (const auto& name : listDir(path)) total += allocatedBytes(path + "/" + name);
  return total;
}

std::map<std::string, std::string> snapshot(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    struct stat st {};
    ::lstat(entry.path().c_str(), &st);
    std::string description = std::to_string(st.st_mode) + " " + std::to_string(st.st_size);
    if (S_ISREG(st.st_mode)) description += " " + std::to_string(std::hash<std::string>{}(readFile(entry.path())));
    if (S_ISLNK(st.st_mode)) description += " -> " + fs::read_symlink(entry.path()).string();
    files[fs::relative(entry.path(), dir).string()] = description;
  }
  return files;
}

void copyTree(const std::string& from, const std::string& to) {
  fs::copy(from, to, fs::copy_options::recursive);
  for (const auto& entry : fs::recursive_directory_iterator(to))
    fs::permissions(entry.path(), fs::perms::owner_write, fs::perm_options::add);
  fs::permissions(to, fs::perms::owner_write, fs::perm_options::add);
}

void stopBeforeEachChange(const std::string& original, const std::string& copy,
                          const std::function<void(const std::function<void()>& beforeChange)>& change,
                          const std::function<void(bool finished)>& check) {
  struct Stopped {};
  bool finished = false;
  for (int stopAt = 0; !finished; ++stopAt) {
    ASSERT_LT(stopAt, 400) << "the change never finished";
    SCOPED_TRACE("stopped before change " + std::to_string(stopAt));
    copyTree(original, copy);
    int changes = 0;
    try {
      change([&] {
        if (changes++ == stopAt) throw Stopped{};
      });
      finished = true;
    } catch (const Stopped&) {
    }
    check(finished);
    fs::remove_all(copy);
  }
}

std::string randomBytes(std::size_t length, std::uint32_t seed) {
  std::mt19937 engine(seed);
  std::string bytes(length, '\0');
  for (char& c : bytes) c = static_cast<char>(engine());
  return bytes;
}

std::string infoPlist(std::int64_t bandSize, std::int64_t size, int version, const std::string& extra) {
  const auto integer = [](const char* key, std::int64_t value) {
    return std::string("\t<key>") + key + "</key>\n\t<integer>" + std::to_string(value) + "</integer>\n";
  };
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
         "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\">\n<dict>\n"
         "\t<key>CFBundleInfoDictionaryVersion</key>\n\t<string>6.0</string>\n" +
         integer("band-size", bandSize) + integer("bundle-backingstore-version", version) +
         "\t<key>diskimage-bundle-type</key>\n\t<string>com.apple.diskimage.sparsebundle</string>\n" +
         integer("size", size) + extra + "</dict>\n</plist>\n";
}

void writePlists(const std::string& bundle, const std::string& plist) {
  writeFile(bundle + "/Info.plist", plist);
  writeFile(bundle + "/Info.bckup", plist);
}

static std::string bandPath(const std::string& bundle, std::uint64_t index) {
  std::ostringstream path;
  path << bundle << "/bands/" << std::hex << index;
  return path.str();
}

void makeBundle(const std::string& path, std::uint64_t bandSize, std::uint64_t size,
                const std::map<std::uint64_t, std::string>& bands) {
  fs::create_directories(path + "/bands");
  writePlists(path, infoPlist(static_cast<std::int64_t>(bandSize), static_cast<std::int64_t>(size)));
  writeFile(path + "/token", "");
  for (const auto& [index, content] : bands) writeFile(bandPath(path, index), content);
}

static std::uint64_t plistInteger(const std::string& bundle, const std::string& file, const std::string& key) {
  std::smatch m;
  const std::string plist = readFile(bundle + "/" + file);
  if (!std::regex_search(plist, m, std::regex("<key>" + key + "</key>\\s*<integer>(\\d+)<")))
    throw std::runtime_error("no " + key + " in " + file);
  return std::stoull(m[1]);
}

std::uint64_t declaredSize(const std::string& bundle, const std::string& file) {
  return plistInteger(bundle, file, "size");
}

std::string flatten(const std::string& bundle) {
  const std::uint64_t bandSize = plistInteger(bundle, "Info.plist", "band-size"), size = declaredSize(bundle);
  std::string image(size, '\0');
  for (std::uint64_t index = 0; index * bandSize < size; ++index) {
    if (!exists(bandPath(bundle, index))) continue;
    const std::string band = readFile(bandPath(bundle, index));
    std::copy_n(band.data(), std::min<std::size_t>(band.size(), size - index * bandSize),
                image.data() + index * bandSize);
  }
  return image;
}

void flattenTo(const std::string& bundle, const std::string& file, std::uint64_t offset, std::uint64_t length) {
  const std::uint64_t band = bandBytes(bundle);
  length = std::min(length, declaredSize(bundle) - std::min(offset, declaredSize(bundle)));
  fs::remove(file);
  ImageFile out(file);
  out.resize(length);
  for (const std::string& name : listDir(bundle + "/bands")) {
    if (name.find_first_not_of("0123456789abcdef") != std::string::npos) continue;
    const std::string data = readFile(bundle + "/bands/" + name);
    for (std::uint64_t at = 0; at < data.size(); at += MiB) {
      std::string piece = data.substr(at, MiB);
      if (piece.find_first_not_of('\0') == std::string::npos) continue;
      std::uint64_t to = std::stoull(name, nullptr, 16) * band + at;
      if (to + piece.size() <= offset || to >= offset + length) continue;
      if (to < offset) piece.erase(0, offset - to), to = offset;
      piece.resize(std::min<std::uint64_t>(piece.size(), offset + length - to));
      out.write(to - offset, std::vector<unsigned char>(piece.begin(), piece.end()));
    }
  }
}

void writeIntoBundle(const std::string& bundle, std::uint64_t offset, const std::string& data) {
  const std::uint64_t bandSize = plistInteger(bundle, "Info.plist", "band-size");
  for (std::uint64_t pos = 0; pos < data.size();) {
    const std::uint64_t at = offset + pos, within = at % bandSize;
    const std::uint64_t n = std::min<std::uint64_t>(data.size() - pos, bandSize - within);
    const std::string path = bandPath(bundle, at / bandSize);
    std::string band = exists(path) ? readFile(path) : "";
    if (band.size() < within + n) band.resize(within + n, '\0');
    band.replace(within, n, data, pos, n);
    writeFile(path, band);
    pos += n;
  }
}

std::string readFromBundle(const std::string& bundle, std::uint64_t offset, std::uint64_t length) {
  const std::uint64_t bandSize = bandBytes(bundle);
  std::string out(length, '\0');
  for (std::uint64_t at = 0; at < length;) {
    const std::uint64_t within = (offset + at) % bandSize, n = std::min(length - at, bandSize - within);
    const std::string path = bandPath(bundle, (offset + at) / bandSize);
    if (exists(path)) {
      const std::string data = readFile(path);
      if (within < data.size()) out.replace(at, std::min(n, data.size() - within), data, within, n);
    }
    at += n;
  }
  return out;
}

std::uint64_t bandBytes(const std::string& bundle) { return plistInteger(bundle, "Info.plist", "band-size"); }

std::uint64_t fillFree(const std::string& bundle, const Ranges& free, std::uint64_t limit) {
  std::uint64_t total = 0;
  for (auto [offset, length] : free) {
    length = std::min(length, limit - total);
    for (std::uint64_t at = 0; at < length; at += 16 * MiB) {
      const std::uint64_t n = std::min<std::uint64_t>(16 * MiB, length - at);
      writeIntoBundle(bundle, offset + at, randomBytes(n, static_cast<std::uint32_t>(offset + at)));
    }
    total += length;
  }
  return total;
}

std::string quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Runs `command` with /bin/sh; returns its exit status and standard output.
static RunResult capture(const std::string& command) {
  RunResult r;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return r;
  char buffer[65536];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) r.out.append(buffer, n);
  const int status = ::pclose(pipe);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

// Spawns `argv` (looked up in PATH) in a session of its own, so that there is no terminal to ask a
// password on, with `input` on a pipe as its standard input, its output to the files `out` and `err`
// and `env` ("NAME=value") added to the environment. Returns its process id, or -1.
static int spawn(std::vector<std::string> argv, const std::string& input, const std::string& out,
                 const std::string& err, const std::vector<std::string>& env) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<std::string> envWords(env);
  for (char** e = environ; *e != nullptr; ++e) envWords.emplace_back(*e);  // the first of a name counts
  std::vector<char*> args, envp;
  for (auto& w : argv) args.push_back(w.data());
  for (auto& w : envWords) envp.push_back(w.data());
  args.push_back(nullptr);
  envp.push_back(nullptr);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, args[0], &actions, &attr, args.data(), envp.data());
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[0]);
  ::signal(SIGPIPE, SIG_IGN);
  for (std::size_t done = 0; rc == 0 && done < input.size();) {
    const ssize_t n = ::write(fds[1], input.data() + done, input.size() - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::close(fds[1]);
  return rc == 0 ? pid : -1;
}

RunResult runProgram(const std::vector<std::string>& argv, const std::string& input,
                     const std::vector<std::string>& env) {
  Scratch scratch;
  RunResult r;
  int status = 0;
  const int pid = spawn(argv, input, scratch / "out", scratch / "err", env);
  if (pid > 0 && ::waitpid(pid, &status, 0) == pid) r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = exists(scratch / "out") ? readFile(scratch / "out") : "";
  r.err = exists(scratch / "err") ? readFile(scratch / "err") : "";
  return r;
}

RunResult runTool(const std::vector<std::string>& args, const std::vector<std::string>& env, const std::string& input) {
  // A hang ends the run (status 137) instead of the test.
  std::vector<std::string> argv{"timeout", "-s", "KILL", "60", QUORBEL_IMAGETOOL};
  argv.insert(argv.end(), args.begin(), args.end());
  return runProgram(argv, input, env);
}

int startTool(const std::vector<std::string>& args, const std::string& input) {
  std::vector<std::string> argv{QUORBEL_IMAGETOOL};
  argv.insert(argv.end(), args.begin(), args.end());
  return spawn(argv, input, "/dev/null", "/dev/null", {});
}

bool stopAfter(int pid, std::chrono::microseconds delay, int signal, int* status) {
  std::this_thread::sleep_for(delay);
  ::kill(pid, signal);
  int ignored = 0;
  if (status == nullptr) status = &ignored;
  for (int i = 0; i < 1000; ++i) {
    if (::waitpid(pid, status, WNOHANG) == pid) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, status, 0);
  return false;
}

RandomStop randomStop(std::mt19937& engine, std::chrono::microseconds span, int round) {
  return {std::chrono::microseconds(std::uniform_int_distribution<long>(0, span.count())(engine)),
          std::array{SIGKILL, SIGINT, SIGTERM}[round % 3]};
}

RunResult create(const std::string& path, const std::string& size, const std::string& fileSystem,
                 const std::string& bandSectors) {
  std::vector<std::string> args{"create", "-size", size, "-type", "SPARSEBUNDLE"};
  if (!bandSectors.empty()) args.insert(args.end(), {"-imagekey", "sparse-band-size=" + bandSectors});
  args.insert(args.end(), {"-fs", fileSystem, "-volname", fs::path(path).stem().string(), path});
  return runTool(args);
}

RunResult shell(const std::string& command) { return capture(command + " 2>&1"); }

RunResult run(const std::vector<std::string>& argv) {
  std::string command = "PATH=\"$PATH:/usr/sbin:/sbin\" LC_ALL=C.UTF-8";
  for (const std::string& word : argv) command += " " + quote(word);
  return shell(command);
}

bool haveProgram(const std::string& name) { return shell("command -v " + name).status == 0; }

std::string fixture(const std::string& name) {
  const std::string path = std::string(QUORBEL_SOURCE_DIR) + "/../shared/fixtures/macos/" + name;
  return exists(path) ? path : std::string();
}

// The number the first group of `pattern` matches in `text`, or 0.
static std::uint64_t number(const std::string& text, const char* pattern) {
  std::smatch m;
  return std::regex_search(text, m, std::regex(pattern)) ? std::stoull(m[1]) : 0;
}

// The first two groups of every match of `pattern` in `text`.
static std::vector<std::pair<std::string, std::string>> matches(const std::string& text, const char* pattern) {
  std::vector<std::pair<std::string, std::string>> found;
  const std::regex re(pattern);
  for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator(); ++it)
    found.emplace_back((*it)[1].str(), (*it)[2].str());
  return found;
}

HfsStat hfsStat(const std::string& image, std::uint64_t sector, std::uint64_t leakAllowed) {
  const RunResult r = shell("fsstat -f hfs -o " + std::to_string(sector) + " " + quote(image));
  HfsStat s{false, r.out, number(r.out, R"(Block Range: 0 - (\d+))") + 1,
            number(r.out, R"(Allocation Block Size: (\d+))"), number(r.out, R"(Number of Free Blocks: (\d+))")};
  // Our own checker looks at what fsstat does not: free counts against the allocation file and the
  // B-trees' maps.
  const std::string complaints = hfsConsistency(image, sector * 512, leakAllowed);
  s.ok = r.status == 0 && s.blockSize != 0 && complaints.empty();
  s.report += complaints;
  return s;
}

Ranges unallocated(const std::string& image, const std::string& type, std::uint64_t sector, std::uint64_t unitBytes) {
  const RunResult r = shell("blkls -f " + type + " -o " + std::to_string(sector) + " -A -l " + quote(image));
  if (r.status != 0) throw std::runtime_error("blkls failed: " + r.out);
  Ranges ranges;
  for (const auto& [unit, none] : matches(r.out, R"(\n(\d+)\|f(?=\n|$)())")) {
    const std::uint64_t start = sector * 512 + std::stoull(unit) * unitBytes;
    if (!ranges.empty() && ranges.back().first + ranges.back().second == start)
      ranges.back().second += unitBytes;
    else
      ranges.emplace_back(start, unitBytes);
  }
  return ranges;
}

std::vector<std::uint64_t> hfsUsedBlocks(const std::string& image) {
  std::vector<bool> free(fs::file_size(image) / 4096, false);
  for (const auto& [offset, length] : unallocated(image, "hfs", 40, 4096))
    for (std::uint64_t b = offset / 4096; b < (offset + length) / 4096 && b < free.size(); ++b) free[b] = true;
  std::vector<std::uint64_t> blocks;
  for (std::uint64_t b = 0; b < free.size(); ++b)
    if (!free[b]) blocks.push_back(b);
  return blocks;
}

bool sameBlocks(const std::string& a, const std::string& b, const std::vector<std::uint64_t>& blocks) {
  for (std::uint64_t block : blocks)
    if (a.compare(block * 4096, 4096, b, block * 4096, 4096) != 0) return false;
  return true;
}

std::map<std::string, std::string> hfsFiles(const std::string& image, std::uint64_t sector) {
  const std::string o = " -o " + std::to_string(sector) + " " + quote(image) + " ";
  const RunResult list = shell("fls -f hfs -r -F -p" + o);
  if (list.status != 0) throw std::runtime_error("fls failed: " + list.out);
  std::map<std::string, std::string> files;
  // Regular files, leaving out the volume's own ($ExtentsFile and the like).
  for (const auto& [inode, name] : matches(list.out, R"(r/r (\d+):\t([^$\n][^\n]*))")) {
    const RunResult cat = shell("icat -f hfs" + o + inode);
    if (cat.status != 0) throw std::runtime_error("icat failed for " + name);
    files[name] = cat.out;
  }
  return files;
}

GptCheck gptCheck(const std::string& image) {
  const RunResult verify = shell("sfdisk --verify " + quote(image)), dump = shell("sfdisk -d " + quote(image));
  GptCheck c{false,
             false,
             verify.out + dump.out,
             number(dump.out, R"(last-lba: (\d+))"),
             number(dump.out, R"(start=\s*(\d+))"),
             number(dump.out, R"(size=\s*(\d+))")};
  c.readable = dump.status == 0 && c.sectors != 0;
  // sfdisk reports a damaged or misplaced table on its output while still exiting 0 for some.
  c.ok = c.readable && verify.status == 0 && contains(verify.out, "No errors detected") &&
         !contains(c.report, "corrupt") && !contains(c.report, "mismatch");
  return c;
}

ImageFile::ImageFile(const std::string& path, std::uint64_t size) : path_(path) {
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | (size != 0 ? O_TRUNC : 0), 0644);
  if (fd_ < 0 || (size != 0 && ::ftruncate(fd_, static_cast<off_t>(size)) != 0))
    throw std::runtime_error("cannot make " + path);
  io_ = std::make_unique<FileImageIO>(fd_, fs::file_size(path));
}

ImageFile::~ImageFile() { ::close(fd_); }

void ImageFile::resize(std::uint64_t size) {
  if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) throw std::runtime_error("cannot resize " + path_);
  io_ = std::make_unique<FileImageIO>(fd_, size);
}

void extract(const std::string& from, std::uint64_t offset, std::uint64_t length, const std::string& to) {
  const ImageFile in(from);
  ImageFile out(to, length);
  for (off_t at = static_cast<off_t>(offset), end = static_cast<off_t>(offset + length); at < end;) {
    const off_t data = ::lseek(in.fd(), at, SEEK_DATA);
    if (data < 0 || data >= end) break;
    const off_t hole = std::min(::lseek(in.fd(), data, SEEK_HOLE), end);
    for (off_t p = data; p < hole; p += 1 << 20) {
      const auto n = static_cast<std::size_t>(std::min<off_t>(hole - p, 1 << 20));
      out.write(static_cast<std::uint64_t>(p) - offset, in.read(static_cast<std::uint64_t>(p), n));
    }
    at = hole;
  }
}

std::string field(const std::string& report, const std::string& name) {
  const auto at = report.find(name + ": ");
  if (at == std::string::npos) return "<missing " + name + ">";
  const auto start = at + name.size() + 2;
  return report.substr(start, report.find('\n', start) - start);
}

std::uint64_t total(const Ranges& ranges) {
  std::uint64_t sum = 0;
  for (const auto& r : ranges) sum += r.second;
  return sum;
}

std::string fixtureVolume(const std::string& to) {
  const std::string bundle = fixture("Test1.sparsebundle");
  if (bundle.empty()) return {};
  std::string volume;
  for (int band = 0; band < 5; ++band) volume += readFile(bundle + "/bands/" + std::to_string(band));
  writeFile(to, volume);
  return to;
}

std::string expectReadable(ImageFile& image, std::uint64_t blocks) {
  const RunResult report = run({"fsstat", "-f", "hfs", image.path()});
  EXPECT_EQ(report.status, 0) << report.out;
  EXPECT_EQ(hfsConsistency(image.path(), 0), "");
  EXPECT_EQ(field(report.out, "Block Range"), "0 - " + std::to_string(blocks - 1));
  const hfsplus::VolumeSummary s = hfsplus::describeVolume(image.io(), 0);
  EXPECT_EQ(field(report.out, "Number of Free Blocks"), std::to_string(s.freeBlocks));
  EXPECT_EQ(total(hfsplus::freeRanges(image.io(), 0)), std::uint64_t{s.freeBlocks} * s.blockSize);
  const RunResult list = run({"fls", "-f", "hfs", "-r", image.path()});
  EXPECT_EQ(list.status, 0) << list.out;
  const RunResult zip = run({"7zz", "l", image.path()});
  EXPECT_EQ(zip.status, 0) << zip.out;
  EXPECT_TRUE(contains(zip.out, "Type = HFS")) << zip.out;
  const auto primary = image.read(1024, 512), alternate = image.read(image.io().size() - 1024, 512);
  EXPECT_EQ(alternate[0], 'H');
  EXPECT_TRUE(std::equal(primary.begin() + 40, primary.begin() + 48, alternate.begin() + 40));
  EXPECT_TRUE(std::equal(primary.begin() + 112, primary.begin() + 192, alternate.begin() + 112));
  return report.out + list.out;
}

}  // namespace quorbel::imagetool::test
