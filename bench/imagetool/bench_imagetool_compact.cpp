// compact's time follows the bytes present, not the image size: the same bands in a 2 TiB image and
// a 2 GiB one (target: time ratio at most 1.5); four times the bytes present shows the growth.
// Usage: bench_imagetool_compact [MiB of bands present, default 256]

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench_support.h"

using namespace quorbel::imagetool::bench;

namespace {

constexpr std::uint64_t band = 8ull << 20;

// `count` bands: every fifth all zeros, the rest random data with a zero tail of half the band.
void makeBundle(const std::string& path, std::uint64_t size, std::uint64_t count) {
  writeBundlePlists(path, band, size);
  const std::uint64_t spacing = size / band / count;
  for (std::uint64_t i = 0; i < count; ++i) {
    char name[24];
    std::snprintf(name, sizeof name, "%llx", static_cast<unsigned long long>(i * spacing));
    const std::string file = path + "/bands/" + name;
    if (i % 5 == 4) {
      std::ofstream(file).close();
      std::filesystem::resize_file(file, band);
      // Allocated zeros, as a file system leaves them when files are deleted.
      std::ofstream out(file, std::ios::binary);
      const std::string zeros(band, '\0');
      out.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
    } else {
      writeRandomFile(file, band / 2, i + 7);
      std::ofstream out(file, std::ios::binary | std::ios::app);
      const std::string zeros(band / 2, '\0');
      out.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
    }
  }
}

double timeCompact(const Scratch& dir, std::uint64_t size, std::uint64_t count) {
  std::vector<double> times;
  for (int round = 0; round < 3; ++round) {
    const std::string path = dir / "c.sparsebundle";
    makeBundle(path, size, count);
    const Measured m = run({QUORBEL_IMAGETOOL, "compact", "-batteryallowed", path});
    if (m.status != 0) {
      std::printf("compact failed with status %d\n", m.status);
      std::exit(1);
    }
    times.push_back(m.seconds);
    std::filesystem::remove_all(path);
  }
  return median(times);
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t presentMiB = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
  const std::uint64_t count = std::max<std::uint64_t>(1, presentMiB / 8);
  Scratch dir;
  const double small = timeCompact(dir, 2ull << 30, count);
  const double huge = timeCompact(dir, 2ull << 40, count);
  const double more = timeCompact(dir, 2ull << 30, std::min<std::uint64_t>(4 * count, 256));
  std::printf("%llu bands present: 2 GiB image %.3f s, 2 TiB image %.3f s; %llu bands present: %.3f s\n",
              static_cast<unsigned long long>(count), small, huge,
              static_cast<unsigned long long>(std::min<std::uint64_t>(4 * count, 256)), more);
  std::printf("time per band present: %.2f ms and %.2f ms\n", small / static_cast<double>(count) * 1000,
              more / static_cast<double>(std::min<std::uint64_t>(4 * count, 256)) * 1000);
  return report("compact time, 2 TiB image / 2 GiB image, same bands present", huge / small, "<=", 1.5) ? 0 : 1;
}
