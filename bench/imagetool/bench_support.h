#pragma once
// Shared by the disk-image tool's benchmarks: scratch space, running a program and measuring it.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "imagetool/image_io.h"

namespace quorbel::imagetool::bench {

// A folder under TMPDIR (the disk the bundles would live on), removed at the end.
class Scratch {
 public:
  Scratch();
  ~Scratch();
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

struct Measured {
  int status = -1;
  double seconds = 0;
  std::uint64_t peakRssBytes = 0;
  std::uint64_t bytesWritten = 0;  // by write calls of the program and its children
};
// Runs `args` (args[0] is the program path) with output discarded, and measures it; `env` entries
// ("NAME=value") are added to its environment.
Measured run(const std::vector<std::string>& args, const std::vector<std::string>& env = {});

// Writes `length` pseudo-random bytes to a new file at `path` (fast generator, no zeros blocks).
void writeRandomFile(const std::string& path, std::uint64_t length, std::uint64_t seed);
void writeBundlePlists(const std::string& bundle, std::uint64_t bandSize, std::uint64_t size);
std::uint64_t treeBytesOnDisk(const std::string& dir);
double median(std::vector<double> values);

// Prints one result line: "NAME: ratio R (target OP T) PASS|FAIL"; returns whether it passed.
bool report(const std::string& name, double ratio, const std::string& op, double target);

// Compaction of free blocks holding old data (as deleted files leave it), three rounds: a bundle of file
// system `fileSystem` with room for twice the old data is made, `oldMiB` of pseudo-random data is written into
// the free blocks `freeRanges` names (image offset, length), the bands are read once, and compact runs.
using FreeRanges = std::function<std::vector<std::pair<std::uint64_t, std::uint64_t>>(const ImageIO& image)>;
struct Reclaimed {
  double worstShare = 1;      // bytes given back / old data written, in the worst round
  double readSeconds = 0;     // median time to read the bytes present once
  double compactSeconds = 0;  // median time of compact
};
// Prints a line a round; nullopt (after saying why) when the tool failed.
std::optional<Reclaimed> measureReclaim(const Scratch& dir, const std::string& fileSystem, std::uint64_t oldMiB,
                                        const FreeRanges& freeRanges);

}  // namespace quorbel::imagetool::bench
