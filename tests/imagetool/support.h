#pragma once
// Helpers for the disk-image tool's tests: scratch folders, bundles written by hand, an independent
// reader of a bundle's image, and running the tool as a child process.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace quorbel::imagetool::test {

// A folder under the system's temporary folder, removed with everything in it at the end.
class Scratch {
 public:
  Scratch();
  ~Scratch();
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
bool exists(const std::string& path);

// An Info.plist as macOS writes it; `extra` goes inside the dictionary.
std::string infoPlist(std::int64_t bandSize, std::int64_t size, int version = 1, const std::string& extra = "");
// Writes a bundle folder with the given band files (index -> content) and an empty token.
void makeBundle(const std::string& path, std::uint64_t bandSize, std::uint64_t size,
                const std::map<std::uint64_t, std::string>& bands);

// The whole image of a bundle, read from its files without the tool's code.
std::string flatten(const std::string& bundlePath);
std::string sha256Hex(const std::string& bytes);
// Every file below `dir` with its content hash, permissions and size: equal snapshots mean nothing
// was changed.
std::map<std::string, std::string> snapshot(const std::string& dir);
// Copies a tree, making the copy writable.
void copyTree(const std::string& from, const std::string& to);
// Bytes a file occupies on disk.
std::uint64_t allocatedBytes(const std::string& path);
std::vector<std::string> listDir(const std::string& dir);

struct RunResult {
  int status = -1;  // exit status, or -1 when killed
  std::string out;
  std::string err;
};
// Runs the tool with `args`; `env` entries ("NAME=value") are added to its environment.
RunResult runTool(const std::vector<std::string>& args, const std::vector<std::string>& env = {});
// Starts the tool without waiting; returns its process id (output discarded).
int startTool(const std::vector<std::string>& args);

// The folder of the macOS-made fixtures, or "" when they are absent.
std::string fixturesDir();
// Deterministic pseudo-random bytes.
std::string randomBytes(std::size_t length, std::uint32_t seed);

}  // namespace quorbel::imagetool::test
