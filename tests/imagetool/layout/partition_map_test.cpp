#include "imagetool/layout/partition_map.h"

#include <gtest/gtest.h>

#include <regex>

#include "imagetool/layout/layout.h"
#include "support.h"

namespace quorbel::imagetool::layout {
namespace {

using test::MemoryImage;
using test::OpenImage;
using test::ScratchDir;

GptEntry dataPartition(std::uint64_t totalSectors, const Guid& type = appleHfsType) {
  GptEntry e;
  e.type = type;
  e.unique = randomGuid();
  e.firstLba = gptDataStart;
  e.lastLba = gptDataEnd(totalSectors) - 1;
  e.name = gptNameFromUtf8("disk image");
  return e;
}

// sfdisk's view of a GPT image: verification passes and the dump holds the one partition.
void expectSfdiskAgrees(const test::fs::path& image, std::uint64_t totalSectors, const std::string& typeGuid) {
  const auto verify = test::run({"sfdisk", "--verify", image.string()});
  EXPECT_EQ(verify.status, 0) << verify.output;
  EXPECT_NE(verify.output.find("No errors detected."), std::string::npos) << verify.output;
  const auto dump = test::run({"sfdisk", "--dump", image.string()});
  ASSERT_EQ(dump.status, 0) << dump.output;
  EXPECT_NE(dump.output.find("label: gpt"), std::string::npos) << dump.output;
  EXPECT_NE(dump.output.find("last-lba: " + std::to_string(totalSectors - 34)), std::string::npos) << dump.output;
  const std::uint64_t size = gptDataEnd(totalSectors) - gptDataStart;
  const std::regex line("start= *40, size= *" + std::to_string(size) + ", type=" + typeGuid +
                        ", uuid=[0-9A-F-]{36}, name=\"disk image\"");
  EXPECT_TRUE(std::regex_search(dump.output, line)) << dump.output;
}

TEST(PartitionMap, Crc32AndGuidTextMatchTheirStandards) {
  EXPECT_EQ(crc32("123456789", 9), 0xCBF43926u);
  const Guid hfs = parseGuid("48465300-0000-11aa-AA11-00306543ECAC");
  EXPECT_EQ(formatGuid(hfs), "48465300-0000-11AA-AA11-00306543ECAC");
  // On disk the first three fields are little-endian.
  EXPECT_EQ(hfs.bytes[0], 0x00);
  EXPECT_EQ(hfs.bytes[3], 0x48);
  EXPECT_EQ(hfs.bytes[5], 0x00);
  EXPECT_EQ(hfs.bytes[8], 0xAA);
  EXPECT_THROW(parseGuid("48465300-0000-11AA-AA11-00306543ECA"), std::invalid_argument);
  EXPECT_THROW(parseGuid("48465300+0000-11AA-AA11-00306543ECAC"), std::invalid_argument);
  EXPECT_THROW(parseGuid("4846530G-0000-11AA-AA11-00306543ECAC"), std::invalid_argument);
  const Guid random = randomGuid();
  EXPECT_EQ(formatGuid(random)[14], '4');  // version 4
  EXPECT_NE(random, randomGuid());
}

TEST(PartitionMap, DataPartitionEndsWhereMacOSEndsIt) {
  // A 4 MiB image: partition 40..8151, the last 40 sectors left for the backup table.
  EXPECT_EQ(gptDataEnd(8192), 8152u);
  // A 100 MiB image: 40 + 204720 sectors, 7 free before the 33 of the backup table.
  EXPECT_EQ(gptDataEnd(204800), 204760u);
  EXPECT_EQ(gptDataEnd(8193) % 8, 0u);
  EXPECT_LE(gptDataEnd(8199), 8199u - 33);
}

TEST(PartitionMap, GptIsAcceptedBySfdiskAtOrdinaryOddAndHugeSizes) {
  ScratchDir dir;
  // 5 MiB; a size that is no multiple of 4 KiB; beyond 2 TiB, where the protective MBR saturates.
  for (const std::uint64_t sectors : {10240ull, 20481ull, (1ull << 32) + 8ull}) {
    const auto path = dir / ("gpt" + std::to_string(sectors));
    test::makeSparseFile(path, sectors * sectorSize);
    {
      OpenImage image(path);
      writeGpt(image.io(), randomGuid(), {dataPartition(sectors, basicDataType)});
    }
    expectSfdiskAgrees(path, sectors, "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7");
    OpenImage image(path);
    std::array<std::uint8_t, 16> entry{};
    image.io().read(446, entry.data(), entry.size());
    const std::uint32_t protective = entry[12] | (entry[13] << 8) | (entry[14] << 16) | (std::uint32_t{entry[15]} << 24);
    EXPECT_EQ(protective, std::min<std::uint64_t>(sectors - 1, 0xFFFFFFFF));
    EXPECT_LT(test::allocatedBytes(path), 1u << 20);
  }
}

TEST(PartitionMap, ReadsBackWhatItWroteAndFallsBackToTheBackup) {
  MemoryImage image(8 * 1024 * 1024);
  const std::uint64_t sectors = image.size() / sectorSize;
  const Guid disk = randomGuid();
  GptEntry entry = dataPartition(sectors);
  entry.name = gptNameFromUtf8("Daten für 2024 😀");
  writeGpt(image, disk, {entry});

  auto table = readGpt(image);
  ASSERT_TRUE(table);
  EXPECT_FALSE(table->fromBackup);
  EXPECT_EQ(table->disk, disk);
  EXPECT_EQ(table->lastUsableLba, sectors - 34);
  ASSERT_EQ(table->entries.size(), 1u);
  EXPECT_EQ(table->entries[0].type, appleHfsType);
  EXPECT_EQ(table->entries[0].lastLba, entry.lastLba);
  EXPECT_EQ(gptNameToUtf8(table->entries[0].name), "Daten für 2024 😀");

  // A damaged primary entry array fails its CRC: the backup is used.
  image.bytes()[2 * sectorSize + 40] ^= 0xFF;
  table = readGpt(image);
  ASSERT_TRUE(table);
  EXPECT_TRUE(table->fromBackup);
  EXPECT_EQ(table->entries[0].lastLba, entry.lastLba);
  // Both damaged: no table at all, rather than a wrong one.
  image.bytes()[(sectors - 1) * sectorSize + 20] ^= 0xFF;
  EXPECT_FALSE(readGpt(image));
}

TEST(PartitionMap, HostileHeadersAreRejectedWithoutLargeReads) {
  MemoryImage image(1024 * 1024);
  const std::uint64_t sectors = image.size() / sectorSize;
  writeGpt(image, randomGuid(), {dataPartition(sectors)});
  // Rewrites a field of the primary header, with a CRC that matches again, and reads back.
  auto withField = [&](std::size_t offset, std::uint64_t value, std::size_t width) {
    MemoryImage copy(image.bytes());
    std::uint8_t* header = copy.bytes().data() + sectorSize;
    for (std::size_t i = 0; i < width; ++i) header[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
    std::fill(header + 16, header + 20, 0);
    const std::uint32_t crc = crc32(header, 92);
    for (int i = 0; i < 4; ++i) header[16 + i] = static_cast<std::uint8_t>(crc >> (8 * i));
    // Without the backup, only the primary decides.
    std::fill(copy.bytes().end() - static_cast<std::ptrdiff_t>(sectorSize), copy.bytes().end(), 0);
    return readGpt(copy);
  };
  EXPECT_TRUE(withField(80, 128, 4));             // unchanged count: still read
  EXPECT_FALSE(withField(80, 0xFFFFFFFF, 4));     // entry count far beyond reason
  EXPECT_FALSE(withField(84, 0x10000000, 4));     // entry size far beyond reason
  EXPECT_FALSE(withField(84, 100, 4));            // entry size below the minimum
  EXPECT_FALSE(withField(72, sectors - 2, 8));    // entry array running past the end
  EXPECT_FALSE(withField(72, ~0ull, 8));          // entry array nowhere
  EXPECT_FALSE(withField(12, 4096, 4));           // header larger than its sector
  EXPECT_FALSE(withField(24, 7, 8));              // header that says it lives elsewhere

  // An entry pointing far past the image is listed; looking inside it does not throw.
  MemoryImage odd(1024 * 1024);
  GptEntry far = dataPartition(sectors);
  writeGpt(odd, randomGuid(), {far});
  std::uint8_t* entry = odd.bytes().data() + 2 * sectorSize;
  for (std::size_t at : {2 * sectorSize, (sectors - 33) * sectorSize}) {
    entry = odd.bytes().data() + at;
    for (int i = 0; i < 8; ++i) entry[32 + i] = 0xEE;  // first LBA beyond anything
  }
  // Fix both CRCs so the table is taken as sound.
  const std::uint32_t arrayCrc = crc32(odd.bytes().data() + 2 * sectorSize, 32 * sectorSize);
  for (std::size_t at : {sectorSize, (sectors - 1) * sectorSize}) {
    std::uint8_t* header = odd.bytes().data() + at;
    for (int i = 0; i < 4; ++i) header[88 + i] = static_cast<std::uint8_t>(arrayCrc >> (8 * i));
    std::fill(header + 16, header + 20, 0);
    const std::uint32_t crc = crc32(header, 92);
    for (int i = 0; i < 4; ++i) header[16 + i] = static_cast<std::uint8_t>(crc >> (8 * i));
  }
  const LayoutInfo info = describeImage(odd);
  EXPECT_EQ(info.scheme, "GUID");
  ASSERT_EQ(info.partitions.size(), 1u);
  EXPECT_EQ(info.partitions[0].fileSystem, "unknown");
}

TEST(PartitionMap, RefusesTablesThatCannotBeRight) {
  MemoryImage tiny(40 * sectorSize);
  EXPECT_THROW(writeGpt(tiny, randomGuid(), {}), ToolError);
  MemoryImage image(1024 * 1024);
  GptEntry beyond = dataPartition(image.size() / sectorSize);
  beyond.lastLba = image.size() / sectorSize - 2;  // inside the backup table
  EXPECT_THROW(writeGpt(image, randomGuid(), {beyond}), ToolError);
  EXPECT_THROW(writeMbr(image, {{0, 0x0C, 8, 2048}}), ToolError);  // past the end
  EXPECT_THROW(writeMbr(image, std::vector<MbrEntry>(5, {0, 0x0C, 8, 8})), ToolError);
}

TEST(PartitionMap, MbrIsReadBackButBootSectorsAreNotMistakenForOne) {
  MemoryImage image(64 * 1024 * 1024);
  writeMbr(image, {{0x00, 0x0C, 2048, 129024}});
  auto entries = readMbr(image);
  ASSERT_TRUE(entries);
  ASSERT_EQ(entries->size(), 1u);
  EXPECT_EQ((*entries)[0].type, 0x0C);
  EXPECT_EQ((*entries)[0].firstLba, 2048u);
  EXPECT_EQ((*entries)[0].sectorCount, 129024u);

  // A FAT boot sector also ends in 55 AA; its first bytes are a jump and a BPB.
  const std::uint8_t boot[] = {0xEB, 0x58, 0x90, 'm', 'k', 'f', 's', '.', 'f', 'a', 't', 0x00, 0x02, 0x08, 0x20, 0x00, 0x02};
  std::copy(std::begin(boot), std::end(boot), image.bytes().begin());
  EXPECT_FALSE(readMbr(image));
  // Nor is a sector whose entries have impossible status bytes.
  MemoryImage other(1024 * 1024);
  other.bytes()[510] = 0x55;
  other.bytes()[511] = 0xAA;
  other.bytes()[446] = 0x12;
  other.bytes()[450] = 0x0C;
  EXPECT_FALSE(readMbr(other));
}

TEST(PartitionMap, ResizeMovesTheBackupAndThePartitionEnd) {
  ScratchDir dir;
  const auto path = dir / "image";
  const std::uint64_t small = 20480, large = 40963;  // 10 MiB, then a little over 20 MiB
  test::makeSparseFile(path, large * sectorSize);
  {
    // The map made for the small size, in a file already long enough for the large one.
    MemoryImage made(small * sectorSize);
    writeGpt(made, randomGuid(), {dataPartition(small)});
    OpenImage image(path);
    image.io().write(0, made.bytes().data(), made.bytes().size());
  }
  {
    OpenImage image(path);
    resizePartitionMap(image.io(), large * sectorSize);
    // The old backup header, now inside the partition, is gone.
    std::array<char, 8> old{};
    image.io().read((small - 1) * sectorSize, old.data(), old.size());
    EXPECT_EQ(std::string(old.data(), 8), std::string(8, '\0'));
  }
  expectSfdiskAgrees(path, large, "48465300-0000-11AA-AA11-00306543ECAC");

  // And back down: the file keeps its length until the caller cuts it.
  {
    OpenImage image(path);
    resizePartitionMap(image.io(), small * sectorSize);
  }
  test::fs::resize_file(path, small * sectorSize);
  expectSfdiskAgrees(path, small, "48465300-0000-11AA-AA11-00306543ECAC");

  OpenImage image(path);
  EXPECT_THROW(resizePartitionMap(image.io(), 60 * sectorSize), ToolError);  // no room for the map itself
  EXPECT_THROW(resizePartitionMap(image.io(), 2 * small * sectorSize), ToolError);  // beyond the file
  expectSfdiskAgrees(path, small, "48465300-0000-11AA-AA11-00306543ECAC");
}

TEST(PartitionMap, ResizeOfAnMbrSetsThePartitionLength) {
  MemoryImage image(128 * 1024 * 1024);
  writeMbr(image, {{0x00, 0x0C, 2048, 100000}});
  resizePartitionMap(image, 64 * 1024 * 1024);
  auto entries = readMbr(image);
  ASSERT_TRUE(entries);
  EXPECT_EQ((*entries)[0].sectorCount, 131072u - 2048);
  EXPECT_THROW(resizePartitionMap(image, 1024 * sectorSize), ToolError);

  MemoryImage bare(1024 * 1024);  // no map: nothing to do
  EXPECT_NO_THROW(resizePartitionMap(bare, 512 * 1024));
  EXPECT_TRUE(std::all_of(bare.bytes().begin(), bare.bytes().end(), [](std::uint8_t b) { return b == 0; }));
}

}  // namespace
}  // namespace quorbel::imagetool::layout
