#pragma once
// GUID partition tables (with their protective MBR) and classic MBR tables: writing, reading and
// moving the backup table. All sector numbers count 512-byte sectors.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "imagetool/image_io.h"

namespace quorbel::imagetool::layout {

inline constexpr std::uint64_t sectorSize = 512;
// Where the one data partition starts in a GUID-partitioned image, as macOS places it.
inline constexpr std::uint64_t gptDataStart = 40;
// Sectors taken by one partition entry array: 128 entries of 128 bytes.
inline constexpr std::uint64_t gptEntrySectors = 32;
inline constexpr std::uint32_t gptEntryCount = 128;
inline constexpr std::uint32_t gptEntrySize = 128;

// CRC-32 (IEEE 802.3, reflected), as the GPT headers and entry arrays use it.
std::uint32_t crc32(const void* data, std::size_t length, std::uint32_t crc = 0);

// A GUID in its on-disk form: the first three fields little-endian, the rest as written.
struct Guid {
  std::array<std::uint8_t, 16> bytes{};
  bool isZero() const;
  bool operator==(const Guid&) const = default;
};
// Parses "48465300-0000-11AA-AA11-00306543ECAC" (either case). Throws std::invalid_argument.
Guid parseGuid(std::string_view text);
// Upper-case text form of a GUID.
std::string formatGuid(const Guid& guid);
// A random (version 4) GUID.
Guid randomGuid();

inline const Guid appleHfsType = parseGuid("48465300-0000-11AA-AA11-00306543ECAC");
inline const Guid appleApfsType = parseGuid("7C3457EF-0000-11AA-AA11-00306543ECAC");
inline const Guid basicDataType = parseGuid("EBD0A0A2-B9E5-4433-87C0-68B6B72699C7");

struct GptEntry {
  Guid type;
  Guid unique;
  std::uint64_t firstLba = 0;
  std::uint64_t lastLba = 0;  // inclusive
  std::uint64_t attributes = 0;
  std::u16string name;  // at most 36 UTF-16 units
};

struct GptTable {
  Guid disk;
  std::uint64_t firstUsableLba = 0;
  std::uint64_t lastUsableLba = 0;
  std::uint64_t backupLba = 0;  // where the primary header says the backup header is
  bool fromBackup = false;      // the primary header was damaged; this came from the backup
  std::uint64_t entryArrayLba = 0;
  std::uint32_t entryCount = 0;
  std::uint32_t entrySize = 0;
  std::vector<GptEntry> entries;  // used entries only, in table order
};

// The exclusive end sector of the data partition in an image of `totalSectors`: the last 4 KiB
// boundary before the backup entry array, which leaves room for the backup table as macOS does.
std::uint64_t gptDataEnd(std::uint64_t totalSectors);

// Writes the protective MBR, the primary and backup headers and entry arrays for `entries`
// (at most 128) over an image of image.size() bytes.
void writeGpt(ImageIO& image, const Guid& disk, const std::vector<GptEntry>& entries);

// The primary table when it is sound (header and entry CRCs right), else the backup found at
// the image's last sector, else nothing.
std::optional<GptTable> readGpt(const ImageIO& image);

// Fits a GUID partition map to an image that becomes `newSectors` long: the backup entry array
// and header move to the new end, the primary header follows, and the partition that ends last
// is moved to end at the last 4 KiB boundary before the backup array. Entries keep their slots,
// names and attributes. A backup table left inside the new size is wiped. `image` must reach
// max(old, new) size. Throws ToolError when there is no sound table or the partitions would
// not fit.
void resizeGpt(ImageIO& image, std::uint64_t newSectors);

struct MbrEntry {
  std::uint8_t status = 0;  // 0x80 bootable, 0x00 not
  std::uint8_t type = 0;
  std::uint32_t firstLba = 0;
  std::uint32_t sectorCount = 0;
};

// Writes sector 0 as an MBR holding `entries` (at most 4) and a random disk signature.
void writeMbr(ImageIO& image, const std::vector<MbrEntry>& entries);

// The used entries of sector 0 when it reads as a partition table (signature, sane status bytes
// and ranges, not a file system's boot sector), else nothing.
std::optional<std::vector<MbrEntry>> readMbr(const ImageIO& image);

// Sets the length of the MBR partition that ends last so that it reaches the end of an image of
// `newSectors`. Throws ToolError when there is no MBR or the partition would not fit.
void resizeMbr(ImageIO& image, std::uint64_t newSectors);

// Readable names of partition types, in the words macOS uses where it has some.
std::string gptTypeName(const Guid& type);
std::string mbrTypeName(std::uint8_t type);

// UTF-16 name of a GPT entry as UTF-8 (bad surrogates become U+FFFD), and back (truncated to
// whole characters within 36 units).
std::string gptNameToUtf8(const std::u16string& name);
std::u16string gptNameFromUtf8(std::string_view name);

}  // namespace quorbel::imagetool::layout
