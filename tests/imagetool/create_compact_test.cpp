// Create with a stand-in for the partition and file-system layout (the real one lives in
// imagetool/layout), and compaction of the space a file system reports free.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

#include "imagetool/bundle/fs_util.h"
#include "imagetool/bundle/operations.h"
#include "support.h"

namespace quorbel::imagetool {
namespace {

using test::exists;
using test::Scratch;

constexpr std::uint64_t MiB = 1 << 20;

struct Piece {
  std::uint64_t offset;
  std::string bytes;
};

// Writes `pieces` into the image file the way a formatter would, checking it was given the right size.
LayoutFunction standInLayout(const std::vector<Piece>& pieces) {
  return [pieces](const std::string& imagePath, std::uint64_t size) {
    UniqueFd fd(::open(imagePath.c_str(), O_RDWR));
    if (!fd) throw ToolError("stand-in layout: cannot open the image");
    struct stat st {};
    ::fstat(fd.get(), &st);
    if (static_cast<std::uint64_t>(st.st_size) != size) throw ToolError("stand-in layout: wrong size");
    for (const Piece& p : pieces) writeAll(fd.get(), p.bytes.data(), p.bytes.size(), p.offset, "image");
  };
}

TEST(Create, CopiesOnlyWhatTheLayoutWroteIntoBandsAndNeverABandOfZeros) {
  Scratch dir;
  const std::string path = dir / "New Volume.sparsebundle";
  const std::uint64_t size = 64 * MiB + 512;
  const std::vector<Piece> pieces{{0, test::randomBytes(4096, 1)},
                                  {10 * MiB - 100, test::randomBytes(3000, 2)},  // across a band boundary
                                  {20 * MiB, std::string(MiB, '\0')},            // written, but zeros
                                  {size - 1024, test::randomBytes(1024, 3)}};  // across the last boundary
  std::string expected(size, '\0');
  for (const Piece& p : pieces) expected.replace(p.offset, p.bytes.size(), p.bytes);

  std::ostringstream out;
  createBundle({path, size, MiB}, standInLayout(pieces), out);
  EXPECT_EQ(out.str(), "created: " + path + "\n");
  EXPECT_EQ(test::listDir(path + "/bands"), (std::vector<std::string>{"0", "3f", "40", "9", "a"}));
  EXPECT_EQ(test::flatten(path), expected);
  EXPECT_EQ(test::readFile(path + "/Info.plist"), test::infoPlist(MiB, static_cast<std::int64_t>(size)));
  EXPECT_EQ(test::readFile(path + "/Info.bckup"), test::readFile(path + "/Info.plist"));
  EXPECT_EQ(test::readFile(path + "/token"), "");
  EXPECT_TRUE(exists(path + "/lock"));
  // The finished bundle has ordinary folder permissions, and nothing else is left in the folder.
  struct stat st {};
  ::stat(path.c_str(), &st);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0777 & ~mask);
  EXPECT_EQ(test::listDir(dir.path()), std::vector<std::string>{"New Volume.sparsebundle"});
}

TEST(Create, AHugeImageCostsOnlyItsData) {
  Scratch dir;
  const std::string path = dir / "huge.sparsebundle";
  const std::uint64_t size = 2ull << 40;  // 2 TiB
  std::ostringstream out;
  createBundle({path, size, 8 * MiB},
               standInLayout({{0, test::randomBytes(MiB, 4)}, {size - 4096, test::randomBytes(4096, 5)}}), out);
  EXPECT_EQ(test::listDir(path + "/bands"), (std::vector<std::string>{"0", "3ffff"}));
  EXPECT_LE(test::allocatedBytes(path + "/bands/0") + test::allocatedBytes(path + "/bands/3ffff"), MiB + 64 * 1024);
}

TEST(Create, AFailingLayoutOrAnExistingPathLeavesNothingBehind) {
  Scratch dir;
  const std::string path = dir / "x.sparsebundle";
  std::ostringstream out;
  EXPECT_THROW(createBundle({path, 8 * MiB, MiB},
                            [](const std::string&, std::uint64_t) { throw ToolError("the volume is too small"); },
                            out),
               ToolError);
  EXPECT_TRUE(test::listDir(dir.path()).empty());
  test::writeFile(path, "a file");
  EXPECT_THROW(createBundle({path, 8 * MiB, MiB}, standInLayout({}), out), ToolError);
  EXPECT_EQ(test::readFile(path), "a file");
  EXPECT_EQ(test::listDir(dir.path()), std::vector<std::string>{"x.sparsebundle"});
  EXPECT_EQ(out.str(), "");
}

TEST(CompactFreeSpace, BlocksTheFileSystemReportsFreeAreReclaimedAndNothingElse) {
  Scratch dir;
  const std::string path = dir / "f.sparsebundle";
  // Old data everywhere; the "file system" says band 1 and the second half of band 2 are free.
  const std::string b0 = test::randomBytes(MiB, 10), b1 = test::randomBytes(MiB, 11), b2 = test::randomBytes(MiB, 12);
  test::makeBundle(path, MiB, 3 * MiB, {{0, b0}, {1, b1}, {2, b2}});
  std::uint64_t seenSize = 0;
  std::string seenStart(16, 'x');
  const FreeSpaceFunction freeSpace = [&](const ImageIO& image) {
    seenSize = image.size();
    image.read(0, seenStart.data(), seenStart.size());
    return std::vector<ByteRange>{{MiB + MiB / 2, MiB / 2}, {MiB, MiB / 2}, {2 * MiB + MiB / 2, MiB / 2}};
  };
  std::ostringstream out;
  const CompactResult result = compactBundle(path, freeSpace, out);
  EXPECT_EQ(seenSize, 3 * MiB);
  EXPECT_EQ(seenStart, b0.substr(0, 16));
  EXPECT_FALSE(exists(path + "/bands/1"));
  EXPECT_EQ(test::readFile(path + "/bands/0"), b0);
  EXPECT_EQ(test::readFile(path + "/bands/2"), b2.substr(0, MiB / 2));
  EXPECT_GE(result.reclaimed, MiB + MiB / 2);
  EXPECT_GE(result.possible, result.reclaimed);
  EXPECT_NE(out.str().find("Reclaimed 1.5 MB out of 1.5 MB possible."), std::string::npos) << out.str();
}

}  // namespace
}  // namespace quorbel::imagetool
