// kill -9 at random moments: the source stays intact, the destination is absent or complete, and a
// bundle being compacted reads the same after every kill.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <sstream>
#include <thread>

#include "imagetool/bundle/fs_util.h"
#include "imagetool/bundle/operations.h"
#include "support.h"

namespace quorbel::imagetool {
namespace {

using test::exists;
using test::flatten;
using test::Scratch;

constexpr std::uint64_t MiB = 1 << 20;
constexpr int kills = 8;

using Clock = std::chrono::steady_clock;

// A bundle of 48 bands: data, zeros, holes and zero runs mixed.
std::string makeBusyBundle(const std::string& path) {
  std::map<std::uint64_t, std::string> bands;
  for (std::uint64_t i = 0; i < 48; ++i) {
    if (i % 5 == 1) continue;
    std::string band = (i % 5 == 2) ? std::string(MiB, '\0') : test::randomBytes(MiB, static_cast<std::uint32_t>(i));
    if (i % 5 == 3) std::fill_n(band.begin() + 8192, MiB / 2, '\0');
    bands[i] = band;
  }
  test::makeBundle(path, MiB, 48 * MiB, bands);
  return flatten(path);
}

// Kills `pid` after a random delay up to `span`, and reaps it.
void killAfter(pid_t pid, Clock::duration span, std::mt19937& engine) {
  const auto delay = std::chrono::microseconds(
      std::uniform_int_distribution<long>(0, std::chrono::duration_cast<std::chrono::microseconds>(span).count())(engine));
  std::this_thread::sleep_for(delay);
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
}

// Bundles in `dir` other than temporary siblings.
std::vector<std::string> visibleEntries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& name : test::listDir(dir))
    if (name[0] != '.') names.push_back(name);
  return names;
}

TEST(KillDuringConvert, SourceIntactDestinationAbsentOrComplete) {
  Scratch dir;
  const std::string source = dir / "src.sparsebundle";
  const std::string image = makeBusyBundle(source);
  const auto before = test::snapshot(source);
  const std::string dest = dir / "dst.sparsebundle";
  const std::vector<std::string> args{"convert", source, "-format", "UDSB", "-o", dest, "-imagekey",
                                      "sparse-band-size=6144"};
  const auto start = Clock::now();
  ASSERT_EQ(test::runTool(args).status, 0);
  const auto span = (Clock::now() - start) * 5 / 4;
  std::filesystem::remove_all(dest);

  std::mt19937 engine(42);
  int complete = 0;
  for (int i = 0; i < kills; ++i) {
    killAfter(test::startTool(args), span, engine);
    EXPECT_EQ(test::snapshot(source), before);
    if (exists(dest)) {
      ++complete;
      EXPECT_EQ(flatten(dest), image) << "kill " << i;
      EXPECT_EQ(test::runTool({"imageinfo", dest}).status, 0);
      std::filesystem::remove_all(dest);
    }
  }
  // A run after the kills finishes and clears away what they abandoned.
  ASSERT_EQ(test::runTool(args).status, 0);
  EXPECT_EQ(flatten(dest), image);
  EXPECT_EQ(test::listDir(dir.path()), (std::vector<std::string>{"dst.sparsebundle", "src.sparsebundle"}));
  RecordProperty("complete_before_kill", complete);
}

TEST(KillDuringCompact, EveryStepLeavesTheSameImage) {
  Scratch dir;
  const std::string bundle = dir / "c.sparsebundle";
  const std::string image = makeBusyBundle(bundle);
  // Measure on a copy, so that the bundle under test still has all its work ahead of it.
  test::copyTree(bundle, dir / "measure.sparsebundle");
  const auto start = Clock::now();
  ASSERT_EQ(test::runTool({"compact", dir / "measure.sparsebundle"}).status, 0);
  const auto span = (Clock::now() - start) * 5 / 4;

  std::mt19937 engine(43);
  for (int i = 0; i < kills; ++i) {
    killAfter(test::startTool({"compact", bundle}), span, engine);
    EXPECT_EQ(flatten(bundle), image) << "kill " << i;
    const auto info = test::runTool({"imageinfo", bundle});
    EXPECT_EQ(info.status, 0) << info.err;
  }
  // Whatever the kills left undone, a last run finishes, and a kill never left the lock held.
  const auto r = test::runTool({"compact", bundle});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(flatten(bundle), image);
  EXPECT_EQ(test::listDir(bundle + "/bands"), test::listDir(dir / "measure.sparsebundle/bands"));
}

TEST(KillDuringCreate, DestinationAbsentOrComplete) {
  Scratch dir;
  const std::string path = dir / "new.sparsebundle";
  const std::uint64_t size = 256 * MiB;
  // The stand-in layout writes 24 MiB spread over the image.
  std::string expected(size, '\0');
  std::vector<std::pair<std::uint64_t, std::string>> pieces;
  for (std::uint64_t i = 0; i < 24; ++i) {
    pieces.emplace_back(i * 10 * MiB + 777, test::randomBytes(MiB, static_cast<std::uint32_t>(100 + i)));
    expected.replace(pieces.back().first, MiB, pieces.back().second);
  }
  const LayoutFunction layOut = [&pieces](const std::string& imagePath, std::uint64_t) {
    UniqueFd fd(::open(imagePath.c_str(), O_RDWR));
    for (const auto& [offset, bytes] : pieces) writeAll(fd.get(), bytes.data(), bytes.size(), offset, "image");
  };
  const auto createInChild = [&]() {
    const pid_t pid = ::fork();
    if (pid == 0) {
      std::ostringstream out;
      try {
        createBundle({path, size, 2 * MiB}, layOut, out);
      } catch (...) {
        ::_exit(1);
      }
      ::_exit(0);
    }
    return pid;
  };
  const auto start = Clock::now();
  {
    const pid_t pid = createInChild();
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const auto span = (Clock::now() - start) * 5 / 4;
  ASSERT_EQ(flatten(path), expected);
  std::filesystem::remove_all(path);

  std::mt19937 engine(44);
  for (int i = 0; i < kills; ++i) {
    killAfter(createInChild(), span, engine);
    if (exists(path)) {
      EXPECT_EQ(flatten(path), expected) << "kill " << i;
      EXPECT_EQ(test::readFile(path + "/Info.bckup"), test::readFile(path + "/Info.plist"));
      std::filesystem::remove_all(path);
    }
    EXPECT_TRUE(visibleEntries(dir.path()).empty());
  }
}

}  // namespace
}  // namespace quorbel::imagetool
