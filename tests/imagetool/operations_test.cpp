// Create with a stand-in for the partition and file-system layout, its flushes, an interrupted wait for
// a formatter, and compaction of the space a file system reports free.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <filesystem>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "imagetool/bundle/fs_util.h"
#include "imagetool/bundle/operations.h"
#include "support.h"

namespace quorbel::imagetool {
namespace {

using test::exists;
using test::flatten;
using test::MiB;
using test::Scratch;

// Writes `pieces` (offset -> bytes) into the image as a formatter would.
LayoutFunction standInLayout(const std::map<std::uint64_t, std::string>& pieces) {
  return [pieces](ImageIO& image, const std::string&) {
    for (const auto& [offset, bytes] : pieces) image.write(offset, bytes.data(), bytes.size());
  };
}

std::string imageOf(const std::map<std::uint64_t, std::string>& pieces, std::uint64_t size) {
  std::string image(size, '\0');
  for (const auto& [offset, bytes] : pieces) image.replace(offset, bytes.size(), bytes);
  return image;
}

TEST(Create, CopiesOnlyWhatTheLayoutWroteAndNeverABandOfZeros) {
  Scratch dir;
  const std::string path = dir / "New Volume.sparsebundle";
  const std::uint64_t size = 64 * MiB + 512;
  const std::map<std::uint64_t, std::string> pieces{{0, test::randomBytes(4096, 1)},
                                                    {10 * MiB - 100, test::randomBytes(3000, 2)},
                                                    {20 * MiB, std::string(MiB, '\0')},
                                                    {size - 1024, test::randomBytes(1024, 3)}};
  std::ostringstream out;
  createBundle({path, size, MiB}, standInLayout(pieces), out);
  EXPECT_EQ(out.str(), "created: " + path + "\n");
  EXPECT_EQ(test::listDir(path + "/bands"), (std::vector<std::string>{"0", "3f", "40", "9", "a"}));
  EXPECT_EQ(flatten(path), imageOf(pieces, size));
  EXPECT_EQ(test::readFile(path + "/Info.plist"), test::infoPlist(MiB, static_cast<std::int64_t>(size)));
  EXPECT_EQ(test::readFile(path + "/Info.bckup") + test::readFile(path + "/token"),
            test::readFile(path + "/Info.plist"));
  EXPECT_TRUE(exists(path + "/lock"));
  // Ordinary folder permissions (not the temporary folder's), and nothing else left beside it.
  struct stat st {};
  ::stat(path.c_str(), &st);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0777 & ~mask);
  EXPECT_EQ(test::listDir(dir.path()), std::vector<std::string>{"New Volume.sparsebundle"});

  // A 2 TiB image costs only its data.
  const std::string huge = dir / "huge.sparsebundle";
  createBundle({huge, 2ull << 40, 8 * MiB},
               standInLayout({{0, test::randomBytes(MiB, 4)}, {(2ull << 40) - 4096, test::randomBytes(4096, 5)}}), out);
  EXPECT_EQ(test::listDir(huge + "/bands"), (std::vector<std::string>{"0", "3ffff"}));
  EXPECT_LE(test::allocatedBytes(huge + "/bands"), MiB + 64 * 1024);
}

TEST(CompactFreeSpace, WhatTheFileSystemReportsFreeIsReclaimedAndNothingElse) {
  Scratch dir;
  const std::string path = dir / "f.sparsebundle";
  const std::string b0 = test::randomBytes(MiB, 10), b2 = test::randomBytes(MiB, 12);
  test::makeBundle(path, MiB, 3 * MiB, {{0, b0}, {1, test::randomBytes(MiB, 11)}, {2, b2}});
  // Unsorted and overlapping: band 1 and the second half of band 2 are free.
  const FreeSpaceFunction freeSpace = [&](const ImageIO&) {
    return std::vector<ByteRange>{{MiB + MiB / 2, MiB / 2}, {MiB, MiB / 2 + 4096}, {2 * MiB + MiB / 2, MiB / 2}};
  };
  std::ostringstream out;
  compactBundle(path, freeSpace, out);
  EXPECT_FALSE(exists(path + "/bands/1"));
  EXPECT_EQ(test::readFile(path + "/bands/0"), b0);
  EXPECT_EQ(test::readFile(path + "/bands/2"), b2.substr(0, MiB / 2));
  EXPECT_TRUE(test::contains(out.str(), "Reclaimed 1.5 MB out of 1.5 MB possible.")) << out.str();
}

// A new bundle is flushed whole (every file and folder) before it is renamed to its name.
TEST(Create, EverythingIsFlushedBeforeTheRenameThatPublishesIt) {
  Scratch dir;
  const std::string path = dir / "new.sparsebundle";
  std::vector<std::pair<std::string, std::string>> calls;
  fileSystemCalls().observe = [&](const char* call, const std::string& what) { calls.emplace_back(call, what); };
  std::ostringstream out;
  createBundle({path, 8 * MiB, MiB}, standInLayout({{0, test::randomBytes(3 * MiB, 9)}}), out);
  fileSystemCalls().observe = nullptr;
  const auto rename = std::find(calls.begin(), calls.end(), std::pair<std::string, std::string>{"rename", path});
  ASSERT_NE(rename, calls.end());
  std::set<std::string> flushed;
  for (auto it = calls.begin(); it != rename; ++it)
    if (it->first == "fsync" || it->first == "syncfs") flushed.insert(it->second);
  for (const std::string name : {"", "/bands", "/bands/0", "/bands/2", "/Info.plist", "/Info.bckup", "/token"}) {
    const bool whole = std::any_of(flushed.begin(), flushed.end(), [&](const std::string& f) {
      return test::contains(f, "partial") && (name.empty() || f.ends_with(name));
    });
    EXPECT_TRUE(whole || std::any_of(calls.begin(), rename, [](const auto& c) { return c.first == "syncfs"; }))
        << name << " is not flushed before the rename";
  }
  EXPECT_TRUE(std::any_of(rename, calls.end(), [&](const auto& c) {
    return c.first == "fsync" && c.second == dir.path();
  })) << "the parent folder is not flushed after the rename";
}

// A wait for another program (here a formatter that never finishes) ends at SIGINT or SIGTERM at once,
// with a non-zero status, the program stopped and nothing left behind.
TEST(Interrupt, AWaitForAFormatterEndsAtOnceAndLeavesNothing) {
  Scratch dir;
  std::filesystem::create_directory(dir / "bin");
  test::writeFile(dir / "bin/mkfs.exfat", "#!/bin/sh\necho $$ > \"$0.pid\"\nexec sleep 60\n");
  ::chmod((dir / "bin/mkfs.exfat").c_str(), 0755);
  const std::string path = std::getenv("PATH");
  ::setenv("PATH", (dir / "bin:" + path).c_str(), 1);
  for (const int signal : {SIGINT, SIGTERM}) {
    const pid_t pid = test::startTool(
        {"create", "-size", "10m", "-type", "SPARSEBUNDLE", "-fs", "exFAT", "-volname", "X", dir / "new.sparsebundle"});
    // The shell makes the file before it writes the number: wait for the whole line.
    for (int i = 0; i < 500 && (!exists(dir / "bin/mkfs.exfat.pid") ||
                                !test::readFile(dir / "bin/mkfs.exfat.pid").ends_with('\n'));
         ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(exists(dir / "bin/mkfs.exfat.pid"));
    int status = 0;
    ASSERT_TRUE(test::stopAfter(pid, {}, signal, &status)) << signal;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    const int formatter = std::stoi(test::readFile(dir / "bin/mkfs.exfat.pid"));
    EXPECT_NE(::kill(formatter, 0), 0) << "the formatter still runs";
    std::filesystem::remove(dir / "bin/mkfs.exfat.pid");
    EXPECT_EQ(test::listDir(dir.path()), std::vector<std::string>{"bin"});
  }
  ::setenv("PATH", path.c_str(), 1);
}

}  // namespace
}  // namespace quorbel::imagetool
