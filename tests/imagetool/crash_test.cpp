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

// Bundles in `dir`, leaving out hidden temporary folders.
std::vector<std::string> visibleEntries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& name : test::listDir(dir))
    if (name[0] != '.') names.push_back(name);
  return names;
}

// Times one uninterrupted run of `start`, then starts it `kills` times more and kills each run with
// SIGKILL at a random moment within that time (and a little after), calling `check` after each.
template <typename Start, typename Check>
void killAtRandomMoments(Start start, Check check, std::uint32_t seed) {
  const auto begin = Clock::now();
  int status = 0;
  ::waitpid(start(), &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  const auto span = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - begin) * 5 / 4;
  check(-1);
  std::mt19937 engine(seed);
  for (int i = 0; i < kills; ++i) {
    const pid_t pid = start();
    std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<long>(0, span.count())(engine)));
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    check(i);
  }
}

TEST(KillDuringConvert, SourceIntactDestinationAbsentOrComplete) {
  Scratch dir;
  const std::string source = dir / "src.sparsebundle";
  const std::string image = makeBusyBundle(source);
  const auto before = test::snapshot(source);
  const std::string dest = dir / "dst.sparsebundle";
  const std::vector<std::string> args{"convert", source, "-format", "UDSB", "-o", dest, "-imagekey",
                                      "sparse-band-size=6144"};
  killAtRandomMoments([&] { return test::startTool(args); },
                      [&](int i) {
                        EXPECT_EQ(test::snapshot(source), before);
                        if (exists(dest)) {
                          EXPECT_EQ(flatten(dest), image) << "kill " << i;
                          EXPECT_EQ(test::runTool({"imageinfo", dest}).status, 0);
                          std::filesystem::remove_all(dest);
                        }
                      },
                      42);
  // A run after the kills finishes and clears away what they abandoned.
  ASSERT_EQ(test::runTool(args).status, 0);
  EXPECT_EQ(flatten(dest), image);
  EXPECT_EQ(test::listDir(dir.path()), (std::vector<std::string>{"dst.sparsebundle", "src.sparsebundle"}));
}

TEST(KillDuringCompact, EveryStepLeavesTheSameImage) {
  Scratch dir;
  const std::string bundle = dir / "c.sparsebundle";
  const std::string image = makeBusyBundle(bundle);
  // The timed run works on a copy, so that the bundle under test still has all its work ahead of it.
  const std::string measure = dir / "measure.sparsebundle";
  test::copyTree(bundle, measure);
  bool measured = false;
  killAtRandomMoments([&] { return test::startTool({"compact", measured ? bundle : measure}); },
                      [&](int i) {
                        measured = true;
                        EXPECT_EQ(flatten(bundle), image) << "kill " << i;
                        EXPECT_EQ(test::runTool({"imageinfo", bundle}).status, 0);
                      },
                      43);
  // Whatever the kills left undone, a last run finishes: a kill never leaves the lock held.
  const auto r = test::runTool({"compact", bundle});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(flatten(bundle), image);
  EXPECT_EQ(test::listDir(bundle + "/bands"), test::listDir(measure + "/bands"));
}

TEST(KillDuringCreate, DestinationAbsentOrComplete) {
  Scratch dir;
  const std::string path = dir / "new.sparsebundle";
  const std::uint64_t size = 256 * MiB;
  // The stand-in layout writes 24 MiB spread over the image.
  std::string expected(size, '\0');
  for (std::uint64_t i = 0; i < 24; ++i)
    expected.replace(i * 10 * MiB + 777, MiB, test::randomBytes(MiB, static_cast<std::uint32_t>(100 + i)));
  const LayoutFunction layOut = [&expected](const std::string& imagePath, std::uint64_t) {
    UniqueFd fd(::open(imagePath.c_str(), O_RDWR));
    for (std::uint64_t i = 0; i < 24; ++i)
      writeAll(fd.get(), expected.data() + i * 10 * MiB + 777, MiB, i * 10 * MiB + 777, "image");
  };
  killAtRandomMoments(
      [&] {
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
      },
      [&](int i) {
        if (exists(path)) {
          EXPECT_EQ(flatten(path), expected) << "kill " << i;
          EXPECT_EQ(test::readFile(path + "/Info.bckup"), test::readFile(path + "/Info.plist"));
          std::filesystem::remove_all(path);
        }
        EXPECT_TRUE(visibleEntries(dir.path()).empty());
      },
      44);
}

}  // namespace
}  // namespace quorbel::imagetool
