// Bundles made by the tool with real file systems, judged by independent programs on the image read
// back from the bands. Built only when the layout library is part of the build.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "support.h"

#ifdef QUORBEL_HAVE_LAYOUT

namespace quorbel::imagetool {
namespace {

using test::runTool;
using test::Scratch;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Runs a shell command; returns its exit status and output.
std::pair<int, std::string> shell(const std::string& command) {
  std::string output;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return {-1, ""};
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
  const int status = ::pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

// The first partition of the image file `image` as sfdisk reads it: {start sector, sectors}.
std::pair<std::uint64_t, std::uint64_t> firstPartition(const std::string& image) {
  const auto [status, out] = shell("sfdisk --dump '" + image + "'");
  EXPECT_EQ(status, 0) << out;
  const auto start = out.find("start=");
  const auto size = out.find("size=", start);
  if (start == std::string::npos || size == std::string::npos) return {0, 0};
  return {std::stoull(out.substr(start + 6)), std::stoull(out.substr(size + 5))};
}

struct Case {
  const char* fs;
  const char* size;
  const char* scheme;  // as sfdisk names it, or "" for no map
  const char* check;   // the checker, given the partition's file
  const char* reported;
};

TEST(EndToEnd, EachFileSystemPassesItsOwnCheckerWhenReadBackFromTheBands) {
  const Case cases[] = {
      {"exFAT", "64m", "gpt", "fsck.exfat -n", "exFAT"},
      {"MS-DOS", "64m", "dos", "fsck.fat -n", "FAT"},
      {"APFS", "256m", "gpt", "apfsck", "APFS"},
      {"Case-sensitive APFS", "256m", "gpt", "apfsck", "APFS"},
      {"UDF", "64m", "", "udfinfo", "UDF"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fs);
    Scratch dir;
    const std::string bundle = dir / "Vol.sparsebundle";
    const auto r = runTool({"create", "-size", c.size, "-type", "SPARSEBUNDLE", "-imagekey", "sparse-band-size=2048",
                            "-fs", c.fs, "-volname", "Vol", bundle});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "created: " + bundle + "\n");
    // No band of zeros was written.
    for (const auto& name : test::listDir(bundle + "/bands")) {
      const std::string band = test::readFile(bundle + "/bands/" + name);
      EXPECT_NE(band.find_first_not_of('\0'), std::string::npos) << "band " << name << " holds only zeros";
    }
    const std::string image = test::flatten(bundle);
    test::writeFile(dir / "image", image);
    std::string volume = dir / "image";
    if (*c.scheme != '\0') {
      const auto [status, dump] = shell("sfdisk --dump '" + (dir / "image") + "'");
      EXPECT_EQ(status, 0) << dump;
      EXPECT_TRUE(contains(dump, std::string("label: ") + c.scheme)) << dump;
      const auto [start, sectors] = firstPartition(dir / "image");
      ASSERT_GT(sectors, 0u);
      test::writeFile(dir / "part", image.substr(start * 512, sectors * 512));
      volume = dir / "part";
    }
    const auto [status, out] = shell(std::string(c.check) + " '" + volume + "'");
    EXPECT_EQ(status, 0) << out;
    const auto info = runTool({"imageinfo", bundle});
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_TRUE(contains(info.out, std::string("File System: ") + c.reported)) << info.out;
  }
}

TEST(EndToEnd, CreateCompactConvertAsTheApplicationDoes) {
  Scratch dir;
  const std::string bundle = dir / "Data.sparsebundle";
  auto r = runTool({"create", "-size", "300m", "-type", "SPARSEBUNDLE", "-fs", "exFAT", "-volname", "Data", bundle});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string image = test::flatten(bundle);
  EXPECT_EQ(image.size(), 300ull << 20);
  r = runTool({"compact", "-batteryallowed", bundle});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::flatten(bundle), image);
  r = runTool({"convert", bundle, "-format", "UDSB", "-o", dir / "Data2.sparsebundle", "-imagekey",
               "sparse-band-size=4096"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::flatten(dir / "Data2.sparsebundle"), image);
  r = runTool({"imageinfo", dir / "Data2.sparsebundle"});
  EXPECT_TRUE(contains(r.out, "Partition Scheme: GUID")) << r.out;
  EXPECT_TRUE(contains(r.out, "Name: disk image")) << r.out;
  EXPECT_TRUE(contains(r.out, "Start: 40\n")) << r.out;
}

TEST(EndToEnd, ASizeTooSmallForTheFileSystemCreatesNothing) {
  Scratch dir;
  const auto r = runTool({"create", "-size", "64k", "-type", "SPARSEBUNDLE", "-fs", "APFS", "-volname", "Tiny",
                          dir / "Tiny.sparsebundle"});
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(r.err.empty());
  EXPECT_TRUE(test::listDir(dir.path()).empty());
}

}  // namespace
}  // namespace quorbel::imagetool

#endif
