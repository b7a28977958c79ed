// compact on volumes whose free blocks hold old data, as deleted files leave them: what the allocation
// map (read by The Sleuth Kit, not by our code) calls free is reclaimed, everything else is kept byte
// for byte and every file reads back the same. Also the macOS-made volume through imageinfo and convert.

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "support.h"
#include "volume_checks.h"

namespace quorbel::imagetool {
namespace {

using test::Scratch;
using Ranges = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

constexpr std::uint64_t MiB = 1 << 20;

std::uint64_t bandBytesOnDisk(const std::string& bundle) {
  std::uint64_t total = 0;
  for (const std::string& band : test::listDir(bundle + "/bands")) total += test::allocatedBytes(bundle + "/bands/" + band);
  return total;
}

// Fills every free range with pseudo-random data; returns the bytes written.
std::uint64_t fillFree(const std::string& bundle, const Ranges& free) {
  std::uint64_t total = 0;
  std::uint32_t seed = 1;
  for (const auto& [offset, length] : free) {
    test::writeIntoBundle(bundle, offset, test::randomBytes(length, seed++));
    total += length;
  }
  return total;
}

bool inRanges(const Ranges& ranges, std::uint64_t at) {
  for (const auto& [offset, length] : ranges)
    if (at >= offset && at < offset + length) return true;
  return false;
}

// Compacts `bundle` whose free `ranges` were filled: they read as zeros afterwards, the rest of the
// image is unchanged, and the space they took is given back.
void compactAndCheck(const std::string& bundle, const Ranges& free, std::uint64_t filled) {
  const std::string before = test::flatten(bundle);
  const std::uint64_t onDiskBefore = bandBytesOnDisk(bundle);
  const auto r = test::runTool({"compact", "-batteryallowed", bundle});
  ASSERT_EQ(r.status, 0) << r.err;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(r.out, m, std::regex(R"(Reclaimed (.+) out of (.+) possible\.\n$)"))) << r.out;
  EXPECT_NE(m[1].str(), "0 bytes");
  const std::string after = test::flatten(bundle);
  ASSERT_EQ(after.size(), before.size());
  std::uint64_t changedOutside = 0, leftInside = 0;
  for (std::uint64_t at = 0; at < after.size(); at += 512) {
    const bool isFree = inRanges(free, at);
    const bool same = after.compare(at, 512, before, at, 512) == 0;
    const bool zero = std::all_of(after.begin() + static_cast<std::ptrdiff_t>(at),
                                  after.begin() + static_cast<std::ptrdiff_t>(at + 512), [](char c) { return c == 0; });
    if (!isFree && !same) ++changedOutside;
    if (isFree && !zero) ++leftInside;
  }
  EXPECT_EQ(changedOutside, 0u) << "sectors in use changed";
  EXPECT_EQ(leftInside, 0u) << "free sectors still hold old data";
  EXPECT_GE(onDiskBefore - bandBytesOnDisk(bundle), filled * 99 / 100);
}

TEST(CompactFreeSpaceTest, MacVolumeGivesBackItsFreeBlocksAndKeepsEveryFile) {
  if (test::fixturesDir().empty()) GTEST_SKIP() << "the macOS fixtures (../shared/fixtures) are absent";
  if (!test::haveProgram("blkls")) GTEST_SKIP() << "needs sleuthkit";
  Scratch scratch;
  const std::string bundle = scratch / "Test1.sparsebundle";
  test::copyTree(test::fixturesDir() + "/Test1.sparsebundle", bundle);
  // More room first, so that there are many free blocks to fill.
  ASSERT_EQ(test::runTool({"resize", "-size", "12m", bundle}).status, 0);
  const std::string image = scratch / "image";
  test::flattenTo(bundle, image);
  const auto files = test::hfsFiles(image, 0);
  const Ranges free = test::unallocated(image, "hfs", 0, 4096);
  const std::uint64_t filled = fillFree(bundle, free);
  ASSERT_GT(filled, 4 * MiB);
  compactAndCheck(bundle, free, filled);
  test::flattenTo(bundle, image);
  EXPECT_EQ(test::hfsFiles(image, 0), files);
}

TEST(CompactFreeSpaceTest, NewHfsBundleInItsPartitionGivesBackFreeBlocksAndDropsFreeBands) {
  if (!test::haveProgram("blkls")) GTEST_SKIP() << "needs sleuthkit";
  Scratch scratch;
  const std::string bundle = scratch / "Free.sparsebundle";
  ASSERT_EQ(test::runTool({"create", "-size", "24m", "-type", "SPARSEBUNDLE", "-imagekey", "sparse-band-size=2048",
                           "-fs", "HFS+J", "-volname", "Free", bundle})
                .status,
            0);
  const std::string image = scratch / "image";
  test::flattenTo(bundle, image);
  const Ranges free = test::unallocated(image, "hfs", 40, 4096);
  const std::uint64_t filled = fillFree(bundle, free);
  const std::size_t bandsFilled = test::listDir(bundle + "/bands").size();
  compactAndCheck(bundle, free, filled);
  // Bands that held only free blocks are gone, not merely emptied.
  EXPECT_LT(test::listDir(bundle + "/bands").size(), bandsFilled - 10);
  test::flattenTo(bundle, image);
  EXPECT_TRUE(test::hfsStat(image, 40).ok);
  EXPECT_EQ(test::gptCheck(image).ok, true);
}

TEST(CompactFreeSpaceTest, ExfatGivesBackFreeClustersAndStaysClean) {
  if (!test::haveProgram("blkls") || !test::haveProgram("fsck.exfat")) GTEST_SKIP() << "needs sleuthkit and fsck.exfat";
  Scratch scratch;
  const std::string bundle = scratch / "Ex.sparsebundle";
  ASSERT_EQ(test::runTool({"create", "-size", "32m", "-type", "SPARSEBUNDLE", "-imagekey", "sparse-band-size=2048",
                           "-fs", "exFAT", "-volname", "Ex", bundle})
                .status,
            0);
  const std::string image = scratch / "image";
  test::flattenTo(bundle, image);
  const Ranges free = test::unallocated(image, "exfat", 40, 512);
  const std::uint64_t filled = fillFree(bundle, free);
  ASSERT_GT(filled, 16 * MiB);
  compactAndCheck(bundle, free, filled);
  test::flattenTo(bundle, image);
  const std::string partition = scratch / "partition";
  test::shell("dd if=" + test::quoted(image) + " of=" + test::quoted(partition) + " bs=512 skip=40 status=none");
  const test::Shell fsck = test::shell("fsck.exfat -n " + test::quoted(partition));
  EXPECT_EQ(fsck.status, 0) << fsck.output;
}

TEST(CompactFreeSpaceTest, VolumeThatWasNotCleanlyUnmountedKeepsItsFreeBlocks) {
  if (!test::haveProgram("blkls")) GTEST_SKIP() << "needs sleuthkit";
  Scratch scratch;
  const std::string bundle = scratch / "Dirty.sparsebundle";
  ASSERT_EQ(test::runTool({"create", "-size", "16m", "-type", "SPARSEBUNDLE", "-imagekey", "sparse-band-size=2048",
                           "-fs", "exFAT", "-volname", "Dirty", bundle})
                .status,
            0);
  const std::string image = scratch / "image";
  test::flattenTo(bundle, image);
  const Ranges free = test::unallocated(image, "exfat", 40, 512);
  fillFree(bundle, free);
  // The volume-dirty flag: its bitmap may be behind what the volume holds, so it is not trusted.
  std::string boot = test::flatten(bundle).substr(40 * 512, 512);
  boot[106] = static_cast<char>(boot[106] | 2);
  test::writeIntoBundle(bundle, 40 * 512, boot);
  const std::string before = test::flatten(bundle);
  const auto r = test::runTool({"compact", "-batteryallowed", bundle});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("not searched for free blocks"), std::string::npos) << r.out;
  EXPECT_EQ(test::sha256Hex(test::flatten(bundle)), test::sha256Hex(before));
}

TEST(MacFixtureTest, ImageinfoRecognisesTheBareVolumeAndConvertKeepsEveryFile) {
  if (test::fixturesDir().empty()) GTEST_SKIP() << "the macOS fixtures (../shared/fixtures) are absent";
  if (!test::haveProgram("icat")) GTEST_SKIP() << "needs sleuthkit";
  Scratch scratch;
  const std::string source = scratch / "Test1.sparsebundle";
  test::copyTree(test::fixturesDir() + "/Test1.sparsebundle", source);
  const auto info = test::runTool({"imageinfo", source});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_EQ(test::field(info.out, "Partition Scheme"), "none");
  EXPECT_EQ(test::field(info.out, "File System"), "HFS+J");

  const std::string image = scratch / "image";
  test::flattenTo(source, image);
  const auto files = test::hfsFiles(image, 0);
  const std::string converted = scratch / "Converted.sparsebundle";
  const auto r = test::runTool({"convert", source, "-format", "UDSB", "-o", converted, "-imagekey", "sparse-band-size=4096"});
  ASSERT_EQ(r.status, 0) << r.err;
  test::flattenTo(converted, image);
  EXPECT_EQ(test::hfsFiles(image, 0), files);
  // A compact of the unchanged volume keeps every file too.
  ASSERT_EQ(test::runTool({"compact", "-batteryallowed", converted}).status, 0);
  test::flattenTo(converted, image);
  EXPECT_EQ(test::hfsFiles(image, 0), files);
}

}  // namespace
}  // namespace quorbel::imagetool
