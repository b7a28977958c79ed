#include "imagetool/layout/layout.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>

#include "../support.h"
#include "imagetool/layout/partition_map.h"
#include "imagetool/layout/sizes.h"

namespace quorbel::imagetool {
namespace {

using layout::sectorSize;
using test::ImageFile;
namespace sizes = layout::sizes;
namespace fs = std::filesystem;

constexpr std::uint64_t MiB = 1024 * 1024;
const std::string hfsType = "48465300-0000-11AA-AA11-00306543ECAC";

// Makes an image of `size` bytes laid out with `fileSystem`, and what describeImage sees in it.
LayoutInfo makeImage(const fs::path& path, std::uint64_t size, const std::string& fileSystem, const std::string& name) {
  ImageFile image(path, size);
  layOutImage(path.string(), size, fileSystem, name);
  return describeImage(image.io());
}

// Runs the independent checker of `fileSystem` on the volume file `volume`; returns what it and the
// label reader said (for APFS, the volume superblock's name and case flag, as apfsck says nothing).
std::string checkVolume(const std::string& fileSystem, const fs::path& volume) {
  const std::string v = fs::absolute(volume).string();
  std::vector<std::vector<std::string>> commands{{"apfsck", v}};
  if (fileSystem == "exFAT") commands = {{"fsck.exfat", "-n", v}, {"exfatlabel", v}};
  if (fileSystem == "MS-DOS") commands = {{"fsck.fat", "-n", v}, {"fatlabel", v}};
  if (fileSystem == "UDF") commands = {{"udfinfo", v}};
  if (fileSystem.starts_with("HFS")) commands = {{"fsstat", "-f", "hfs", v}};
  std::string said;
  for (const auto& command : commands) {
    const auto result = test::run(command);
    EXPECT_EQ(result.status, 0) << command[0] << ": " << result.out;
    said += result.out;
  }
  if (commands[0][0] != "apfsck") return said;
  EXPECT_EQ(said, "");
  ImageFile part(volume);
  for (std::uint64_t block = 0; block < part.io().size() / 4096; ++block) {
    if (part.read(block * 4096 + 32, 4) != std::vector<unsigned char>{'A', 'P', 'S', 'B'}) continue;
    const auto name = part.read(block * 4096 + 704, 256);
    return "name=" + std::string(name.begin(), std::find(name.begin(), name.end(), 0)) +
           (part.read(block * 4096 + 56, 1)[0] & 1 ? " case-insensitive" : " case-sensitive");
  }
  return "no APFS volume superblock";
}

// sfdisk's view of a GPT image: verification passes and the dump holds the one partition.
void expectSfdiskAgrees(const fs::path& image, std::uint64_t sectors, const std::string& type) {
  const auto verify = test::run({"sfdisk", "--verify", fs::absolute(image).string()});
  EXPECT_EQ(verify.status, 0) << verify.out;
  EXPECT_NE(verify.out.find("No errors detected."), std::string::npos) << verify.out;
  const auto dump = test::run({"sfdisk", "--dump", fs::absolute(image).string()});
  EXPECT_NE(dump.out.find("last-lba: " + std::to_string(sectors - 34)), std::string::npos) << dump.out;
  const std::regex line("start= *40, size= *" + std::to_string(test::partitionSectors(sectors * sectorSize)) +
                        ", type=" + type + ", uuid=[0-9A-F-]{36}, name=\"disk image\"");
  EXPECT_TRUE(std::regex_search(dump.out, line)) << dump.out;
}

TEST(LayOut, EachFileSystemPassesItsCheckerWithItsLabelAtEdgeSizes) {
  const std::string basic = "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", apfs = "7C3457EF-0000-11AA-AA11-00306543ECAC",
                    fat = "FOTOS M_LLE";
  const std::string udfName = "Sommer in Köln — Bilder und Filme";
  const struct {
    const char* fileSystem;
    std::uint64_t size;
    std::string name, scheme, type, typeName;
    std::uint64_t start;
    const char* detected;
    std::vector<std::string> said;
  } cases[] = {
      // clang-format off
      // A name that looks like an option stays a name (and the image's relative path starts with '-').
      {"exFAT", sizes::gptImageSizeFor(sizes::exfatMinimum), "-L Holiday Photos", "GUID", basic,
       "Microsoft Basic Data", 40, "exFAT", {"label: -L Holiday \n"}},
      {"exFAT", 2ull << 40, "", "GUID", basic, "Microsoft Basic Data", 40, "exFAT", {}},
      // The FAT variant, partition type and start follow the size.
      {"MS-DOS", 68 * 1024, "Fotos Müller 2024", "MBR", "0x01", "DOS_FAT_12", 8, "FAT12", {fat}},
      {"MS-DOS", 16 * MiB, "Fotos Müller 2024", "MBR", "0x01", "DOS_FAT_12", 8, "FAT12", {fat}},
      {"MS-DOS", 16 * MiB + 4096, "Fotos Müller 2024", "MBR", "0x04", "DOS_FAT_16", 8, "FAT16", {fat}},
      // Exactly 32 MiB: the first size whose partition starts 1 MiB in.
      {"MS-DOS", 32 * MiB - 512, "", "MBR", "0x04", "DOS_FAT_16", 8, "FAT16", {}},
      {"MS-DOS", 32 * MiB, "Fotos Müller 2024", "MBR", "0x04", "DOS_FAT_16", 2048, "FAT16", {fat}},
      {"MS-DOS", 33 * MiB, "", "MBR", "0x06", "DOS_FAT_16", 2048, "FAT16", {}},
      {"MS-DOS", 37 * MiB, "", "MBR", "0x0C", "DOS_FAT_32", 2048, "FAT32", {}},
      {"APFS", sizes::gptImageSizeFor(sizes::apfsMinimum), "Projekt Ärger", "GUID", apfs, "Apple_APFS", 40, "APFS",
       {"name=Projekt Ärger case-insensitive"}},
      {"Case-sensitive APFS", 1024 * MiB, "Projekt Ärger", "GUID", apfs, "Apple_APFS", 40, "APFS",
       {"name=Projekt Ärger case-sensitive"}},
      // The em dash is outside Latin-1: identifiers are UTF-16, 15 units for the volume's.
      {"UDF", sizes::udfMinimum, udfName, "", "", "", 0, "UDF",
       {"\nvid=Sommer in Köln \n", "\nlvid=" + udfName + "\n", "\nblocksize=512\n", "\nblocks=128\n"}},
      {"UDF", 100 * MiB, "", "", "", "", 0, "UDF", {"\nvid=\n", "\nblocks=204800\n"}},
      {"HFS+", 8 * MiB, "Backup", "GUID", hfsType, "Apple_HFS", 40, "HFS+", {"Volume Name: Backup\n"}},
      {"HFS+J", 8 * MiB, "Backup", "GUID", hfsType, "Apple_HFS", 40, "HFS+J", {"Volume Name: Backup\n"}},
      // clang-format on
  };
  test::Scratch dir;
  fs::create_directory(dir / "-d");
  struct InDir {
    fs::path previous = fs::current_path();
    ~InDir() { fs::current_path(previous); }
  } inDir;
  fs::current_path(dir.path());
  const fs::path path = "-d/image", volume = "-d/volume";
  std::set<std::string> names;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.fileSystem) + " at " + std::to_string(c.size));
    const LayoutInfo info = makeImage(path, c.size, c.fileSystem, c.name);
    EXPECT_EQ(info.scheme, c.scheme);
    EXPECT_EQ(info.fileSystem, c.detected);
    EXPECT_LT(test::allocatedBytes(path), 4 * MiB) << "only blocks that are not zero reach the image";
    std::uint64_t first = 0, sectors = c.size / sectorSize;
    if (c.scheme.empty()) {
      EXPECT_TRUE(info.partitions.empty());
    } else {
      ASSERT_EQ(info.partitions.size(), 1u);
      const PartitionInfo& p = info.partitions[0];
      EXPECT_EQ(p.name, c.scheme == "GUID" ? "disk image" : "");
      EXPECT_EQ(p.type, c.type);
      EXPECT_EQ(p.typeName, c.typeName);
      EXPECT_EQ(p.firstSector, c.start);
      EXPECT_EQ(p.firstSector + p.sectorCount, c.scheme == "GUID" ? 40 + test::partitionSectors(c.size) : sectors);
      if (c.scheme == "GUID") expectSfdiskAgrees(path, sectors, c.type);
      first = p.firstSector;
      sectors = p.sectorCount;
    }
    test::extract(path, first * sectorSize, sectors * sectorSize, volume);
    // The FAT boot sector counts the sectors before the volume, as an MBR partition's should.
    const auto hidden = ImageFile(volume).read(28, 2);
    if (c.scheme == "MBR") {
      EXPECT_EQ(std::uint64_t{hidden[0]} | std::uint64_t{hidden[1]} << 8, c.start);
    }
    const std::string said = checkVolume(c.fileSystem, volume);
    for (const auto& piece : c.said) EXPECT_NE(said.find(piece), std::string::npos) << said;
    names.insert(c.fileSystem);
  }
  // Every name the application offers was laid out above.
  EXPECT_EQ(names, std::set<std::string>(supportedFileSystems().begin(), supportedFileSystems().end()));
}

TEST(LayOut, ResizingTheMapMovesTheBackupAndThePartitionEnd) {
  test::Scratch dir;
  const auto path = dir / "image";
  const std::uint64_t small = 20480, large = 40963;  // 10 MiB, then a little over 20 MiB
  makeImage(path, small * sectorSize, "HFS+", "Grows");
  ImageFile image(path);
  image.resize(large * sectorSize);
  resizePartitionMap(image.io(), large * sectorSize);
  EXPECT_EQ(image.read((small - 1) * sectorSize, 8), std::vector<unsigned char>(8, 0)) << "old backup header left";
  expectSfdiskAgrees(path, large, hfsType);
  // And back down: the file keeps its length until the caller cuts it.
  resizePartitionMap(image.io(), small * sectorSize);
  image.resize(small * sectorSize);
  expectSfdiskAgrees(path, small, hfsType);
  EXPECT_THROW(resizePartitionMap(image.io(), 60 * sectorSize), ToolError);         // no room for the map
  EXPECT_THROW(resizePartitionMap(image.io(), 2 * small * sectorSize), ToolError);  // beyond the file
  expectSfdiskAgrees(path, small, hfsType);
}

TEST(LayOut, RefusesUnknownNamesAndSizesOutsideEachFileSystemBeforeWritingAnything) {
  test::Scratch dir;
  const auto path = dir / "image";
  const struct {
    const char* fileSystem;
    std::uint64_t size;
    const char* reason;
  } cases[] = {
      {"ZFS", 8 * MiB, "unknown file system \"ZFS\""},
      {"hfs+", 8 * MiB, "unknown file system"},
      {"exFAT", sizes::gptImageSizeFor(sizes::exfatMinimum) - 512, "too small for exFAT: it needs at least 2.54 MiB"},
      {"APFS", 128 * MiB, "too small for APFS"},
      {"Case-sensitive APFS", 100 * MiB, "too small for Case-sensitive APFS"},
      {"MS-DOS", 64 * 1024, "too small for MS-DOS"},
      {"MS-DOS", 3ull * 1024 * 1024 * MiB, "too large for MS-DOS"},
      {"UDF", 32 * 1024, "too small for UDF"},
      {"UDF", 2ull * 1024 * 1024 * MiB + 512, "too large for UDF"},
      {"HFS+", 512 * 1024, "too small"},
  };
  for (const auto& c : cases) {
    ImageFile image(path, c.size);
    test::expectError([&] { layOutImage(path, c.size, c.fileSystem, "Name"); }, c.reason);
    // Nothing was written, and no scratch file stays behind.
    EXPECT_EQ(test::allocatedBytes(path), 0u) << c.fileSystem;
    EXPECT_EQ(test::listDir(dir.path()), std::vector<std::string>{"image"});
  }
  // A size that disagrees with the file, or is no whole number of sectors; a missing file.
  EXPECT_THROW(layOutImage(path, 16 * MiB, "exFAT", "x"), ToolError);
  EXPECT_THROW(layOutImage(path, 8 * MiB + 1, "exFAT", "x"), ToolError);
  EXPECT_THROW(layOutImage(dir / "missing", 8 * MiB, "exFAT", "x"), ToolError);
}

TEST(LayOut, FormatterFailuresAreReportedWithWhatTheFormatterSaid) {
  test::Scratch dir;
  // A stand-in formatter, first in PATH, that complains and fails.
  fs::create_directory(dir / "bin");
  std::ofstream(dir / "bin/mkfs.exfat") << "#!/bin/sh\necho \"working on $*\"\necho 'device is on fire' >&2\nexit 3\n";
  fs::permissions(dir / "bin/mkfs.exfat", fs::perms::owner_all);
  const std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
  ::setenv("PATH", (dir / "bin" + ":" + oldPath).c_str(), 1);
  const auto path = dir / "image";
  ImageFile image(path, 8 * MiB);
  const std::string message =
      test::expectError([&] { layOutImage(path, 8 * MiB, "exFAT", "x"); }, "mkfs.exfat failed (exit status 3)");
  ::setenv("PATH", oldPath.c_str(), 1);
  EXPECT_NE(message.find("device is on fire"), std::string::npos) << message;
  // It was run on a scratch file beside the image, never on the image, and that file is gone.
  EXPECT_NE(message.find(dir / ".quorbel-format-"), std::string::npos) << message;
  EXPECT_EQ(test::allocatedBytes(path), 0u);
  EXPECT_EQ(test::listDir(dir.path()), (std::vector<std::string>{"bin", "image"}));
}

// (The macOS-made bare volume is recognised through imageinfo in the volume tests.)
TEST(Describe, HfsxIsToldApartAndARegionIsNotReadPastTheImage) {
  test::MemoryImage image(1 * MiB);
  const char hfsx[] = "HX\0\x05\x80\0\x20\0";  // case-sensitive variant, journaled
  std::copy(hfsx, hfsx + 8, image.bytes().begin() + 1024);
  EXPECT_EQ(detectFileSystem(image, 0, image.size()), "HFSX (journaled)");
  // A region whose last 100 bytes lie in the image is too short to hold a header, and is not read past it.
  EXPECT_EQ(detectFileSystem(image, image.size() - 100, 1 * MiB), "unknown");
}

}  // namespace
}  // namespace quorbel::imagetool
