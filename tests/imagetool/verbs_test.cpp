// The tool's verbs run as a child process, as the application runs it: reports, exit statuses, and
// what is on disk afterwards.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <regex>

#include "imagetool/bundle/bundle.h"
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

// Whether any band file of `bundle` (bands of `bandBytes`) holds data in [start, end) of the image, as
// the kernel reports it: bytes in holes or past a band's end are not data.
bool holdsData(const std::string& bundle, std::uint64_t bandBytes, std::uint64_t start, std::uint64_t end) {
  for (std::uint64_t b = start / bandBytes; b * bandBytes < end; ++b) {
    UniqueFd fd(::open((bundle + "/bands/" + std::to_string(b)).c_str(), O_RDONLY));  // below ten: decimal = hex
    if (!fd) continue;
    const std::uint64_t from = std::max(start, b * bandBytes) - b * bandBytes;
    const off_t data = ::lseek(fd.get(), static_cast<off_t>(from), SEEK_DATA);
    if (data >= 0 && static_cast<std::uint64_t>(data) + b * bandBytes < end) return true;
  }
  return false;
}

// Each way of copying, forced through the environment: every byte kept with larger bands, bands that
// do not divide the old ones, and back to the original size; holes stay holes. Reading and writing
// also leaves out zeros; the other ways take data blocks as they are without reading them.
TEST(Convert, KeepsEveryByteWithAnyBandSizeAndLeavesHolesAbsentEachWay) {
  for (const std::string way : {"", "kernel", "readWrite"}) {
    SCOPED_TRACE("way " + way);
    Scratch dir;
    const std::string source = dir / "src.sparsebundle";
    const std::string image = makeMixedBundle(source);
    const auto before = snapshot(source);
    std::string from = source;
    std::uint64_t fromBand = MiB;
    for (const std::string sectors : {"4096", "3072", "2048"}) {
      SCOPED_TRACE(sectors);
      const std::string to = dir / (sectors + ".sparsebundle");
      const auto r = runTool(convertArgs(from, to, sectors), {"QUORBEL_COPY_WAY=" + way});
      ASSERT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(r.out, "created: " + to + "\n");
      EXPECT_EQ(flatten(to), image);
      const std::uint64_t bandBytes = std::stoull(sectors) * 512;
      for (std::uint64_t b = 0; b * bandBytes < image.size(); ++b) {
        const std::uint64_t start = b * bandBytes, end = std::min<std::uint64_t>(image.size(), start + bandBytes);
        const bool zeros = image.substr(start, end - start).find_first_not_of('\0') == std::string::npos;
        const bool present = exists(to + "/bands/" + std::to_string(b));
        EXPECT_TRUE(present || zeros) << "band " << b;
        EXPECT_FALSE(present && !holdsData(from, fromBand, start, end)) << "band " << b << " made of holes";
        EXPECT_FALSE(present && zeros && way == "readWrite") << "band " << b << " of zeros";
      }
      from = to;
      fromBand = bandBytes;
    }
    EXPECT_EQ(snapshot(source), before);
    // Zero runs inside bands take no space either when read and written; the other ways copy data
    // blocks as they are (a compact leaves them out).
    EXPECT_LE(test::allocatedBytes(from + "/bands"), way == "readWrite" ? 5 * MiB + 32 * 1024 : 7 * MiB);
  }
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

// One defect or obstacle each: every verb given refuses with the reason (status 1) and nothing in the
// folder changes, except that the reports still describe a bundle whose property lists disagree.
TEST(Refusals, MalformedBundlesAndUnsafeChangesAreRefusedAndChangeNothing) {
  using Spoil = std::function<void(const std::string&)>;
  const auto plists = [](std::int64_t band, std::int64_t size, int version = 1, std::string extra = "") -> Spoil {
    return [=](const std::string& b) { test::writePlists(b, test::infoPlist(band, size, version, extra)); };
  };
  const auto file = [](const std::string& name, const std::string& content) -> Spoil {
    return [=](const std::string& b) {
      std::filesystem::create_directories(std::filesystem::path(b + "/" + name).parent_path());
      test::writeFile(b + "/" + name, content);
    };
  };
  const auto remove = [](const std::string& name) -> Spoil {
    return [=](const std::string& b) { std::filesystem::remove_all(b + "/" + name); };
  };
  const auto both = [](Spoil a, Spoil b) -> Spoil {
    return [=](const std::string& p) {
      a(p);
      b(p);
    };
  };
  std::string header(4096, '\0');
  header.replace(0, 8, "encrcdsa");
  header[11] = 2;
  std::string v1Header(0x4FC, '\0');
  v1Header.replace(0x4FC - 8, 8, "cdsaencr");
  UniqueFd held;
  const Spoil lock = [&](const std::string& b) {
    test::writeFile(b + "/lock", "");
    held = UniqueFd(::open((b + "/lock").c_str(), O_RDONLY));
    ::flock(held.get(), LOCK_EX);
  };
  // A reader of a bundle without a lock file keeps writers out and leaves no lock file behind.
  std::optional<Bundle> reader;
  const Spoil reading = [&](const std::string& b) { reader = Bundle::open(b, Access::read); };
  const auto fifo = [](const std::string& name) -> Spoil {
    return [=](const std::string& b) {
      std::filesystem::remove(b + "/" + name);
      ::mkfifo((b + "/" + name).c_str(), 0644);
    };
  };
  // bands/ a link to a folder of band-named files outside: nothing there may be read, cut or removed.
  const Spoil bandsLink = [](const std::string& b) {
    test::makeBundle(b + "/../outside", MiB, 4 * MiB, {{0, std::string(MiB, '\0')}, {1, test::randomBytes(MiB, 2)}});
    std::filesystem::remove_all(b + "/bands");
    std::filesystem::create_directory_symlink("../outside/bands", b + "/bands");
  };
  const std::string otherType = std::regex_replace(test::infoPlist(MiB, 4 * MiB), std::regex("sparsebundle"), "other");
  const std::vector<std::string> all{"compact", "convert", "imageinfo", "isencrypted"};
  const std::vector<std::string> every{"compact", "convert", "imageinfo", "isencrypted", "resize"};
  const struct {
    const char* reason;
    Spoil spoil;
    std::vector<std::string> verbs;
  } cases[] = {
      {"Info.plist", remove("Info.plist"), all},
      {"property list", file("Info.plist", "<plist><dict><key>"), all},
      {"not a sparse bundle", file("Info.plist", otherType), all},
      {"band size 0", plists(0, 4 * MiB), all},
      {"not usable", plists(1ll << 50, 4 * MiB), all},
      {"negative", plists(MiB, -4 * MiB), all},
      {"version 3", plists(MiB, 4 * MiB, 3), all},
      {"sectors", plists(MiB, 4 * MiB + 100), all},
      {"not a band name", file("bands/x1", "1"), all},
      {"longer than the band size", file("bands/2", std::string(MiB + 1, 'x')), all},
      {"symbolic link",
       [](const std::string& b) { ASSERT_EQ(::symlink("/etc/hostname", (b + "/bands/2").c_str()), 0); }, all},
      {"not a regular file", [](const std::string& b) { std::filesystem::create_directory(b + "/bands/2"); }, all},
      {"bands", remove("bands"), all},
      {"symbolic link", bandsLink, every},
      {"bands is not a folder", both(remove("bands"), file("bands", "")), every},
      {"Info.plist is a symbolic link",
       both(remove("Info.plist"),
            [](const std::string& b) { ASSERT_EQ(::symlink("Info.bckup", (b + "/Info.plist").c_str()), 0); }),
       every},
      {"not a regular file", fifo("Info.plist"), every},
      {"not a regular file", fifo("Info.bckup"), every},
      {"not a regular file", fifo("token"), every},
      {"not a regular file", fifo("lock"), {"compact", "convert", "resize"}},
      {"token", file("token", "something else"), all},
      {"disagree", file("Info.bckup", test::infoPlist(MiB, 8 * MiB)), all},
      {"disagree", remove("Info.bckup"), all},
      {"encrypted", file("token", header), {"compact", "convert", "resize"}},
      {"encrypted", file("token", v1Header), {"compact", "convert", "resize"}},
      {"version 2",
       both(plists(MiB, 4 * MiB, 2, "<key>uuid</key><string>0F1E2D3C</string>"), file("mapped/x", "")),
       {"compact", "resize"}},
      {"in use", lock, {"compact", "convert"}},
      {"in use", reading, {"compact", "resize"}},
      {"battery",
       both(file("../power/BAT0/type", "Battery\n"), file("../power/BAT0/status", "Discharging\n")),
       {"compact"}},
      {"already exists", file("../o.sparsebundle/x", ""), {"convert"}},
      {"not encrypted", {}, {"chpass"}},
      {"no file system", {}, {"resize"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    Scratch dir;
    const std::string bundle = dir / "m.sparsebundle";
    test::makeBundle(bundle, MiB, 4 * MiB, {{0, std::string(MiB, '\0')}, {1, test::randomBytes(5000, 1)}});
    if (c.spoil) c.spoil(bundle);
    const auto before = snapshot(dir.path());
    const std::map<std::string, Args> args{{"compact", {"compact", bundle}},
                                           {"convert", convertArgs(bundle, dir / "o.sparsebundle")},
                                           {"resize", {"resize", "-size", "8m", bundle}},
                                           {"chpass", {"chpass", bundle, "-newstdinpass"}},
                                           {"imageinfo", {"imageinfo", bundle}},
                                           {"isencrypted", {"isencrypted", bundle}}};
    for (const std::string& verb : c.verbs) {
      const auto r = runTool(args.at(verb), {"QUORBEL_POWER_SUPPLY_ROOT=" + (dir / "power")});
      if (std::string(c.reason) == "disagree" && (verb == "imageinfo" || verb == "isencrypted")) {
        EXPECT_EQ(r.status, 0) << verb << ": " << r.err;
        EXPECT_EQ(contains(r.out, "Agree: false"), verb == "imageinfo") << r.out;
        continue;
      }
      EXPECT_EQ(r.status, 1) << verb;
      EXPECT_TRUE(contains(r.err, c.reason)) << verb << ": " << r.err;
      EXPECT_FALSE(contains(r.out, "created")) << verb;
    }
    EXPECT_EQ(snapshot(dir.path()), before);
    held = UniqueFd();
    reader.reset();
  }
}

// What is allowed: a version 2 bundle read for reports and as a convert source, a reader beside a reader,
// compact on battery when allowed or while charging; temporary siblings abandoned by a killed run are
// removed, those another run is using are kept.
TEST(Refusals, WhatIsAllowedGoesAhead) {
  Scratch dir;
  const std::string v2 = dir / "v2.sparsebundle", plain = dir / "plain.sparsebundle";
  const std::string image = makeMixedBundle(v2);
  test::writePlists(v2,
                    test::infoPlist(MiB, static_cast<std::int64_t>(image.size()), 2,
                                    "\t<key>uuid</key>\n\t<string>0F1E2D3C-0000-4000-8000-123456789ABC</string>\n"));
  std::filesystem::create_directories(v2 + "/mapped");
  const auto v2Before = snapshot(v2);
  EXPECT_TRUE(contains(runTool({"imageinfo", v2}).out, "Backing Store Version: 2"));
  EXPECT_EQ(runTool({"isencrypted", v2}).out, "encrypted: NO\n");
  auto r = runTool(convertArgs(v2, plain));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(flatten(plain), image);
  EXPECT_TRUE(contains(readFile(plain + "/Info.plist"), "backingstore-version</key>\n\t<integer>1<"));
  EXPECT_EQ(snapshot(v2), v2Before);

  const std::string abandoned = dir / ".d.sparsebundle.partial-aaaaaa", busy = dir / ".d.sparsebundle.partial-bbbbbb";
  for (const auto& d : {abandoned, busy, plain}) {
    std::filesystem::create_directories(d + "/bands");
    test::writeFile(d + "/lock", "");
  }
  UniqueFd held(::open((busy + "/lock").c_str(), O_RDONLY)), reader(::open((plain + "/lock").c_str(), O_RDONLY));
  ASSERT_TRUE(::flock(held.get(), LOCK_EX) == 0 && ::flock(reader.get(), LOCK_SH) == 0);
  r = runTool(convertArgs(plain, dir / "d.sparsebundle"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(exists(abandoned));
  EXPECT_TRUE(exists(busy));

  reader = UniqueFd();
  std::filesystem::create_directories(dir / "power/BAT0");
  test::writeFile(dir / "power/BAT0/type", "Battery\n");
  test::writeFile(dir / "power/BAT0/status", "Discharging\n");
  const Args battery{"QUORBEL_POWER_SUPPLY_ROOT=" + (dir / "power")};
  // Finder's files in bands/ are neither bands nor ours: not counted, not removed, not a refusal.
  test::writeFile(plain + "/bands/.DS_Store", std::string(100, '\0'));
  test::writeFile(plain + "/bands/._3", "");
  for (const Args& args : {Args{"compact", "-batteryallowed", plain}, Args{"compact", plain}}) {
    test::writeFile(plain + "/bands/3", std::string(MiB, '\0'));
    r = runTool(args, battery);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(exists(plain + "/bands/3"));
    test::writeFile(dir / "power/BAT0/status", "Charging\n");
  }
  EXPECT_TRUE(exists(plain + "/bands/.DS_Store") && exists(plain + "/bands/._3"));
  EXPECT_TRUE(contains(runTool({"imageinfo", plain}).out, "Bands Present: 5\n"));
  r = runTool(convertArgs(plain, dir / "e.sparsebundle"));
  EXPECT_EQ(r.status, 0) << r.err;

  // Both versions of the encrypted-image header are recognised in reports.
  std::string v1(0x600, '\0');
  v1[0x104 + 18] = 0x02;  // block size 512
  v1.replace(0x600 - 8, 8, "cdsaencr");
  test::writeFile(plain + "/token", v1);
  EXPECT_EQ(runTool({"isencrypted", plain}).out,
            "encrypted: YES\nuuid: 00000000-0000-0000-0000-000000000000\nblock size: 512\n");
  EXPECT_TRUE(contains(runTool({"imageinfo", plain}).out, "Encrypted: true\n\tEncryption Header Version: 1\n"));
}

TEST(CommandLine, WrongArgumentListsAndBadValuesAreRefusedAndCreateNothing) {
  Scratch dir;
  const std::string bundle = dir / "u.sparsebundle", path = dir / "n.sparsebundle";
  test::makeBundle(bundle, MiB, 2 * MiB, {{0, std::string(MiB, '\0')}});
  const auto before = snapshot(dir.path());
  const auto create = [&](const std::string& size, const std::string& fs, const Args& middle = {},
                          const std::string& target = "") {
    Args args{"create", "-size", size, "-type", "SPARSEBUNDLE"};
    args.insert(args.end(), middle.begin(), middle.end());
    args.insert(args.end(), {"-fs", fs, "-volname", "Name", target.empty() ? path : target});
    return args;
  };
  const std::pair<Args, const char*> cases[] = {
      {{}, "usage:"},
      {{"frobnicate", bundle}, "usage:"},
      {{"imageinfo"}, "usage:"},
      {{"imageinfo", bundle, "extra"}, "usage:"},
      {{"compact", bundle, "-batteryallowed", "-batteryallowed"}, "given more than once"},
      {{"convert", bundle, "-o", path, "-format", "UDZO", "-imagekey", "sparse-band-size=2048"}, "usage:"},
      {{"create", "-type", "SPARSEBUNDLE", "-size", "10m", "-fs", "exFAT", "-frob", "-volname", "v", path},
       "unknown option -frob"},
      {{"create", "-size", "10m", "-type", "SPARSEBUNDLE", "-fs", "exFAT", "-volname", "v"}, "usage:"},
      {create("10x", "exFAT"), "invalid size"},
      {create("0m", "exFAT"), "greater than zero"},
      {create("10m", "NTFS"), "unknown file system"},
      {create("10m", "exFAT", {"-imagekey", "sparse-band-size=100"}), "2048 to 16777216"},
      {create("10m", "exFAT", {}, bundle), "already exists"},
  };
  for (const auto& [args, reason] : cases) {
    const auto r = runTool(args);
    EXPECT_EQ(r.status, 1) << reason;
    EXPECT_TRUE(contains(r.err, reason)) << r.err;
    EXPECT_EQ(r.out, "");
  }
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
