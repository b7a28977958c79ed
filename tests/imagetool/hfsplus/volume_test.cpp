// Free ranges and resizing, on the macOS-made volume (which holds files) and on volumes of our own,
// judged by The Sleuth Kit and 7-Zip.

#include <tuple>

#include "../support.h"
#include "imagetool/hfsplus/hfsplus.h"
#include "imagetool/hfsplus/structures.h"

namespace quorbel::imagetool::hfsplus {
namespace {

using namespace test;
namespace fs = std::filesystem;
constexpr std::uint64_t KiB = 1024, GiB = 1024 * MiB, TiB = 1024 * GiB;

void expectResizeRefused(ImageIO& io, std::uint64_t from, std::uint64_t to, const std::string& reason) {
  expectError([&] { resizeVolume(io, 0, from, to); }, reason);
}

// What resizing and compacting the macOS-made volume do to its files is judged through the tool in
// tests/imagetool/volumes; here, what they rely on.
TEST(MacOSVolume, FreeRangesSpareTheHeadersAndStaleVolumesAreRefused) {
  Scratch dir;
  const auto path = fixtureVolume(dir / "mac.img");
  if (path.empty()) GTEST_SKIP() << "macOS fixtures not found under ../shared/fixtures";
  ImageFile image(path);
  const Ranges ranges = freeRanges(image.io(), 0);
  const VolumeSummary s = describeVolume(image.io(), 0);
  EXPECT_EQ(s.name, "Test1");
  EXPECT_TRUE(s.journaled);
  EXPECT_EQ(total(ranges), std::uint64_t{s.freeBlocks} * s.blockSize);
  ASSERT_FALSE(ranges.empty());
  EXPECT_TRUE(std::is_sorted(ranges.begin(), ranges.end()));
  for (const auto& [start, length] : ranges) {
    EXPECT_EQ(start % s.blockSize + length % s.blockSize, 0u);
    EXPECT_GE(start, s.blockSize) << "block 0 holds the volume header";
    EXPECT_LE(start + length, image.io().size() - s.blockSize) << "the last block holds the alternate header";
  }

  // The header decoded field by field, as fsstat reports it and as the bytes read by hand say.
  const auto header = image.read(1024, 512);
  const detail::VolumeHeader h = detail::VolumeHeader::decode(header.data());
  EXPECT_EQ(std::tuple(h.signature, h.version, h.attributes, h.journalInfoBlock, h.blockSize, h.totalBlocks),
            std::tuple(0x482B, 4, 0x80002100u, 2u, 4096u, 1280u));
  EXPECT_EQ(std::tuple(h.freeBlocks, h.fileCount, h.folderCount, h.nextCatalogID, h.createDate, h.encodingsBitmap),
            std::tuple(11u, 47u, 3u, 66u, 0xd7517f92u, 1ull));
  EXPECT_EQ(std::tuple(h.catalogFile.logicalSize, h.catalogFile.extents[0].startBlock, h.catalogFile.totalBlocks),
            std::tuple(40960ull, 317u, 10u));
  EXPECT_EQ(std::tuple(h.attributesFile.extents[0].startBlock, h.extentsFile.extents[0].startBlock,
                       h.allocationFile.extents[0].blockCount),
            std::tuple(141u, 131u, 1u));
  EXPECT_TRUE(std::equal(header.begin(), header.end(), h.encode().begin())) << "encode is decode's inverse";

  // Not cleanly unmounted ("unmounted" attribute cleared), or a journal holding a transaction (its end,
  // little-endian on this volume, no longer equal to its start): the allocation file may be stale.
  const auto info = image.read(std::uint64_t{be32(header, 12)} * 4096, 52);
  const std::uint64_t journal = std::uint64_t{be32(info, 36)} << 32 | be32(info, 40);
  for (const std::uint64_t at : {std::uint64_t{1030}, journal + 16}) {
    const auto original = image.read(at, 1);
    image.write(at, {static_cast<unsigned char>(original[0] ^ (at == 1030 ? 0x01 : 0x10))});
    EXPECT_THROW(freeRanges(image.io(), 0), ToolError) << at;
    image.resize(8 * MiB);
    EXPECT_THROW(resizeVolume(image.io(), 0, 5 * MiB, 8 * MiB), ToolError) << at;
    image.resize(5 * MiB);
    image.write(at, original);
  }
  EXPECT_NO_THROW(freeRanges(image.io(), 0));
}

// Our own volumes, through growth that needs a larger allocation file and back down.
TEST(Resize, GrowAddsAllocationFileSpaceAndAnEmptyVolumeShrinksBackPastIt) {
  if (!haveReaders()) GTEST_SKIP() << kNoReaders;
  Scratch dir;
  ImageFile image(dir / "volume.img", 1 * MiB);
  formatVolume(image.io(), 0, 1 * MiB, {"Grows", true});
  // Allocation bits past the end, as a crash after a shrink may leave them: growing must clear them.
  image.write(4096 + 32, std::vector<unsigned char>(4096 - 32, 0xFF));
  auto resize = [&](std::uint64_t from, std::uint64_t to) {  // the file grows before and is cut after
    SCOPED_TRACE(std::to_string(from) + " to " + std::to_string(to));
    image.resize(std::max(from, to));
    resizeVolume(image.io(), 0, from, to);
    image.resize(to);
    expectReadable(image, to / 4096);
  };
  resize(1 * MiB, 100 * MiB);  // still fits the one-block allocation file: only the header changes
  resize(100 * MiB, 2 * GiB);  // needs 16 blocks of allocation file: a second extent in the added space
  const auto header = image.read(1024, 512);
  EXPECT_EQ(be32(header, 112 + 12), 16u) << "allocation file blocks";
  EXPECT_EQ(be32(header, 112 + 24), 100 * MiB / 4096) << "second allocation extent starts at the old end";
  EXPECT_LT(allocatedBytes(image.path()), 2 * MiB) << "growth writes only what is not zero";

  // An end inside the second extent: refused, naming the smallest size that would do, and nothing
  // changes. Below it, the extent goes with the space it describes.
  const auto before = image.read(0, 2 * MiB), alternate = image.read(2 * GiB - 1024, 512);
  expectResizeRefused(image.io(), 2 * GiB, 100 * MiB + 5 * 4096, "at least " + std::to_string(100 * MiB + 16 * 4096));
  EXPECT_TRUE(image.read(0, 2 * MiB) == before);
  EXPECT_EQ(image.read(2 * GiB - 1024, 512), alternate);
  resize(2 * GiB, 50 * MiB);
  EXPECT_EQ(be32(image.read(1024, 512), 112 + 12), 1u) << "allocation file blocks";
  resize(50 * MiB, 2 * GiB);
  resize(2 * GiB, 101 * MiB);
  // A size that is not a whole number of blocks keeps its tail outside the last block.
  resize(101 * MiB, 101 * MiB + 1536);
  resize(101 * MiB + 1536, 120 * MiB + 512);
}

TEST(Resize, RefusesWhatItCannotDoAndChangesNothing) {
  Scratch dir;
  ImageFile image(dir / "volume.img", 4 * MiB);
  formatVolume(image.io(), 0, 4 * MiB, {"Small", false});
  const auto before = image.read(0, 4 * MiB);
  expectResizeRefused(image.io(), 4 * MiB, 8 * MiB, "does not hold");  // the image was not grown first
  expectResizeRefused(image.io(), 4 * MiB, 3 * MiB + 100, "512-byte sectors");
  expectResizeRefused(image.io(), 2 * MiB, 3 * MiB, "does not fill its partition");  // wrong current size
  expectResizeRefused(image.io(), 4 * MiB, 256 * KiB, "at least 512 KB");
  EXPECT_TRUE(image.read(0, 4 * MiB) == before);

  ImageFile blank(dir / "blank.img", 4 * MiB);
  EXPECT_THROW(resizeVolume(blank.io(), 0, 4 * MiB, 2 * MiB), ToolError);
  EXPECT_THROW(freeRanges(blank.io(), 0), ToolError);
}

// macOS may fragment the allocation file, listing the rest of it in the extents overflow B-tree. Here a
// fresh volume's allocation file gets a second block that only an overflow record describes.
TEST(FreeRanges, FollowTheAllocationFileIntoTheExtentsOverflowFile) {
  Scratch dir;
  ImageFile image(dir / "volume.img", 1 * MiB);
  formatVolume(image.io(), 0, 1 * MiB, {"Fragmented", false});
  const Ranges before = freeRanges(image.io(), 0);
  const auto spare = static_cast<std::uint32_t>(before.front().first / 4096);

  auto header = image.read(1024, 512);
  putBe32(header, 112 + 12, 2);               // allocation file: two blocks, the record still lists one
  putBe32(header, 112 + 4, 8192);             // logical size (low word)
  putBe32(header, 48, be32(header, 48) - 1);  // one block fewer free
  image.write(1024, header);
  image.write(1 * MiB - 1024, header);
  auto bitmap = image.read(4096, 4096);
  bitmap[spare / 8] |= static_cast<unsigned char>(0x80u >> (spare % 8));
  image.write(4096, bitmap);

  const std::uint64_t tree = std::uint64_t{be32(header, 192 + 16)} * 4096;
  auto head = image.read(tree, 4096);
  head[14 + 1] = 1;                                                     // depth 1
  for (std::size_t at : {2u, 6u, 10u, 14u}) putBe32(head, 14 + at, 1);  // root, records, first and last leaf
  putBe32(head, 14 + 26, be32(head, 14 + 26) - 1);                      // free nodes
  head[248] = 0xC0;                                                     // nodes 0 and 1 in use
  image.write(tree, head);
  // Node 1: a leaf (height 1, one record) saying that block 1 on of file 6's data fork is the spare block.
  std::vector<unsigned char> leaf(4096, 0);
  for (const auto& [at, value] : {std::pair<std::size_t, std::uint32_t>{8, 0xFF010001},
                                  {14, 10u << 16},
                                  {18, 6},
                                  {22, 1},
                                  {26, spare},
                                  {30, 1},
                                  {4092, 90u << 16 | 14}})
    putBe32(leaf, at, value);
  image.write(tree + 4096, leaf);

  const Ranges after = freeRanges(image.io(), 0);
  EXPECT_EQ(total(after), total(before) - 4096);
  for (const auto& [start, length] : after) EXPECT_FALSE(start <= spare * 4096ull && spare * 4096ull < start + length);
  if (haveReaders()) expectReadable(image, 256);

  // A record that does not continue where the file's extents stop is damage, not a guess; so is a leaf
  // chain that loops or leaves the tree's file, however many nodes the header claims.
  putBe32(leaf, 22, 2);
  image.write(tree + 4096, leaf);
  EXPECT_THROW(freeRanges(image.io(), 0), ToolError);
  putBe32(leaf, 18, 7);  // another file's record: the walk goes on to the forward link
  putBe32(head, 14 + 22, 0xFFFFFFFF);
  image.write(tree, head);
  for (std::uint32_t next : {1u, 0x7FFFFFFFu}) {
    putBe32(leaf, 0, next);
    image.write(tree + 4096, leaf);
    expectError([&] { freeRanges(image.io(), 0); }, "leaf chain is broken");
  }
}

// An image that fails every write from a given one on, as a crash would stop them.
class CrashingIO : public ImageIO {
 public:
  CrashingIO(ImageIO& inner, int writesAllowed) : inner_(inner), left_(writesAllowed) {}
  std::uint64_t size() const override { return inner_.size(); }
  void read(std::uint64_t offset, void* data, std::size_t length) const override { inner_.read(offset, data, length); }
  void write(std::uint64_t offset, const void* data, std::size_t length) override {
    if (left_-- <= 0) throw ToolError("simulated crash");
    inner_.write(offset, data, length);
  }
  bool crashed() const { return left_ < 0; }

 private:
  ImageIO& inner_;
  int left_;
};

TEST(Resize, ACrashAtAnyWriteLeavesTheOldOrTheNewVolume) {
  if (!haveReaders()) GTEST_SKIP() << kNoReaders;
  Scratch dir;
  for (const auto& [from, to] : {std::pair{4 * MiB, 300 * MiB}, std::pair{300 * MiB, 64 * MiB}}) {
    for (int allowed = 0, finished = 0; !finished; ++allowed) {
      SCOPED_TRACE(std::to_string(from) + " to " + std::to_string(to) + ", crash after " + std::to_string(allowed));
      fs::remove(dir / "crash.img");
      ImageFile image(dir / "crash.img", from);
      formatVolume(image.io(), 0, from, {"Crash", true});
      image.resize(std::max(from, to));
      CrashingIO crashing(image.io(), allowed);
      try {
        resizeVolume(crashing, 0, from, to);
      } catch (const ToolError& e) {
        ASSERT_TRUE(crashing.crashed()) << e.what();
      }
      finished = !crashing.crashed();
      const std::uint64_t length = std::uint64_t{describeVolume(image.io(), 0).totalBlocks} * 4096;
      ASSERT_TRUE(length == from || length == to);
      if (finished) {
        EXPECT_EQ(length, to);
      }
      image.resize(length);
      ASSERT_EQ(run({"fsstat", "-f", "hfs", image.path()}).status, 0);
      EXPECT_EQ(run({"fls", "-f", "hfs", image.path()}).status, 0);
      EXPECT_EQ(image.read(1024, 512), image.read(length - 1024, 512));
    }
  }
}

}  // namespace
}  // namespace quorbel::imagetool::hfsplus
