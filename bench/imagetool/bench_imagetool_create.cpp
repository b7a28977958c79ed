// create is O(1) in the image size: a 2 TiB exFAT bundle against a 2 GiB one (targets: time ratio
// and bytes written ratio at most 1.5).

#include <cstdio>
#include <filesystem>
#include <string>

#include "bench_support.h"

using namespace quorbel::imagetool::bench;

namespace {

struct Result {
  double seconds;
  double written;
  double onDisk;
};

Result create(const Scratch& dir, const std::string& size) {
  std::vector<double> times, written, onDisk;
  for (int round = 0; round < 3; ++round) {
    const std::string path = dir / "new.sparsebundle";
    const Measured m = run({QUORBEL_IMAGETOOL, "create", "-size", size, "-type", "SPARSEBUNDLE", "-fs", "exFAT",
                            "-volname", "Bench", path});
    if (m.status != 0) return {-1, 0, 0};
    times.push_back(m.seconds);
    written.push_back(static_cast<double>(m.bytesWritten));
    onDisk.push_back(static_cast<double>(treeBytesOnDisk(path)));
    std::filesystem::remove_all(path);
  }
  return {median(times), median(written), median(onDisk)};
}

}  // namespace

int main() {
  Scratch dir;
  const Result small = create(dir, "2g");
  if (small.seconds < 0) {
    std::printf("create exFAT: SKIPPED (this build of the tool cannot make exFAT volumes)\n");
    return 0;
  }
  const Result huge = create(dir, "2t");
  if (huge.seconds < 0) {
    std::printf("create of a 2 TiB exFAT bundle failed\n");
    return 1;
  }
  std::printf("2 GiB: %.3f s, %.0f KiB written, %.0f KiB on disk; 2 TiB: %.3f s, %.0f KiB written, %.0f KiB on disk\n",
              small.seconds, small.written / 1024, small.onDisk / 1024, huge.seconds, huge.written / 1024,
              huge.onDisk / 1024);
  // "written" counts every write call of the tool and the formatter it runs (mkfs.exfat clears its
  // FAT, which grows with the volume); "on disk" is what the finished bundle holds.
  bool ok = report("create exFAT time, 2 TiB / 2 GiB", huge.seconds / small.seconds, "<=", 1.5);
  ok &= report("create exFAT bundle bytes, 2 TiB / 2 GiB", huge.onDisk / small.onDisk, "<=", 1.5);
  ok &= report("create exFAT bytes written incl. formatter, 2 TiB / 2 GiB", huge.written / small.written, "<=", 1.5);
  return ok ? 0 : 1;
}
