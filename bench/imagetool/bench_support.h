#pragma once
// Shared by the disk-image tool's benchmarks: scratch space, running a program and measuring it.

#include <cstdint>
#include <string>
#include <vector>

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

}  // namespace quorbel::imagetool::bench
