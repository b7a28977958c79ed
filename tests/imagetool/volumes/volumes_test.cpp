// resize and compact through the tool on HFS+ and exFAT volumes, judged by sfdisk, The Sleuth Kit,
// 7-Zip and fsck.exfat: grow and shrink with the map, refusals that leave the bundle as it was, and
// free blocks holding old data (as deleted files leave them) reclaimed while everything else is kept.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <regex>

#include "support.h"

namespace quorbel::imagetool {
namespace {

using test::contains;
using test::fillFree;
using test::MiB;
using test::partitionSectors;
using test::Ranges;
using test::Scratch;

// Checks the map and the volume of a GUID-partitioned HFS+ bundle of `size` bytes; returns fsstat's view.
test::HfsStat expectWholeGptBundle(const std::string& bundle, std::uint64_t size, const Scratch& scratch) {
  EXPECT_EQ(test::declaredSize(bundle), size);
  EXPECT_EQ(test::declaredSize(bundle, "Info.bckup"), size);
  const std::string image = scratch / "check.img";
  test::flattenTo(bundle, image);
  const test::GptCheck gpt = test::gptCheck(image);
  EXPECT_TRUE(gpt.ok) << gpt.report;
  EXPECT_EQ(gpt.lastLba, size / 512 - 34);  // the last usable sector, before the backup table
  EXPECT_EQ(gpt.start, 40u);
  EXPECT_EQ(gpt.sectors, partitionSectors(size));
  const test::HfsStat hfs = test::hfsStat(image, 40);
  EXPECT_TRUE(hfs.ok) << hfs.report;
  EXPECT_EQ(hfs.blocks * hfs.blockSize, partitionSectors(size) * 512) << hfs.report;
  return hfs;
}

TEST(Resize, GrowsAndShrinksTheImageItsMapAndItsVolume) {
  if (!test::haveProgram("fsstat") || !test::haveProgram("sfdisk") || !test::haveProgram("7zz"))
    GTEST_SKIP() << "needs sleuthkit, sfdisk and 7zz";
  const struct {
    const char* fs;
    const char* name;
    std::uint64_t mib;
    const char* bandSectors;
    std::vector<std::uint64_t> steps;  // MiB
  } cases[] = {{"HFS+J", "Journaled", 8, "2048", {40, 4, 12}},
               {"HFS+", "Untitled", 1, "", {3, 1}}};  // the window's defaults
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fs);
    Scratch scratch;
    const std::string bundle = scratch / (std::string(c.name) + ".sparsebundle");
    ASSERT_EQ(test::create(bundle, std::to_string(c.mib) + "m", c.fs, c.bandSectors).status, 0);
    const std::uint64_t bandBytes = *c.bandSectors ? std::stoull(c.bandSectors) * 512 : 8 * MiB;
    const std::uint64_t used = expectWholeGptBundle(bundle, c.mib * MiB, scratch).used();
    for (const std::uint64_t mib : c.steps) {
      const auto r = test::runTool({"resize", "-size", std::to_string(mib) + "m", bundle});
      ASSERT_EQ(r.status, 0) << r.err;
      EXPECT_TRUE(contains(r.out, "size: " + std::to_string(mib * MiB) + " bytes")) << r.out;
      EXPECT_EQ(expectWholeGptBundle(bundle, mib * MiB, scratch).used(), used);
      // Bands wholly past a new end are gone, so a later grow reads zeros there.
      for (const std::string& band : test::listDir(bundle + "/bands"))
        EXPECT_LT(std::stoull(band, nullptr, 16) * bandBytes, mib * MiB) << band;
    }
    const auto compact = test::runTool({"compact", "-batteryallowed", bundle});
    EXPECT_EQ(compact.status, 0) << compact.err;
    expectWholeGptBundle(bundle, c.steps.back() * MiB, scratch);
    // Other readers open the result: The Sleuth Kit the image, 7-Zip the partition.
    const std::string image = scratch / "image", partition = scratch / "partition";
    test::flattenTo(bundle, image);
    test::writeFile(partition, test::readFile(image).substr(40 * 512));
    const auto read = test::shell("fsstat -f hfs -o 40 " + test::quote(image) + " && fls -f hfs -o 40 " +
                                  test::quote(image) + " && 7zz l " + test::quote(partition));
    EXPECT_EQ(read.status, 0) << read.out;
    EXPECT_TRUE(contains(read.out, std::string("Volume Name: ") + c.name + "\n") && contains(read.out, "Type = HFS"))
        << read.out;
  }
}

// A refused resize: status 1, the reason, and the bundle's files exactly as they were.
void expectRefused(const std::string& bundle, const std::string& size, const std::string& reason) {
  const auto before = test::snapshot(bundle);
  const auto r = test::runTool({"resize", "-size", size, bundle});
  EXPECT_EQ(r.status, 1) << bundle << " " << size;
  EXPECT_TRUE(contains(r.err, reason)) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(test::snapshot(bundle), before) << bundle << " changed";
}

TEST(Resize, RefusalsLeaveTheBundleAsItWas) {
  Scratch scratch;
  for (const std::string fs : {"exFAT", "MS-DOS", "UDF"}) {
    const std::string bundle = scratch / (fs.substr(fs.size() - 3) + ".sparsebundle");
    ASSERT_EQ(test::create(bundle, "16m", fs).status, 0) << fs;
    expectRefused(bundle, "32m", "cannot be resized");
  }
  const std::string bundle = scratch / "Small.sparsebundle";
  ASSERT_EQ(test::create(bundle, "8m", "HFS+").status, 0);
  expectRefused(bundle, "300k", "was not changed");  // no room for an HFS+ volume
  expectRefused(bundle, "20b", "no room");
  {
    // Block 1536 of the volume (sector 40 on) in use: the refusal names the smallest -size that works,
    // one sector less is refused too, and that size is accepted.
    test::writeIntoBundle(bundle, 40 * 512 + 4096 + 1536 / 8, std::string(1, '\x80'));
    std::string freeCount = test::flatten(bundle).substr(40 * 512 + 1024 + 48, 4);
    --freeCount[3];  // one block fewer free (the count's low byte is not zero on a new volume)
    test::writeIntoBundle(bundle, 40 * 512 + 1024 + 48, freeCount);
    const auto r = test::runTool({"resize", "-size", "4m", bundle});
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.err, m, std::regex("smallest -size that works is (\\d+)b"))) << r.err;
    const std::uint64_t sectors = std::stoull(m[1]);
    EXPECT_EQ(sectors, 12377u);  // ((12377 - 33) / 8 * 8 - 40) * 512 = (1536 + 2) * 4096
    expectRefused(bundle, std::to_string(sectors - 1) + "b", "smallest -size that works is " + m[1].str() + "b");
    EXPECT_EQ(test::runTool({"resize", "-size", m[1].str() + "b", bundle}).status, 0);
    EXPECT_EQ(test::declaredSize(bundle), sectors * 512);
  }
  const int fd = ::open((bundle + "/lock").c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_EQ(::flock(fd, LOCK_SH), 0);
  expectRefused(bundle, "16m", "in use");
  ::close(fd);
  // Info.bckup disagreeing in more than the size is not a resize cut short.
  test::writeFile(bundle + "/Info.bckup", test::infoPlist(2 * MiB, 8 * MiB));
  expectRefused(bundle, "16m", "disagree");
}

// A volume header claiming more blocks than its partition holds: compaction takes free space from the
// partition only, so the backup partition table past it stays (sfdisk still reads it).
TEST(CompactFreeSpace, FreeRangesStopAtThePartitionWhateverTheVolumeClaims) {
  if (!test::haveProgram("sfdisk")) GTEST_SKIP() << "needs sfdisk";
  Scratch scratch;
  const std::string bundle = scratch / "Claims.sparsebundle", image = scratch / "image";
  ASSERT_EQ(test::create(bundle, "8m", "HFS+").status, 0);
  std::string blocks = test::flatten(bundle).substr(40 * 512 + 1024 + 44, 4);
  // Four blocks more (2042 of 4 KiB from sector 40): past the partition's end (sector 16344) into the
  // backup table, still inside the image.
  ASSERT_EQ(blocks, std::string("\0\0\x07\xf6", 4));
  blocks[3] = static_cast<char>(0xfa);
  test::writeIntoBundle(bundle, 40 * 512 + 1024 + 44, blocks);
  const auto r = test::runTool({"compact", "-batteryallowed", bundle});
  ASSERT_EQ(r.status, 0) << r.err;
  test::flattenTo(bundle, image);
  const test::GptCheck gpt = test::gptCheck(image);
  EXPECT_TRUE(gpt.ok) << gpt.report;
  EXPECT_EQ(gpt.lastLba, 8 * MiB / 512 - 34);
}

// Compacts `bundle` whose `free` ranges were filled: they read as zeros afterwards, every other sector is
// unchanged, and the space they took is given back.
void compactAndCheck(const std::string& bundle, const Ranges& free, std::uint64_t filled) {
  const std::string before = test::flatten(bundle);
  const std::uint64_t onDiskBefore = test::allocatedBytes(bundle + "/bands");
  const auto r = test::runTool({"compact", "-batteryallowed", bundle});
  ASSERT_EQ(r.status, 0) << r.err;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(r.out, m, std::regex(R"(Reclaimed (.+) out of (.+) possible\.\n$)"))) << r.out;
  EXPECT_NE(m[1].str(), "0 bytes");
  const std::string after = test::flatten(bundle);
  ASSERT_EQ(after.size(), before.size());
  std::uint64_t changedOutside = 0, leftInside = 0;
  for (std::uint64_t at = 0; at < after.size(); at += 512) {
    bool isFree = false;
    for (const auto& [offset, length] : free) isFree = isFree || (at >= offset && at < offset + length);
    if (!isFree && after.compare(at, 512, before, at, 512) != 0) ++changedOutside;
    if (isFree && after.compare(at, 512, std::string(512, '\0')) != 0) ++leftInside;
  }
  EXPECT_EQ(changedOutside, 0u) << "sectors in use changed";
  EXPECT_EQ(leftInside, 0u) << "free sectors still hold old data";
  EXPECT_GE(onDiskBefore - test::allocatedBytes(bundle + "/bands"), filled * 99 / 100);
}

TEST(CompactFreeSpace, NewVolumesGiveBackFreeBlocksHoldingOldDataAndStayValid) {
  if (!test::haveProgram("blkls") || !test::haveProgram("fsck.exfat")) GTEST_SKIP() << "needs sleuthkit and fsck.exfat";
  for (const auto& [fs, type, unit] : {std::tuple{"HFS+J", "hfs", 4096}, {"exFAT", "exfat", 512}}) {
    SCOPED_TRACE(fs);
    Scratch scratch;
    const std::string bundle = scratch / "Free.sparsebundle", image = scratch / "image";
    ASSERT_EQ(test::create(bundle, "24m", fs).status, 0);
    test::flattenTo(bundle, image);
    const Ranges free = test::unallocated(image, type, 40, unit);
    const std::uint64_t filled = fillFree(bundle, free);
    ASSERT_GT(filled, 16 * MiB);
    const std::size_t bandsFilled = test::listDir(bundle + "/bands").size();
    if (std::string(fs) == "exFAT") {
      // A volume not cleanly unmounted may have a bitmap behind what it holds: its free blocks stay.
      const std::string boot = test::flatten(bundle).substr(40 * 512, 512);
      test::writeIntoBundle(bundle, 40 * 512 + 106, std::string(1, static_cast<char>(boot[106] | 2)));
      const std::string before = test::flatten(bundle);
      const auto r = test::runTool({"compact", "-batteryallowed", bundle});
      ASSERT_EQ(r.status, 0) << r.err;
      EXPECT_TRUE(contains(r.out, "not searched for free blocks")) << r.out;
      EXPECT_TRUE(test::flatten(bundle) == before);
      test::writeIntoBundle(bundle, 40 * 512, boot);
    }
    compactAndCheck(bundle, free, filled);
    // Bands that held only free blocks are gone, not merely emptied.
    EXPECT_LT(test::listDir(bundle + "/bands").size(), bandsFilled - 10);
    test::flattenTo(bundle, image);
    const test::GptCheck gpt = test::gptCheck(image);
    EXPECT_TRUE(gpt.ok) << gpt.report;
    if (std::string(fs) == "exFAT") {
      test::writeFile(scratch / "partition", test::readFile(image).substr(gpt.start * 512, gpt.sectors * 512));
      const auto fsck = test::shell("fsck.exfat -n " + test::quote(scratch / "partition"));
      EXPECT_EQ(fsck.status, 0) << fsck.out;
    } else {
      EXPECT_TRUE(test::hfsStat(image, 40).ok);
    }
  }
}

// The bare volume of a macOS-made bundle, its free blocks filled with old data.
TEST(MacOSVolume, GrowsGivesBackOldDataShrinksAndKeepsEveryFile) {
  const std::string mac = test::fixture("Test1.sparsebundle");
  if (mac.empty()) GTEST_SKIP() << "the macOS fixtures (../shared/fixtures) are absent";
  if (!test::haveProgram("icat") || !test::haveProgram("blkls")) GTEST_SKIP() << "needs sleuthkit";
  Scratch scratch;
  const std::string bundle = scratch / "Test1.sparsebundle", image = scratch / "image";
  test::copyTree(mac, bundle);
  test::flattenTo(bundle, image);
  const auto files = test::hfsFiles(image, 0);
  ASSERT_EQ(files.size(), 47u);
  // Its files fill the volume almost to the end.
  expectRefused(bundle, "4m", "smallest -size that works is 10152b");
  const auto expectVolume = [&](std::uint64_t size) {
    EXPECT_EQ(test::declaredSize(bundle), size);
    EXPECT_EQ(test::declaredSize(bundle, "Info.bckup"), size);
    test::flattenTo(bundle, image);
    const test::HfsStat hfs = test::hfsStat(image, 0);
    EXPECT_EQ(hfs.blocks * hfs.blockSize, size) << hfs.report;
    EXPECT_EQ(test::hfsFiles(image, 0), files);
  };
  ASSERT_EQ(test::runTool({"resize", "-size", "12m", bundle}).status, 0);
  expectVolume(12 * MiB);
  const Ranges free = test::unallocated(image, "hfs", 0, 4096);
  const std::uint64_t filled = fillFree(bundle, free);
  ASSERT_GT(filled, 4 * MiB);
  compactAndCheck(bundle, free, filled);
  expectVolume(12 * MiB);
  ASSERT_EQ(test::runTool({"resize", "-size", "5m", bundle}).status, 0);
  expectVolume(5 * MiB);
}

// An ext4 file system (whose largest file is 16 TiB less a block) in a sparse file, loop-mounted.
class Ext4Mount {
 public:
  Ext4Mount() {
    if (::geteuid() != 0 || !test::haveProgram("mkfs.ext4")) return;
    const std::string image = scratch_ / "ext4.img", mount = scratch_ / "mnt";
    if (test::shell("truncate -s 4G " + image + " && mkfs.ext4 -q -F " + image + " && mkdir " + mount +
                    " && mount -o loop " + image + " " + mount)
            .status == 0)
      path_ = mount;
  }
  ~Ext4Mount() {
    if (!path_.empty()) test::shell("umount " + path_);
  }
  const std::string& path() const { return path_; }  // empty when it could not be made

 private:
  Scratch scratch_;
  std::string path_;
};

// Nothing of the image's size is made as one file, so 16 TiB and more fit on ext4; a formatter that
// needs a file as large as the volume says so. Judged by our HFS+ checker and by apfsck through a
// flat copy of the partition on tmpfs.
TEST(CreateOnExt4, HfsAndApfsOf16TiBAndMoreAreMadeAndExfatSaysWhyNot) {
  const Ext4Mount ext4;
  if (ext4.path().empty()) GTEST_SKIP() << "needs root and mkfs.ext4 to loop-mount an ext4 file system";
  constexpr std::uint64_t TiB = 1024ull * 1024 * MiB;
  for (const auto& [fs, size] : {std::pair{"HFS+J", 16 * TiB}, {"APFS", 16 * TiB}, {"APFS", 24 * TiB}}) {
    SCOPED_TRACE(std::string(fs) + " " + std::to_string(size));
    const std::string bundle = ext4.path() + "/Large.sparsebundle";
    const auto r = test::create(bundle, std::to_string(size / 512) + "b", fs);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_LT(test::allocatedBytes(bundle), 64 * MiB);
    std::string shm = "/dev/shm/quorbel-ext4-XXXXXX";
    ASSERT_NE(::mkdtemp(shm.data()), nullptr);
    const std::string flat = shm + "/partition";
    test::flattenTo(bundle, flat, 40 * 512, partitionSectors(size) * 512);
    if (std::string(fs) == "HFS+J") {
      const test::HfsStat hfs = test::hfsStat(flat, 0);
      EXPECT_TRUE(hfs.ok) << hfs.report;
      // Whole allocation blocks (8 KiB at this size) up to the partition's end.
      EXPECT_EQ(hfs.blocks, partitionSectors(size) * 512 / hfs.blockSize) << hfs.report;
    } else {
      // Debian 12's apfsck stops at the internal pool past 1.32 TiB, as on any container that large.
      const auto fsck = test::shell("apfsck " + flat);
      EXPECT_TRUE(fsck.out == "Internal pool: bitmap block is out-of-bounds.\n" ||
                  fsck.out == "Space manager: wrong size of internal pool.\n")
          << fsck.out;
    }
    test::shell("rm -rf " + shm + " " + bundle);
  }
  const auto r = test::create(ext4.path() + "/Big.sparsebundle", "17t", "exFAT");
  EXPECT_NE(r.status, 0);
  EXPECT_TRUE(contains(r.err, "mkfs.exfat formats a file as large as the volume")) << r.err;
  EXPECT_EQ(test::listDir(ext4.path()), std::vector<std::string>{"lost+found"});
}

}  // namespace
}  // namespace quorbel::imagetool
