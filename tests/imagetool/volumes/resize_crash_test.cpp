// A resize stopped before each of its changes in turn, and killed at random moments: the bundle
// always reads as the old or the new size with a sound partition map and volume, keeps its used
// blocks, and the same resize run again finishes the work.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <random>
#include <sstream>
#include <thread>

#include "imagetool/bundle/bundle.h"
#include "imagetool/volumes/resize.h"
#include "support.h"
#include "volume_checks.h"

namespace quorbel::imagetool {
namespace {

using test::Scratch;

constexpr std::uint64_t MiB = 1 << 20;

struct Stopped {};

struct Case {
  std::string fileSystem;
  std::uint64_t from;
  std::uint64_t to;
};

// Checks a bundle left by an interrupted resize from `from` to `to` bytes whose volume had `used`
// blocks in use; returns the size it reads as.
// With `wholeMap` false (a resize done in place) the map may still cover less than the image, as after
// growing a disk, but its primary table must read and lie within the image.
std::uint64_t expectConsistent(const std::string& bundle, std::uint64_t from, std::uint64_t to, std::uint64_t used,
                               const Scratch& scratch, const std::string& when, bool wholeMap = true) {
  SCOPED_TRACE(when);
  const std::uint64_t size = Bundle::open(bundle, Access::inspect).info().size;
  EXPECT_TRUE(size == from || size == to) << size;
  const std::string image = scratch / "state.img";
  test::flattenTo(bundle, image);
  const test::GptCheck gpt = test::gptCheck(image);
  if (wholeMap) {
    EXPECT_TRUE(gpt.ok) << gpt.report;
  }
  EXPECT_TRUE(gpt.readable) << gpt.report;
  EXPECT_LE((gpt.start + gpt.sectors) * 512, size);
  const test::HfsStat hfs = test::hfsStat(image, 40);
  EXPECT_TRUE(hfs.ok) << hfs.report;
  // The volume never reaches past its partition, and no used block is lost or gained.
  EXPECT_LE(hfs.blocks * hfs.blockSize, gpt.sectors * 512) << hfs.report;
  EXPECT_EQ(hfs.blocks - hfs.freeBlocks, used) << hfs.report;
  return size;
}

std::string makeBundle(const Scratch& scratch, const std::string& name, std::uint64_t size, const std::string& fs) {
  const std::string path = scratch / (name + ".sparsebundle");
  const auto r = test::runTool({"create", "-size", std::to_string(size / 512) + "b", "-type", "SPARSEBUNDLE", "-imagekey",
                                "sparse-band-size=2048", "-fs", fs, "-volname", name, path});
  EXPECT_EQ(r.status, 0) << r.err;
  return path;
}

std::uint64_t usedBlocks(const std::string& bundle, const Scratch& scratch) {
  const std::string image = scratch / "used.img";
  test::flattenTo(bundle, image);
  const test::HfsStat hfs = test::hfsStat(image, 40);
  return hfs.blocks - hfs.freeBlocks;
}

TEST(ResizeCrashTest, StoppedBeforeEachChangeLeavesAWholeBundleThatTheSameResizeCompletes) {
  if (!test::haveProgram("fsstat") || !test::haveProgram("sfdisk")) GTEST_SKIP() << "needs sleuthkit and sfdisk";
  for (const ResizeMethod method : {ResizeMethod::swapFolders, ResizeMethod::inPlace}) {
    const bool swapped = method == ResizeMethod::swapFolders;
    for (const Case& c : {Case{"HFS+J", 8 * MiB, 24 * MiB}, Case{"HFS+", 24 * MiB, 8 * MiB}}) {
      Scratch scratch;
      const std::string original = makeBundle(scratch, "Original", c.from, c.fileSystem);
      const std::uint64_t used = usedBlocks(original, scratch);
      bool finished = false;
      for (int stopAt = 0; !finished; ++stopAt) {
        ASSERT_LT(stopAt, 400) << "the resize never finished";
        const std::string bundle = scratch / ("copy" + std::to_string(stopAt) + ".sparsebundle");
        test::copyTree(original, bundle);
        int changes = 0;
        std::ostringstream out;
        try {
          resizeBundle(
              bundle, c.to, out,
              [&] {
                if (changes++ == stopAt) throw Stopped{};
              },
              method);
          finished = true;
        } catch (const Stopped&) {
        }
        const std::string when = std::string(swapped ? "swapped" : "in place") + ", " + c.fileSystem + " " +
                                 std::to_string(c.from) + " -> " + std::to_string(c.to) + ", stopped before change " +
                                 std::to_string(stopAt);
        const std::uint64_t size = expectConsistent(bundle, c.from, c.to, used, scratch, when, swapped);
        // Folders swapped in whole: until the swap the old bundle is there untouched.
        if (swapped && !finished) {
          EXPECT_EQ(test::snapshot(bundle), test::snapshot(original)) << when;
          EXPECT_EQ(size, c.from) << when;
        }
        if (!finished) {
          std::ostringstream again;
          resizeBundle(bundle, c.to, again, {}, method);
          EXPECT_EQ(expectConsistent(bundle, c.from, c.to, used, scratch, when + ", then run again"), c.to);
          EXPECT_EQ(test::declaredSize(bundle, "Info.bckup"), c.to);
          const std::string image = scratch / "final.img";
          test::flattenTo(bundle, image);
          EXPECT_EQ(test::gptCheck(image).sectors, (c.to / 512 - 33) / 8 * 8 - 40) << when;
          EXPECT_EQ(test::hfsStat(image, 40).blocks * 4096, ((c.to / 512 - 33) / 8 * 8 - 40) * 512) << when;
        }
        test::shell("rm -rf " + test::quoted(bundle));
      }
    }
  }
}

TEST(ResizeCrashTest, KilledAtRandomMomentsLeavesTheOldOrNewSize) {
  if (!test::haveProgram("fsstat") || !test::haveProgram("sfdisk")) GTEST_SKIP() << "needs sleuthkit and sfdisk";
  Scratch scratch;
  const std::string original = makeBundle(scratch, "Killed", 16 * MiB, "HFS+J");
  const std::uint64_t used = usedBlocks(original, scratch);
  std::mt19937 engine(20261206);
  int sawOld = 0, sawNew = 0;
  for (int round = 0; round < 10; ++round) {
    const bool grow = round % 2 == 0;
    const std::uint64_t to = grow ? 96 * MiB : 6 * MiB;
    const std::string bundle = scratch / ("killed" + std::to_string(round) + ".sparsebundle");
    test::copyTree(original, bundle);
    // A resize takes a few milliseconds; the kill lands anywhere in that span.
    const auto delay = std::chrono::microseconds(std::uniform_int_distribution<int>(0, 6000)(engine));
    const pid_t pid = test::startTool({"resize", "-size", std::to_string(to / 512) + "b", bundle});
    std::this_thread::sleep_for(delay);
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    const std::string when = "round " + std::to_string(round) + ", killed after " + std::to_string(delay.count()) + " us";
    const std::uint64_t size = expectConsistent(bundle, 16 * MiB, to, used, scratch, when);
    (size == to ? sawNew : sawOld)++;
    const auto r = test::runTool({"resize", "-size", std::to_string(to / 512) + "b", bundle});
    EXPECT_EQ(r.status, 0) << when << ": " << r.err;
    expectConsistent(bundle, to, to, used, scratch, when + ", then run again");
    // The folder a killed run left beside the bundle is cleared away by the next one.
    for (const std::string& name : test::listDir(scratch.path()))
      EXPECT_EQ(name.find(".killed" + std::to_string(round) + ".sparsebundle.partial-"), std::string::npos) << when;
  }
  RecordProperty("old", sawOld);
  RecordProperty("new", sawNew);
}

}  // namespace
}  // namespace quorbel::imagetool
