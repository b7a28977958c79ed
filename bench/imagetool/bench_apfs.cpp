// APFS bundles: compact of a container whose free blocks hold 1 GiB of old data (target: at least 99%
// of it given back, in at most 3 times the time it takes to read the bytes present once), and resize
// from 1 GiB to 4 TiB (targets: under 2 s and under 16 MiB written, whatever the size added).
// Usage: bench_apfs [MiB of old data, default 1024]

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.h"
#include "imagetool/apfs/apfs.h"

using namespace quorbel::imagetool;

namespace {

constexpr std::uint64_t partitionStart = 40 * 512;

bool create(const std::string& path, const std::string& size) {
  return bench::run({QUORBEL_IMAGETOOL, "create", "-size", size, "-type", "SPARSEBUNDLE", "-fs", "APFS", "-volname",
                     "Grown", path})
             .status == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t oldMiB = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  bench::Scratch dir;
  const auto reclaimed = bench::measureReclaim(dir, "APFS", oldMiB, [](const ImageIO& image) {
    return apfs::freeRanges(image, partitionStart, image.size() - partitionStart);
  });
  if (!reclaimed) return 1;
  std::vector<double> resizeTimes, resizeWritten;
  for (int round = 0; round < 3; ++round) {
    const std::string grown = dir / "Grown.sparsebundle";
    if (!create(grown, "1g")) {
      std::printf("create failed\n");
      return 1;
    }
    const bench::Measured resize = bench::run({QUORBEL_IMAGETOOL, "resize", "-size", "4t", grown});
    if (resize.status != 0) {
      std::printf("resize failed with status %d\n", resize.status);
      return 1;
    }
    resizeTimes.push_back(resize.seconds);
    resizeWritten.push_back(static_cast<double>(resize.bytesWritten) / (1 << 20));
    std::printf("resize round %d: 1 GiB -> 4 TiB in %.3f s, %.2f MiB written, bundle on disk %llu KiB\n", round + 1,
                resize.seconds, resizeWritten.back(),
                static_cast<unsigned long long>(bench::treeBytesOnDisk(grown) >> 10));
    std::filesystem::remove_all(grown);
  }
  bool ok =
      bench::report("APFS bytes reclaimed / old data in free blocks (worst round)", reclaimed->worstShare, ">=", 0.99);
  ok = bench::report("APFS compact time / time to read the bytes present once",
                     reclaimed->compactSeconds / reclaimed->readSeconds, "<=", 3.0) &&
       ok;
  ok = bench::report("APFS resize 1 GiB -> 4 TiB: seconds (median)", bench::median(resizeTimes), "<=", 2.0) && ok;
  ok =
      bench::report("APFS resize 1 GiB -> 4 TiB: MiB written (median)", bench::median(resizeWritten), "<=", 16.0) && ok;
  return ok ? 0 : 1;
}
