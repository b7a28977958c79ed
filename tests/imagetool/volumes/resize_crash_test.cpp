// A resize stopped before each of its changes in turn, and killed at random moments: the bundle always
// reads as the old or the new size with a sound partition map and volume and the same used blocks, and
// the same resize run again finishes the work.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <random>
#include <sstream>
#include <thread>

#include "imagetool/bundle/fs_util.h"
#include "imagetool/volumes/resize.h"
#include "support.h"

namespace quorbel::imagetool {
namespace {

using test::MiB;
using test::Scratch;

// Checks a bundle left by an interrupted resize from `from` to `to` bytes; returns the size it reads as.
// With `wholeMap` false (a resize done in place) the map may still cover less than the image, as after
// growing a disk, but its primary table must read and lie within the image. A run stopped between an
// HFS+ resize's commit and its clean-up may leave `leak` blocks in use that the header counts free.
std::uint64_t expectConsistent(const std::string& bundle, std::uint64_t from, std::uint64_t to, std::uint64_t used,
                               const Scratch& scratch, bool wholeMap = true, std::uint64_t leak = 0) {
  const std::uint64_t size = test::declaredSize(bundle);
  EXPECT_TRUE(size == from || size == to) << size;
  const std::string image = scratch / "state.img";
  test::flattenTo(bundle, image);
  const test::GptCheck gpt = test::gptCheck(image);
  EXPECT_TRUE(gpt.ok || (!wholeMap && gpt.readable)) << gpt.report;
  EXPECT_LE((gpt.start + gpt.sectors) * 512, size);
  const test::HfsStat hfs = test::hfsStat(image, 40, leak);
  EXPECT_TRUE(hfs.ok) << hfs.report;
  // The volume never reaches past its partition, and no used block is lost or gained. A whole map has
  // the partition end at the last 4 KiB boundary before the backup table, and the volume fills it.
  EXPECT_LE(hfs.blocks * hfs.blockSize, gpt.sectors * 512) << hfs.report;
  if (wholeMap) {
    EXPECT_EQ(gpt.sectors, test::partitionSectors(size));
    EXPECT_EQ(hfs.blocks * hfs.blockSize, gpt.sectors * 512) << hfs.report;
  }
  EXPECT_EQ(hfs.used(), used) << hfs.report;
  return size;
}

// A new bundle of `size` bytes and the blocks its volume uses.
std::pair<std::string, std::uint64_t> makeBundle(const Scratch& scratch, std::uint64_t size, const std::string& fs) {
  const std::string path = scratch / "Original.sparsebundle", image = scratch / "used.img";
  EXPECT_EQ(test::create(path, std::to_string(size / 512) + "b", fs).status, 0);
  test::flattenTo(path, image);
  return {path, test::hfsStat(image, 40).used()};
}

// The permissions of a bundle's files and folders, and whether it has a lock file.
std::string modes(const std::string& bundle) {
  std::string text = test::exists(bundle + "/lock") ? "lock" : "no lock";
  for (const char* name : {"", "/Info.plist", "/Info.bckup", "/bands"}) {
    struct stat st {};
    ::stat((bundle + name).c_str(), &st);
    text += " " + std::to_string(st.st_mode & 07777);
  }
  return text;
}

// Stopped before each change (as a full disk or a kill would stop it), under a umask that would make new
// files private, on a bundle without a lock file whose property lists are not world-readable: it stays
// as it was or becomes the new one, never gains a lock file, and keeps its permissions.
TEST(ResizeCrash, StoppedBeforeEachChangeLeavesAWholeBundleThatTheSameResizeCompletes) {
  if (!test::haveProgram("fsstat") || !test::haveProgram("sfdisk")) GTEST_SKIP() << "needs sleuthkit and sfdisk";
  const mode_t mask = ::umask(077);
  for (const ResizeMethod method : {ResizeMethod::swapFolders, ResizeMethod::inPlace}) {
    const bool swapped = method == ResizeMethod::swapFolders;
    // The shrink ends inside a band (1 MiB bands), which must be shortened, not removed.
    for (const auto& [fs, from, to] : {std::tuple{"HFS+J", 8 * MiB, 24 * MiB}, {"HFS+", 24 * MiB, 8 * MiB + 1536}}) {
      Scratch scratch;
      const auto [original, used] = makeBundle(scratch, from, fs);
      std::filesystem::remove(original + "/lock");
      for (const char* name : {"/Info.plist", "/Info.bckup"}) ::chmod((original + name).c_str(), 0640);
      const std::string originalModes = modes(original), bundle = scratch / "copy.sparsebundle";
      SCOPED_TRACE(std::string(swapped ? "swapped, " : "in place, ") + fs + " " + std::to_string(from) + " -> " +
                   std::to_string(to));
      std::ostringstream out;
      const auto resize = [&](const std::function<void()>& hook) { resizeBundle(bundle, to, out, hook, method); };
      test::stopBeforeEachChange(original, bundle, resize, [&](bool finished) {
        const std::uint64_t size = expectConsistent(bundle, from, to, used, scratch, swapped, finished ? 0 : 1);
        // Folders swapped in whole: until the swap the old bundle is there untouched.
        if (swapped && !finished) {
          EXPECT_EQ(test::snapshot(bundle), test::snapshot(original));
          EXPECT_EQ(size, from);
        }
        EXPECT_EQ(modes(bundle), originalModes);
        if (!finished) resizeBundle(bundle, to, out, {}, method);
        EXPECT_EQ(modes(bundle), originalModes);
        EXPECT_EQ(expectConsistent(bundle, to, to, used, scratch, true, finished ? 0 : 1), to);
        EXPECT_EQ(test::declaredSize(bundle, "Info.bckup"), to);
      });
    }
  }
  ::umask(mask);
}

TEST(ResizeCrash, KilledAtRandomMomentsLeavesTheOldOrNewSize) {
  if (!test::haveProgram("fsstat") || !test::haveProgram("sfdisk")) GTEST_SKIP() << "needs sleuthkit and sfdisk";
  Scratch scratch;
  const auto [original, used] = makeBundle(scratch, 16 * MiB, "HFS+J");
  std::mt19937 engine(20261206);
  int stopped = 0;
  for (int round = 0; round < 10; ++round) {
    const std::string to = round % 2 == 0 ? "96m" : "6m";
    const std::string name = "killed" + std::to_string(round) + ".sparsebundle", bundle = scratch / name;
    test::copyTree(original, bundle);
    // A resize takes a few milliseconds; the stop lands anywhere in that span. SIGINT and SIGTERM (the
    // window's Stop) end it at its next safe point; SIGKILL anywhere.
    const auto [delay, signal] = test::randomStop(engine, std::chrono::microseconds(6000), round);
    SCOPED_TRACE("round " + std::to_string(round) + ", signal " + std::to_string(signal) + " after " +
                 std::to_string(delay.count()) + " us");
    int status = 0;
    EXPECT_TRUE(test::stopAfter(test::startTool({"resize", "-size", to, bundle}), delay, signal, &status));
    stopped += !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const std::uint64_t bytes = std::stoull(to) * MiB;
    expectConsistent(bundle, 16 * MiB, bytes, used, scratch, true, 1);
    const auto r = test::runTool({"resize", "-size", to, bundle});
    EXPECT_EQ(r.status, 0) << r.err;
    expectConsistent(bundle, bytes, bytes, used, scratch, true, 1);
    // The folder a killed run left beside the bundle is cleared away by the next one.
    for (const std::string& left : test::listDir(scratch.path())) EXPECT_FALSE(test::contains(left, "." + name));
  }
  EXPECT_GT(stopped, 0) << "no resize was stopped before it finished";
}

// The order of flushes and renames, recorded through the file-system layer: a file is flushed before it
// is renamed into place and its folder after; the bands changed before a new size is declared are
// flushed before Info.plist names it; a bundle built beside is flushed whole before the swap.
TEST(ResizeOrder, FlushesComeBeforeTheRenamesThatDependOnThem) {
  Scratch scratch;
  const auto [original, used] = makeBundle(scratch, 24 * MiB, "HFS+");
  std::vector<std::pair<std::string, std::string>> calls;
  fileSystemCalls().observe = [&](const char* call, const std::string& what) { calls.emplace_back(call, what); };
  const auto first = [&](const std::string& call, const std::string& part, std::size_t from = 0) {
    for (std::size_t i = from; i < calls.size(); ++i)
      if (calls[i].first == call && test::contains(calls[i].second, part)) return i;
    return calls.size();
  };
  for (const ResizeMethod method : {ResizeMethod::inPlace, ResizeMethod::swapFolders}) {
    for (const std::uint64_t to : {8 * MiB, 40 * MiB}) {
      SCOPED_TRACE(std::string(method == ResizeMethod::inPlace ? "in place to " : "swapped to ") + std::to_string(to));
      const std::string bundle = scratch / "order.sparsebundle";
      test::copyTree(original, bundle);
      calls.clear();
      std::ostringstream out;
      resizeBundle(bundle, to, out, {}, method);
      const std::size_t plist = first("rename", "Info.plist"), backup = first("rename", "Info.bckup");
      ASSERT_LT(plist, calls.size());
      EXPECT_LT(plist, backup);
      EXPECT_LT(first("fsync", "Info.plist"), plist);
      EXPECT_LT(first("fsync", "Info.bckup"), backup);
      EXPECT_LT(first("fsync", "folder", plist), backup) << "the folder is flushed after the first rename";
      if (method == ResizeMethod::inPlace) {
        // Shrinking writes the volume's new end before the size is declared.
        if (to < 24 * MiB) {
          EXPECT_LT(first("fsync", "band"), plist);
        }
      } else {
        const std::size_t exchange = first("exchange", bundle);
        ASSERT_LT(exchange, calls.size());
        EXPECT_LT(backup, exchange);
        EXPECT_LT(first("fsync", "band"), exchange) << "the changed bands are flushed";
        for (std::size_t i = 0; i < calls.size(); ++i) {
          if (calls[i].first == "fsync" && test::contains(calls[i].second, "band")) {
            EXPECT_LT(i, exchange);
          }
        }
        EXPECT_LT(first("fsync", "partial", backup), exchange) << "the new folder is flushed after its property lists";
        EXPECT_LT(first("fsync", scratch.path(), exchange + 1), calls.size()) << "the parent is flushed after the swap";
      }
      std::filesystem::remove_all(bundle);
    }
  }
  fileSystemCalls().observe = nullptr;
}

}  // namespace
}  // namespace quorbel::imagetool
