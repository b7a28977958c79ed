// What compaction's plans and progress lines cost. Plans: a bundle of many bands whose blocks alternate
// between data and zeros (the costliest plan) against one of as many bands of data only (no plan);
// the difference of peak memory is what the plans take (target: at most 1 MiB per GiB of bands).
// Progress: the same compaction with and without the progress variable (median of 5; target: time
// ratio at most 1.05).
// Usage: bench_compact_progress [bands of 1 MiB, default 1024]

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench_support.h"

using namespace quorbel::imagetool::bench;

namespace {

constexpr std::uint64_t band = 1ull << 20, block = 4096;

void makeBundle(const std::string& path, std::uint64_t count, bool alternating) {
  writeBundlePlists(path, band, count * band);
  const std::string noisePath = path + "/.noise";
  writeRandomFile(noisePath, band, 5);
  std::string bytes(band, '\0');
  std::ifstream(noisePath, std::ios::binary).read(bytes.data(), static_cast<std::streamsize>(band));
  std::filesystem::remove(noisePath);
  if (alternating)
    for (std::uint64_t at = block; at < band; at += 2 * block) std::fill_n(bytes.begin() + at, block, '\0');
  for (std::uint64_t i = 0; i < count; ++i) {
    char name[24];
    std::snprintf(name, sizeof name, "%llx", static_cast<unsigned long long>(i));
    std::ofstream(path + "/bands/" + name, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(band));
  }
}

Measured compact(const std::string& path, const std::vector<std::string>& env = {}) {
  const Measured m = run({QUORBEL_IMAGETOOL, "compact", "-batteryallowed", path}, env);
  if (m.status != 0) {
    std::printf("compact failed with status %d\n", m.status);
    std::exit(1);
  }
  return m;
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  Scratch dir;
  const std::string plain = dir / "plain.sparsebundle", alternating = dir / "alternating.sparsebundle";
  makeBundle(plain, count, false);
  const Measured noPlans = compact(plain);
  std::filesystem::remove_all(plain);
  makeBundle(alternating, count, true);
  const Measured plans = compact(alternating);
  const double gib = static_cast<double>(count * band) / (1u << 30);
  const double planMiB =
      (static_cast<double>(plans.peakRssBytes) - static_cast<double>(noPlans.peakRssBytes)) / (1u << 20);
  std::printf(
      "%llu bands of 1 MiB: peak memory %.1f MiB with a plan for every band (alternating blocks), "
      "%.1f MiB with none; compaction %.2f s\n",
      static_cast<unsigned long long>(count), static_cast<double>(plans.peakRssBytes) / (1u << 20),
      static_cast<double>(noPlans.peakRssBytes) / (1u << 20), plans.seconds);
  bool ok = report("compact plan memory, MiB per GiB of bands", std::max(0.0, planMiB) / gib, "<=", 1.0);

  // The compacted bundle is read whole again each time (its data blocks); only the variable differs.
  std::vector<double> with, without;
  for (int round = 0; round < 5; ++round) {
    without.push_back(compact(alternating).seconds);
    with.push_back(compact(alternating, {"QUORBEL_PROGRESS=1"}).seconds);
  }
  std::printf("compaction reading %.0f MiB: %.3f s without progress lines, %.3f s with (medians of 5)\n", gib * 512,
              median(without), median(with));
  ok = report("compact time, progress lines on / off", median(with) / median(without), "<=", 1.05) && ok;
  return ok ? 0 : 1;
}
