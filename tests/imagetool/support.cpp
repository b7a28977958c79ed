#include "support.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace quorbel::imagetool::test {

namespace fs = std::filesystem;

Scratch::Scratch() {
  std::string templ = (fs::temp_directory_path() / "quorbel-imagetool-test-XXXXXX").string();
  if (::mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = templ;
}

Scratch::~Scratch() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + path);
}

bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

std::string infoPlist(std::int64_t bandSize, std::int64_t size, int version, const std::string& extra) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
         "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
         "<plist version=\"1.0\">\n<dict>\n"
         "\t<key>CFBundleInfoDictionaryVersion</key>\n\t<string>6.0</string>\n"
         "\t<key>band-size</key>\n\t<integer>" +
         std::to_string(bandSize) +
         "</integer>\n"
         "\t<key>bundle-backingstore-version</key>\n\t<integer>" +
         std::to_string(version) +
         "</integer>\n"
         "\t<key>diskimage-bundle-type</key>\n\t<string>com.apple.diskimage.sparsebundle</string>\n"
         "\t<key>size</key>\n\t<integer>" +
         std::to_string(size) + "</integer>\n" + extra + "</dict>\n</plist>\n";
}

void makeBundle(const std::string& path, std::uint64_t bandSize, std::uint64_t size,
                const std::map<std::uint64_t, std::string>& bands) {
  fs::create_directories(path + "/bands");
  const std::string plist = infoPlist(static_cast<std::int64_t>(bandSize), static_cast<std::int64_t>(size));
  writeFile(path + "/Info.plist", plist);
  writeFile(path + "/Info.bckup", plist);
  writeFile(path + "/token", "");
  for (const auto& [index, content] : bands) {
    char name[24];
    std::snprintf(name, sizeof name, "%llx", static_cast<unsigned long long>(index));
    writeFile(path + "/bands/" + name, content);
  }
}

static std::int64_t plistInteger(const std::string& plist, const std::string& key) {
  const auto k = plist.find("<key>" + key + "</key>");
  if (k == std::string::npos) throw std::runtime_error("no " + key);
  const auto v = plist.find("<integer>", k);
  return std::stoll(plist.substr(v + 9));
}

std::string flatten(const std::string& bundlePath) {
  const std::string plist = readFile(bundlePath + "/Info.plist");
  const auto bandSize = static_cast<std::uint64_t>(plistInteger(plist, "band-size"));
  const auto size = static_cast<std::uint64_t>(plistInteger(plist, "size"));
  std::string image(size, '\0');
  for (std::uint64_t index = 0; index * bandSize < size; ++index) {
    char name[24];
    std::snprintf(name, sizeof name, "%llx", static_cast<unsigned long long>(index));
    const std::string band = bundlePath + "/bands/" + name;
    if (!exists(band)) continue;
    const std::string content = readFile(band);
    const std::size_t n = std::min<std::size_t>(content.size(), size - index * bandSize);
    std::copy_n(content.data(), n, image.data() + index * bandSize);
  }
  return image;
}

std::string sha256Hex(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
  std::string hex;
  char two[3];
  for (unsigned i = 0; i < length; ++i) {
    std::snprintf(two, sizeof two, "%02x", digest[i]);
    hex += two;
  }
  return hex;
}

std::map<std::string, std::string> snapshot(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    const std::string rel = fs::relative(entry.path(), dir).string();
    struct stat st {};
    ::lstat(entry.path().c_str(), &st);
    std::string description = std::to_string(st.st_mode) + " " + std::to_string(st.st_size);
    if (S_ISREG(st.st_mode)) description += " " + sha256Hex(readFile(entry.path().string()));
    if (S_ISLNK(st.st_mode)) description += " -> " + fs::read_symlink(entry.path()).string();
    files[rel] = description;
  }
  return files;
}

void copyTree(const std::string& from, const std::string& to) {
  fs::copy(from, to, fs::copy_options::recursive);
  for (const auto& entry : fs::recursive_directory_iterator(to))
    fs::permissions(entry.path(), fs::perms::owner_write, fs::perm_options::add);
  fs::permissions(to, fs::perms::owner_write, fs::perm_options::add);
}

std::uint64_t allocatedBytes(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return 0;
  return static_cast<std::uint64_t>(st.st_blocks) * 512;
}

std::vector<std::string> listDir(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

static std::vector<char*> argvOf(std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return argv;
}

// Starts the tool with standard output and error going to the given files.
static pid_t spawnTool(const std::vector<std::string>& args, const std::vector<std::string>& env,
                       const std::string& outPath, const std::string& errPath) {
  std::vector<std::string> all{QUORBEL_IMAGETOOL};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<std::string> environment;
  for (char** e = environ; *e != nullptr; ++e) environment.emplace_back(*e);
  environment.insert(environment.end(), env.begin(), env.end());
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  auto argv = argvOf(all);
  auto envp = argvOf(environment);
  pid_t pid = 0;
  const int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start the tool");
  return pid;
}

RunResult runTool(const std::vector<std::string>& args, const std::vector<std::string>& env) {
  // Output goes to files, so that a large report cannot fill a pipe while we wait.
  Scratch scratch;
  const pid_t pid = spawnTool(args, env, scratch / "out", scratch / "err");
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
  }
  RunResult result;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = readFile(scratch / "out");
  result.err = readFile(scratch / "err");
  return result;
}

int startTool(const std::vector<std::string>& args) { return spawnTool(args, {}, "/dev/null", "/dev/null"); }

std::string fixturesDir() {
  const std::string dir = std::string(QUORBEL_SOURCE_DIR) + "/../shared/fixtures/macos";
  return exists(dir + "/Test1.sparsebundle") ? dir : std::string();
}

std::string randomBytes(std::size_t length, std::uint32_t seed) {
  std::mt19937 engine(seed);
  std::string bytes(length, '\0');
  for (std::size_t i = 0; i + 4 <= length; i += 4) {
    const std::uint32_t v = engine();
    std::copy_n(reinterpret_cast<const char*>(&v), 4, bytes.data() + i);
  }
  for (std::size_t i = length / 4 * 4; i < length; ++i) bytes[i] = static_cast<char>(engine());
  return bytes;
}

}  // namespace quorbel::imagetool::test
