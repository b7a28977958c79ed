// compact of an HFS+ bundle whose free blocks hold 1 GiB of old data (as deleted files leave it):
// the bytes given back (target: at least 99% of the old data) and compact's time relative to reading
// the bytes present once.
// Usage: bench_compact_reclaim [MiB of old data, default 1024]

#include <cstdlib>

#include "bench_support.h"
#include "imagetool/hfsplus/hfsplus.h"

using namespace quorbel::imagetool;

int main(int argc, char** argv) {
  const std::uint64_t oldMiB = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  bench::Scratch dir;
  const auto reclaimed = bench::measureReclaim(
      dir, "HFS+", oldMiB, [](const ImageIO& image) { return hfsplus::freeRanges(image, 40 * 512); });
  if (!reclaimed) return 1;
  const bool reclaimedEnough =
      bench::report("bytes reclaimed / old data in free blocks (worst round)", reclaimed->worstShare, ">=", 0.99);
  const bool fastEnough = bench::report("compact time / time to read the bytes present once",
                                        reclaimed->compactSeconds / reclaimed->readSeconds, "<=", 3.0);
  return reclaimedEnough && fastEnough ? 0 : 1;
}
