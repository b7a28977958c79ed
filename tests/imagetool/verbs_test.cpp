// The tool's verbs run as a child process, as the application runs it: reports, exit statuses, and
// what is on disk afterwards.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <regex>

#include "imagetool/bundle/fs_util.h"
#include "support.h"

namespace quorbel::imagetool {
namespace {

using test::contains;
using test::exists;
using test::flatten;
using test::MiB;
using test::readFile;
using test::runTool;
using test::Scratch;
using test::snapshot;
using Args = std::vector<std::string>;

Args convertArgs(const std::string& from, const std::string& to, const std::string& sectors = "2048") {
  return {"convert", from, "-format", "UDSB", "-o", to, "-imagekey", "sparse-band-size=" + sectors};
}

// A 7.5 MiB + 1 sector image in 1 MiB bands holding every kind of band: full, missing, short, all
// zeros, data with zero runs and trailing zeros, and a short last band. Returns its image.
std::string makeMixedBundle(const std::string& path) {
  std::string withZeros = test::randomBytes(MiB, 3);
  std::fill_n(withZeros.begin() + 4096, 64 * 1024, '\0');
  std::fill_n(withZeros.begin() + 512 * 1024, 512 * 1024, '\0');
  test::makeBundle(path, MiB, 7 * MiB + MiB / 2 + 512,
                   {{0, test::randomBytes(MiB, 1)},
                    {2, test::randomBytes(1000, 2)},
                    {3, std::string(MiB, '\0')},
                    {4, withZeros},
                    {6, std::string(100, '\0') + test::randomBytes(300 * 1024, 4)},
                    {7, test::randomBytes(MiB / 2 + 512, 5)}});
  return flatten(path);
}

TEST(Convert, KeepsEveryByteWithAnyBandSizeAndLeavesZerosAbsent) {
  Scratch dir;
  const std::string source = dir / "src.sparsebundle";
  const std::string image = makeMixedBundle(source);
  const auto before = snapshot(source);
  // Larger bands, bands that do not divide the old ones, and back to the original size.
  std::string from = source;
  for (const std::string sectors : {"4096", "3072", "2048"}) {
    SCOPED_TRACE(sectors);
    const std::string to = dir / (sectors + ".sparsebundle");
    const auto r = runTool(convertArgs(from, to, sectors));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "created: " + to + "\n");
    EXPECT_EQ(flatten(to), image);
    const std::uint64_t bandBytes = std::stoull(sectors) * 512;
    EXPECT_EQ(readFile(to + "/Info.plist"), test::infoPlist(static_cast<std::int64_t>(bandBytes),
                                                            static_cast<std::int64_t>(image.size())));
    EXPECT_EQ(readFile(to + "/Info.bckup"), readFile(to + "/Info.plist"));
    EXPECT_EQ(readFile(to + "/token"), "");
    // A band exists only where the image holds something other than zeros.
    for (std::uint64_t b = 0; b * bandBytes < image.size(); ++b) {
      const bool zeros = image.substr(b * bandBytes, bandBytes).find_first_not_of('\0') == std::string::npos;
      EXPECT_EQ(exists(to + "/bands/" + std::to_string(b)), !zeros) << "band " << b;  // below ten: decimal = hex
    }
    from = to;
  }
  EXPECT_EQ(snapshot(source), before);
  // Zero runs inside bands take no space either.
  EXPECT_LE(test::allocatedBytes(from + "/bands"), 5 * MiB + 32 * 1024);
}

TEST(Compact, RemovesZeroBandsPunchesZeroRunsCutsTrailingZerosAndKeepsTheImage) {
  Scratch dir;
  const std::string bundle = dir / "c.sparsebundle";
  const std::string image = makeMixedBundle(bundle);
  const std::uint64_t band4Before = test::allocatedBytes(bundle + "/bands/4");
  auto r = runTool({"compact", bundle});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(flatten(bundle), image);
  EXPECT_FALSE(exists(bundle + "/bands/3"));
  EXPECT_EQ(std::filesystem::file_size(bundle + "/bands/4"), 512 * 1024u);
  EXPECT_LE(test::allocatedBytes(bundle + "/bands/4"), band4Before - 512 * 1024 - 64 * 1024);
  // 1 MiB zero band + 512 KiB trailing zeros + 64 KiB run; band 6's leading 100 zeros fill no block.
  EXPECT_TRUE(contains(r.out, "Starting to compact")) << r.out;
  EXPECT_TRUE(contains(r.out, "Reclaimed 1.6 MB out of 1.6 MB possible.\n")) << r.out;
  r = runTool({"compact", "-batteryallowed", bundle});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.out, "Reclaimed 0 bytes out of 0 bytes possible.\n")) << r.out;
  EXPECT_EQ(flatten(bundle), image);
}

// What each verb refuses: status 1, the reason on standard error, and nothing in the folder changed.
TEST(Refusals, ChangesThatCannotBeMadeSafelyAreRefusedAndChangeNothing) {
  Scratch dir;
  const std::string plain = dir / "plain.sparsebundle", enc = dir / "enc.sparsebundle", v2 = dir / "v2.sparsebundle";
  test::makeBundle(plain, MiB, 2 * MiB, {{0, test::randomBytes(5000, 1)}, {1, std::string(MiB, '\0')}});
  test::makeBundle(enc, MiB, 4 * MiB, {{0, test::randomBytes(MiB, 9)}});
  std::string header(4096, '\0');
  header.replace(0, 8, "encrcdsa");
  header[11] = 2;
  test::writeFile(enc + "/token", header);
  const std::string image = makeMixedBundle(v2);
  test::writePlists(v2, test::infoPlist(MiB, static_cast<std::int64_t>(image.size()), 2,
                                        "\t<key>uuid</key>\n\t<string>0F1E2D3C-0000-4000-8000-123456789ABC</string>\n"));
  std::filesystem::create_directories(v2 + "/mapped");
  std::filesystem::create_directories(dir / "existing.sparsebundle");
  std::filesystem::create_directories(dir / "power/BAT0");
  test::writeFile(dir / "power/BAT0/type", "Battery\n");
  test::writeFile(dir / "power/BAT0/status", "Discharging\n");
  const Args battery{"QUORBEL_POWER_SUPPLY_ROOT=" + (dir / "power")};
  test::writeFile(plain + "/lock", "");
  UniqueFd held(::open((plain + "/lock").c_str(), O_RDONLY));
  const struct {
    Args args;
    const char* reason;
    bool locked = false;
    Args env = {};
  } cases[] = {
      {convertArgs(plain, dir / "existing.sparsebundle"), "already exists"},
      {convertArgs(enc, dir / "new.sparsebundle"), "encrypted"},
      {{"compact", enc}, "encrypted"},
      {{"resize", "-size", "8m", enc}, "encrypted"},
      {{"compact", v2}, "version 2"},
      {{"resize", "-size", "16m", v2}, "version 2"},
      {{"compact", plain}, "in use", true},
      {convertArgs(plain, dir / "new.sparsebundle"), "in use", true},
      {{"compact", plain}, "battery", false, battery},
      {{"chpass", plain, "-newstdinpass"}, "not available yet"},
      {{"resize", "-size", "20g", plain}, "no file system"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.reason);
    ASSERT_EQ(::flock(held.get(), c.locked ? LOCK_EX : LOCK_UN), 0);
    const auto before = snapshot(dir.path());
    const auto r = runTool(c.args, c.env);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, c.reason)) << r.err;
    EXPECT_FALSE(contains(r.out, "created")) << r.out;
    EXPECT_EQ(snapshot(dir.path()), before);
  }

  // What is allowed: readers beside a reader, compact on battery when allowed or while charging, and a
  // version 2 bundle read for reports and as a convert source.
  ASSERT_EQ(::flock(held.get(), LOCK_SH), 0);
  auto r = runTool(convertArgs(plain, dir / "copy.sparsebundle"));
  EXPECT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(::flock(held.get(), LOCK_UN), 0);
  r = runTool({"compact", "-batteryallowed", plain}, battery);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(exists(plain + "/bands/1"));
  test::writeFile(dir / "power/BAT0/status", "Charging\n");
  EXPECT_EQ(runTool({"compact", plain}, battery).status, 0);
  const auto v2Before = snapshot(v2);
  r = runTool({"imageinfo", v2});
  EXPECT_TRUE(contains(r.out, "Backing Store Version: 2")) << r.out << r.err;
  EXPECT_EQ(runTool({"isencrypted", v2}).out, "encrypted: NO\n");
  r = runTool(convertArgs(v2, dir / "v1.sparsebundle"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(flatten(dir / "v1.sparsebundle"), image);
  EXPECT_TRUE(contains(readFile(dir / "v1.sparsebundle/Info.plist"), "backingstore-version</key>\n\t<integer>1<"));
  EXPECT_EQ(snapshot(v2), v2Before);
}

TEST(TemporarySiblings, AbandonedOnesAreRemovedOnesInUseAreKept) {
  Scratch dir;
  test::makeBundle(dir / "s.sparsebundle", MiB, MiB, {{0, "data"}});
  const std::string abandoned = dir / ".d.sparsebundle.partial-aaaaaa", busy = dir / ".d.sparsebundle.partial-bbbbbb";
  for (const auto& d : {abandoned, busy}) {
    std::filesystem::create_directories(d + "/bands");
    test::writeFile(d + "/lock", "");
  }
  UniqueFd held(::open((busy + "/lock").c_str(), O_RDONLY));
  ASSERT_EQ(::flock(held.get(), LOCK_EX), 0);
  const auto r = runTool(convertArgs(dir / "s.sparsebundle", dir / "d.sparsebundle"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(exists(abandoned));
  EXPECT_TRUE(exists(busy));
}

// One defect each; every verb refuses with its reason and changes nothing, except that the reports still
// describe a bundle whose two property lists disagree, and say so.
TEST(MalformedBundles, RefusedWithAReasonAndLeftUnchanged) {
  using Spoil = std::function<void(const std::string&)>;
  const auto plists = [](std::int64_t band, std::int64_t size, int version = 1) -> Spoil {
    return [=](const std::string& b) { test::writePlists(b, test::infoPlist(band, size, version)); };
  };
  const auto file = [](const std::string& name, const std::string& content) -> Spoil {
    return [=](const std::string& b) { test::writeFile(b + "/" + name, content); };
  };
  const auto remove = [](const std::string& name) -> Spoil {
    return [=](const std::string& b) { std::filesystem::remove_all(b + "/" + name); };
  };
  const std::string otherType = std::regex_replace(test::infoPlist(MiB, 4 * MiB), std::regex("sparsebundle"), "other");
  const struct {
    const char* reason;
    Spoil spoil;
  } cases[] = {
      {"Info.plist", remove("Info.plist")},
      {"property list", file("Info.plist", "<plist><dict><key>")},
      {"not a sparse bundle", [&](const std::string& b) { test::writePlists(b, otherType); }},
      {"band size 0", plists(0, 4 * MiB)},
      {"not usable", plists(1ll << 50, 4 * MiB)},
      {"negative", plists(MiB, -4 * MiB)},
      {"version 3", plists(MiB, 4 * MiB, 3)},
      {"sectors", plists(MiB, 4 * MiB + 100)},
      {"not a band name", file("bands/x1", "1")},
      {"longer than the band size", file("bands/2", std::string(MiB + 1, 'x'))},
      {"symbolic link", [](const std::string& b) { ::symlink("/etc/hostname", (b + "/bands/2").c_str()); }},
      {"not a regular file", [](const std::string& b) { std::filesystem::create_directory(b + "/bands/2"); }},
      {"bands", remove("bands")},
      {"token", file("token", "something else")},
      {"disagree", file("Info.bckup", test::infoPlist(MiB, 8 * MiB))},
      {"disagree", remove("Info.bckup")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    Scratch dir;
    const std::string bundle = dir / "m.sparsebundle";
    test::makeBundle(bundle, MiB, 4 * MiB, {{0, std::string(MiB, '\0')}, {1, test::randomBytes(5000, 1)}});
    c.spoil(bundle);
    const auto before = snapshot(dir.path());
    for (const Args& args : {Args{"compact", "-batteryallowed", bundle}, convertArgs(bundle, dir / "o.sparsebundle"),
                             Args{"imageinfo", bundle}, Args{"isencrypted", bundle}}) {
      const auto r = runTool(args);
      if (std::string(c.reason) == "disagree" && (args[0] == "imageinfo" || args[0] == "isencrypted")) {
        EXPECT_EQ(r.status, 0) << args[0] << ": " << r.err;
        EXPECT_EQ(contains(r.out, "Agree: false"), args[0] == "imageinfo") << r.out;
        continue;
      }
      EXPECT_EQ(r.status, 1) << args[0];
      EXPECT_TRUE(contains(r.err, c.reason)) << args[0] << ": " << r.err;
      EXPECT_FALSE(contains(r.out, "created")) << args[0];
    }
    EXPECT_EQ(snapshot(dir.path()), before);
  }
}

TEST(CommandLine, WrongArgumentListsAndBadValuesCreateNothing) {
  Scratch dir;
  const std::string bundle = dir / "u.sparsebundle", path = dir / "n.sparsebundle";
  test::makeBundle(bundle, MiB, 2 * MiB, {{0, std::string(MiB, '\0')}});
  const auto before = snapshot(dir.path());
  for (const Args& args : std::vector<Args>{
           {},
           {"frobnicate", bundle},
           {"imageinfo"},
           {"imageinfo", bundle, "extra"},
           {"compact", bundle, "-batteryallowed"},
           {"convert", bundle, "-o", path, "-format", "UDSB", "-imagekey", "sparse-band-size=2048"},
           {"create", "-type", "SPARSEBUNDLE", "-size", "10m", "-fs", "exFAT", "-volname", "v", path},
           {"create", "-size", "10m", "-type", "SPARSEBUNDLE", "-fs", "exFAT", "-volname", "v"},
       }) {
    const auto r = runTool(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "usage:")) << r.err;
    EXPECT_EQ(r.out, "");
  }
  const auto createWith = [&](const std::string& size, const std::string& fs, const Args& middle) {
    Args args{"create", "-size", size, "-type", "SPARSEBUNDLE"};
    args.insert(args.end(), middle.begin(), middle.end());
    args.insert(args.end(), {"-fs", fs, "-volname", "Name", path});
    return runTool(args);
  };
  const struct {
    std::string size, fs;
    Args middle;
    const char* reason;
  } cases[] = {
      {"10x", "exFAT", {}, "invalid size"},
      {"0m", "exFAT", {}, "greater than zero"},
      {"10m", "NTFS", {}, "unknown file system"},
      {"10m", "exFAT", {"-imagekey", "sparse-band-size=100"}, "2048 to 16777216"},
      {"10m", "exFAT", {"-encryption", "AES-128", "-stdinpass"}, "encrypted"},
      {"10m", "exFAT", {}, "already exists"},  // `path` is made a folder first
  };
  for (const auto& c : cases) {
    if (std::string(c.reason) == "already exists") std::filesystem::create_directory(path);
    const auto r = createWith(c.size, c.fs, c.middle);
    EXPECT_EQ(r.status, 1) << c.reason;
    EXPECT_TRUE(contains(r.err, c.reason)) << r.err;
  }
  std::filesystem::remove(path);
  EXPECT_EQ(snapshot(dir.path()), before);
}

TEST(MacOSFixtures, ReportedConvertedAndCompactedWithoutChange) {
  const std::string mac = test::fixture("Test1.sparsebundle"), macEnc = test::fixture("Test1Enc.sparsebundle");
  if (mac.empty() || macEnc.empty()) GTEST_SKIP() << "the macOS-made fixtures (../shared/fixtures/macos) are absent";
  auto r = runTool({"imageinfo", mac});
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* line : {"Format: UDSB\n", "\tBand Size: 1048576", "\tBands Present: 5\n", "\tBands Total: 5\n",
                           "\tTotal Bytes: 5242880", "\tEncrypted: false\n", "Agree: true\n",
                           "Partition Scheme: none\n", "File System: HFS+J\n"})
    EXPECT_TRUE(contains(r.out, line)) << line << "\n" << r.out;
  r = runTool({"imageinfo", macEnc});
  EXPECT_TRUE(contains(r.out, "\tEncrypted: true\n\tEncryption: AES-128")) << r.out << r.err;
  EXPECT_EQ(runTool({"isencrypted", mac}).out, "encrypted: NO\n");
  EXPECT_EQ(runTool({"isencrypted", macEnc}).out,
            "encrypted: YES\nuuid: C55617C6-16DB-45E1-88C8-76E6863131E1\nblock size: 512\n");

  Scratch dir;
  const std::string image = flatten(mac), copy = dir / "Test1.sparsebundle", wide = dir / "Wide.sparsebundle";
  // Straight from the read-only fixture: a reader needs no write access.
  r = runTool(convertArgs(mac, wide, "16384"));
  ASSERT_EQ(r.status, 0) << r.err;
  test::copyTree(mac, copy);
  // With the original band size, the property lists come out byte for byte as macOS wrote them.
  r = runTool(convertArgs(copy, dir / "Same.sparsebundle"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(readFile(dir / "Same.sparsebundle/Info.plist"), readFile(mac + "/Info.plist"));
  for (const std::string& bundle : {copy, wide}) {
    r = runTool({"compact", bundle});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(flatten(bundle), image) << bundle;
  }
}

}  // namespace
}  // namespace quorbel::imagetool
