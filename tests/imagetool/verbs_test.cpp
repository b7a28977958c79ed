// The tool's verbs run as a child process, as the application runs it: reports, exit statuses, and
// what is on disk afterwards.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "imagetool/bundle/fs_util.h"
#include "support.h"

namespace quorbel::imagetool {
namespace {

using test::exists;
using test::flatten;
using test::readFile;
using test::runTool;
using test::Scratch;
using test::snapshot;

constexpr std::uint64_t MiB = 1 << 20;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A 7.5 MiB + 1 sector image in 1 MiB bands holding every kind of band: full, missing, short, all
// zeros, data with zero runs and holes, and a short last band.
std::string makeMixedBundle(const std::string& path) {
  std::string withZeros = test::randomBytes(MiB, 3);
  std::fill_n(withZeros.begin() + 4096, 64 * 1024, '\0');
  std::fill_n(withZeros.begin() + 512 * 1024, 512 * 1024, '\0');  // trailing zeros
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
  int step = 0;
  for (const char* sectors : {"4096", "3072", "2048"}) {
    const std::string to = dir / ("step" + std::to_string(++step) + ".sparsebundle");
    const auto r = runTool({"convert", from, "-format", "UDSB", "-o", to, "-imagekey",
                            std::string("sparse-band-size=") + sectors});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "created: " + to + "\n");
    EXPECT_EQ(test::sha256Hex(flatten(to)), test::sha256Hex(image)) << sectors;
    const std::uint64_t bandBytes = std::stoull(sectors) * 512;
    EXPECT_EQ(readFile(to + "/Info.plist"), test::infoPlist(static_cast<std::int64_t>(bandBytes),
                                                            static_cast<std::int64_t>(image.size())));
    EXPECT_EQ(readFile(to + "/Info.bckup"), readFile(to + "/Info.plist"));
    EXPECT_EQ(readFile(to + "/token"), "");
    // A band exists only where the image holds something other than zeros.
    for (std::uint64_t b = 0; b * bandBytes < image.size(); ++b) {
      const std::string content = image.substr(b * bandBytes, bandBytes);
      const bool zeros = content.find_first_not_of('\0') == std::string::npos;
      char name[20];
      std::snprintf(name, sizeof name, "%llx", static_cast<unsigned long long>(b));
      EXPECT_EQ(exists(to + "/bands/" + name), !zeros) << sectors << " band " << name;
    }
    from = to;
  }
  EXPECT_EQ(snapshot(source), before);
  // The zero runs take no space: the last copy occupies no more than the original's non-zero data.
  std::uint64_t allocated = 0;
  for (const auto& name : test::listDir(from + "/bands")) allocated += test::allocatedBytes(from + "/bands/" + name);
  EXPECT_LE(allocated, 5 * MiB + 32 * 1024);
}

TEST(Convert, RefusesWhatItCannotDoAndCreatesNothing) {
  Scratch dir;
  const std::string source = dir / "src.sparsebundle";
  makeMixedBundle(source);
  const std::string existing = dir / "existing.sparsebundle";
  std::filesystem::create_directory(existing);
  const auto convert = [&](const std::string& src, const std::string& dst, const std::string& key) {
    return runTool({"convert", src, "-format", "UDSB", "-o", dst, "-imagekey", key});
  };
  // An existing destination, even an empty folder, is never replaced.
  auto r = convert(source, existing, "sparse-band-size=2048");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "already exists")) << r.err;
  EXPECT_TRUE(test::listDir(existing).empty());
  // An encrypted source.
  const std::string encrypted = dir / "enc.sparsebundle";
  test::makeBundle(encrypted, MiB, 4 * MiB, {{0, test::randomBytes(MiB, 9)}});
  std::string header(4096, '\0');
  header.replace(0, 8, "encrcdsa");
  header[11] = 2;
  test::writeFile(encrypted + "/token", header);
  r = convert(encrypted, dir / "new.sparsebundle", "sparse-band-size=2048");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "encrypted")) << r.err;
  EXPECT_FALSE(exists(dir / "new.sparsebundle"));
  // Nothing is left beside the destination either: the three folders made here.
  EXPECT_EQ(test::listDir(dir.path()).size(), 3u);
}

TEST(Convert, ReadsVersionTwoBundlesThatCompactRefuses) {
  Scratch dir;
  const std::string source = dir / "v2.sparsebundle";
  const std::string image = makeMixedBundle(source);
  const std::string plist =
      test::infoPlist(MiB, static_cast<std::int64_t>(image.size()), 2,
                      "\t<key>uuid</key>\n\t<string>0F1E2D3C-0000-4000-8000-123456789ABC</string>\n");
  test::writeFile(source + "/Info.plist", plist);
  test::writeFile(source + "/Info.bckup", plist);
  std::filesystem::create_directory(source + "/mapped");
  const auto before = snapshot(source);

  auto r = runTool({"compact", source});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "version 2")) << r.err;
  r = runTool({"imageinfo", source});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.out, "Backing Store Version: 2")) << r.out;
  EXPECT_EQ(runTool({"isencrypted", source}).out, "encrypted: NO\n");

  const std::string copy = dir / "v1.sparsebundle";
  r = runTool({"convert", source, "-format", "UDSB", "-o", copy, "-imagekey", "sparse-band-size=2048"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(flatten(copy), image);
  EXPECT_TRUE(contains(readFile(copy + "/Info.plist"), "<key>bundle-backingstore-version</key>\n\t<integer>1<"));
  EXPECT_EQ(snapshot(source), before);
}

TEST(Compact, RemovesZeroBandsPunchesZeroRunsCutsTrailingZerosAndKeepsTheImage) {
  Scratch dir;
  const std::string bundle = dir / "c.sparsebundle";
  const std::string image = makeMixedBundle(bundle);
  const std::uint64_t band4Before = test::allocatedBytes(bundle + "/bands/4");

  auto r = runTool({"compact", bundle});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(flatten(bundle), image);
  EXPECT_FALSE(exists(bundle + "/bands/3"));  // all zeros
  EXPECT_TRUE(exists(bundle + "/bands/0"));
  // Band 4: the 64 KiB zero run punched, the trailing half cut.
  EXPECT_EQ(std::filesystem::file_size(bundle + "/bands/4"), 512 * 1024u);
  EXPECT_LE(test::allocatedBytes(bundle + "/bands/4"), band4Before - 512 * 1024 - 64 * 1024);
  EXPECT_TRUE(contains(r.out, "Starting to compact")) << r.out;
  // 1 MiB zero band + 512 KiB trailing zeros + 64 KiB run, and the leading 100 zero bytes of band 6 do
  // not fill a block: 1.6 MB out of as much.
  EXPECT_TRUE(contains(r.out, "Reclaimed 1.6 MB out of 1.6 MB possible.\n")) << r.out;
  for (const char* word : {"error", "Error", "failed"}) EXPECT_FALSE(contains(r.out, word));

  // A second run finds nothing more.
  r = runTool({"compact", "-batteryallowed", bundle});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.out, "Reclaimed 0 bytes out of 0 bytes possible.\n")) << r.out;
  EXPECT_EQ(flatten(bundle), image);
  // The compacted bundle still reads and converts.
  EXPECT_EQ(runTool({"imageinfo", bundle}).status, 0);
}

TEST(Compact, OnBatteryOnlyWhenAllowed) {
  Scratch dir;
  const std::string bundle = dir / "c.sparsebundle";
  test::makeBundle(bundle, MiB, 2 * MiB, {{1, std::string(MiB, '\0')}});
  std::filesystem::create_directories(dir / "power/BAT0");
  std::filesystem::create_directories(dir / "power/AC");
  test::writeFile(dir / "power/AC/type", "Mains\n");
  test::writeFile(dir / "power/BAT0/type", "Battery\n");
  test::writeFile(dir / "power/BAT0/status", "Discharging\n");
  const std::vector<std::string> env{"QUORBEL_POWER_SUPPLY_ROOT=" + (dir / "power")};
  const auto before = snapshot(bundle);

  auto r = runTool({"compact", bundle}, env);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "battery")) << r.err;
  EXPECT_EQ(snapshot(bundle), before);

  r = runTool({"compact", "-batteryallowed", bundle}, env);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(exists(bundle + "/bands/1"));

  test::writeFile(dir / "power/BAT0/status", "Charging\n");
  test::writeFile(bundle + "/bands/1", std::string(MiB, '\0'));
  r = runTool({"compact", bundle}, env);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(exists(bundle + "/bands/1"));
}

TEST(Lock, ASecondWriterIsToldTheImageIsInUse) {
  Scratch dir;
  const std::string bundle = dir / "l.sparsebundle";
  test::makeBundle(bundle, MiB, 2 * MiB, {{1, std::string(MiB, '\0')}});
  test::writeFile(bundle + "/lock", "");
  UniqueFd held(::open((bundle + "/lock").c_str(), O_RDONLY));
  ASSERT_EQ(::flock(held.get(), LOCK_EX), 0);
  const auto before = snapshot(bundle);

  auto r = runTool({"compact", bundle});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "in use")) << r.err;
  r = runTool({"convert", bundle, "-format", "UDSB", "-o", dir / "copy.sparsebundle", "-imagekey",
               "sparse-band-size=2048"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "in use")) << r.err;
  EXPECT_FALSE(exists(dir / "copy.sparsebundle"));
  EXPECT_EQ(snapshot(bundle), before);

  // Readers share the lock: convert runs beside another reader.
  ASSERT_EQ(::flock(held.get(), LOCK_SH), 0);
  r = runTool({"convert", bundle, "-format", "UDSB", "-o", dir / "copy.sparsebundle", "-imagekey",
               "sparse-band-size=2048"});
  EXPECT_EQ(r.status, 0) << r.err;
}

TEST(TemporarySiblings, AbandonedOnesAreRemovedOnesInUseAreKept) {
  Scratch dir;
  const std::string source = dir / "s.sparsebundle";
  test::makeBundle(source, MiB, MiB, {{0, "data"}});
  const std::string abandoned = dir / ".d.sparsebundle.partial-aaaaaa";
  const std::string busy = dir / ".d.sparsebundle.partial-bbbbbb";
  for (const auto& d : {abandoned, busy}) {
    std::filesystem::create_directories(d + "/bands");
    test::writeFile(d + "/lock", "");
  }
  UniqueFd held(::open((busy + "/lock").c_str(), O_RDONLY));
  ASSERT_EQ(::flock(held.get(), LOCK_EX), 0);
  const auto r = runTool({"convert", source, "-format", "UDSB", "-o", dir / "d.sparsebundle", "-imagekey",
                          "sparse-band-size=2048"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(exists(abandoned));
  EXPECT_TRUE(exists(busy));
}

void bothPlists(const std::string& bundle, const std::string& plist) {
  test::writeFile(bundle + "/Info.plist", plist);
  test::writeFile(bundle + "/Info.bckup", plist);
}

// One defect each; every verb refuses with its reason and changes nothing.
TEST(MalformedBundles, RefusedWithAReasonAndLeftUnchanged) {
  const struct {
    const char* name;
    const char* reason;
    void (*spoil)(const std::string& bundle);
  } cases[] = {
      {"no Info.plist", "Info.plist", [](const std::string& b) { ::unlink((b + "/Info.plist").c_str()); }},
      {"unreadable Info.plist", "property list",
       [](const std::string& b) { test::writeFile(b + "/Info.plist", "<plist><dict><key>"); }},
      {"wrong bundle type", "not a sparse bundle",
       [](const std::string& b) {
         std::string p = readFile(b + "/Info.plist");
         bothPlists(b, p.replace(p.find("com.apple.diskimage.sparsebundle"), 32, "com.example.other.bundle.type.xx"));
       }},
      {"band size 0", "band size 0",
       [](const std::string& b) { bothPlists(b, test::infoPlist(0, 4 * MiB)); }},
      {"absurd band size", "not usable",
       [](const std::string& b) { bothPlists(b, test::infoPlist(1ll << 50, 4 * MiB)); }},
      {"negative size", "negative",
       [](const std::string& b) { bothPlists(b, test::infoPlist(MiB, -4 * MiB)); }},
      {"unknown backing-store version", "version 3",
       [](const std::string& b) { bothPlists(b, test::infoPlist(MiB, 4 * MiB, 3)); }},
      {"size not whole sectors", "sectors",
       [](const std::string& b) { bothPlists(b, test::infoPlist(MiB, 4 * MiB + 100)); }},
      {"band name not hex", "not a band name", [](const std::string& b) { test::writeFile(b + "/bands/x1", "1"); }},
      {"band name in upper case", "not a band name",
       [](const std::string& b) { test::writeFile(b + "/bands/A", "1"); }},
      {"band longer than the band size", "longer than the band size",
       [](const std::string& b) { test::writeFile(b + "/bands/2", std::string(MiB + 1, 'x')); }},
      {"band is a symbolic link", "symbolic link",
       [](const std::string& b) { ::symlink("/etc/hostname", (b + "/bands/2").c_str()); }},
      {"band is a folder", "not a regular file",
       [](const std::string& b) { std::filesystem::create_directory(b + "/bands/2"); }},
      {"plists disagree", "disagree",
       [](const std::string& b) { test::writeFile(b + "/Info.bckup", test::infoPlist(MiB, 8 * MiB)); }},
      {"Info.bckup missing", "disagree", [](const std::string& b) { ::unlink((b + "/Info.bckup").c_str()); }},
      {"no bands folder", "bands", [](const std::string& b) { std::filesystem::remove_all(b + "/bands"); }},
      {"token neither empty nor a header", "token",
       [](const std::string& b) { test::writeFile(b + "/token", "something else"); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Scratch dir;
    const std::string bundle = dir / "m.sparsebundle";
    test::makeBundle(bundle, MiB, 4 * MiB, {{0, std::string(MiB, '\0')}, {1, test::randomBytes(5000, 1)}});
    c.spoil(bundle);
    const auto before = snapshot(dir.path());
    const bool reportOnly = std::string(c.reason) == "disagree";
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"compact", "-batteryallowed", bundle},
                                               {"convert", bundle, "-format", "UDSB", "-o", dir / "o.sparsebundle",
                                                "-imagekey", "sparse-band-size=2048"},
                                               {"imageinfo", bundle},
                                               {"isencrypted", bundle}}) {
      const auto r = runTool(args);
      if (reportOnly && (args[0] == "imageinfo" || args[0] == "isencrypted")) {
        // Reports still describe the image; imageinfo says the two lists disagree.
        EXPECT_EQ(r.status, 0) << args[0] << ": " << r.err;
        if (args[0] == "imageinfo") {
          EXPECT_TRUE(contains(r.out, "Agree: false")) << r.out;
        }
        continue;
      }
      EXPECT_EQ(r.status, 1) << args[0];
      EXPECT_TRUE(contains(r.err, c.reason)) << args[0] << ": " << r.err;
      EXPECT_EQ(r.out.find("created"), std::string::npos) << args[0];
    }
    EXPECT_EQ(snapshot(dir.path()), before);
  }
}

TEST(CommandLine, WrongArgumentListsGetTheUsageAndLaterVerbsChangeNothing) {
  Scratch dir;
  const std::string bundle = dir / "u.sparsebundle";
  test::makeBundle(bundle, MiB, 2 * MiB, {{0, std::string(MiB, '\0')}});
  const auto before = snapshot(dir.path());
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {},
           {"frobnicate", bundle},
           {"imageinfo"},
           {"imageinfo", bundle, "extra"},
           {"compact", bundle, "-batteryallowed"},
           {"convert", bundle, "-o", dir / "x.sparsebundle", "-format", "UDSB", "-imagekey", "sparse-band-size=2048"},
           {"create", "-type", "SPARSEBUNDLE", "-size", "10m", "-fs", "exFAT", "-volname", "v", dir / "x.sparsebundle"},
           {"create", "-size", "10m", "-type", "SPARSEBUNDLE", "-fs", "exFAT", "-volname", "v"},
       }) {
    const auto r = runTool(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "usage:")) << r.err;
    EXPECT_EQ(r.out, "");
  }
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{{"chpass", bundle, "-newstdinpass"}}) {
    const auto r = runTool(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "not available yet")) << r.err;
  }
  // No file system whose size the tool can change: refused.
  const auto resize = runTool({"resize", "-size", "20g", bundle});
  EXPECT_EQ(resize.status, 1);
  EXPECT_TRUE(contains(resize.err, "was not changed")) << resize.err;
  EXPECT_EQ(snapshot(dir.path()), before);
}

TEST(CommandLine, CreateRefusesBadValuesAndCreatesNothing) {
  Scratch dir;
  const std::string path = dir / "n.sparsebundle";
  const auto create = [&](const std::string& size, const std::string& fs, const std::vector<std::string>& middle) {
    std::vector<std::string> args{"create", "-size", size, "-type", "SPARSEBUNDLE"};
    args.insert(args.end(), middle.begin(), middle.end());
    args.insert(args.end(), {"-fs", fs, "-volname", "Name", path});
    return runTool(args);
  };
  const struct {
    std::string size, fs;
    std::vector<std::string> middle;
    const char* reason;
  } cases[] = {
      {"10x", "exFAT", {}, "invalid size"},
      {"0m", "exFAT", {}, "greater than zero"},
      {"10m", "NTFS", {}, "unknown file system"},
      {"10m", "exFAT", {"-imagekey", "sparse-band-size=100"}, "2048 to 16777216"},
      {"10m", "exFAT", {"-encryption", "AES-128", "-stdinpass"}, "encrypted"},
  };
  for (const auto& c : cases) {
    const auto r = create(c.size, c.fs, c.middle);
    EXPECT_EQ(r.status, 1) << c.reason;
    EXPECT_TRUE(contains(r.err, c.reason)) << r.err;
  }
  std::filesystem::create_directory(path);
  const auto r = create("10m", "exFAT", {});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "already exists")) << r.err;
  EXPECT_EQ(test::listDir(dir.path()), std::vector<std::string>{"n.sparsebundle"});
}

class Fixtures : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = test::fixturesDir();
    if (dir_.empty()) GTEST_SKIP() << "the macOS-made fixtures (../shared/fixtures/macos) are absent";
  }
  std::string dir_;
  static constexpr const char* imageSha = "2ee8196920a422db4bab64f36b3cf01e06d1962c5f53180cf0eeaa9f540ff8e7";
};

TEST_F(Fixtures, ReportsOfMacOSBundles) {
  auto r = runTool({"imageinfo", dir_ + "/Test1.sparsebundle"});
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* line : {"Format: UDSB\n", "\tBand Size: 1048576", "\tBands Present: 5\n", "\tBands Total: 5\n",
                           "\tTotal Bytes: 5242880", "\tEncrypted: false\n", "Agree: true\n"})
    EXPECT_TRUE(contains(r.out, line)) << line << "\n" << r.out;
  r = runTool({"imageinfo", dir_ + "/Test1Enc.sparsebundle"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.out, "\tEncrypted: true\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "AES-128")) << r.out;

  EXPECT_EQ(runTool({"isencrypted", dir_ + "/Test1.sparsebundle"}).out, "encrypted: NO\n");
  r = runTool({"isencrypted", dir_ + "/Test1Enc.sparsebundle"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "encrypted: YES\nuuid: C55617C6-16DB-45E1-88C8-76E6863131E1\nblock size: 512\n");
}

TEST_F(Fixtures, ConvertAndCompactKeepTheVolume) {
  Scratch dir;
  ASSERT_EQ(test::sha256Hex(flatten(dir_ + "/Test1.sparsebundle")), imageSha);
  const std::string copy = dir / "Test1.sparsebundle";
  test::copyTree(dir_ + "/Test1.sparsebundle", copy);
  // Straight from the read-only fixture: a reader needs no write access.
  const std::string converted = dir / "Wide.sparsebundle";
  auto r = runTool({"convert", dir_ + "/Test1.sparsebundle", "-format", "UDSB", "-o", converted, "-imagekey",
                    "sparse-band-size=16384"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::sha256Hex(flatten(converted)), imageSha);
  // With the original band size, the property lists come out byte for byte as macOS wrote them.
  r = runTool({"convert", copy, "-format", "UDSB", "-o", dir / "Same.sparsebundle", "-imagekey",
               "sparse-band-size=2048"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(readFile(dir / "Same.sparsebundle/Info.plist"), readFile(dir_ + "/Test1.sparsebundle/Info.plist"));

  r = runTool({"compact", copy});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::sha256Hex(flatten(copy)), imageSha);
  r = runTool({"compact", converted});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::sha256Hex(flatten(converted)), imageSha);

  const std::string enc = dir / "Test1Enc.sparsebundle";
  test::copyTree(dir_ + "/Test1Enc.sparsebundle", enc);
  const auto before = snapshot(enc);
  r = runTool({"compact", enc});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "encrypted")) << r.err;
  r = runTool({"convert", enc, "-format", "UDSB", "-o", dir / "EncCopy.sparsebundle", "-imagekey",
               "sparse-band-size=2048"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(snapshot(enc), before);
  EXPECT_FALSE(exists(dir / "EncCopy.sparsebundle"));
}

}  // namespace
}  // namespace quorbel::imagetool
