// APFS bundles: compact of a container whose free blocks hold 1 GiB of old data (target: at least 99%
// of it given back, in at most 3 times the time it takes to read the bytes present once), and resize
// from 1 GiB to 4 TiB (targets: under 2 s and under 16 MiB written, whatever the size added).
// Usage: bench_apfs [MiB of old data, default 1024]

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.h"
#include "imagetool/apfs/apfs.h"
#include "imagetool/bundle/band_store.h"
#include "imagetool/bundle/bundle.h"

using namespace quorbel::imagetool;

namespace {

constexpr std::uint64_t partitionStart = 40 * 512;

bool create(const std::string& path, const std::string& size) {
  return bench::run({QUORBEL_IMAGETOOL, "create", "-size", size, "-type", "SPARSEBUNDLE", "-fs", "APFS", "-volname",
                     "Reclaim", path})
             .status == 0;
}

// Fills the container's free blocks with pseudo-random data up to `wanted` bytes; returns the bytes written.
std::uint64_t fillFreeBlocks(const std::string& path, std::uint64_t wanted) {
  const Bundle bundle = Bundle::open(path, Access::inspect);
  BandStore image(bundle.bandsDir(), bundle.info().bandSize, bundle.info().size, true);
  const auto free = apfs::freeRanges(image, partitionStart, image.size() - partitionStart);
  std::vector<std::uint64_t> buffer((4u << 20) / sizeof(std::uint64_t));
  std::uint64_t state = 0x9E3779B97F4A7C15ull, written = 0;
  for (const auto& [offset, length] : free) {
    for (std::uint64_t at = offset; at < offset + length && written < wanted;) {
      const std::uint64_t n =
          std::min(std::min(offset + length - at, wanted - written), static_cast<std::uint64_t>(buffer.size() * 8));
      for (auto& word : buffer) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        word = state | 1;
      }
      image.write(at, buffer.data(), static_cast<std::size_t>(n));
      at += n;
      written += n;
    }
  }
  image.sync();
  return written;
}

// Seconds to read every band file once.
double readBandsOnce(const std::string& path) {
  const auto start = std::chrono::steady_clock::now();
  std::vector<char> buffer(4u << 20);
  for (const auto& entry : std::filesystem::directory_iterator(path + "/bands")) {
    const int fd = ::open(entry.path().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    while (::read(fd, buffer.data(), buffer.size()) > 0) {
    }
    ::close(fd);
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t oldMiB = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  const std::uint64_t wanted = oldMiB << 20;
  bench::Scratch dir;
  std::vector<double> readTimes, compactTimes, resizeTimes;
  std::vector<double> resizeWritten;
  double worstShare = 1;
  for (int round = 0; round < 3; ++round) {
    const std::string path = dir / "Reclaim.sparsebundle";
    if (!create(path, std::to_string(oldMiB * 2 + 64) + "m")) {
      std::printf("create failed\n");
      return 1;
    }
    const std::uint64_t filled = fillFreeBlocks(path, wanted);
    const std::uint64_t before = bench::treeBytesOnDisk(path);
    readTimes.push_back(readBandsOnce(path));
    const bench::Measured compact = bench::run({QUORBEL_IMAGETOOL, "compact", "-batteryallowed", path});
    if (compact.status != 0) {
      std::printf("compact failed with status %d\n", compact.status);
      return 1;
    }
    compactTimes.push_back(compact.seconds);
    const std::uint64_t after = bench::treeBytesOnDisk(path);
    const std::uint64_t reclaimed = before > after ? before - after : 0;
    worstShare = std::min(worstShare, static_cast<double>(reclaimed) / static_cast<double>(filled));
    std::printf("compact round %d: old data in free blocks %llu MiB; on disk before %llu MiB, after %llu MiB\n",
                round + 1, static_cast<unsigned long long>(filled >> 20), static_cast<unsigned long long>(before >> 20),
                static_cast<unsigned long long>(after >> 20));
    std::filesystem::remove_all(path);

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
  const double readSeconds = bench::median(readTimes), compactSeconds = bench::median(compactTimes);
  std::printf("median: reading the bytes present once %.3f s; compact %.3f s\n", readSeconds, compactSeconds);
  bool ok = bench::report("APFS bytes reclaimed / old data in free blocks (worst round)", worstShare, ">=", 0.99);
  ok = bench::report("APFS compact time / time to read the bytes present once", compactSeconds / readSeconds, "<=", 3.0) && ok;
  ok = bench::report("APFS resize 1 GiB -> 4 TiB: seconds (median)", bench::median(resizeTimes), "<=", 2.0) && ok;
  ok = bench::report("APFS resize 1 GiB -> 4 TiB: MiB written (median)", bench::median(resizeWritten), "<=", 16.0) && ok;
  return ok ? 0 : 1;
}
