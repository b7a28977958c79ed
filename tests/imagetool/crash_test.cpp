// Every verb that changes a bundle, plain and encrypted, stopped at random moments by SIGKILL, SIGINT
// or SIGTERM: the bundle reads as before or as after (never in between), the source of a copy stays as
// it was, and the same run again finishes the work.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <sstream>

#include "encrypted_support.h"
#include "imagetool/bundle/fs_util.h"
#include "imagetool/bundle/operations.h"
#include "support.h"

namespace quorbel::imagetool::test {
namespace {

// One row: `start(measuring)` starts the run (on a copy of the subject when measuring, so that the
// subject keeps all its work ahead of it) and returns its process id; `check(finished)` judges the
// subject after each stop and after the last, uninterrupted run.
struct Crash {
  std::function<int(bool measuring)> start;
  std::function<void(bool finished)> check;
};

// Times one run, then stops 9 runs at random moments within that time (and a little after), each
// signal in turn; SIGINT and SIGTERM must end a run soon. Then one run to its end.
void stopAtRandomMoments(const Crash& crash, std::uint32_t seed) {
  using Clock = std::chrono::steady_clock;
  const auto begin = Clock::now();
  int status = 0;
  ::waitpid(crash.start(true), &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the timed run failed";
  const auto span = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - begin) * 5 / 4;
  std::mt19937 engine(seed);
  for (int i = 0; i < 9; ++i) {
    SCOPED_TRACE("stop " + std::to_string(i));
    const auto [delay, signal] = randomStop(engine, span, i);
    EXPECT_TRUE(stopAfter(crash.start(false), delay, signal)) << "signal " << signal << " did not end the run";
    crash.check(false);
  }
  ::waitpid(crash.start(false), &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the run after the stops failed";
  crash.check(true);
}

// 48 bands of 1 MiB: data, zeros, holes and zero runs mixed. Returns its image.
std::string makeBusyBundle(const std::string& path) {
  std::map<std::uint64_t, std::string> bands;
  for (std::uint32_t i = 0; i < 48; ++i) {
    if (i % 5 == 1) continue;
    std::string band = (i % 5 == 2) ? std::string(MiB, '\0') : randomBytes(MiB, i);
    if (i % 5 == 3) std::fill_n(band.begin() + 8192, MiB / 2, '\0');
    bands[i] = band;
  }
  makeBundle(path, MiB, 48 * MiB, bands);
  return flatten(path);
}

Crash convertCrash(const Scratch& dir) {
  const std::string source = dir / "src.sparsebundle", dest = dir / "dst.sparsebundle";
  auto image = std::make_shared<std::string>(makeBusyBundle(source));
  auto before = std::make_shared<std::map<std::string, std::string>>(snapshot(source));
  const auto args = [=](const std::string& to) {
    return std::vector<std::string>{"convert", source, "-format",   "UDSB",
                                    "-o",      to,     "-imagekey", "sparse-band-size=6144"};
  };
  return {[=, &dir](bool measuring) { return startTool(args(measuring ? dir / "measure.sparsebundle" : dest)); },
          [=, &dir](bool finished) {
            EXPECT_EQ(snapshot(source), *before);
            if (finished) {  // and what the stopped runs abandoned is cleared away
              EXPECT_EQ(listDir(dir.path()),
                        (std::vector<std::string>{"dst.sparsebundle", "measure.sparsebundle", "src.sparsebundle"}));
            }
            if (!exists(dest)) return;
            EXPECT_EQ(flatten(dest), *image);
            EXPECT_EQ(runTool({"imageinfo", dest}).status, 0);
            std::filesystem::remove_all(dest);
          }};
}

Crash compactCrash(const Scratch& dir) {
  const std::string bundle = dir / "c.sparsebundle", measure = dir / "measure.sparsebundle";
  auto image = std::make_shared<std::string>(makeBusyBundle(bundle));
  copyTree(bundle, measure);
  return {[=, &dir](bool measuring) {
            return startTool({"compact", measuring ? measure : bundle});
          },
          [=](bool finished) {
            EXPECT_EQ(flatten(bundle), *image);
            EXPECT_EQ(runTool({"imageinfo", bundle}).status, 0);  // a stop never leaves the lock held
            if (finished) {
              EXPECT_EQ(listDir(bundle + "/bands"), listDir(measure + "/bands"));
            }
          }};
}

// Create in this process's child, with a stand-in for the formatter that writes 24 MiB over the image.
Crash createCrash(const Scratch& dir) {
  const std::string path = dir / "new.sparsebundle";
  std::map<std::uint64_t, std::string> pieces;
  for (std::uint32_t i = 0; i < 24; ++i) pieces[i * 10 * MiB + 777] = randomBytes(MiB, 100 + i);
  auto expected = std::make_shared<std::string>(256 * MiB, '\0');
  for (const auto& [offset, bytes] : pieces) expected->replace(offset, bytes.size(), bytes);
  const LayoutFunction layOut = [pieces](ImageIO& image, const std::string&) {
    for (const auto& [offset, bytes] : pieces) image.write(offset, bytes.data(), bytes.size());
  };
  return {[=, &dir](bool measuring) {
            const pid_t pid = ::fork();
            if (pid != 0) return pid;
            installInterruptHandlers();
            std::ostringstream out;
            try {
              createBundle({measuring ? dir / "measure.sparsebundle" : path, 256 * MiB, 2 * MiB}, layOut, out);
            } catch (...) {
              ::_exit(1);
            }
            ::_exit(0);
          },
          [=, &dir](bool) {
            if (exists(path)) {
              EXPECT_EQ(flatten(path), *expected);
              EXPECT_EQ(readFile(path + "/Info.bckup"), readFile(path + "/Info.plist"));
              std::filesystem::remove_all(path);
            }
            for (const auto& name : listDir(dir.path()))  // hidden temporary folders may stay behind
              EXPECT_TRUE(name[0] == '.' || name == "measure.sparsebundle") << name;
          }};
}

// An encrypted HFS+ bundle with the password "old", a copy to time a run on, and what its volume holds.
struct Vault {
  std::string bundle, plain;
  std::vector<std::uint64_t> used;  // blocks of `plain`
  // Whether `password` opens the bundle with the same bytes as before in the blocks in use.
  bool opensUnchangedWith(const std::string& password) const {
    Scratch s;
    return decryptBundle(bundle, password, s / "img") && sameBlocks(plain, readFile(s / "img"), used);
  }
};

std::shared_ptr<Vault> makeVault(const Scratch& dir, const std::string& size, const std::string& cipher,
                                 const std::string& fileSystem = "HFS+") {
  auto vault = std::make_shared<Vault>();
  vault->bundle = dir / "V.sparsebundle";
  EXPECT_EQ(createEncrypted(vault->bundle, size, fileSystem, cipher, "old").status, 0);
  EXPECT_TRUE(decryptBundle(vault->bundle, "old", dir / "plain.img"));
  vault->plain = readFile(dir / "plain.img");
  vault->used = hfsUsedBlocks(dir / "plain.img");
  copyTree(vault->bundle, dir / "measure.sparsebundle");
  return vault;
}

Crash encryptedCompactCrash(const Scratch& dir, const std::string& cipher) {
  const auto vault = makeVault(dir, "24m", cipher);
  return {[=, &dir](bool measuring) {
            return startTool(
                {"compact", "-batteryallowed", "-stdinpass", measuring ? dir / "measure.sparsebundle" : vault->bundle},
                "old");
          },
          [=](bool) { EXPECT_TRUE(vault->opensUnchangedWith("old")); }};
}

// Each run changes the password to a new one; after a stop, exactly one of the two opens it.
Crash changePasswordCrash(const Scratch& dir, const std::string& cipher) {
  const auto vault = makeVault(dir, "16m", cipher);
  auto password = std::make_shared<std::string>("old");
  auto round = std::make_shared<int>(0);
  return {[=, &dir](bool measuring) {
            const std::string next = "new" + std::to_string(++*round);
            return startTool(
                {"chpass", measuring ? dir / "measure.sparsebundle" : vault->bundle, "-oldstdinpass", "-newstdinpass"},
                (measuring ? std::string("old") : *password) + std::string(1, '\0') + next);
          },
          [=](bool finished) {
            const std::string next = "new" + std::to_string(*round);
            const bool changed = vault->opensUnchangedWith(next);
            EXPECT_TRUE(changed || !finished);
            EXPECT_NE(changed, vault->opensUnchangedWith(*password));
            if (changed) *password = next;
          }};
}

// Grows and shrinks in turn; a stopped run leaves the old size or the new one, with a sound map and volume.
Crash encryptedResizeCrash(const Scratch& dir, const std::string& cipher) {
  const auto vault = makeVault(dir, "32m", cipher, "HFS+J");
  auto round = std::make_shared<int>(0);
  return {[=, &dir](bool measuring) {
            const char* size = ++*round % 2 == 0 ? "96m" : "24m";
            return startTool(
                {"resize", "-stdinpass", "-size", size, measuring ? dir / "measure.sparsebundle" : vault->bundle},
                "old");
          },
          [=](bool) {
            const std::uint64_t size = declaredSize(vault->bundle);
            EXPECT_TRUE(size == 32 * MiB || size == 96 * MiB || size == 24 * MiB) << size;
            Scratch s;
            ASSERT_TRUE(decryptBundle(vault->bundle, "old", s / "img"));
            const GptCheck map = gptCheck(s / "img");
            EXPECT_TRUE(map.ok) << map.report;
            EXPECT_EQ(map.sectors, partitionSectors(size));
            const HfsStat stat = hfsStat(s / "img", 40);
            EXPECT_TRUE(stat.ok) << stat.report;
          }};
}

TEST(Crash, EveryChangingVerbStoppedAtRandomMomentsLeavesTheBundleBeforeOrAfter) {
  const struct {
    const char* name;
    std::function<Crash(const Scratch&)> make;
  } cases[] = {
      {"convert", convertCrash},
      {"compact", compactCrash},
      {"create", createCrash},
      {"compact AES-128", [](const Scratch& d) { return encryptedCompactCrash(d, "AES-128"); }},
      {"chpass AES-256", [](const Scratch& d) { return changePasswordCrash(d, "AES-256"); }},
      {"resize AES-128", [](const Scratch& d) { return encryptedResizeCrash(d, "AES-128"); }},
  };
  std::uint32_t seed = 42;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Scratch dir;
    stopAtRandomMoments(c.make(dir), seed++);
  }
}

}  // namespace
}  // namespace quorbel::imagetool::test
