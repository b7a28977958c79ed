// The range copier on the file system the tests run on, each way forced in turn: the bytes that land,
// the holes that stay holes, and the way each range took; convert's flush. Shared blocks on a real
// copy-on-write file system are checked through reflink_test.sh.

#include "imagetool/bundle/range_copy.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <sstream>

#include "imagetool/bundle/fs_util.h"
#include "imagetool/bundle/operations.h"
#include "imagetool/image_io.h"
#include "support.h"

namespace quorbel::imagetool {
namespace {

using test::MiB;
using test::readFile;
using test::Scratch;

constexpr std::uint64_t KiB = 1024;

// Where `fd` holds data at or after `offset`, or -1 when only a hole follows (independent of the code
// under test: the kernel's own answer).
off_t nextData(int fd, std::uint64_t offset) { return ::lseek(fd, static_cast<off_t>(offset), SEEK_DATA); }

// A 3 MiB source: data [0, 64 KiB), a hole to 1 MiB, data [1 MiB, 1 MiB + 100 KiB + 5) whose middle
// 16 KiB are zeros, then a hole to the end.
std::string makeSource(const std::string& path) {
  std::string image(3 * MiB, '\0');
  const std::string head = test::randomBytes(64 * KiB, 1);
  std::string body = test::randomBytes(100 * KiB + 5, 2);
  std::fill_n(body.begin() + 40 * KiB, 16 * KiB, '\0');
  image.replace(0, head.size(), head);
  image.replace(MiB, body.size(), body);
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
  EXPECT_TRUE(fd);
  EXPECT_EQ(::pwrite(fd.get(), head.data(), head.size(), 0), static_cast<ssize_t>(head.size()));
  EXPECT_EQ(::pwrite(fd.get(), body.data(), body.size(), MiB), static_cast<ssize_t>(body.size()));
  EXPECT_EQ(::ftruncate(fd.get(), 3 * MiB), 0);
  return image;
}

struct Way {
  const char* name;
  CopyWay way;
};
const Way ways[] = {{"clone", CopyWay::clone}, {"kernel", CopyWay::kernel}, {"readWrite", CopyWay::readWrite}};

TEST(RangeCopy, EveryWayLandsTheSameBytesAndKeepsHolesAtAnyOffsets) {
  Scratch dir;
  const std::string source = makeSource(dir / "src");
  UniqueFd src(::open((dir / "src").c_str(), O_RDONLY));
  ASSERT_TRUE(src);
  struct Case {
    std::uint64_t srcOffset, dstOffset, length;
  };
  // Whole file; a block-aligned move; offsets in different places within their blocks; past the end.
  const Case cases[] = {
      {0, 0, 3 * MiB}, {MiB, 8 * KiB, MiB}, {4096 + 100, 7, 2 * MiB}, {MiB + 50 * KiB, 3 * MiB, 4 * MiB}};
  for (const Way& way : ways) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(way.name) + " from " + std::to_string(c.srcOffset) + " to " +
                   std::to_string(c.dstOffset));
      const std::string path = dir / "dst";
      UniqueFd dst(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644));
      ASSERT_TRUE(dst);
      RangeCopier copier(way.way);
      const std::uint64_t placed = copier.copy(src.get(), c.srcOffset, dst.get(), c.dstOffset, c.length, "src");
      // Read back by the C++ library, not the copier: the destination holds the source's range, and
      // nothing else reads as anything but zeros.
      std::string want = source.substr(c.srcOffset, c.length);
      const std::string got = readFile(path);
      ASSERT_LE(got.size(), c.dstOffset + want.size());
      want.resize(got.size() - c.dstOffset, '\0');
      EXPECT_EQ(got.substr(0, c.dstOffset), std::string(std::min<std::uint64_t>(c.dstOffset, got.size()), '\0'));
      EXPECT_EQ(got.substr(c.dstOffset), want);
      // The source's hole [64 KiB, 1 MiB) is a hole in the destination too.
      if (c.srcOffset < 60 * KiB) {
        const std::uint64_t holeStart = c.dstOffset + 64 * KiB - c.srcOffset + 4096;
        EXPECT_GE(nextData(dst.get(), holeStart), static_cast<off_t>(holeStart + 900 * KiB - 8192));
      }
      // Nothing past the source's data was written: the file ends where the last data lands (or the
      // end of its block, which the source holds as data too).
      const std::uint64_t dataEnd = MiB + 100 * KiB + 5;
      if (c.srcOffset < dataEnd) {
        EXPECT_GE(got.size(), c.dstOffset + dataEnd - c.srcOffset);
        EXPECT_LT(got.size(), c.dstOffset + dataEnd - c.srcOffset + 4096);
      }
      const CopyTally& tally = copier.tally();
      EXPECT_EQ(placed, tally.cloned + tally.kernelCopied + tally.written);
      if (way.way == CopyWay::readWrite) {
        EXPECT_EQ(tally.cloned + tally.kernelCopied, 0u);
        // The body's 16 KiB of zeros, on whole blocks of the destination here, are left a hole.
        if (c.srcOffset == MiB) {
          EXPECT_EQ(nextData(dst.get(), 48 * KiB), static_cast<off_t>(64 * KiB));
        }
      }
      if (way.way == CopyWay::kernel) {
        EXPECT_EQ(tally.cloned, 0u);
        EXPECT_GT(tally.kernelCopied, 0u);  // every file system copies within itself in the kernel
      }
      EXPECT_EQ(tally.cloned + tally.kernelCopied + tally.written + tally.skipped, c.length);
    }
  }
}

TEST(RangeCopy, ASourceThatIsAllHoleOrEmptyPlacesNothing) {
  Scratch dir;
  UniqueFd src(::open((dir / "src").c_str(), O_RDWR | O_CREAT, 0644));
  UniqueFd dst(::open((dir / "dst").c_str(), O_RDWR | O_CREAT, 0644));
  ASSERT_TRUE(src && dst);
  for (const Way& way : ways) {
    RangeCopier copier(way.way);
    EXPECT_EQ(copier.copy(src.get(), 0, dst.get(), 0, MiB, "src"), 0u) << way.name;
    ASSERT_EQ(::ftruncate(src.get(), 2 * MiB), 0);
    EXPECT_EQ(copier.copy(src.get(), 0, dst.get(), 0, 2 * MiB, "src"), 0u) << way.name;
    EXPECT_EQ(copier.tally().skipped, 3 * MiB) << way.name;
    ASSERT_EQ(::ftruncate(src.get(), 0), 0);
  }
  struct stat st {};
  ASSERT_EQ(::fstat(dst.get(), &st), 0);
  EXPECT_EQ(st.st_size, 0);
}

TEST(RangeCopy, AFailureNoWayAvoidsIsReportedWithTheFileName) {
  Scratch dir;
  makeSource(dir / "src");
  UniqueFd src(::open((dir / "src").c_str(), O_RDONLY));
  UniqueFd readOnly(::open((dir / "src").c_str(), O_RDONLY));
  for (const Way& way : ways) {
    RangeCopier copier(way.way);
    try {
      copier.copy(src.get(), 0, readOnly.get(), 3 * MiB, MiB, "band 7");
      ADD_FAILURE() << way.name << ": no error";
    } catch (const ToolError& e) {
      EXPECT_NE(std::string(e.what()).find("band 7"), std::string::npos) << e.what();
    }
  }
}

// convert's new bands reach the disk in one flush of the file system, before the new bundle is
// renamed into place; no band is flushed on its own (thousands of flushes cost seconds).
TEST(Convert, FlushesTheFileSystemOnceBeforeTheNewBundleIsRenamedIntoPlace) {
  Scratch dir;
  std::map<std::uint64_t, std::string> bands;
  for (std::uint64_t i = 0; i < 12; ++i) bands[i] = test::randomBytes(MiB, static_cast<std::uint32_t>(i + 1));
  test::makeBundle(dir / "src.sparsebundle", MiB, 12 * MiB, bands);
  std::vector<std::pair<std::string, std::string>> calls;
  fileSystemCalls().observe = [&](const char* call, const std::string& what) { calls.emplace_back(call, what); };
  std::ostringstream out;
  convertBundle(dir / "src.sparsebundle", dir / "dst.sparsebundle", 2 * MiB, out);
  fileSystemCalls().observe = nullptr;
  EXPECT_EQ(test::flatten(dir / "dst.sparsebundle"), test::flatten(dir / "src.sparsebundle"));
  const auto at = [&](const std::string& call, const std::string& what) {
    return std::find(calls.begin(), calls.end(), std::make_pair(call, what)) - calls.begin();
  };
  const auto flushes = std::count_if(calls.begin(), calls.end(), [](const auto& c) { return c.first == "syncfs"; });
  const auto bandFsyncs = std::count_if(calls.begin(), calls.end(), [](const auto& c) {
    return c.first == "fsync" && c.second.find("/bands/") != std::string::npos;
  });
  EXPECT_EQ(flushes, 1);
  ASSERT_LT(at("rename", dir / "dst.sparsebundle"), static_cast<std::ptrdiff_t>(calls.size()));
  const auto flush = std::find_if(calls.begin(), calls.end(), [](const auto& c) { return c.first == "syncfs"; });
  EXPECT_LT(flush - calls.begin(), at("rename", dir / "dst.sparsebundle"));
  // Where the file system's own flush is not known to reach its disk (tmpfs, SMB, FUSE…), each band
  // is flushed as well.
  struct statfs fs {};
  ASSERT_EQ(::statfs(dir.path().c_str(), &fs), 0);
  const bool local = fs.f_type == 0xEF53 || fs.f_type == 0x58465342 || fs.f_type == 0x9123683E;
  if (local) {
    EXPECT_EQ(bandFsyncs, 0) << "bands flushed one by one";
  } else {
    EXPECT_EQ(bandFsyncs, 6) << "bands not flushed on a file system whose syncfs may stop short";
  }
}

// On a file system that shares blocks (reflink_test.sh runs this with QUORBEL_COW_DIR set to a
// loop-mounted XFS or Btrfs): whole blocks are shared, not copied; a part block at an end is copied.
TEST(RangeCopy, WholeBlocksAreSharedWhereTheFileSystemCan) {
  const char* cow = std::getenv("QUORBEL_COW_DIR");
  if (cow == nullptr) GTEST_SKIP() << "run by reflink_test.sh on a copy-on-write file system";
  const std::string src = std::string(cow) + "/range-src", dst = std::string(cow) + "/range-dst";
  const std::string source = makeSource(src);
  UniqueFd in(::open(src.c_str(), O_RDONLY));
  ASSERT_TRUE(in);
  struct Case {
    CopyWay way;
    std::uint64_t srcOffset, dstOffset, length, cloned;
  };
  // The source's data as the file system holds it: 64 KiB, then 100 KiB and 5 bytes in whole blocks. A
  // range ending inside a block shares the blocks before it and copies the part block.
  const Case cases[] = {{CopyWay::clone, 0, 0, 3 * MiB, 64 * KiB + 104 * KiB},
                        {CopyWay::clone, 0, 8 * KiB, 3 * MiB, 64 * KiB + 104 * KiB},
                        {CopyWay::clone, 0, 100, 3 * MiB, 0},  // offsets unlike in their blocks: nothing shared
                        {CopyWay::clone, MiB, 4 * KiB, 50 * KiB + 100, 48 * KiB},
                        {CopyWay::clone, 4 * KiB, 0, 20 * KiB + 1, 20 * KiB},
                        {CopyWay::readWrite, 0, 0, 3 * MiB, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.srcOffset) + " to " + std::to_string(c.dstOffset));
    ::unlink(dst.c_str());
    UniqueFd out(::open(dst.c_str(), O_RDWR | O_CREAT, 0644));
    ASSERT_TRUE(out);
    RangeCopier copier(c.way);
    copier.copy(in.get(), c.srcOffset, out.get(), c.dstOffset, c.length, "src");
    EXPECT_EQ(copier.tally().cloned, c.cloned);
    const std::string got = readFile(dst);
    if (c.length < MiB) {
      EXPECT_EQ(got.size(), c.dstOffset + c.length);  // nothing of the source past the range
    }
    EXPECT_EQ(got.substr(c.dstOffset), source.substr(c.srcOffset, got.size() - c.dstOffset));
    // The kernel's extent map agrees: shared blocks where sharing was reported.
    std::uint64_t shared = 0;
    for (const test::Extent& e : test::extents(dst))
      if (e.shared) shared += e.length;
    EXPECT_EQ(shared, c.cloned);
  }
  ::unlink(dst.c_str());
  ::unlink(src.c_str());
}

}  // namespace
}  // namespace quorbel::imagetool
