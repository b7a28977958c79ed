#pragma once
// Helpers for the disk-image tool's tests: scratch folders, image files, bundles written and read without
// the tool's code, running the tool and other programs, and the independent programs' view of volumes.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "imagetool/image_io.h"

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
using Ranges = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
// Every entry below `dir` with its type, size and content: equal snapshots mean nothing was changed.
std::map<std::string, std::string> snapshot(const std::string& dir);
// Copies a tree, making the copy writable.
void copyTree(const std::string& from, const std::string& to);
// Runs `change` (handed a hook it calls before each change it makes) on copies of `original` made at
// `copy`, the run stopped before change 0, 1, 2 ... until one finishes; `check(finished)` judges each
// copy, which is removed afterwards.
void stopBeforeEachChange(const std::string& original, const std::string& copy,
                          const std::function<void(const std::function<void()>& beforeChange)>& change,
                          const std::function<void(bool finished)>& check);
std::string randomBytes(std::size_t length, std::uint32_t seed);

// An Info.plist as macOS writes it; `extra` goes inside the dictionary.
std::string infoPlist(std::int64_t bandSize, std::int64_t size, int version = 1, const std::string& extra = "");
void writePlists(const std::string& bundle, const std::string& plist);
// Writes a bundle folder with the given band files (index -> content) and an empty token.
void makeBundle(const std::string& path, std::uint64_t bandSize, std::uint64_t size,
                const std::map<std::uint64_t, std::string>& bands);
// The size Info.plist (or Info.bckup) declares.
std::uint64_t declaredSize(const std::string& bundle, const std::string& file = "Info.plist");
// The whole image of a bundle, read from its files without the tool's code.
std::string flatten(const std::string& bundle);
// Writes `length` bytes of the bundle's image from `offset` (all of it by default) into a sparse file,
// writing only the MiB pieces of the bands that hold data, so that terabyte images cost what they hold.
void flattenTo(const std::string& bundle, const std::string& file, std::uint64_t offset = 0,
               std::uint64_t length = ~0ull);
// Writes `data` into the bundle's image at `offset` through its bands; readFromBundle reads it back.
void writeIntoBundle(const std::string& bundle, std::uint64_t offset, const std::string& data);
std::string readFromBundle(const std::string& bundle, std::uint64_t offset, std::uint64_t length);
// The band size Info.plist declares.
std::uint64_t bandBytes(const std::string& bundle);
// The data partition's sectors in a GUID-partitioned image of `bytes`: from sector 40 to the last 4 KiB
// boundary before the backup table.
inline std::uint64_t partitionSectors(std::uint64_t bytes) { return (bytes / 512 - 33) / 8 * 8 - 40; }

struct RunResult {
  int status = -1;  // exit status, or -1 when killed
  std::string out;
  std::string err;  // for shell() and run(): empty, standard error goes to `out`
};
// Runs `argv` (looked up in PATH) without a terminal, with `input` on its standard input (a pipe
// closed after the last byte) and `env` entries ("NAME=value") added to its environment.
RunResult runProgram(const std::vector<std::string>& argv, const std::string& input = "",
                     const std::vector<std::string>& env = {});
// The same for the tool with `args`.
RunResult runTool(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                  const std::string& input = "");
// Starts the tool without waiting and returns its process id (output discarded).
int startTool(const std::vector<std::string>& args, const std::string& input = "");
// Sends `signal` to the run `pid` after `delay`, then waits up to ten seconds for it to end (and kills it
// after that); true when it ended by itself in that time. `status` receives its wait status.
bool stopAfter(int pid, std::chrono::microseconds delay, int signal, int* status = nullptr);
// A stop at a random moment for round `round` of a test that stops runs: a delay up to `span` drawn from
// `engine` (seeded, so that a failure repeats) and SIGKILL, SIGINT or SIGTERM in turn.
struct RandomStop {
  std::chrono::microseconds delay;
  int signal;
};
RandomStop randomStop(std::mt19937& engine, std::chrono::microseconds span, int round);
// `create` with the tool's argument order; "" for `bandSectors` leaves the default.
RunResult create(const std::string& path, const std::string& size, const std::string& fileSystem,
                 const std::string& bandSectors = "2048");
RunResult shell(const std::string& command);
// Runs a checker (found in PATH or the system folders) with `argv`; standard error goes to `out`.
RunResult run(const std::vector<std::string>& argv);
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
Ranges unallocated(const std::string& image, const std::string& type, std::uint64_t sector, std::uint64_t unitBytes);
// The 4 KiB blocks in use of the HFS Plus volume at sector 40 of `image`, as blkls sees them, and
// whether two images hold the same bytes in them.
std::vector<std::uint64_t> hfsUsedBlocks(const std::string& image);
bool sameBlocks(const std::string& a, const std::string& b, const std::vector<std::uint64_t>& blocks);
// Every regular file of the HFS Plus volume (name -> content), read with fls and icat.
std::map<std::string, std::string> hfsFiles(const std::string& image, std::uint64_t sector);
// sfdisk's view of a GUID map with one partition. `ok`: no complaint; `readable`: the primary table reads.
struct GptCheck {
  bool ok = false, readable = false;
  std::string report;
  std::uint64_t lastLba = 0, start = 0, sectors = 0;
};
GptCheck gptCheck(const std::string& image);

// A file opened for reading and writing (made anew, all holes, when `size` is not zero).
class ImageFile {
 public:
  explicit ImageFile(const std::string& path, std::uint64_t size = 0);
  ~ImageFile();
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;
  ImageIO& io() { return *io_; }
  int fd() const { return fd_; }
  const std::string& path() const { return path_; }
  void resize(std::uint64_t size);
  std::vector<unsigned char> read(std::uint64_t offset, std::size_t length) const {
    std::vector<unsigned char> out(length);
    io_->read(offset, out.data(), length);
    return out;
  }
  void write(std::uint64_t offset, const std::vector<unsigned char>& data) {
    io_->write(offset, data.data(), data.size());
  }

 private:
  std::string path_;
  int fd_ = -1;
  std::unique_ptr<FileImageIO> io_;
};

// Copies bytes [offset, offset + length) of `from` into a new sparse file, holes left as holes.
void extract(const std::string& from, std::uint64_t offset, std::uint64_t length, const std::string& to);

// An image held in memory, for contents assembled by a test; reads and writes past the end throw.
class MemoryImage : public ImageIO {
 public:
  explicit MemoryImage(std::uint64_t size) : bytes_(size, 0) {}
  std::uint64_t size() const override { return bytes_.size(); }
  void read(std::uint64_t offset, void* data, std::size_t length) const override {
    if (offset > bytes_.size() || length > bytes_.size() - offset) throw ToolError("read beyond the end");
    std::memcpy(data, bytes_.data() + offset, length);
  }
  void write(std::uint64_t offset, const void* data, std::size_t length) override {
    if (offset > bytes_.size() || length > bytes_.size() - offset) throw ToolError("write beyond the end");
    std::memcpy(bytes_.data() + offset, data, length);
  }
  std::vector<std::uint8_t>& bytes() { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

// Expects `action` to throw a ToolError whose message holds `reason`; returns the message.
template <class Action>
std::string expectError(const Action& action, const std::string& reason) {
  std::string message = "(no error)";
  try {
    action();
  } catch (const ToolError& e) {
    message = e.what();
  }
  EXPECT_NE(message.find(reason), std::string::npos) << message;
  return message;
}

// Stores `value` little-endian in `width` bytes.
inline void putLe(std::uint8_t* p, std::uint64_t value, int width) {
  for (int i = 0; i < width; ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}
inline std::uint32_t be32(const std::vector<unsigned char>& b, std::size_t at) {
  return std::uint32_t{b[at]} << 24 | std::uint32_t{b[at + 1]} << 16 | std::uint32_t{b[at + 2]} << 8 | b[at + 3];
}
inline void putBe32(std::vector<unsigned char>& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (24 - 8 * i));
}

// Fills the bundle's `free` ranges (up to `limit` bytes) with pseudo-random data, as deleted files leave
// it; returns the bytes written.
std::uint64_t fillFree(const std::string& bundle, const Ranges& free, std::uint64_t limit = ~0ull);

// The value of a "Name: value" line of a report.
std::string field(const std::string& report, const std::string& name);
std::uint64_t total(const Ranges& ranges);

constexpr const char* kNoReaders = "The Sleuth Kit and 7-Zip are needed (scripts/setup installs them)";
inline bool haveReaders() {
  return haveProgram("fsstat") && haveProgram("fls") && haveProgram("icat") && haveProgram("7zz");
}
// The macOS-made reference volume (Test1's five bands of 1 MiB joined) copied to `to`; empty when the
// fixtures are absent.
std::string fixtureVolume(const std::string& to);
// Checks that The Sleuth Kit and 7-Zip read the HFS Plus volume filling `image` as `blocks` blocks, that
// the free count agrees with the allocation file and that the alternate header agrees on the geometry
// (macOS refreshes the rest of it only now and then). Returns what fsstat and fls said.
std::string expectReadable(ImageFile& image, std::uint64_t blocks);

}  // namespace quorbel::imagetool::test
