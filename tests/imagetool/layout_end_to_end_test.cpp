// Bundles made by the tool with real file systems, compacted and converted as the application does,
// judged by independent programs on the image read back from the bands.

#include <gtest/gtest.h>

#include "support.h"

namespace quorbel::imagetool {
namespace {

using test::contains;
using test::quote;
using test::Scratch;

TEST(EndToEnd, EachFileSystemPassesItsCheckerAfterCreateCompactAndConvert) {
  const struct {
    const char* fs;
    const char* size;
    const char* scheme;  // as sfdisk and imageinfo name it, or "" for no map
    const char* imageinfoScheme;
    const char* check;  // the checker, given the partition's file
    const char* reported;
  } cases[] = {
      {"exFAT", "64m", "gpt", "GUID", "fsck.exfat -n", "exFAT"},
      {"MS-DOS", "64m", "dos", "MBR", "fsck.fat -n", "FAT"},
      {"APFS", "256m", "gpt", "GUID", "apfsck", "APFS"},
      {"Case-sensitive APFS", "256m", "gpt", "GUID", "apfsck", "APFS"},
      {"UDF", "64m", "", "none", "udfinfo", "UDF"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fs);
    Scratch dir;
    const std::string bundle = dir / "Vol.sparsebundle", copy = dir / "Copy.sparsebundle";
    auto r = test::create(bundle, c.size, c.fs);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "created: " + bundle + "\n");
    for (const auto& name : test::listDir(bundle + "/bands"))
      EXPECT_NE(test::readFile(bundle + "/bands/" + name).find_first_not_of('\0'), std::string::npos) << name;
    const std::string image = test::flatten(bundle);
    r = test::runTool({"compact", "-batteryallowed", bundle});
    EXPECT_EQ(r.status, 0) << r.err;
    r = test::runTool({"convert", bundle, "-format", "UDSB", "-o", copy, "-imagekey", "sparse-band-size=4096"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(test::flatten(bundle), image);
    EXPECT_EQ(test::flatten(copy), image);

    // The checker judges what the converted bundle holds.
    test::flattenTo(copy, dir / "image");
    std::string volume = dir / "image";
    const auto info = test::runTool({"imageinfo", copy});
    EXPECT_TRUE(contains(info.out, std::string("Partition Scheme: ") + c.imageinfoScheme + "\n")) << info.out;
    EXPECT_TRUE(contains(info.out, std::string("File System: ") + c.reported)) << info.out;
    if (*c.scheme != '\0') {
      const test::GptCheck map = test::gptCheck(volume);  // sfdisk's view, of either kind of map
      EXPECT_TRUE(map.ok && contains(map.report, std::string("label: ") + c.scheme)) << map.report;
      EXPECT_TRUE(contains(info.out, "Start: " + std::to_string(map.start) + "\n")) << info.out;
      if (c.scheme == std::string("gpt")) {
        EXPECT_EQ(map.start, 40u);
        EXPECT_TRUE(contains(info.out, "Name: disk image\n")) << info.out;
      }
      test::writeFile(dir / "part", image.substr(map.start * 512, map.sectors * 512));
      volume = dir / "part";
    }
    const auto check = test::shell(std::string(c.check) + " " + quote(volume));
    EXPECT_EQ(check.status, 0) << check.out;
  }
  // A size too small for the file system: a clear error and nothing created.
  Scratch dir;
  const auto r = test::create(dir / "Tiny.sparsebundle", "64k", "APFS");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "too small for APFS")) << r.err;
  EXPECT_TRUE(test::listDir(dir.path()).empty());
}

}  // namespace
}  // namespace quorbel::imagetool
