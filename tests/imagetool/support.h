#pragma once
// Helpers for the disk-image tool's tests: scratch folders, bundles written and read without the tool's
// code, running the tool and other programs, and the independent programs' view of volumes.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace quorbel::imagetool::test {

constexpr std::uint64_t MiB = 1 << 20;

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
bool contains(const std::string& text, const std::string& part);
std::vector<std::string> listDir(const std::string& dir);
// Bytes a file, or every file below a folder, occupies on disk.
std::uint64_t allocatedBytes(const std::string& path);
// The extents of a file as the kernel maps them (FIEMAP), with the file system's "shared" flag.
struct Extent {
  std::uint64_t logical = 0, length = 0;
  bool shared = false;
};
std::vector<Extent> extents(const std::string& path);
// Every entry below `dir` with its type, size and content: equal snapshots mean nothing was changed.
std::map<std::string, std::string> snapshot(const std::string& dir);
// Copies a tree, making the copy writable.
void copyTree(const std::string& from, const std::string& to);
std::string randomBytes(std::size_t length, std::uint32_t seed);

// An Info.plist as macOS writes it; `extra` goes inside the dictionary.
std::string infoPlist(std::int64_t bandSize, std::int64_t size, int version = 1, const std::string& extra = "");
void writePlists(const std::string& bundle, const std::string& plist);
// Writes a bundle folder with the given band files (index -> content) and an empty token.
void makeBundle(const std::string& path, std::uint64_t bandSize, std::uint64_t size,
                const std::map<std::uint64_t, std::string>& bands);
// The size Info.plist (or Info.bckup) declares.
std::uint64_t declaredSize(const std::string& bundle, const std::string& file = "Info.plist");
// The whole image of a bundle, read from its files without the tool's code; flattenTo writes it out.
std::string flatten(const std::string& bundle);
void flattenTo(const std::string& bundle, const std::string& file);
// Writes `data` into the bundle's image at `offset` through its bands.
void writeIntoBundle(const std::string& bundle, std::uint64_t offset, const std::string& data);

struct RunResult {
  int status = -1;  // exit status, or -1 when killed
  std::string out;
  std::string err;  // for shell(): empty, standard error goes to `out`
};
// Runs the tool with `args`; `env` entries ("NAME=value") are added to its environment.
RunResult runTool(const std::vector<std::string>& args, const std::vector<std::string>& env = {});
// Starts the tool without waiting and returns its process id (output discarded).
int startTool(const std::vector<std::string>& args);
// `create` with the tool's argument order; "" for `bandSectors` leaves the default.
RunResult create(const std::string& path, const std::string& size, const std::string& fileSystem,
                 const std::string& bandSectors = "2048");
RunResult shell(const std::string& command);
std::string quote(const std::string& text);
bool haveProgram(const std::string& name);

// The macOS-made fixture bundle `name`, or "" when the fixtures are absent.
std::string fixture(const std::string& name);

// The Sleuth Kit's fsstat on the HFS Plus volume at `sector` of `image`.
struct HfsStat {
  bool ok = false;
  std::string report;
  std::uint64_t blocks = 0, blockSize = 0, freeBlocks = 0;
  std::uint64_t used() const { return blocks - freeBlocks; }
};
// Also checked by our own consistency checker (tests/imagetool/hfs_check.h), allowing `leakAllowed` blocks
// in use that the header counts free.
HfsStat hfsStat(const std::string& image, std::uint64_t sector, std::uint64_t leakAllowed = 0);
// Byte ranges of `image` that The Sleuth Kit's blkls lists as unallocated.
using Ranges = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
Ranges unallocated(const std::string& image, const std::string& type, std::uint64_t sector, std::uint64_t unitBytes);
// Every regular file of the HFS Plus volume (name -> content), read with fls and icat.
std::map<std::string, std::string> hfsFiles(const std::string& image, std::uint64_t sector);
// sfdisk's view of a GUID map with one partition. `ok`: no complaint; `readable`: the primary table reads.
struct GptCheck {
  bool ok = false, readable = false;
  std::string report;
  std::uint64_t lastLba = 0, start = 0, sectors = 0;
};
GptCheck gptCheck(const std::string& image);

}  // namespace quorbel::imagetool::test
