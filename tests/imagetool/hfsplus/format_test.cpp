// New volumes judged by independent readers, and compared with the geometry macOS gives a volume.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <ostream>
#include <string>

#include "imagetool/hfsplus/hfsplus.h"
#include "test_support.h"

namespace quorbel::imagetool::hfsplus {
namespace {

using namespace hfstest;
constexpr std::uint64_t KiB = 1024, MiB = 1024 * KiB, GiB = 1024 * MiB, TiB = 1024 * GiB;

std::uint32_t be32(const std::vector<unsigned char>& b, std::size_t at) {
  return (std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) | (std::uint32_t{b[at + 2]} << 8) | b[at + 3];
}
std::uint16_t be16(const std::vector<unsigned char>& b, std::size_t at) {
  return static_cast<std::uint16_t>((b[at] << 8) | b[at + 1]);
}

std::string field(const std::string& report, const std::string& name) {
  const auto at = report.find(name + ": ");
  if (at == std::string::npos) return "<missing " + name + ">";
  const auto start = at + name.size() + 2;
  return report.substr(start, report.find('\n', start) - start);
}

void requireTools() {
  if (!haveProgram("fsstat") || !haveProgram("fls") || !haveProgram("7zz"))
    GTEST_SKIP() << "The Sleuth Kit and 7-Zip are needed (scripts/setup installs them)";
}

struct Case {
  std::uint64_t size;
  bool journaled;
  std::uint32_t blockSize;
};

void PrintTo(const Case& c, std::ostream* out) {
  *out << c.size << " bytes, " << (c.journaled ? "journaled" : "plain");
}

class ReadersAccept : public ::testing::TestWithParam<Case> {};

TEST_P(ReadersAccept, VolumeNameLayoutAndRoot) {
  requireTools();
  const Case c = GetParam();
  ScratchDir dir;
  ImageFile image(dir.path() / "volume.img", c.size);
  formatVolume(image.io(), 0, c.size, {"Quorbel Test", c.journaled});
  EXPECT_TRUE(isHfsPlus(image.io(), 0));

  const Outcome report = run("fsstat -f hfs " + quote(image.path()));
  ASSERT_EQ(report.status, 0) << report.output;
  EXPECT_EQ(field(report.output, "Volume Name"), "Quorbel Test");
  EXPECT_EQ(field(report.output, "Allocation Block Size"), std::to_string(c.blockSize));
  EXPECT_EQ(field(report.output, "Block Range"), "0 - " + std::to_string(c.size / c.blockSize - 1));
  EXPECT_EQ(field(report.output, "Last Mounted By"), c.journaled ? "Mac OS X, Journaled" : "Mac OS X");
  EXPECT_EQ(report.output.find("Journal Info Block") != std::string::npos, c.journaled);

  const Outcome list = run("fls -f hfs " + quote(image.path()));
  ASSERT_EQ(list.status, 0) << list.output;
  EXPECT_EQ(list.output.find(".journal_info_block") != std::string::npos, c.journaled) << list.output;

  const Outcome zip = run("7zz l " + quote(image.path()));
  EXPECT_EQ(zip.status, 0) << zip.output;
  EXPECT_NE(zip.output.find("Type = HFS"), std::string::npos) << zip.output;

  // The free count agrees with the allocation file.
  const VolumeSummary summary = describeVolume(image.io(), 0);
  std::uint64_t free = 0;
  for (const auto& [start, length] : freeRanges(image.io(), 0)) free += length;
  EXPECT_EQ(free, std::uint64_t{summary.freeBlocks} * summary.blockSize);
  EXPECT_EQ(field(report.output, "Number of Free Blocks"), std::to_string(summary.freeBlocks));
}

INSTANTIATE_TEST_SUITE_P(Sizes, ReadersAccept,
                         ::testing::Values(Case{512 * KiB, false, 4096}, Case{1 * MiB, false, 4096},
                                           Case{1 * MiB, true, 4096}, Case{100 * MiB, false, 4096},
                                           Case{100 * MiB, true, 4096}, Case{2 * TiB, false, 8192},
                                           Case{2 * TiB, true, 8192}),
                         [](const auto& info) {
                           return std::to_string(info.param.size / KiB) + "KiB_" +
                                  (info.param.journaled ? "journaled" : "plain");
                         });


// Our 5 MiB journaled volume against the one macOS made at that size: the same block size, the same
// place and size for every special file and the journal, the same B-tree node and clump sizes.
TEST(MacGeometry, MatchesTheMacOSVolumeOfTheSameSize) {
  ScratchDir dir;
  const auto reference = fixtureVolume(dir.path() / "mac.img");
  if (reference.empty()) GTEST_SKIP() << "macOS fixtures not found under ../shared/fixtures";
  ImageFile mac(reference);
  ImageFile ours(dir.path() / "ours.img", 5 * MiB);
  formatVolume(ours.io(), 0, 5 * MiB, {"Test1", true});

  const auto macHeader = mac.read(1024, 512), ourHeader = ours.read(1024, 512);
  auto sameRange = [&](const char* what, std::size_t from, std::size_t to) {
    EXPECT_TRUE(std::equal(macHeader.begin() + from, macHeader.begin() + to, ourHeader.begin() + from)) << what;
  };
  sameRange("signature and version", 0, 4);
  EXPECT_EQ(be32(ourHeader, 8), be32(macHeader, 8)) << "last mounted version";
  EXPECT_EQ(be32(ourHeader, 12), be32(macHeader, 12)) << "journal info block";
  sameRange("block size and total blocks", 40, 48);
  sameRange("clump sizes", 56, 64);
  sameRange("encodings", 72, 80);
  sameRange("allocation, extents, catalog, attributes and startup forks", 112, 512);
  EXPECT_EQ(be32(ourHeader, 4) & 0x2000u, be32(macHeader, 4) & 0x2000u) << "journaled attribute";

  const std::uint32_t bs = be32(macHeader, 40);
  const std::uint64_t jib = std::uint64_t{be32(macHeader, 12)} * bs;
  const auto macJib = mac.read(jib, 52), ourJib = ours.read(jib, 52);
  EXPECT_TRUE(std::equal(macJib.begin() + 36, macJib.end(), ourJib.begin() + 36)) << "journal offset and size";
  EXPECT_EQ(be32(ourJib, 0) & 1u, 1u) << "journal inside the volume";

  // Each B-tree's header record, apart from what use changes (depth, root, counts, leaves).
  for (std::size_t fork : {192u, 272u, 352u}) {
    const std::uint64_t start = std::uint64_t{be32(macHeader, fork + 16)} * bs;
    const auto macNode = mac.read(start, 256), ourNode = ours.read(start, 256);
    EXPECT_EQ(ourNode[8], 1) << "header node kind at fork " << fork;
    EXPECT_EQ(be16(ourNode, 32), be16(macNode, 32)) << "node size at fork " << fork;
    EXPECT_EQ(be16(ourNode, 34), be16(macNode, 34)) << "max key length at fork " << fork;
    EXPECT_EQ(be32(ourNode, 36), be32(macNode, 36)) << "total nodes at fork " << fork;
    EXPECT_EQ(be32(ourNode, 46), be32(macNode, 46)) << "clump size at fork " << fork;
    EXPECT_EQ(ourNode[51], macNode[51]) << "key compare type at fork " << fork;
    EXPECT_EQ(be32(ourNode, 52), be32(macNode, 52)) << "tree attributes at fork " << fork;
  }
}

// The UTF-16 name of the root folder as stored in the catalog's first leaf record.
std::u16string storedName(ImageFile& image) {
  const auto header = image.read(1024, 512);
  const std::uint32_t bs = be32(header, 40);
  const std::uint64_t catalog = std::uint64_t{be32(header, 272 + 16)} * bs;
  const auto head = image.read(catalog, 256);
  const std::uint32_t nodeSize = be16(head, 32);
  const auto leaf = image.read(catalog + std::uint64_t{be32(head, 24)} * nodeSize, nodeSize);
  const std::size_t at = be16(leaf, nodeSize - 2);
  std::u16string name(be16(leaf, at + 6), u'\0');
  for (std::size_t i = 0; i < name.size(); ++i) name[i] = static_cast<char16_t>(be16(leaf, at + 8 + 2 * i));
  return name;
}

TEST(VolumeName, StoredDecomposedWithTheFormatsExceptions) {
  ScratchDir dir;
  struct Expect {
    std::string utf8;
    std::u16string stored;
  };
  const Expect cases[] = {
      {"Caf\u00e9 \u00dcber", u"Cafe\u0301 U\u0308ber"},          // composed input is decomposed
      {"Cafe\u0301", u"Cafe\u0301"},                               // already decomposed: unchanged
      {"\ud55c", u"\u1112\u1161\u11ab"},                           // Hangul syllable into its jamo
      {"\u2126 \uf900 \u00c5", u"\u2126 \uf900 A\u030a"},           // U+2000-2FFF and U+F900-FAFF stay
      {"a:b", u"a/b"},                                           // ":" is stored as "/"
      {"a/b", u"a/b"},
      {"", u"untitled"},
  };
  for (const Expect& c : cases) {
    ImageFile image(dir.path() / "name.img", 1 * MiB);
    formatVolume(image.io(), 0, 1 * MiB, {c.utf8, false});
    EXPECT_EQ(storedName(image), c.stored) << c.utf8;
    if (c.utf8 == "a:b" || c.utf8.empty()) {  // reported as the Finder shows it
      EXPECT_EQ(describeVolume(image.io(), 0).name, c.utf8.empty() ? "untitled" : "a/b");
    }
    std::filesystem::remove(image.path());
  }
}

TEST(VolumeName, ReadersShowTheDecomposedName) {
  requireTools();
  ScratchDir dir;
  ImageFile image(dir.path() / "volume.img", 1 * MiB);
  formatVolume(image.io(), 0, 1 * MiB, {"R\u00e9sum\u00e9", true});
  const Outcome report = run("fsstat -f hfs " + quote(image.path()));
  EXPECT_EQ(field(report.output, "Volume Name"), "Re\u0301sume\u0301");
}

TEST(Refusals, SizesNamesAndBoundsThatCannotMakeAVolume) {
  ScratchDir dir;
  ImageFile image(dir.path() / "volume.img", 4 * MiB);
  auto refuses = [&](std::uint64_t offset, std::uint64_t length, VolumeOptions options, const std::string& reason) {
    try {
      formatVolume(image.io(), offset, length, options);
      ADD_FAILURE() << "accepted: " << reason;
    } catch (const ToolError& e) {
      EXPECT_NE(std::string(e.what()).find(reason), std::string::npos) << e.what();
    }
  };
  refuses(0, 512 * KiB - 512, {"small", false}, "too small");
  refuses(0, 600 * KiB, {"journal", true}, "too small for a journaled");
  refuses(1 * MiB, 4 * MiB, {"beyond", false}, "does not fit");
  refuses(0, 1 * MiB, {"bad \xff utf8", false}, "not valid UTF-8");
  refuses(0, 1 * MiB, {std::string(256, 'x'), false}, "too long");
  // Nothing was written by any refusal.
  EXPECT_FALSE(isHfsPlus(image.io(), 0));
  EXPECT_EQ(allocatedBytes(image.path()), 0u);
  // The smallest journaled volume that fits is accepted, and one 255 characters long is too.
  formatVolume(image.io(), 0, 1 * MiB, {std::string(255, 'x'), true});
  EXPECT_TRUE(isHfsPlus(image.io(), 0));
}

TEST(Sparse, ALargeVolumeWritesOnlyItsMetadata) {
  ScratchDir dir;
  for (bool journaled : {false, true}) {
    ImageFile image(dir.path() / "big.img", 2 * TiB);
    formatVolume(image.io(), 0, 2 * TiB, {"Big", journaled});
    // Header and alternate, a bitmap prefix, three B-tree header nodes and a catalog leaf.
    EXPECT_LT(allocatedBytes(image.path()), 512 * KiB) << journaled;
    std::filesystem::remove(image.path());
  }
}

TEST(Placement, AVolumeInsideALargerImageStaysWithinItsPartition) {
  ScratchDir dir;
  const std::uint64_t start = 20480, length = 3 * MiB;
  ImageFile image(dir.path() / "disk.img", start + length + 16896);
  const std::vector<unsigned char> guard(512, 0xA5);
  image.write(start - 512, guard);
  image.write(start + length, guard);
  formatVolume(image.io(), start, length, {"Inside", true});
  EXPECT_EQ(image.read(start - 512, 512), guard);
  EXPECT_EQ(image.read(start + length, 512), guard);
  EXPECT_TRUE(isHfsPlus(image.io(), start));
  EXPECT_FALSE(isHfsPlus(image.io(), 0));
  EXPECT_EQ(image.read(start + 1024, 512), image.read(start + length - 1024, 512)) << "alternate header";
  EXPECT_EQ(describeVolume(image.io(), start).name, "Inside");
  EXPECT_TRUE(describeVolume(image.io(), start).journaled);
}

// Creation date in local time, every other date in UTC, all counted from 1904.
TEST(Dates, CreationIsLocalTimeTheRestUtc) {
  const char* saved = std::getenv("TZ");
  const std::string previous = saved ? saved : "";
  ::setenv("TZ", "IST-5:30", 1);
  ::tzset();
  ScratchDir dir;
  ImageFile image(dir.path() / "volume.img", 1 * MiB);
  const auto before = static_cast<std::uint64_t>(std::time(nullptr));
  formatVolume(image.io(), 0, 1 * MiB, {"Dates", false});
  if (saved) {
    ::setenv("TZ", previous.c_str(), 1);
  } else {
    ::unsetenv("TZ");
  }
  ::tzset();

  const auto header = image.read(1024, 512);
  const std::uint64_t modified = be32(header, 20);
  EXPECT_EQ(std::int64_t{be32(header, 16)} - std::int64_t(modified), 5 * 3600 + 30 * 60);
  EXPECT_GE(modified, before + 2082844800u);
  EXPECT_LE(modified, before + 2082844800u + 60);
  EXPECT_EQ(be32(header, 28), modified) << "checked date";
}

}  // namespace
}  // namespace quorbel::imagetool::hfsplus
