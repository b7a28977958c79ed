#include "imagetool/layout/partition_map.h"

#include <gtest/gtest.h>

#include <random>

#include "../support.h"
#include "imagetool/layout/layout.h"

namespace quorbel::imagetool::layout {
namespace {

using test::MemoryImage;
using test::putLe;

GptEntry dataPartition(std::uint64_t totalSectors, const Guid& type = appleHfsType) {
  return {type, randomGuid(), gptDataStart, gptDataEnd(totalSectors) - 1, 0, gptNameFromUtf8("disk image")};
}

// Recomputes the CRC of the GPT header at `header`, so that a changed field is taken as sound.
void sealGptHeader(std::uint8_t* header) {
  putLe(header + 16, 0, 4);
  putLe(header + 16, crc32(header, 92), 4);
}

TEST(PartitionMap, FollowsItsConventionsReadsBackFallsBackToTheBackupAndRefusesBadTables) {
  EXPECT_EQ(crc32("123456789", 9), 0xCBF43926u);
  EXPECT_EQ(formatGuid(parseGuid("48465300-0000-11aa-AA11-00306543ECAC")), "48465300-0000-11AA-AA11-00306543ECAC");
  EXPECT_EQ(formatGuid(randomGuid())[14], '4');  // version 4
  EXPECT_NE(randomGuid(), randomGuid());
  // As macOS ends it: the last 4 KiB boundary before the 33 sectors of the backup table.
  EXPECT_EQ(gptDataEnd(8192), 8152u);
  EXPECT_EQ(gptDataEnd(8199), 8160u);

  MemoryImage image(8 * 1024 * 1024);
  const std::uint64_t sectors = image.size() / sectorSize;
  const Guid disk = randomGuid();
  GptEntry entry = dataPartition(sectors);
  entry.name = gptNameFromUtf8("Daten für 2024 😀");
  writeGpt(image, disk, {entry});
  for (bool damaged : {false, true}) {
    // A damaged primary entry array fails its CRC: the backup is used.
    if (damaged) image.bytes()[2 * sectorSize + 40] ^= 0xFF;
    const auto table = readGpt(image);
    ASSERT_TRUE(table);
    EXPECT_EQ(table->fromBackup, damaged);
    EXPECT_EQ(table->disk, disk);
    EXPECT_EQ(table->lastUsableLba, sectors - 34);
    ASSERT_EQ(table->entries.size(), 1u);
    EXPECT_EQ(table->entries[0].type, appleHfsType);
    EXPECT_EQ(table->entries[0].lastLba, entry.lastLba);
    EXPECT_EQ(gptNameToUtf8(table->entries[0].name), "Daten für 2024 😀");
  }
  // Both damaged: no table at all, rather than a wrong one.
  image.bytes()[(sectors - 1) * sectorSize + 20] ^= 0xFF;
  EXPECT_FALSE(readGpt(image));

  MemoryImage tiny(40 * sectorSize);
  EXPECT_THROW(writeGpt(tiny, randomGuid(), {}), ToolError);
  entry.lastLba = sectors - 2;  // inside the backup table
  EXPECT_THROW(writeGpt(image, randomGuid(), {entry}), ToolError);
}

TEST(PartitionMap, HostileTablesAreRejectedAndNeverMakeDescribeReadOutsideTheImage) {
  MemoryImage image(1024 * 1024);
  writeGpt(image, randomGuid(), {dataPartition(image.size() / sectorSize)});
  std::fill(image.bytes().end() - sectorSize, image.bytes().end(), 0);  // only the primary decides
  const struct {
    std::size_t offset;
    std::uint64_t value;
    int width;
    bool sound;
  } fields[] = {
      {80, 128, 4, true},          // unchanged count: still read
      {80, 0xFFFFFFFF, 4, false},  // entry array far beyond reason
      {84, 100, 4, false},         // entry size below the minimum
      {72, 2046, 8, false},        // entry array running past the end
      {72, ~0ull, 8, false},       // entry array nowhere
      {12, 4096, 4, false},        // header larger than its sector
      {24, 7, 8, false},           // header that says it lives elsewhere
  };
  for (const auto& f : fields) {
    MemoryImage copy = image;
    putLe(copy.bytes().data() + sectorSize + f.offset, f.value, f.width);
    sealGptHeader(copy.bytes().data() + sectorSize);
    EXPECT_EQ(readGpt(copy).has_value(), f.sound) << "field at " << f.offset;
  }

  // Random tables, taken as sound (CRCs right), whose entries point anywhere: every read must stay
  // inside the image (MemoryImage throws otherwise).
  std::mt19937_64 random(20240607);
  int reachedInside = 0;
  for (int round = 0; round < 300; ++round) {
    MemoryImage noise((80 + random() % 200) * sectorSize);
    std::uint8_t* bytes = noise.bytes().data();
    for (std::size_t i = 0; i < 40 * sectorSize; ++i) bytes[i] = static_cast<std::uint8_t>(random());
    for (std::size_t at = 2 * sectorSize; at < 34 * sectorSize; at += 8)  // some entries inside the image
      if (random() % 3 == 0) putLe(bytes + at, random() % 300, 8);
    putLe(bytes + 510, 0xAA55, 2);
    for (int i = 0; round % 3 == 0 && i < 4; ++i) bytes[446 + 16 * i] = 0x00;  // status bytes an MBR may have
    if (round % 2 == 0) {
      std::uint8_t* header = bytes + sectorSize;
      std::memcpy(header, "EFI PART", 8);
      const std::uint64_t count = random() % 160, size = 128 + 8 * (random() % 3);
      putLe(header + 12, 92, 4);
      putLe(header + 24, 1, 8);
      putLe(header + 72, 2, 8);
      putLe(header + 80, count, 4);
      putLe(header + 84, size, 4);
      putLe(header + 88, crc32(bytes + 2 * sectorSize, std::min(count * size, noise.size() - 2 * sectorSize)), 4);
      sealGptHeader(header);
    }
    LayoutInfo info;
    EXPECT_NO_THROW(info = describeImage(noise)) << "round " << round;
    reachedInside += std::any_of(info.partitions.begin(), info.partitions.end(), [&](const PartitionInfo& p) {
      return p.firstSector < noise.size() / sectorSize && p.sectorCount > 0;
    });
  }
  EXPECT_GT(reachedInside, 30);  // the rounds did reach the code that looks inside partitions
}

TEST(PartitionMap, MbrIsReadBackResizedAndNotMistakenForABootSector) {
  MemoryImage image(128 * 1024 * 1024);
  EXPECT_THROW(writeMbr(image, {{0, 0x0C, 8, 262144}}), ToolError);  // past the end
  EXPECT_THROW(writeMbr(image, std::vector<MbrEntry>(5, {0, 0x0C, 8, 8})), ToolError);
  writeMbr(image, {{0x00, 0x0C, 2048, 100000}});
  resizePartitionMap(image, 64 * 1024 * 1024);
  const auto entries = readMbr(image);
  ASSERT_TRUE(entries);
  ASSERT_EQ(entries->size(), 1u);
  EXPECT_EQ((*entries)[0].type, 0x0C);
  EXPECT_EQ((*entries)[0].firstLba, 2048u);
  EXPECT_EQ((*entries)[0].sectorCount, 131072u - 2048);
  EXPECT_THROW(resizePartitionMap(image, 1024 * sectorSize), ToolError);  // before the partition's start

  // A FAT boot sector also ends in 55 AA; its first bytes are a jump and a BPB.
  const std::uint8_t boot[] = {0xEB, 0x58, 0x90, 'm',  'k',  'f',  's',  '.', 'f',
                               'a',  't',  0x00, 0x02, 0x08, 0x20, 0x00, 0x02};
  std::copy(std::begin(boot), std::end(boot), image.bytes().begin());
  EXPECT_FALSE(readMbr(image));
  // Nor is a sector whose entries have impossible status bytes, or point past the end.
  for (const auto& [at, value] : {std::pair{446, 0x12}, std::pair{446 + 14, 0xFF}}) {
    MemoryImage other(1024 * 1024);
    writeMbr(other, {{0, 0x0C, 8, 100}});
    other.bytes()[at] = static_cast<std::uint8_t>(value);
    EXPECT_EQ(describeImage(other).scheme, "") << at;
  }
  MemoryImage bare(1024 * 1024);  // no map: nothing to do
  EXPECT_NO_THROW(resizePartitionMap(bare, 512 * 1024));
  EXPECT_TRUE(std::all_of(bare.bytes().begin(), bare.bytes().end(), [](std::uint8_t b) { return b == 0; }));
}

}  // namespace
}  // namespace quorbel::imagetool::layout
