#pragma once
// The macOS-made reference volume, big-endian fields, and what The Sleuth Kit and 7-Zip say of a volume.

#include <gtest/gtest.h>

#include <fstream>

#include "../hfs_check.h"
#include "../layout/support.h"
#include "imagetool/hfsplus/hfsplus.h"

namespace quorbel::imagetool::hfsplus::hfstest {

using namespace quorbel::imagetool::test;
constexpr std::uint64_t KiB = 1024, MiB = 1024 * KiB, GiB = 1024 * MiB, TiB = 1024 * GiB;
using Ranges = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
constexpr const char* kNoReaders = "The Sleuth Kit and 7-Zip are needed (scripts/setup installs them)";

inline std::uint32_t be32(const std::vector<unsigned char>& b, std::size_t at) {
  return std::uint32_t{b[at]} << 24 | std::uint32_t{b[at + 1]} << 16 | std::uint32_t{b[at + 2]} << 8 | b[at + 3];
}
inline void putBe32(std::vector<unsigned char>& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (24 - 8 * i));
}

inline bool haveReaders() {
  return run({"sh", "-c", "command -v fsstat && command -v fls && command -v icat && command -v 7zz"}).status == 0;
}

// The value of a "Name: value" line of a report.
inline std::string field(const std::string& report, const std::string& name) {
  const auto at = report.find(name + ": ");
  if (at == std::string::npos) return "<missing " + name + ">";
  const auto start = at + name.size() + 2;
  return report.substr(start, report.find('\n', start) - start);
}

inline std::uint64_t total(const Ranges& ranges) {
  std::uint64_t sum = 0;
  for (const auto& r : ranges) sum += r.second;
  return sum;
}

// The macOS-made reference volume (Test1's five bands of 1 MiB joined) copied to `to`; empty when the
// fixtures are absent.
inline fs::path fixtureVolume(const fs::path& to) {
  const fs::path bands = fs::path(QUORBEL_FIXTURES) / "macos/Test1.sparsebundle/bands";
  if (!fs::exists(bands / "0")) return {};
  std::ofstream out(to, std::ios::binary);
  for (int band = 0; band < 5; ++band) out << std::ifstream(bands / std::to_string(band), std::ios::binary).rdbuf();
  return to;
}

// Checks that The Sleuth Kit and 7-Zip read the volume filling `image` as `blocks` blocks, that the free
// count agrees with the allocation file and that the alternate header agrees on the geometry (macOS
// refreshes the rest of it only now and then). Returns what fsstat and fls said.
inline std::string expectReadable(ImageFile& image, std::uint64_t blocks) {
  const Run report = run({"fsstat", "-f", "hfs", image.path().string()});
  EXPECT_EQ(report.status, 0) << report.output;
  EXPECT_EQ(test::hfsConsistency(image.path().string(), 0), "");
  EXPECT_EQ(field(report.output, "Block Range"), "0 - " + std::to_string(blocks - 1));
  const VolumeSummary s = describeVolume(image.io(), 0);
  EXPECT_EQ(field(report.output, "Number of Free Blocks"), std::to_string(s.freeBlocks));
  EXPECT_EQ(total(freeRanges(image.io(), 0)), std::uint64_t{s.freeBlocks} * s.blockSize);
  const Run list = run({"fls", "-f", "hfs", "-r", image.path().string()});
  EXPECT_EQ(list.status, 0) << list.output;
  const Run zip = run({"7zz", "l", image.path().string()});
  EXPECT_EQ(zip.status, 0) << zip.output;
  EXPECT_NE(zip.output.find("Type = HFS"), std::string::npos) << zip.output;
  const auto primary = image.read(1024, 512), alternate = image.read(image.io().size() - 1024, 512);
  EXPECT_EQ(alternate[0], 'H');
  EXPECT_TRUE(std::equal(primary.begin() + 40, primary.begin() + 48, alternate.begin() + 40));
  EXPECT_TRUE(std::equal(primary.begin() + 112, primary.begin() + 192, alternate.begin() + 112));
  return report.output + list.output;
}

}  // namespace quorbel::imagetool::hfsplus::hfstest
