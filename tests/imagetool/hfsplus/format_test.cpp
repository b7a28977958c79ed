// New volumes judged by independent readers, and compared with the geometry macOS gives a volume.

#include <ctime>

#include "../support.h"
#include "imagetool/hfsplus/hfsplus.h"

namespace quorbel::imagetool::hfsplus {
namespace {

using namespace test;
constexpr std::uint64_t KiB = 1024, GiB = 1024 * MiB, TiB = 1024 * GiB;

TEST(NewVolume, ReadersAcceptEverySizeAndVariantAndOnlyMetadataIsWritten) {
  if (!haveReaders()) GTEST_SKIP() << kNoReaders;
  const struct {
    std::uint64_t size;
    bool journaled;
    std::uint32_t blockSize;
  } cases[] = {{512 * KiB, false, 4096}, {1 * MiB, false, 4096}, {1 * MiB, true, 4096}, {100 * MiB, false, 4096},
               {100 * MiB, true, 4096},  {2 * TiB, false, 8192}, {2 * TiB, true, 8192}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + (c.journaled ? " bytes, journaled" : " bytes, plain"));
    Scratch dir;
    ImageFile image(dir / "volume.img", c.size);
    formatVolume(image.io(), 0, c.size, {"Quorbel Test", c.journaled});
    EXPECT_TRUE(isHfsPlus(image.io(), 0));
    const std::string said = expectReadable(image, c.size / c.blockSize);
    EXPECT_EQ(field(said, "Volume Name"), "Quorbel Test");
    EXPECT_EQ(field(said, "Allocation Block Size"), std::to_string(c.blockSize));
    EXPECT_EQ(field(said, "Last Mounted By"), c.journaled ? "Mac OS X, Journaled" : "Mac OS X");
    EXPECT_EQ(said.find(".journal_info_block") != std::string::npos, c.journaled) << said;
    // Headers, a bitmap prefix, B-tree header nodes and a catalog leaf; the journal stays a hole.
    EXPECT_LT(allocatedBytes(image.path()), 512 * KiB);
  }
}

// Our 5 MiB journaled volume against the one macOS made at that size: the same block size, the same
// place and size for every special file and the journal, the same B-tree node and clump sizes.
TEST(NewVolume, GeometryMatchesTheMacOSVolumeOfTheSameSize) {
  Scratch dir;
  const auto reference = fixtureVolume(dir / "mac.img");
  if (reference.empty()) GTEST_SKIP() << "macOS fixtures not found under ../shared/fixtures";
  ImageFile mac(reference), ours(dir / "ours.img", 5 * MiB);
  formatVolume(ours.io(), 0, 5 * MiB, {"Test1", true});

  const auto macHeader = mac.read(1024, 512), ourHeader = ours.read(1024, 512);
  const struct {
    const char* what;
    std::size_t from, to;
  } ranges[] = {{"signature and version", 0, 4},
                {"last mounted version and journal info block", 8, 16},
                {"block size and total blocks", 40, 48},
                {"clump sizes", 56, 64},
                {"encodings", 72, 80},
                {"allocation, extents, catalog, attributes and startup forks", 112, 512}};
  for (const auto& r : ranges)
    EXPECT_TRUE(std::equal(macHeader.begin() + r.from, macHeader.begin() + r.to, ourHeader.begin() + r.from)) << r.what;
  EXPECT_EQ(be32(ourHeader, 4) & 0x2000u, be32(macHeader, 4) & 0x2000u) << "journaled attribute";

  const std::uint32_t bs = be32(macHeader, 40);
  const std::uint64_t jib = std::uint64_t{be32(macHeader, 12)} * bs;
  const auto macJib = mac.read(jib, 52), ourJib = ours.read(jib, 52);
  EXPECT_TRUE(std::equal(macJib.begin() + 36, macJib.end(), ourJib.begin() + 36)) << "journal offset and size";
  EXPECT_EQ(be32(ourJib, 0) & 1u, 1u) << "journal inside the volume";

  // Each B-tree's header record, apart from what use changes (depth, root, counts, leaves): node size,
  // max key length, total nodes, clump size, key compare type and tree attributes.
  for (std::size_t fork : {192u, 272u, 352u}) {
    const std::uint64_t start = std::uint64_t{be32(macHeader, fork + 16)} * bs;
    const auto macNode = mac.read(start, 256), ourNode = ours.read(start, 256);
    EXPECT_EQ(ourNode[8], 1) << "header node kind at fork " << fork;
    for (const auto& [from, to] : {std::pair{32, 40}, std::pair{46, 50}, std::pair{51, 56}})
      EXPECT_TRUE(std::equal(macNode.begin() + from, macNode.begin() + to, ourNode.begin() + from))
          << "header record bytes " << from << ".." << to << " at fork " << fork;
  }
}

TEST(NewVolume, NameIsStoredDecomposedWithTheFormatsExceptions) {
  const bool readers = haveReaders();
  const struct {
    std::string given, stored;
  } cases[] = {
      {"Caf\u00e9 \u00dcber", "Cafe\u0301 U\u0308ber"},   // composed input is decomposed
      {"Cafe\u0301", "Cafe\u0301"},                       // already decomposed: unchanged
      {"\ud55c", "\u1112\u1161\u11ab"},                   // Hangul syllable into its jamo
      {"\u2126 \uf900 \u00c5", "\u2126 \uf900 A\u030a"},  // U+2000-2FFF and U+F900-FAFF stay
      {"a:b", "a/b"},                                     // ":" is stored as "/"
      {"a/b", "a/b"},
      {"", "untitled"},
  };
  Scratch dir;
  for (const auto& c : cases) {
    ImageFile image(dir / std::to_string(&c - cases), 1 * MiB);
    formatVolume(image.io(), 0, 1 * MiB, {c.given, true});
    EXPECT_EQ(describeVolume(image.io(), 0).name, c.stored) << c.given;
    if (readers) {  // The Sleuth Kit shows a stored "/" as ":", as POSIX names do
      std::string shown = c.stored;
      std::replace(shown.begin(), shown.end(), '/', ':');
      EXPECT_EQ(field(run({"fsstat", "-f", "hfs", image.path()}).out, "Volume Name"), shown);
    }
  }
}

TEST(NewVolume, RefusesSizesNamesAndBoundsThatCannotMakeAVolumeAndWritesNothing) {
  Scratch dir;
  ImageFile image(dir / "volume.img", 4 * MiB);
  const struct {
    std::uint64_t offset, length;
    VolumeOptions options;
    const char* reason;
  } cases[] = {
      {0, 512 * KiB - 512, {"small", false}, "too small"},
      {0, 600 * KiB, {"journal", true}, "too small for a journaled"},
      {1 * MiB, 4 * MiB, {"beyond", false}, "does not fit"},
      {0, 1 * MiB, {"bad \xff utf8", false}, "not valid UTF-8"},
      {0, 1 * MiB, {std::string(256, 'x'), false}, "too long"},
  };
  for (const auto& c : cases) expectError([&] { formatVolume(image.io(), c.offset, c.length, c.options); }, c.reason);
  EXPECT_EQ(allocatedBytes(image.path()), 0u);
  // The smallest journaled volume that fits is accepted, and so is a name of 255 characters.
  formatVolume(image.io(), 0, 1 * MiB, {std::string(255, 'x'), true});
  EXPECT_TRUE(isHfsPlus(image.io(), 0));
}

// A volume inside a larger image: nothing outside it is touched, the alternate header is 1024 bytes
// before its end, and the creation date is local time while every other date is UTC (all from 1904).
TEST(NewVolume, StaysWithinItsPartitionWithCreationInLocalTimeTheRestUtc) {
  ::setenv("TZ", "IST-5:30", 1);  // no other test of this process depends on the zone
  ::tzset();
  Scratch dir;
  const std::uint64_t start = 20480, length = 3 * MiB;
  ImageFile image(dir / "disk.img", start + length + 16896);
  const std::vector<unsigned char> guard(512, 0xA5);
  image.write(start - 512, guard);
  image.write(start + length, guard);
  const auto before = static_cast<std::uint64_t>(std::time(nullptr)) + 2082844800u;
  formatVolume(image.io(), start, length, {"Inside", true});
  EXPECT_EQ(image.read(start - 512, 512), guard);
  EXPECT_EQ(image.read(start + length, 512), guard);
  EXPECT_FALSE(isHfsPlus(image.io(), 0));
  const auto header = image.read(start + 1024, 512);
  EXPECT_EQ(header, image.read(start + length - 1024, 512)) << "alternate header";
  const VolumeSummary summary = describeVolume(image.io(), start);
  EXPECT_EQ(summary.name, "Inside");
  EXPECT_TRUE(summary.journaled);
  EXPECT_EQ(summary.totalBlocks, length / 4096);
  const std::uint64_t modified = be32(header, 20);
  EXPECT_EQ(std::int64_t{be32(header, 16)} - std::int64_t(modified), 5 * 3600 + 30 * 60);
  EXPECT_GE(modified, before);
  EXPECT_LE(modified, before + 60);
  EXPECT_EQ(be32(header, 28), modified) << "checked date";
}

}  // namespace
}  // namespace quorbel::imagetool::hfsplus
