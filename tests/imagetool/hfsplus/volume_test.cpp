// Free ranges and resizing, on the macOS-made volume (which holds files) and on volumes of our own,
// judged by The Sleuth Kit and 7-Zip.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "imagetool/hfsplus/hfsplus.h"
#include "test_support.h"

namespace quorbel::imagetool::hfsplus {
namespace {

using namespace hfstest;
constexpr std::uint64_t KiB = 1024, MiB = 1024 * KiB, GiB = 1024 * MiB;
using Ranges = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

std::uint32_t be32(const std::vector<unsigned char>& b, std::size_t at) {
  return (std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) | (std::uint32_t{b[at + 2]} << 8) | b[at + 3];
}

std::string field(const std::string& report, const std::string& name) {
  const auto at = report.find(name + ": ");
  if (at == std::string::npos) return "<missing " + name + ">";
  const auto start = at + name.size() + 2;
  return report.substr(start, report.find('\n', start) - start);
}

std::uint64_t total(const Ranges& ranges) {
  std::uint64_t sum = 0;
  for (const auto& r : ranges) sum += r.second;
  return sum;
}

bool haveTools() { return haveProgram("fsstat") && haveProgram("fls") && haveProgram("icat") && haveProgram("7zz"); }

// What The Sleuth Kit and 7-Zip say of a volume, checked against the volume header.
void expectReadable(ImageFile& image, std::uint64_t blocks, const std::string& context) {
  const Outcome report = run("fsstat -f hfs " + quote(image.path()));
  ASSERT_EQ(report.status, 0) << context << "\n" << report.output;
  EXPECT_EQ(field(report.output, "Block Range"), "0 - " + std::to_string(blocks - 1)) << context;
  const VolumeSummary s = describeVolume(image.io(), 0);
  EXPECT_EQ(field(report.output, "Number of Free Blocks"), std::to_string(s.freeBlocks)) << context;
  EXPECT_EQ(total(freeRanges(image.io(), 0)), std::uint64_t{s.freeBlocks} * s.blockSize)
      << context << ": the free count disagrees with the allocation file";
  EXPECT_EQ(run("fls -f hfs -r " + quote(image.path())).status, 0) << context;
  const Outcome zip = run("7zz l " + quote(image.path()));
  EXPECT_EQ(zip.status, 0) << context << "\n" << zip.output;
  // The alternate header 1024 bytes before the end agrees on the geometry (macOS refreshes the rest of
  // it only now and then).
  const auto primary = image.read(1024, 512), alternate = image.read(image.io().size() - 1024, 512);
  EXPECT_EQ(alternate[0], 'H') << context;
  EXPECT_TRUE(std::equal(primary.begin() + 40, primary.begin() + 48, alternate.begin() + 40)) << context;
  EXPECT_TRUE(std::equal(primary.begin() + 112, primary.begin() + 192, alternate.begin() + 112)) << context;
}

class Fixture : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!haveTools()) GTEST_SKIP() << "The Sleuth Kit and 7-Zip are needed (scripts/setup installs them)";
    path_ = fixtureVolume(dir_.path() / "mac.img");
    if (path_.empty()) GTEST_SKIP() << "macOS fixtures not found under ../shared/fixtures";
    image_ = std::make_unique<ImageFile>(path_);
    files_ = readAllFiles(path_);
    ASSERT_GE(files_.size(), 47u);  // and the journal's and the event store's own
  }
  void expectFilesUnchanged(const std::string& context) {
    const auto now = readAllFiles(path_);
    ASSERT_EQ(now.size(), files_.size()) << context;
    for (std::size_t i = 0; i < now.size(); ++i) {
      EXPECT_EQ(now[i].name, files_[i].name) << context;
      EXPECT_TRUE(now[i].bytes == files_[i].bytes) << context << ": " << now[i].name << " changed";
    }
  }
  ScratchDir dir_;
  std::filesystem::path path_;
  std::unique_ptr<ImageFile> image_;
  std::vector<FileContents> files_;
};

TEST_F(Fixture, FreeRangesHoldNoFileOrHeader) {
  const Ranges ranges = freeRanges(image_->io(), 0);
  const VolumeSummary s = describeVolume(image_->io(), 0);
  EXPECT_EQ(s.name, "Test1");
  ASSERT_FALSE(ranges.empty());
  EXPECT_EQ(total(ranges), std::uint64_t{s.freeBlocks} * s.blockSize);
  for (const auto& [start, length] : ranges) {
    EXPECT_EQ(start % s.blockSize, 0u);
    EXPECT_EQ(length % s.blockSize, 0u);
    EXPECT_GE(start, s.blockSize) << "block 0 holds the volume header";
    EXPECT_LE(start + length, image_->io().size() - s.blockSize) << "the last block holds the alternate header";
  }
  EXPECT_TRUE(std::is_sorted(ranges.begin(), ranges.end()));

  // Old data in every free block is what a deleted file leaves; overwriting it must not touch a file.
  for (const auto& [start, length] : ranges) image_->write(start, std::vector<unsigned char>(length, 0x5A));
  expectFilesUnchanged("after filling the free ranges");
  expectReadable(*image_, 1280, "after filling the free ranges");
}

TEST_F(Fixture, GrowThenShrinkBackKeepsEveryFile) {
  image_->resize(64 * MiB);
  resizeVolume(image_->io(), 0, 5 * MiB, 64 * MiB);
  expectReadable(*image_, 64 * MiB / 4096, "grown to 64 MiB");
  expectFilesUnchanged("grown to 64 MiB");

  resizeVolume(image_->io(), 0, 64 * MiB, 5 * MiB);
  image_->resize(5 * MiB);
  expectReadable(*image_, 1280, "shrunk back to 5 MiB");
  expectFilesUnchanged("shrunk back to 5 MiB");
}

TEST_F(Fixture, ShrinkOverFilesIsRefusedAndChangesNothing) {
  const auto before = image_->read(0, 5 * MiB);
  try {
    resizeVolume(image_->io(), 0, 5 * MiB, 4 * MiB);
    ADD_FAILURE() << "shrinking over files was accepted";
  } catch (const ToolError& e) {
    EXPECT_NE(std::string(e.what()).find("in use"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("needs at least"), std::string::npos) << e.what();
  }
  EXPECT_TRUE(image_->read(0, 5 * MiB) == before);
}

TEST_F(Fixture, StaleAllocationInformationIsRefused) {
  const auto header = image_->read(1024, 512);
  auto refusedEverywhere = [&](const std::string& reason) {
    EXPECT_THROW(freeRanges(image_->io(), 0), ToolError) << reason;
    image_->resize(8 * MiB);
    EXPECT_THROW(resizeVolume(image_->io(), 0, 5 * MiB, 8 * MiB), ToolError) << reason;
    image_->resize(5 * MiB);
  };

  // Not cleanly unmounted: the volume header's "unmounted" attribute cleared.
  auto dirty = header;
  dirty[6] &= static_cast<unsigned char>(~0x01);
  image_->write(1024, dirty);
  refusedEverywhere("not cleanly unmounted");
  image_->write(1024, header);

  // A journal holding a transaction: its end no longer equals its start.
  const std::uint64_t jib = std::uint64_t{be32(header, 12)} * 4096;
  const auto info = image_->read(jib, 52);
  const std::uint64_t journal = (std::uint64_t{be32(info, 36)} << 32) | be32(info, 40);
  const auto journalHeader = image_->read(journal, 32);
  auto busy = journalHeader;
  busy[16] ^= 0x10;  // the end offset (little-endian on this volume)
  image_->write(journal, busy);
  refusedEverywhere("journal not empty");
  image_->write(journal, journalHeader);

  EXPECT_NO_THROW(freeRanges(image_->io(), 0));
}

// Our own volumes, through growth that needs a larger allocation file and back down.
TEST(Resize, GrowAddsAllocationFileSpaceAndShrinkStopsAtIt) {
  if (!haveTools()) GTEST_SKIP() << "The Sleuth Kit and 7-Zip are needed (scripts/setup installs them)";
  ScratchDir dir;
  ImageFile image(dir.path() / "volume.img", 1 * MiB);
  formatVolume(image.io(), 0, 1 * MiB, {"Grows", true});

  // 100 MiB still fits the one-block allocation file: it grows in the header only.
  image.resize(100 * MiB);
  resizeVolume(image.io(), 0, 1 * MiB, 100 * MiB);
  expectReadable(image, 100 * MiB / 4096, "grown to 100 MiB");

  // 2 GiB needs 16 blocks of allocation file: a second extent in the added space.
  image.resize(2 * GiB);
  resizeVolume(image.io(), 0, 100 * MiB, 2 * GiB);
  expectReadable(image, 2 * GiB / 4096, "grown to 2 GiB");
  const auto header = image.read(1024, 512);
  EXPECT_EQ(be32(header, 112 + 12), 16u) << "allocation file blocks";
  EXPECT_EQ(be32(header, 112 + 24), 100 * MiB / 4096) << "second allocation extent starts at the old end";
  EXPECT_LT(allocatedBytes(image.path()), 2 * MiB) << "growth writes only what is not zero";

  // Below the second extent: refused, and the report names the smallest size that would do.
  const auto before = image.read(0, 2 * MiB);
  const auto alternate = image.read(2 * GiB - 1024, 512);
  try {
    resizeVolume(image.io(), 0, 2 * GiB, 50 * MiB);
    ADD_FAILURE() << "shrinking over the allocation file was accepted";
  } catch (const ToolError& e) {
    EXPECT_NE(std::string(e.what()).find("at least " + std::to_string(100 * MiB + 16 * 4096)),
              std::string::npos)
        << e.what();
  }
  EXPECT_TRUE(image.read(0, 2 * MiB) == before);
  EXPECT_EQ(image.read(2 * GiB - 1024, 512), alternate);

  resizeVolume(image.io(), 0, 2 * GiB, 101 * MiB);
  image.resize(101 * MiB);
  expectReadable(image, 101 * MiB / 4096, "shrunk to 101 MiB");

  // A size that is not a whole number of blocks keeps its tail outside the last block.
  image.resize(101 * MiB + 1536);
  resizeVolume(image.io(), 0, 101 * MiB, 101 * MiB + 1536);
  expectReadable(image, 101 * MiB / 4096, "tail of 1536 bytes");
  image.resize(120 * MiB + 512);
  resizeVolume(image.io(), 0, 101 * MiB + 1536, 120 * MiB + 512);
  expectReadable(image, 120 * MiB / 4096, "grown from an unaligned size");
}

TEST(Resize, RefusesWhatItCannotDo) {
  ScratchDir dir;
  ImageFile image(dir.path() / "volume.img", 4 * MiB);
  formatVolume(image.io(), 0, 4 * MiB, {"Small", false});
  const auto before = image.read(0, 4 * MiB);
  auto refuses = [&](std::uint64_t from, std::uint64_t to, const std::string& reason) {
    try {
      resizeVolume(image.io(), 0, from, to);
      ADD_FAILURE() << "accepted: " << reason;
    } catch (const ToolError& e) {
      EXPECT_NE(std::string(e.what()).find(reason), std::string::npos) << e.what();
    }
  };
  refuses(4 * MiB, 8 * MiB, "does not hold");             // the image was not grown first
  refuses(4 * MiB, 3 * MiB + 100, "512-byte sectors");
  refuses(2 * MiB, 3 * MiB, "does not fill its partition");  // wrong idea of the current size
  refuses(4 * MiB, 256 * KiB, "at least 512 KB");
  EXPECT_TRUE(image.read(0, 4 * MiB) == before);

  ImageFile blank(dir.path() / "blank.img", 4 * MiB);
  EXPECT_THROW(resizeVolume(blank.io(), 0, 4 * MiB, 2 * MiB), ToolError);
  EXPECT_THROW(freeRanges(blank.io(), 0), ToolError);
}

void put32(std::vector<unsigned char>& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (24 - 8 * i));
}

// macOS may fragment the allocation file, listing the rest of it in the extents overflow B-tree. Here a
// fresh volume's allocation file gets a second block that only an overflow record describes.
TEST(FreeRanges, FollowTheAllocationFileIntoTheExtentsOverflowFile) {
  ScratchDir dir;
  ImageFile image(dir.path() / "volume.img", 1 * MiB);
  formatVolume(image.io(), 0, 1 * MiB, {"Fragmented", false});
  const Ranges before = freeRanges(image.io(), 0);
  const std::uint32_t spare = static_cast<std::uint32_t>(before.front().first / 4096);

  auto header = image.read(1024, 512);
  put32(header, 112 + 12, 2);        // allocation file: two blocks, the record still lists one
  put32(header, 112 + 4, 8192);      // logical size (low word)
  put32(header, 48, be32(header, 48) - 1);  // one block fewer free
  image.write(1024, header);
  image.write(1 * MiB - 1024, header);
  auto bitmap = image.read(4096, 4096);
  bitmap[spare / 8] |= static_cast<unsigned char>(0x80u >> (spare % 8));
  image.write(4096, bitmap);

  const std::uint64_t tree = std::uint64_t{be32(header, 192 + 16)} * 4096;
  auto head = image.read(tree, 4096);
  head[14 + 1] = 1;                  // depth 1
  put32(head, 14 + 2, 1);            // root, leaf records, first and last leaf
  put32(head, 14 + 6, 1);
  put32(head, 14 + 10, 1);
  put32(head, 14 + 14, 1);
  put32(head, 14 + 26, be32(head, 14 + 26) - 1);  // free nodes
  head[248] = 0xC0;                  // nodes 0 and 1 in use
  image.write(tree, head);
  std::vector<unsigned char> leaf(4096, 0);
  leaf[8] = 0xFF;                    // leaf node, height 1, one record
  leaf[9] = 1;
  leaf[11] = 1;
  leaf[14 + 1] = 10;                 // key: length 10, data fork, file 6, from file block 1
  put32(leaf, 14 + 4, 6);
  put32(leaf, 14 + 8, 1);
  put32(leaf, 14 + 12, spare);       // extent: the spare block
  put32(leaf, 14 + 16, 1);
  leaf[4095] = 14;
  leaf[4093] = 14 + 76;
  image.write(tree + 4096, leaf);

  const Ranges after = freeRanges(image.io(), 0);
  EXPECT_EQ(total(after), total(before) - 4096);
  for (const auto& [start, length] : after) EXPECT_FALSE(start <= spare * 4096ull && spare * 4096ull < start + length);
  if (haveTools()) expectReadable(image, 256, "fragmented allocation file");

  // A record that does not continue where the file's extents stop is damage, not a guess.
  put32(leaf, 14 + 8, 2);
  image.write(tree + 4096, leaf);
  EXPECT_THROW(freeRanges(image.io(), 0), ToolError);
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

// Stopping a resize after any number of writes leaves the old or the new volume, whole.
TEST(Resize, ACrashAtAnyWriteLeavesTheOldOrTheNewVolume) {
  if (!haveTools()) GTEST_SKIP() << "The Sleuth Kit and 7-Zip are needed (scripts/setup installs them)";
  ScratchDir dir;
  struct Step {
    std::uint64_t from, to;
  };
  for (const Step step : {Step{4 * MiB, 300 * MiB}, Step{300 * MiB, 64 * MiB}}) {
    bool finished = false;
    for (int allowed = 0; !finished; ++allowed) {
      const auto path = dir.path() / "crash.img";
      std::filesystem::remove(path);
      ImageFile image(path, step.from);
      formatVolume(image.io(), 0, step.from, {"Crash", true});
      image.resize(std::max(step.from, step.to));
      CrashingIO crashing(image.io(), allowed);
      try {
        resizeVolume(crashing, 0, step.from, step.to);
      } catch (const ToolError& e) {
        ASSERT_TRUE(crashing.crashed()) << e.what();
      }
      finished = !crashing.crashed();
      const std::uint32_t blocks = describeVolume(image.io(), 0).totalBlocks;
      const std::uint64_t length = std::uint64_t{blocks} * 4096;
      ASSERT_TRUE(length == step.from || length == step.to) << allowed;
      image.resize(length);
      const Outcome report = run("fsstat -f hfs " + quote(image.path()));
      ASSERT_EQ(report.status, 0) << "after " << allowed << " writes\n" << report.output;
      EXPECT_EQ(image.read(1024, 512), image.read(length - 1024, 512)) << "after " << allowed << " writes";
      EXPECT_EQ(run("fls -f hfs " + quote(image.path())).status, 0);
      if (finished) {
        EXPECT_EQ(length, step.to);
      }
    }
  }
}

}  // namespace
}  // namespace quorbel::imagetool::hfsplus
