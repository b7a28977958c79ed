// APFS bundles through the tool, judged by apfsck (apfsprogs) and The Sleuth Kit's pstat: free blocks
// holding old data reclaimed while every block in use is kept, nothing reclaimed from containers that
// are not cleanly checkpointed or fail a checksum, containers grown to terabytes and shrunk back, a
// refused shrink naming the size that works, resizes interrupted at every step, and the same work on an
// encrypted bundle through the decrypting layer, read back by the independent decrypting reader.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include "encrypted_support.h"
#include "imagetool/volumes/resize.h"
#include "support.h"

namespace quorbel::imagetool {
namespace {

using test::contains;
using test::fillFree;
using test::MiB;
using test::Ranges;
using test::Scratch;

constexpr std::uint64_t GiB = 1024 * MiB, TiB = 1024 * GiB, kBlock = 4096;
constexpr std::uint64_t partitionStart = 40 * 512;
const char* const caseModes[] = {"APFS", "Case-sensitive APFS"};

// The data partition's bytes in a GUID-partitioned image of `size`.
std::uint64_t partitionBytes(std::uint64_t size) { return test::partitionSectors(size) * 512; }

// What apfsck and pstat say about the container in the bundle's partition.
struct View {
  bool apfsckOk = false;
  std::string apfsck, pstat;
  std::uint64_t blocks = 0, freeBlocks = 0;
  Ranges free;  // image byte ranges pstat lists as unallocated
  std::string file;
};

View inspect(const std::string& bundle, const Scratch& scratch) {
  View v;
  v.file = scratch / "container.img";
  const std::uint64_t size = test::declaredSize(bundle);
  test::flattenTo(bundle, v.file, partitionStart, partitionBytes(size));
  const auto fsck = test::shell("apfsck " + test::quote(v.file));
  v.apfsckOk = fsck.status == 0;
  v.apfsck = fsck.out;
  v.pstat = test::shell("pstat " + test::quote(v.file)).out;
  std::smatch m;
  if (std::regex_search(v.pstat, m, std::regex(R"(Number of Blocks:\s+(\d+))"))) v.blocks = std::stoull(m[1]);
  if (std::regex_search(v.pstat, m, std::regex(R"(Number of Free Blocks:\s+(\d+))"))) v.freeBlocks = std::stoull(m[1]);
  const auto section = v.pstat.find("Unallocated Container Blocks");
  if (section != std::string::npos) {
    const std::string rest = v.pstat.substr(section);
    const std::regex range(R"(0x([0-9a-f]+)-0x([0-9a-f]+))");
    for (auto it = std::sregex_iterator(rest.begin(), rest.end(), range); it != std::sregex_iterator(); ++it) {
      const std::uint64_t first = std::stoull((*it)[1], nullptr, 16), last = std::stoull((*it)[2], nullptr, 16);
      v.free.emplace_back(partitionStart + first * kBlock, (last - first + 1) * kBlock);
    }
  }
  return v;
}

bool haveTools() { return test::haveProgram("apfsck") && test::haveProgram("pstat") && test::haveProgram("mkapfs"); }

// Stores the Fletcher-64 checksum of an APFS object (over the 32-bit words after the checksum field).
void sealObject(std::string& object) {
  std::uint64_t a = 0, b = 0;
  for (std::size_t i = 8; i < object.size(); i += 4) {
    std::uint32_t w;
    std::memcpy(&w, object.data() + i, 4);
    a = (a + w) % 0xFFFFFFFF;
    b = (b + a) % 0xFFFFFFFF;
  }
  const std::uint64_t c1 = 0xFFFFFFFF - (a + b) % 0xFFFFFFFF, c2 = 0xFFFFFFFF - (a + c1) % 0xFFFFFFFF;
  const std::uint64_t sum = c2 << 32 | c1;
  std::memcpy(object.data(), &sum, 8);
}

template <typename T>
T field(const std::string& data, std::size_t at) {
  T v;
  std::memcpy(&v, data.data() + at, sizeof v);
  return v;
}
template <typename T>
void setField(std::string& data, std::size_t at, T v) {
  std::memcpy(data.data() + at, &v, sizeof v);
}

// Marks container block `block` (in a chunk that has a bitmap) used or free in the space manager:
// bitmap, chunk-info free count and space manager free count, checksums re-sealed. Marked used, it
// becomes the container's media-key locker, a range apfsck counts as used without reading it: a
// stand-in for data a Mac wrote there (both superblock copies updated).
void markBlock(const std::string& bundle, std::uint64_t block, bool used) {
  auto read = [&](std::uint64_t b) { return test::readFromBundle(bundle, partitionStart + b * kBlock, kBlock); };
  auto write = [&](std::uint64_t b, std::string data, bool seal) {
    if (seal) sealObject(data);
    test::writeIntoBundle(bundle, partitionStart + b * kBlock, data);
  };
  std::string zero = read(0);
  const auto descBase = field<std::uint64_t>(zero, 0x70);
  const auto descBlocks = field<std::uint32_t>(zero, 0x68), descIndex = field<std::uint32_t>(zero, 0x88),
             descLen = field<std::uint32_t>(zero, 0x8C);
  const std::string map = read(descBase + descIndex);
  std::uint64_t spaceman = 0;
  for (std::uint32_t i = 0; i < field<std::uint32_t>(map, 0x24); ++i)
    if ((field<std::uint32_t>(map, 0x28 + 40 * i) & 0xFFFF) == 5)
      spaceman = field<std::uint64_t>(map, 0x28 + 40 * i + 32);
  ASSERT_NE(spaceman, 0u);
  std::string sm = read(spaceman);
  ASSERT_EQ(field<std::uint32_t>(sm, 0x30 + 20), 0u) << "chunk-info address blocks";
  const std::uint64_t cibAt =
      field<std::uint64_t>(sm, field<std::uint32_t>(sm, 0x30 + 32) + 8 * (block / kBlock / 8 / 126));
  std::string cib = read(cibAt);
  const std::size_t entry = 0x28 + 32 * (block / (kBlock * 8) % 126);
  const auto bitmapAt = field<std::uint64_t>(cib, entry + 24);
  ASSERT_NE(bitmapAt, 0u) << "a chunk without a bitmap";
  std::string bitmap = read(bitmapAt);
  const std::uint64_t bit = block % (kBlock * 8);
  ASSERT_EQ((bitmap[bit / 8] & (1 << (bit % 8))) != 0, !used);
  bitmap[bit / 8] = static_cast<char>(bitmap[bit / 8] ^ (1 << (bit % 8)));
  write(bitmapAt, bitmap, false);
  const int change = used ? -1 : 1;
  setField<std::uint32_t>(cib, entry + 20, field<std::uint32_t>(cib, entry + 20) + change);
  write(cibAt, cib, true);
  setField<std::uint64_t>(sm, 0x30 + 24, field<std::uint64_t>(sm, 0x30 + 24) + change);
  write(spaceman, sm, true);
  if (!used) return;
  const std::uint64_t sbAt = descBase + (descIndex + descLen - 1) % descBlocks;
  for (const std::uint64_t at : {sbAt, std::uint64_t{0}}) {
    std::string sb = read(sbAt);
    setField<std::uint64_t>(sb, 0x570, block);
    setField<std::uint64_t>(sb, 0x578, 1);
    write(at, sb, true);
  }
}

// A copy of the checkpoint superblock (descriptor block 2 of a new container) written to descriptor
// block 3 with the next transaction id, its checksum made good or not.
void addNewerCheckpoint(const std::string& bundle, bool goodChecksum) {
  std::string sb = test::readFromBundle(bundle, partitionStart + 2 * kBlock, kBlock);
  ASSERT_EQ(sb.compare(32, 4, "NXSB"), 0);
  sb[16] = static_cast<char>(sb[16] + 1);  // o_xid
  if (goodChecksum) sealObject(sb);
  test::writeIntoBundle(bundle, partitionStart + 3 * kBlock, sb);
}

// Flips one bit of container block `block` after checking its object type (0: a block without header).
void damageBlock(const std::string& bundle, std::uint64_t block, int type, std::size_t at) {
  std::string data = test::readFromBundle(bundle, partitionStart + block * kBlock, kBlock);
  if (type != 0) {
    ASSERT_EQ(static_cast<unsigned char>(data[0x18]), type) << "block " << block;
  }
  data[at] = static_cast<char>(data[at] ^ 0x10);
  test::writeIntoBundle(bundle, partitionStart + block * kBlock, data);
}

TEST(ApfsCompact, FreeBlocksHoldingOldDataAreReclaimedAndEveryBlockInUseIsKept) {
  if (!haveTools()) GTEST_SKIP() << "needs apfsprogs and sleuthkit";
  for (const char* fs : caseModes) {
    SCOPED_TRACE(fs);
    Scratch scratch;
    const std::string bundle = scratch / "Backup.sparsebundle";
    ASSERT_EQ(test::create(bundle, "256m", fs).status, 0);
    const std::string pristine = test::flatten(bundle);
    const View before = inspect(bundle, scratch);
    ASSERT_TRUE(before.apfsckOk) << before.apfsck;
    ASSERT_GT(before.free.size(), 1u) << before.pstat;
    const std::uint64_t filled = fillFree(bundle, before.free);
    const std::uint64_t onDisk = test::allocatedBytes(bundle + "/bands");
    const auto r = test::runTool({"compact", "-batteryallowed", bundle});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(contains(r.out, "only blocks of zeros")) << r.out;
    // Free blocks read as zeros again and every other byte is as it was: the image is the new one.
    EXPECT_TRUE(test::flatten(bundle) == pristine);
    EXPECT_GE(onDisk - test::allocatedBytes(bundle + "/bands"), filled * 99 / 100);
    const View after = inspect(bundle, scratch);
    EXPECT_TRUE(after.apfsckOk) << after.apfsck;
    EXPECT_EQ(after.freeBlocks, before.freeBlocks);
  }
}

// Block numbers of what a consistent reading of a new container uses, found by hand from the format:
// the container object map and its tree (one root leaf), the volume superblock it maps, the volume's
// object map and tree, the root node of its file-system tree, and its extent-reference tree.
std::map<std::string, std::uint64_t> structureBlocks(const std::string& bundle) {
  auto read = [&](std::uint64_t b) { return test::readFromBundle(bundle, partitionStart + b * kBlock, kBlock); };
  // Key object id and value address of entry `i` of a root leaf with 16-byte keys and values.
  auto entry = [](const std::string& node, std::size_t i) {
    const std::size_t toc = 0x38 + field<std::uint16_t>(node, 0x28) + 4 * i;
    const std::size_t keys = 0x38 + field<std::uint16_t>(node, 0x28) + field<std::uint16_t>(node, 0x2A);
    return std::pair{field<std::uint64_t>(node, keys + field<std::uint16_t>(node, toc)),
                     field<std::uint64_t>(node, kBlock - 40 - field<std::uint16_t>(node, toc + 2) + 8)};
  };
  std::map<std::string, std::uint64_t> at;
  at["container object map"] = field<std::uint64_t>(read(0), 0xA0);
  at["container object map tree"] = field<std::uint64_t>(read(at["container object map"]), 0x30);
  at["volume superblock"] = entry(read(at["container object map tree"]), 0).second;
  const std::string volume = read(at["volume superblock"]);
  at["volume object map"] = field<std::uint64_t>(volume, 0x80);
  at["volume object map tree"] = field<std::uint64_t>(read(at["volume object map"]), 0x30);
  const std::string tree = read(at["volume object map tree"]);
  for (std::uint32_t i = 0; i < field<std::uint32_t>(tree, 0x24); ++i)
    if (entry(tree, i).first == field<std::uint64_t>(volume, 0x88)) at["file-system tree"] = entry(tree, i).second;
  at["extent reference tree"] = field<std::uint64_t>(volume, 0x90);
  return at;
}

// Sets a 32-bit field of the latest checkpoint's superblock and of block zero, both re-sealed.
void setSuperblockField(const std::string& bundle, std::size_t at, std::uint32_t value) {
  for (const std::uint64_t block : {std::uint64_t{0}, std::uint64_t{2}}) {
    std::string sb = test::readFromBundle(bundle, partitionStart + block * kBlock, kBlock);
    setField(sb, at, value);
    sealObject(sb);
    test::writeIntoBundle(bundle, partitionStart + block * kBlock, sb);
  }
}

// Sets the size of the space manager's entry in the checkpoint map (descriptor block 1), re-sealed.
void setSpacemanMappingSize(const std::string& bundle, std::uint32_t size) {
  std::string map = test::readFromBundle(bundle, partitionStart + kBlock, kBlock);
  for (std::uint32_t i = 0; i < field<std::uint32_t>(map, 0x24); ++i)
    if ((field<std::uint32_t>(map, 0x28 + 40 * i) & 0xFFFF) == 5) setField(map, 0x28 + 40 * i + 8, size);
  sealObject(map);
  test::writeIntoBundle(bundle, partitionStart + kBlock, map);
}

TEST(ApfsCompact, ContainersNotCleanlyCheckpointedDamagedOrWithAForgedBitmapKeepTheirOldData) {
  if (!haveTools()) GTEST_SKIP() << "needs apfsprogs and sleuthkit";
  // Blocks of a new mkapfs container: the container object map at 20000, the first chunk bitmap at
  // 21016 (the start of the internal pool) and the first chunk-info block after it.
  struct Case {
    std::string name;
    std::function<void(const std::string&)> harm;
    std::string reason;
    bool resizeRefused = true;  // a checkpoint newer than block zero is what an interrupted resize leaves
    bool damage = true;         // what apfsck reports (it mounts the newest valid checkpoint)
  };
  std::vector<Case> cases = {
      {"newer checkpoint than block zero", [](const std::string& b) { addNewerCheckpoint(b, true); },
       "unmounted cleanly", false, false},
      {"torn newer checkpoint", [](const std::string& b) { addNewerCheckpoint(b, false); }, "newer checkpoint", true,
       false},
      {"object map checksum", [](const std::string& b) { damageBlock(b, 20000, 0x0b, 100); }, "checksum"},
      {"chunk-info checksum", [](const std::string& b) { damageBlock(b, 21017, 0x07, 60); }, "checksum"},
      {"bitmap against free count", [](const std::string& b) { damageBlock(b, 21016, 0, 4000); }, "free count"},
      {"descriptor blocks past the image", [](const std::string& b) { setSuperblockField(b, 0x68, 1u << 20); },
       "checkpoint areas do not fit"},
      {"space manager mapping of 4 GB", [](const std::string& b) { setSpacemanMappingSize(b, 0xFFFFF000); },
       "outside the checkpoint data area"},
  };
  for (const char* structure :
       {"container object map", "container object map tree", "volume superblock", "volume object map",
        "volume object map tree", "file-system tree", "extent reference tree"})
    cases.push_back({std::string("bitmap frees the ") + structure,
                     [structure](const std::string& b) { markBlock(b, structureBlocks(b).at(structure), false); },
                     std::string("free, which its ")});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Scratch scratch;
    const std::string bundle = scratch / "Harmed.sparsebundle";
    ASSERT_EQ(test::create(bundle, "256m", "APFS").status, 0);
    fillFree(bundle, inspect(bundle, scratch).free, 40 * MiB);
    c.harm(bundle);
    if (c.damage) {
      EXPECT_FALSE(inspect(bundle, scratch).apfsckOk) << "the harm is invisible to apfsck";
    }
    const std::string before = test::flatten(bundle);
    const auto r = test::runTool({"compact", "-batteryallowed", bundle});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out + r.err, "only blocks of zeros")) << r.out << r.err;
    EXPECT_TRUE(contains(r.out + r.err, c.reason)) << r.out << r.err;
    EXPECT_TRUE(test::flatten(bundle) == before) << "old data was reclaimed";
    if (!c.resizeRefused) continue;
    const auto shrink = test::runTool({"resize", "-size", "200m", bundle});
    EXPECT_NE(shrink.status, 0);
    EXPECT_TRUE(contains(shrink.err, c.reason)) << shrink.err;
    EXPECT_TRUE(test::flatten(bundle) == before) << "the refused resize changed the image";
  }
}

// apfsck accepts the container. Debian 12's apfsck reads one block of the internal pool's bitmap and
// sizes the pool without chunk-info address blocks, so past 10836 chunks (1.32 TiB) it stops at the
// pool, as it does on any container that large; what it checks before that must pass.
void expectApfsck(const View& v, std::uint64_t imageSize) {
  if (imageSize <= 1300 * GiB) {
    EXPECT_TRUE(v.apfsckOk) << v.apfsck;
  } else {
    EXPECT_TRUE(v.apfsck == "Internal pool: bitmap block is out-of-bounds.\n" ||
                v.apfsck == "Space manager: wrong size of internal pool.\n")
        << v.apfsck;
  }
}

TEST(ApfsResize, GrowsToTerabytesAndShrinksBackKeepingTheVolume) {
  if (!haveTools()) GTEST_SKIP() << "needs apfsprogs and sleuthkit";
  for (const char* fs : caseModes) {
    SCOPED_TRACE(fs);
    Scratch scratch;
    const std::string bundle = scratch / "Projekt.sparsebundle";
    ASSERT_EQ(test::create(bundle, "1g", fs).status, 0);
    View v = inspect(bundle, scratch);
    ASSERT_TRUE(v.apfsckOk) << v.apfsck;
    const std::string volume = test::readFromBundle(bundle, partitionStart + 20000 * kBlock, 8 * kBlock);
    const bool caseSensitive = std::string(fs) != "APFS";
    for (const std::uint64_t size : {4 * TiB, 2 * GiB, 1300 * GiB, 16 * TiB, 1 * GiB}) {
      SCOPED_TRACE(size);
      const auto r = test::runTool({"resize", "-size", std::to_string(size / 512) + "b", bundle});
      ASSERT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(test::declaredSize(bundle), size);
      EXPECT_EQ(test::declaredSize(bundle, "Info.bckup"), size);
      v = inspect(bundle, scratch);
      if (v.pstat.empty()) GTEST_SKIP() << "this file system cannot hold a sparse file of " << size << " bytes";
      EXPECT_EQ(v.blocks * kBlock, partitionBytes(size)) << v.pstat;
      EXPECT_TRUE(contains(v.pstat, caseSensitive ? "Case Sensitive: Yes" : "Case Sensitive: No")) << v.pstat;
      EXPECT_EQ(test::readFromBundle(bundle, partitionStart + 20000 * kBlock, 8 * kBlock), volume)
          << "the volume's blocks changed";
      expectApfsck(v, size);
    }
  }
}

// Past 1.32 TiB, containers are made by mkapfs at that size and grown (16 TiB and more: volumes_test).
TEST(ApfsCreate, ContainersPastWhatMkapfsLaysOutAreGrownAndReadBack) {
  if (!haveTools()) GTEST_SKIP() << "needs apfsprogs and sleuthkit";
  for (const auto& [fs, size] : {std::pair{"APFS", 1300 * GiB}, {"Case-sensitive APFS", 1400 * GiB}}) {
    SCOPED_TRACE(std::string(fs) + " " + std::to_string(size));
    Scratch scratch;
    const std::string bundle = scratch / "Large.sparsebundle";
    const auto r = test::create(bundle, std::to_string(size / 512) + "b", fs);
    ASSERT_EQ(r.status, 0) << r.err;
    const View v = inspect(bundle, scratch);
    EXPECT_EQ(v.blocks * kBlock, partitionBytes(size)) << v.pstat;
    EXPECT_TRUE(contains(v.pstat, "Name (Role): Large")) << v.pstat;
    expectApfsck(v, size);
    EXPECT_LT(test::allocatedBytes(bundle), 64 * MiB);
  }
}

TEST(ApfsResize, AShrinkOverBlocksInUseIsRefusedWithTheSmallestSizeThatWorks) {
  if (!haveTools()) GTEST_SKIP() << "needs apfsprogs and sleuthkit";
  Scratch scratch;
  const std::string bundle = scratch / "Full.sparsebundle";
  ASSERT_EQ(test::create(bundle, "1g", "APFS").status, 0);
  // Growing to 4 TiB gives the first chunks bitmaps; a block ~500 MB in is then taken.
  ASSERT_EQ(test::runTool({"resize", "-size", "4t", bundle}).status, 0);
  markBlock(bundle, 130000, true);
  const auto before = test::snapshot(bundle);
  auto r = test::runTool({"resize", "-size", "200m", bundle});
  EXPECT_NE(r.status, 0);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(r.err, m, std::regex(R"(smallest -size that works is (\d+)b )"))) << r.err;
  EXPECT_TRUE(contains(r.err, "the image was not changed")) << r.err;
  EXPECT_EQ(test::snapshot(bundle), before);
  const std::uint64_t smallest = std::stoull(m[1]) * 512;
  EXPECT_EQ(partitionBytes(smallest), 130001 * kBlock);
  r = test::runTool({"resize", "-size", std::to_string((smallest - kBlock) / 512) + "b", bundle});
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(test::snapshot(bundle), before);
  r = test::runTool({"resize", "-size", std::to_string(smallest / 512) + "b", bundle});
  ASSERT_EQ(r.status, 0) << r.err;
  const View v = inspect(bundle, scratch);
  EXPECT_TRUE(v.apfsckOk) << v.apfsck;
  EXPECT_EQ(v.blocks * kBlock, partitionBytes(smallest));
  EXPECT_FALSE(contains(v.pstat, "0x0001fbd0")) << "the occupied block is listed free";
}

// Puts the container's last two internal-pool blocks into its pool free queue (as blocks freed by a
// recent transaction and not yet reusable): one record in the queue's root, the queue's counts, and
// the two bits in the current pool bitmap.
void queuePoolBlocks(const std::string& bundle) {
  auto read = [&](std::uint64_t b) { return test::readFromBundle(bundle, partitionStart + b * kBlock, kBlock); };
  auto write = [&](std::uint64_t b, std::string data, bool seal) {
    if (seal) sealObject(data);
    test::writeIntoBundle(bundle, partitionStart + b * kBlock, data);
  };
  const std::string zero = read(0);
  const auto descBase = field<std::uint64_t>(zero, 0x70);
  const std::string map = read(descBase + field<std::uint32_t>(zero, 0x88));
  std::uint64_t spaceman = 0, root = 0;
  for (int pass = 0; pass < 2; ++pass)
    for (std::uint32_t i = 0; i < field<std::uint32_t>(map, 0x24); ++i) {
      const std::size_t e = 0x28 + 40 * i;
      if (pass == 0 && (field<std::uint32_t>(map, e) & 0xFFFF) == 5) spaceman = field<std::uint64_t>(map, e + 32);
      if (pass == 1 && field<std::uint64_t>(map, e + 24) == field<std::uint64_t>(read(spaceman), 0xC8 + 8))
        root = field<std::uint64_t>(map, e + 32);
    }
  ASSERT_TRUE(spaceman != 0 && root != 0);
  std::string sm = read(spaceman), node = read(root);
  const auto ipBase = field<std::uint64_t>(sm, 0xB0), ipCount = field<std::uint64_t>(sm, 0x98);
  const std::uint64_t first = ipBase + ipCount - 2;
  ASSERT_EQ(field<std::uint32_t>(node, 0x24), 0u);
  const std::size_t keys = 0x38 + field<std::uint16_t>(node, 0x2A), values = kBlock - 40;
  setField<std::uint16_t>(node, 0x38, 0);  // key offset
  setField<std::uint16_t>(node, 0x3A, 8);  // value offset, from the end of the values
  setField<std::uint64_t>(node, keys, 1);  // transaction
  setField<std::uint64_t>(node, keys + 8, first);
  setField<std::uint64_t>(node, values - 8, 2);  // blocks
  setField<std::uint32_t>(node, 0x24, 1);
  setField<std::uint16_t>(node, 0x2C, 16);
  setField<std::uint16_t>(node, 0x2E, static_cast<std::uint16_t>(field<std::uint16_t>(node, 0x2E) - 24));
  setField<std::uint64_t>(node, values + 24, 1);  // key count
  write(root, node, true);
  setField<std::uint64_t>(sm, 0xC8, 2);
  setField<std::uint64_t>(sm, 0xC8 + 16, 1);
  write(spaceman, sm, true);
  const std::uint64_t bitmapAt =
      field<std::uint64_t>(sm, 0xA8) + field<std::uint16_t>(sm, field<std::uint32_t>(sm, 0x148));
  std::string bitmap = read(bitmapAt);
  for (const std::uint64_t b : {first - ipBase, first + 1 - ipBase})
    bitmap[b / 8] = static_cast<char>(bitmap[b / 8] | 1 << (b % 8));
  write(bitmapAt, bitmap, false);
}

TEST(ApfsResize, BlocksWaitingInThePoolFreeQueueAreReleased) {
  if (!haveTools()) GTEST_SKIP() << "needs apfsprogs and sleuthkit";
  Scratch scratch;
  const std::string bundle = scratch / "Queued.sparsebundle";
  ASSERT_EQ(test::create(bundle, "512m", "APFS").status, 0);
  queuePoolBlocks(bundle);
  View v = inspect(bundle, scratch);
  ASSERT_TRUE(v.apfsckOk) << "the queued blocks are not as apfsck expects them: " << v.apfsck;
  for (const char* size : {"2g", "1g"}) {
    const auto r = test::runTool({"resize", "-size", size, bundle});
    ASSERT_EQ(r.status, 0) << r.err;
    v = inspect(bundle, scratch);
    EXPECT_TRUE(v.apfsckOk) << size << ": " << v.apfsck;
  }
}

// A bundle left by an interrupted resize: the old or the new size, a container apfsck accepts that
// fits its partition (and fills it when the map was swapped in whole). Returns the size.
std::uint64_t expectWhole(const std::string& bundle, std::uint64_t from, std::uint64_t to, const Scratch& scratch,
                          bool wholeMap = true) {
  const std::uint64_t size = test::declaredSize(bundle);
  EXPECT_TRUE(size == from || size == to) << size;
  const View v = inspect(bundle, scratch);
  EXPECT_TRUE(v.apfsckOk) << v.apfsck;
  EXPECT_LE(v.blocks * kBlock, partitionBytes(size)) << v.pstat;
  if (wholeMap) {
    EXPECT_EQ(v.blocks * kBlock, partitionBytes(size)) << v.pstat;
  }
  return size;
}

TEST(ApfsResize, StoppedBeforeEachChangeLeavesAWholeBundleThatTheSameResizeCompletes) {
  if (!haveTools()) GTEST_SKIP() << "needs apfsprogs and sleuthkit";
  for (const ResizeMethod method : {ResizeMethod::swapFolders, ResizeMethod::inPlace}) {
    const bool swapped = method == ResizeMethod::swapFolders;
    for (const auto& [from, to] : {std::pair{256 * MiB, 640 * MiB}, {640 * MiB, 256 * MiB}}) {
      Scratch scratch;
      const std::string original = scratch / "Original.sparsebundle", bundle = scratch / "copy.sparsebundle";
      ASSERT_EQ(test::create(original, std::to_string(from / 512) + "b", "APFS").status, 0);
      SCOPED_TRACE(std::string(swapped ? "swapped, " : "in place, ") + std::to_string(from) + " -> " +
                   std::to_string(to));
      std::ostringstream out;
      const auto resize = [&](const std::function<void()>& hook) { resizeBundle(bundle, to, out, hook, method); };
      test::stopBeforeEachChange(original, bundle, resize, [&](bool finished) {
        const std::uint64_t size = expectWhole(bundle, from, to, scratch, swapped);
        if (swapped && !finished) {
          EXPECT_EQ(test::snapshot(bundle), test::snapshot(original));
          EXPECT_EQ(size, from);
        }
        if (!finished) resizeBundle(bundle, to, out, {}, method);
        EXPECT_EQ(expectWhole(bundle, to, to, scratch), to);
      });
    }
  }
}

TEST(ApfsResize, KilledAtRandomMomentsLeavesTheOldOrNewSize) {
  if (!haveTools()) GTEST_SKIP() << "needs apfsprogs and sleuthkit";
  Scratch scratch;
  const std::string original = scratch / "Original.sparsebundle";
  ASSERT_EQ(test::create(original, "512m", "Case-sensitive APFS").status, 0);
  std::mt19937 engine(20261206);
  int stopped = 0;
  for (int round = 0; round < 8; ++round) {
    const std::uint64_t to = round % 2 == 0 ? 3 * GiB : 300 * MiB;
    const std::string name = "killed" + std::to_string(round) + ".sparsebundle", bundle = scratch / name;
    test::copyTree(original, bundle);
    const auto delay = test::randomStop(engine, std::chrono::milliseconds(40), round).delay;
    SCOPED_TRACE("round " + std::to_string(round) + ", killed after " + std::to_string(delay.count()) + " us");
    int status = 0;
    test::stopAfter(test::startTool({"resize", "-size", std::to_string(to / 512) + "b", bundle}), delay, SIGKILL,
                    &status);
    stopped += WIFSIGNALED(status);
    expectWhole(bundle, 512 * MiB, to, scratch);
    const auto r = test::runTool({"resize", "-size", std::to_string(to / 512) + "b", bundle});
    EXPECT_EQ(r.status, 0) << r.err;
    expectWhole(bundle, to, to, scratch);
  }
  EXPECT_GT(stopped, 0) << "no resize was killed before it finished";
}

TEST(ApfsEncrypted, GrowCompactAndShrinkGoThroughTheDecryptingLayer) {
  if (!haveTools()) GTEST_SKIP() << "needs apfsprogs and sleuthkit";
  if (test::shell("python3 -c 'import cryptography'").status != 0) GTEST_SKIP() << "needs python3-cryptography";
  Scratch scratch;
  const std::string bundle = scratch / "Vault.sparsebundle", password = "correct horse";
  ASSERT_EQ(test::createEncrypted(bundle, "1g", "Case-sensitive APFS", "AES-256", password).status, 0);
  for (const std::vector<std::string>& verb :
       {std::vector<std::string>{"resize", "-size", "1300g", "-stdinpass", bundle},
        {"compact", "-batteryallowed", "-stdinpass", bundle},
        {"resize", "-size", "2g", "-stdinpass", bundle},
        {"compact", "-batteryallowed", "-stdinpass", bundle}}) {
    const auto r = test::runToolWithInput(verb, password);
    ASSERT_EQ(r.status, 0) << verb[0] << ": " << r.err;
    EXPECT_FALSE(contains(r.out + r.err, "only blocks of zeros")) << r.out << r.err;
  }
  const std::string image = scratch / "plain.img", container = scratch / "container.img";
  std::string why;
  ASSERT_TRUE(test::decryptBundle(bundle, password, image, true, &why)) << why;
  // The partition, copied out of the decrypted image without its zeros.
  const std::uint64_t length = partitionBytes(2 * GiB);
  const int in = ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
  const int out = ::open(container.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_TRUE(in >= 0 && out >= 0 && ::ftruncate(out, static_cast<off_t>(length)) == 0);
  std::string buffer(MiB, '\0');
  for (std::uint64_t at = 0; at < length; at += MiB) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(MiB, length - at));
    ASSERT_EQ(::pread(in, buffer.data(), n, static_cast<off_t>(partitionStart + at)), static_cast<ssize_t>(n));
    if (buffer.find_first_not_of('\0') < n) {
      ASSERT_EQ(::pwrite(out, buffer.data(), n, static_cast<off_t>(at)), static_cast<ssize_t>(n));
    }
  }
  ::close(in);
  ::close(out);
  const auto fsck = test::shell("apfsck " + test::quote(container));
  EXPECT_EQ(fsck.status, 0) << fsck.out;
  const std::string pstat = test::shell("pstat " + test::quote(container)).out;
  EXPECT_TRUE(contains(pstat, "Case Sensitive: Yes")) << pstat;
  EXPECT_TRUE(contains(pstat, "Number of Blocks:      " + std::to_string(length / kBlock))) << pstat;
}

}  // namespace
}  // namespace quorbel::imagetool
