#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <vector>

#include "imagetool/byte_order.h"
#include "imagetool/layout/layout.h"
#include "imagetool/layout/partition_map.h"

namespace quorbel::imagetool {

namespace {

using namespace layout;

constexpr const char* unknownFileSystem = "unknown";

// Reads inside one region of the image (a partition, or the whole image); false when the bytes
// asked for lie outside it.
class Region {
 public:
  Region(const ImageIO& image, std::uint64_t offset, std::uint64_t length)
      : image_(image), offset_(std::min(offset, image.size())), end_(image.size()) {
    if (length < end_ - offset_) end_ = offset_ + length;
  }
  bool read(std::uint64_t at, void* data, std::size_t length) const {
    if (at > end_ - offset_ || length > end_ - offset_ - at) return false;
    image_.read(offset_ + at, data, length);
    return true;
  }

 private:
  const ImageIO& image_;
  std::uint64_t offset_;
  std::uint64_t end_;
};

using namespace bytes;
bool isPowerOfTwo(std::uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

// The FAT variant of a boot sector, decided by its count of clusters as the FAT format does;
// empty when the sector is no FAT boot sector.
std::string fatVariant(const std::uint8_t* s) {
  const bool jump = (s[0] == 0xEB && s[2] == 0x90) || s[0] == 0xE9;
  if (!jump || s[510] != 0x55 || s[511] != 0xAA) return {};
  const std::uint32_t bytesPerSector = le16(s + 11);
  const std::uint32_t sectorsPerCluster = s[13];
  const std::uint32_t reserved = le16(s + 14);
  const std::uint32_t fats = s[16];
  const std::uint32_t rootEntries = le16(s + 17);
  const std::uint32_t total = le16(s + 19) != 0 ? le16(s + 19) : le32(s + 32);
  const std::uint32_t fatSize = le16(s + 22) != 0 ? le16(s + 22) : le32(s + 36);
  if (bytesPerSector < 512 || bytesPerSector > 4096 || !isPowerOfTwo(bytesPerSector)) return {};
  if (!isPowerOfTwo(sectorsPerCluster) || reserved == 0 || fats == 0 || total == 0 || fatSize == 0) return {};
  const std::uint64_t rootSectors = (rootEntries * 32ull + bytesPerSector - 1) / bytesPerSector;
  const std::uint64_t meta = reserved + static_cast<std::uint64_t>(fats) * fatSize + rootSectors;
  if (meta >= total) return {};
  const std::uint64_t clusters = (total - meta) / sectorsPerCluster;
  return clusters < 4085 ? "FAT12" : clusters < 65525 ? "FAT16" : "FAT32";
}

std::string hfsVariant(const std::uint8_t* header) {
  const bool plus = header[0] == 'H' && header[1] == '+' && header[3] == 4;
  const bool x = header[0] == 'H' && header[1] == 'X' && header[3] == 5;
  if (plus || x) {
    const bool journaled = (be32(header + 4) & 0x2000) != 0;  // kHFSVolumeJournaledBit
    if (plus) return journaled ? "HFS+J" : "HFS+";
    return journaled ? "HFSX (journaled)" : "HFSX";
  }
  if (header[0] == 'B' && header[1] == 'D') {
    // An HFS wrapper around an embedded HFS Plus volume says so in drEmbedSigWord.
    return header[0x7C] == 'H' && header[0x7D] == '+' ? "HFS+" : "HFS";
  }
  return {};
}

bool hasUdfDescriptors(const Region& region) {
  // The volume recognition sequence starts at 32 KiB: "BEA01", then "NSR02" or "NSR03", each
  // in a descriptor of 2048 bytes (or one block, when blocks are larger).
  bool begun = false;
  for (std::uint64_t at = 32768; at < 32768 + 64 * 2048; at += 2048) {
    std::array<std::uint8_t, 7> d{};
    if (!region.read(at, d.data(), d.size())) return false;
    const std::string_view id(reinterpret_cast<const char*>(d.data()) + 1, 5);
    if (id == "BEA01") begun = true;
    if (begun && (id == "NSR02" || id == "NSR03")) return true;
  }
  return false;
}

}  // namespace

bool isHfsFamily(const std::string& fileSystem) {
  return fileSystem == "HFS+" || fileSystem == "HFS+J" || fileSystem == "HFSX" || fileSystem == "HFSX (journaled)";
}

std::string detectFileSystem(const ImageIO& image, std::uint64_t offset, std::uint64_t length) {
  const Region region(image, offset, length);
  std::array<std::uint8_t, 512> first{};
  if (region.read(0, first.data(), first.size())) {
    if (std::memcmp(first.data() + 32, "NXSB", 4) == 0) return "APFS";
    if (std::memcmp(first.data() + 3, "EXFAT   ", 8) == 0) return "exFAT";
    if (std::memcmp(first.data() + 3, "NTFS    ", 8) == 0) return "NTFS";
  }
  std::array<std::uint8_t, 512> header{};
  if (region.read(1024, header.data(), header.size())) {
    const std::string hfs = hfsVariant(header.data());
    if (!hfs.empty()) return hfs;
  }
  if (region.read(0, first.data(), first.size())) {
    const std::string fat = fatVariant(first.data());
    if (!fat.empty()) return fat;
  }
  if (hasUdfDescriptors(region)) return "UDF";
  return unknownFileSystem;
}

LayoutInfo describeImage(const ImageIO& image) {
  LayoutInfo info;
  if (const auto gpt = readGpt(image)) {
    info.scheme = "GUID";
    for (const GptEntry& e : gpt->entries) {
      PartitionInfo p;
      p.name = gptNameToUtf8(e.name);
      p.type = formatGuid(e.type);
      p.typeName = gptTypeName(e.type);
      p.firstSector = e.firstLba;
      p.sectorCount = e.lastLba >= e.firstLba ? e.lastLba - e.firstLba + 1 : 0;
      info.partitions.push_back(std::move(p));
    }
  } else if (const auto mbr = readMbr(image)) {
    info.scheme = "MBR";
    for (const MbrEntry& e : *mbr) {
      PartitionInfo p;
      static constexpr char hex[] = "0123456789ABCDEF";
      p.type = std::string("0x") + hex[e.type >> 4] + hex[e.type & 15];
      p.typeName = mbrTypeName(e.type);
      p.firstSector = e.firstLba;
      p.sectorCount = e.sectorCount;
      info.partitions.push_back(std::move(p));
    }
  }

  for (PartitionInfo& p : info.partitions) {
    // Containers of other partitions hold no file system of their own.
    if (p.type == "0x05" || p.type == "0x0F" || p.type == "0xEE" || p.sectorCount == 0 ||
        p.firstSector >= image.size() / sectorSize) {
      p.fileSystem = unknownFileSystem;
      continue;
    }
    const std::uint64_t sectors = std::min(p.sectorCount, image.size() / sectorSize - p.firstSector);
    p.fileSystem = detectFileSystem(image, p.firstSector * sectorSize, sectors * sectorSize);
  }
  info.fileSystem = unknownFileSystem;
  if (info.scheme.empty()) {
    info.fileSystem = detectFileSystem(image, 0, image.size());
  } else {
    for (const PartitionInfo& p : info.partitions) {
      if (p.fileSystem != unknownFileSystem) {
        info.fileSystem = p.fileSystem;
        break;
      }
    }
  }
  return info;
}

}  // namespace quorbel::imagetool
