#include "imagetool/layout/layout.h"

#include <gtest/gtest.h>

#include <fstream>

#include "imagetool/layout/partition_map.h"
#include "imagetool/layout/sizes.h"
#include "support.h"

namespace quorbel::imagetool {
namespace {

using layout::sectorSize;
using test::OpenImage;
using test::ScratchDir;
namespace sizes = layout::sizes;
namespace fs = std::filesystem;

constexpr std::uint64_t MiB = 1024 * 1024;

// Makes an image of `size` bytes laid out with `fileSystem`, and what describeImage sees in it.
LayoutInfo makeImage(const fs::path& path, std::uint64_t size, const std::string& fileSystem,
                     const std::string& name) {
  test::makeSparseFile(path, size);
  layOutImage(path.string(), size, fileSystem, name);
  OpenImage image(path);
  return describeImage(image.io());
}

// The volume inside an image, copied out for checkers that take a whole device.
fs::path partitionOf(const fs::path& image, const PartitionInfo& p) {
  const fs::path out = image.string() + ".part";
  test::extract(image, p.firstSector * sectorSize, p.sectorCount * sectorSize, out);
  return out;
}

std::string readBytes(const fs::path& path, std::uint64_t offset, std::size_t length) {
  std::ifstream in(path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  std::string bytes(length, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(length));
  return bytes;
}

void expectGptWithDataPartition(const fs::path& image, const LayoutInfo& info, const std::string& type,
                                const std::string& typeName) {
  EXPECT_EQ(info.scheme, "GUID");
  ASSERT_EQ(info.partitions.size(), 1u);
  const PartitionInfo& p = info.partitions[0];
  EXPECT_EQ(p.name, "disk image");
  EXPECT_EQ(p.type, type);
  EXPECT_EQ(p.typeName, typeName);
  EXPECT_EQ(p.firstSector, 40u);
  const std::uint64_t sectors = fs::file_size(image) / sectorSize;
  EXPECT_EQ(p.firstSector + p.sectorCount, layout::gptDataEnd(sectors));
  const auto verify = test::run({"sfdisk", "--verify", image.string()});
  EXPECT_EQ(verify.status, 0) << verify.output;
}

TEST(LayOut, ExfatPassesFsckAtTheMinimumAndOrdinarySizes) {
  ScratchDir dir;
  for (const std::uint64_t size : {sizes::gptImageSizeFor(sizes::exfatMinimum), 1024 * MiB}) {
    const auto path = dir / ("exfat" + std::to_string(size));
    const LayoutInfo info = makeImage(path, size, "exFAT", "Holiday Photos 2024");
    expectGptWithDataPartition(path, info, "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", "Microsoft Basic Data");
    EXPECT_EQ(info.fileSystem, "exFAT");
    ASSERT_EQ(info.partitions.size(), 1u);
    const auto part = partitionOf(path, info.partitions[0]);
    const auto fsck = test::run({"fsck.exfat", "-n", part.string()});
    EXPECT_EQ(fsck.status, 0) << size << ": " << fsck.output;
    const auto label = test::run({"exfatlabel", part.string()});
    EXPECT_NE(label.output.find("label: Holiday Pho\n"), std::string::npos) << label.output;
  }
  // One byte short of the minimum is refused before anything is formatted.
  const auto path = dir / "short";
  test::makeSparseFile(path, sizes::gptImageSizeFor(sizes::exfatMinimum) - sectorSize);
  EXPECT_THROW(layOutImage(path.string(), fs::file_size(path), "exFAT", "x"), ToolError);
}

TEST(LayOut, MsDosPicksTheFatVariantBySizeAndPassesFsck) {
  ScratchDir dir;
  const struct {
    std::uint64_t size;
    const char* variant;
    std::uint64_t start;
    const char* type;
  } cases[] = {
      {68 * 1024, "FAT12", 8, "0x01"},  // the smallest
      {8 * MiB, "FAT12", 8, "0x01"},
      {16 * MiB, "FAT12", 8, "0x01"},                // just under the FAT16 threshold
      {16 * MiB + 4096, "FAT16", 8, "0x04"},         // exactly at it
      {20 * MiB, "FAT16", 8, "0x04"},
      {33 * MiB, "FAT16", 2048, "0x06"},  // 1 MiB aligned from 32 MiB up
      {37 * MiB, "FAT32", 2048, "0x0C"},
      {300 * MiB, "FAT32", 2048, "0x0C"},
  };
  for (const auto& c : cases) {
    const auto path = dir / ("fat" + std::to_string(c.size));
    const LayoutInfo info = makeImage(path, c.size, "MS-DOS", "Fotos Müller 2024");
    EXPECT_EQ(info.scheme, "MBR") << c.size;
    ASSERT_EQ(info.partitions.size(), 1u) << c.size;
    const PartitionInfo& p = info.partitions[0];
    EXPECT_EQ(p.firstSector, c.start) << c.size;
    EXPECT_EQ(p.firstSector + p.sectorCount, c.size / sectorSize) << c.size;
    EXPECT_EQ(p.type, c.type) << c.size;
    EXPECT_EQ(info.fileSystem, c.variant) << c.size;

    const auto part = partitionOf(path, p);
    const auto fsck = test::run({"fsck.fat", "-n", part.string()});
    EXPECT_EQ(fsck.status, 0) << c.size << ": " << fsck.output;
    const auto label = test::run({"fatlabel", part.string()});
    EXPECT_NE(label.output.find("FOTOS M_LLE"), std::string::npos) << label.output;
    // The boot sector counts the sectors before the volume, as an MBR partition's should.
    const std::string hidden = readBytes(part, 28, 4);
    EXPECT_EQ(static_cast<std::uint8_t>(hidden[0]) | (static_cast<std::uint8_t>(hidden[1]) << 8), c.start);
  }
}

TEST(LayOut, ApfsPassesApfsckInBothCaseModes) {
  ScratchDir dir;
  const std::uint64_t minimum = sizes::gptImageSizeFor(sizes::apfsMinimum);
  const struct {
    const char* fileSystem;
    std::uint64_t size;
    bool caseSensitive;
  } cases[] = {{"APFS", minimum, false}, {"Case-sensitive APFS", 1024 * MiB, true}};
  for (const auto& c : cases) {
    const auto path = dir / c.fileSystem;
    const LayoutInfo info = makeImage(path, c.size, c.fileSystem, "Projekt Ärger");
    expectGptWithDataPartition(path, info, "7C3457EF-0000-11AA-AA11-00306543ECAC", "Apple_APFS");
    EXPECT_EQ(info.fileSystem, "APFS");
    ASSERT_EQ(info.partitions.size(), 1u);
    const auto part = partitionOf(path, info.partitions[0]);
    const auto check = test::run({"apfsck", part.string()});
    EXPECT_EQ(check.status, 0) << c.fileSystem << ": " << check.output;
    EXPECT_TRUE(check.output.empty()) << check.output;

    // The volume superblock ("APSB") carries the name and the case-insensitivity flag.
    const std::uintmax_t blocks = fs::file_size(part) / 4096;
    bool found = false;
    for (std::uintmax_t b = 0; b < blocks && !found; ++b) {
      if (readBytes(part, b * 4096 + 32, 4) != "APSB") continue;
      found = true;
      const std::string name = readBytes(part, b * 4096 + 704, 32);
      EXPECT_EQ(name.substr(0, name.find('\0')), "Projekt Ärger");
      const bool insensitive = readBytes(part, b * 4096 + 56, 1)[0] & 1;
      EXPECT_EQ(insensitive, !c.caseSensitive) << c.fileSystem;
    }
    EXPECT_TRUE(found) << "no APFS volume superblock";
  }
}

TEST(LayOut, UdfCoversTheWholeImageWithItsLabels) {
  ScratchDir dir;
  for (const std::uint64_t size : {sizes::udfMinimum, 100 * MiB}) {
    const auto path = dir / ("udf" + std::to_string(size));
    const LayoutInfo info = makeImage(path, size, "UDF", "Sommer in Köln — Bilder und Filme");
    EXPECT_EQ(info.scheme, "");
    EXPECT_TRUE(info.partitions.empty());
    EXPECT_EQ(info.fileSystem, "UDF");
    const auto udf = test::run({"udfinfo", path.string()});
    EXPECT_EQ(udf.status, 0) << udf.output;
    // The em dash is outside Latin-1: identifiers are UTF-16, 15 units for the volume's.
    EXPECT_NE(udf.output.find("\nvid=Sommer in Köln \n"), std::string::npos) << udf.output;
    EXPECT_NE(udf.output.find("\nlvid=Sommer in Köln — Bilder und Filme\n"), std::string::npos) << udf.output;
    EXPECT_NE(udf.output.find("\nblocksize=512\n"), std::string::npos) << udf.output;
    EXPECT_NE(udf.output.find("\nblocks=" + std::to_string(size / 512) + "\n"), std::string::npos) << udf.output;
  }
}

TEST(LayOut, NamesAndPathsThatLookLikeOptionsStayWhatTheyAre) {
  ScratchDir dir;
  // A relative path starting with '-' and a name starting with '-': neither may reach a
  // formatter as an option.
  fs::create_directory(dir / "-d");
  const fs::path previous = fs::current_path();
  fs::current_path(dir.path());
  test::makeSparseFile("-d/image", 8 * MiB);
  EXPECT_NO_THROW(layOutImage("-d/image", 8 * MiB, "exFAT", "-L"));
  fs::current_path(previous);
  const auto part = partitionOf(dir / "-d/image", {"", "", "", 40, layout::gptDataEnd(8 * MiB / sectorSize) - 40, ""});
  const auto label = test::run({"exfatlabel", part.string()});
  EXPECT_NE(label.output.find("label: -L\n"), std::string::npos) << label.output;
}

TEST(LayOut, EmptyNamesAreAllowed) {
  ScratchDir dir;
  for (const char* fileSystem : {"exFAT", "MS-DOS", "UDF"}) {
    const auto path = dir / fileSystem;
    EXPECT_NO_THROW(makeImage(path, 8 * MiB, fileSystem, "")) << fileSystem;
  }
  const auto udf = test::run({"udfinfo", (dir / "UDF").string()});
  EXPECT_NE(udf.output.find("\nvid=\n"), std::string::npos) << udf.output;
}

TEST(LayOut, RefusesUnknownNamesAndSizesOutsideEachFileSystem) {
  ScratchDir dir;
  const auto path = dir / "image";
  const struct {
    const char* fileSystem;
    std::uint64_t size;
    const char* reason;
  } cases[] = {
      {"ZFS", 8 * MiB, "unknown file system \"ZFS\""},
      {"hfs+", 8 * MiB, "unknown file system"},
      {"exFAT", 2 * MiB, "too small for exFAT: it needs at least 2.54 MiB"},
      {"APFS", 128 * MiB, "too small for APFS"},
      {"Case-sensitive APFS", 100 * MiB, "too small for Case-sensitive APFS"},
      {"APFS", 1355ull * 1024 * MiB, "too large for APFS"},
      {"MS-DOS", 64 * 1024, "too small for MS-DOS"},
      {"MS-DOS", 3ull * 1024 * 1024 * MiB, "too large for MS-DOS"},
      {"UDF", 32 * 1024, "too small for UDF"},
      {"UDF", 2ull * 1024 * 1024 * MiB + 512, "too large for UDF"},
  };
  for (const auto& c : cases) {
    test::makeSparseFile(path, c.size);
    try {
      layOutImage(path.string(), c.size, c.fileSystem, "Name");
      ADD_FAILURE() << c.fileSystem << " at " << c.size << " was accepted";
    } catch (const ToolError& e) {
      EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
    }
    // Refused before anything was written, and no scratch file stays behind.
    EXPECT_EQ(test::allocatedBytes(path), 0u) << c.fileSystem;
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"image"});
  }
  // Every name the application offers is known (HFS+ may still be refused, but not as unknown).
  for (const auto& name : supportedFileSystems()) {
    test::makeSparseFile(path, 8 * MiB);
    try {
      layOutImage(path.string(), 8 * MiB, name, "Name");
    } catch (const ToolError& e) {
      EXPECT_EQ(std::string(e.what()).find("unknown"), std::string::npos) << name << ": " << e.what();
    }
  }
  EXPECT_EQ(supportedFileSystems().size(), 7u);
  // A size that disagrees with the file, or is no whole number of sectors.
  test::makeSparseFile(path, 8 * MiB);
  EXPECT_THROW(layOutImage(path.string(), 16 * MiB, "exFAT", "x"), ToolError);
  EXPECT_THROW(layOutImage(path.string(), 8 * MiB + 1, "exFAT", "x"), ToolError);
  EXPECT_THROW(layOutImage((dir / "missing").string(), 8 * MiB, "exFAT", "x"), ToolError);
}

TEST(LayOut, HfsVolumesComeFromTheVolumeWriter) {
  ScratchDir dir;
  const auto path = dir / "hfs";
  test::makeSparseFile(path, 8 * MiB);
#if __has_include("imagetool/hfsplus/hfsplus.h")
  for (const char* fileSystem : {"HFS+", "HFS+J"}) {
    layOutImage(path.string(), 8 * MiB, fileSystem, "Backup");
    OpenImage image(path);
    const LayoutInfo info = describeImage(image.io());
    expectGptWithDataPartition(path, info, "48465300-0000-11AA-AA11-00306543ECAC", "Apple_HFS");
    EXPECT_EQ(info.fileSystem, fileSystem);
    // The Sleuth Kit finds the volume where the partition says it is.
    ASSERT_EQ(info.partitions.size(), 1u);
    const auto part = partitionOf(path, info.partitions[0]);
    const auto stat = test::run({"fsstat", "-f", "hfs", part.string()});
    EXPECT_EQ(stat.status, 0) << stat.output;
    EXPECT_NE(stat.output.find("Volume Name: Backup"), std::string::npos) << stat.output;
  }
#else
  try {
    layOutImage(path.string(), 8 * MiB, "HFS+", "Backup");
    ADD_FAILURE() << "HFS+ was accepted without a volume writer";
  } catch (const ToolError& e) {
    EXPECT_STREQ(e.what(), "HFS+ volumes are not supported yet");
  }
  EXPECT_EQ(test::allocatedBytes(path), 0u);
#endif
}

TEST(LayOut, FormatterFailuresAreReportedWithWhatTheFormatterSaid) {
  ScratchDir dir;
  // A stand-in formatter, first in PATH, that complains and fails.
  const auto bin = dir / "bin";
  fs::create_directory(bin);
  {
    std::ofstream script(bin / "mkfs.exfat");
    script << "#!/bin/sh\necho \"working on $*\"\necho 'device is on fire' >&2\nexit 3\n";
  }
  fs::permissions(bin / "mkfs.exfat", fs::perms::owner_all);
  const std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
  ::setenv("PATH", (bin.string() + ":" + oldPath).c_str(), 1);

  const auto path = dir / "image";
  test::makeSparseFile(path, 8 * MiB);
  std::string message;
  try {
    layOutImage(path.string(), 8 * MiB, "exFAT", "x");
  } catch (const ToolError& e) {
    message = e.what();
  }
  ::setenv("PATH", oldPath.c_str(), 1);
  EXPECT_NE(message.find("mkfs.exfat failed (exit status 3)"), std::string::npos) << message;
  EXPECT_NE(message.find("device is on fire"), std::string::npos) << message;
  // It was run on a scratch file beside the image, never on the image, and that file is gone.
  EXPECT_NE(message.find((dir / ".quorbel-format-").string()), std::string::npos) << message;
  EXPECT_EQ(test::allocatedBytes(path), 0u);
  std::vector<std::string> left = dir.entries();
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"bin", "image"}));
}

TEST(LayOut, TwoTebibyteExfatImageStaysSmall) {
  ScratchDir dir;
  const auto path = dir / "huge";
  const std::uint64_t size = 2ull * 1024 * 1024 * MiB;
  const LayoutInfo info = makeImage(path, size, "exFAT", "Huge");
  EXPECT_EQ(info.fileSystem, "exFAT");
  // Only blocks holding something other than zeros reach the image.
  EXPECT_LT(test::allocatedBytes(path), 1 * MiB);
  const auto part = partitionOf(path, info.partitions.at(0));
  const auto fsck = test::run({"fsck.exfat", "-n", part.string()});
  EXPECT_EQ(fsck.status, 0) << fsck.output;
}

TEST(Describe, MacOSMadeBundleIsABareJournaledHfsVolume) {
  const fs::path bands = fs::path(QUORBEL_SOURCE_DIR) / "../shared/fixtures/macos/Test1.sparsebundle/bands";
  if (!fs::exists(bands)) GTEST_SKIP() << "the macOS fixtures are not at " << bands;
  // Flatten the bands: band N holds bytes N × 1 MiB onwards; missing bands read as zeros.
  test::MemoryImage image(5242880);
  for (const auto& band : fs::directory_iterator(bands)) {
    const std::uint64_t index = std::stoull(band.path().filename().string(), nullptr, 16);
    std::ifstream in(band.path(), std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_LE(index * MiB + bytes.size(), image.size());
    std::copy(bytes.begin(), bytes.end(), image.bytes().begin() + static_cast<std::ptrdiff_t>(index * MiB));
  }
  const LayoutInfo info = describeImage(image);
  EXPECT_EQ(info.scheme, "");
  EXPECT_TRUE(info.partitions.empty());
  EXPECT_EQ(info.fileSystem, "HFS+J");
}

TEST(Describe, SignaturesDecideTheFileSystem) {
  test::MemoryImage image(1 * MiB);
  auto at = [&](std::uint64_t offset, std::string_view bytes) {
    std::copy(bytes.begin(), bytes.end(), image.bytes().begin() + static_cast<std::ptrdiff_t>(offset));
  };
  EXPECT_EQ(detectFileSystem(image, 0, image.size()), "unknown");
  at(1024, std::string_view("H+\0\x04\x80\0\0\0", 8));
  EXPECT_EQ(detectFileSystem(image, 0, image.size()), "HFS+");
  at(1024, std::string_view("HX\0\x05\x80\0\x20\0", 8));
  EXPECT_EQ(detectFileSystem(image, 0, image.size()), "HFSX (journaled)");
  // Signatures are looked for where the partition starts, not where the image does.
  EXPECT_EQ(detectFileSystem(image, 4096, image.size() - 4096), "unknown");
  at(4096 + 32, "NXSB");
  EXPECT_EQ(detectFileSystem(image, 4096, image.size() - 4096), "APFS");
  // A region too short to hold a signature is simply unknown, not an error.
  EXPECT_EQ(detectFileSystem(image, image.size() - 100, 100), "unknown");
  EXPECT_EQ(detectFileSystem(image, image.size() + 4096, 1 * MiB), "unknown");

  // A partition table that points past the image's end is reported, not followed into a throw.
  test::MemoryImage mbr(1 * MiB);
  layout::writeMbr(mbr, {{0, 0x0C, 8, 100}});
  mbr.bytes()[446 + 12] = 0xFF;  // now 255 + 100 sectors long: past the end
  mbr.bytes()[446 + 13] = 0xFF;
  mbr.bytes()[446 + 14] = 0xFF;
  EXPECT_EQ(describeImage(mbr).scheme, "");
}

}  // namespace
}  // namespace quorbel::imagetool
