// convert of a bundle holding random data against `cp -r` of its bands on the same disk: throughput
// (target: at least 0.8 of cp's) and the tool's peak memory (target: at most 2 x band size + 32 MiB).
// Usage: bench_imagetool_convert [GiB of data, default 2]

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "bench_support.h"

using namespace quorbel::imagetool::bench;

int main(int argc, char** argv) {
  const double gib = argc > 1 ? std::atof(argv[1]) : 2.0;
  const std::uint64_t sourceBand = 8ull << 20, destBand = 16ull << 20;
  const std::uint64_t dataBytes = static_cast<std::uint64_t>(gib * (1ull << 30)) / sourceBand * sourceBand;
  Scratch dir;
  const std::string source = dir / "source.sparsebundle";
  writeBundlePlists(source, sourceBand, dataBytes);
  for (std::uint64_t i = 0; i * sourceBand < dataBytes; ++i) {
    char name[24];
    std::snprintf(name, sizeof name, "%llx", static_cast<unsigned long long>(i));
    writeRandomFile(source + "/bands/" + name, sourceBand, i + 1);
  }
  std::printf("source: %.2f GiB of random data in %llu bands of 8 MiB; converting to 16 MiB bands\n",
              static_cast<double>(dataBytes) / (1ull << 30),
              static_cast<unsigned long long>(dataBytes / sourceBand));

  std::vector<double> copyTimes, convertTimes, copySyncTimes;
  std::uint64_t peak = 0;
  for (int round = 0; round < 3; ++round) {
    const std::string copy = dir / "copy";
    const Measured cp = run({"cp", "-r", source + "/bands", copy});
    const Measured sync = run({"sync", "-f", copy});
    copyTimes.push_back(cp.seconds);
    copySyncTimes.push_back(cp.seconds + sync.seconds);
    std::filesystem::remove_all(copy);

    const std::string dest = dir / "dest.sparsebundle";
    const Measured conv = run({QUORBEL_IMAGETOOL, "convert", source, "-format", "UDSB", "-o", dest, "-imagekey",
                               "sparse-band-size=" + std::to_string(destBand / 512)});
    if (conv.status != 0) {
      std::printf("convert failed with status %d\n", conv.status);
      return 1;
    }
    convertTimes.push_back(conv.seconds);
    peak = std::max(peak, conv.peakRssBytes);
    std::filesystem::remove_all(dest);
  }
  const double mib = static_cast<double>(dataBytes) / (1 << 20);
  std::printf("cp -r: %.0f MiB/s; cp -r then sync: %.0f MiB/s; convert (its bands flushed to disk): %.0f MiB/s\n",
              mib / median(copyTimes), mib / median(copySyncTimes), mib / median(convertTimes));
  std::printf("convert peak memory: %.1f MiB\n", static_cast<double>(peak) / (1 << 20));
  bool ok = true;
  // convert flushes what it wrote before it reports success, so the fair comparison is a copy that is
  // flushed too; the figure against plain cp -r is shown as well.
  report("convert throughput vs cp -r (without flushing)", median(copyTimes) / median(convertTimes), ">=", 0.8);
  ok &= report("convert throughput vs cp -r + sync", median(copySyncTimes) / median(convertTimes), ">=", 0.8);
  ok &= report("convert peak memory / (2 x band + 32 MiB)",
               static_cast<double>(peak) / static_cast<double>(2 * destBand + (32ull << 20)), "<=", 1.0);
  return ok ? 0 : 1;
}
