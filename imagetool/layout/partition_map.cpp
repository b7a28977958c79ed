#include "imagetool/layout/partition_map.h"

#include <algorithm>
#include <cstring>
#include <random>
#include <stdexcept>

#include "imagetool/byte_order.h"
#include "imagetool/layout/labels.h"

namespace quorbel::imagetool::layout {

namespace {

constexpr char gptSignature[8] = {'E', 'F', 'I', ' ', 'P', 'A', 'R', 'T'};
constexpr std::uint32_t gptRevision = 0x00010000;
constexpr std::uint32_t gptHeaderSize = 92;
constexpr std::size_t gptNameUnits = 36;
// Readers refuse entry arrays larger than this (a damaged header could claim gigabytes).
constexpr std::uint64_t maxEntryArrayBytes = 1 << 20;

using Sector = std::array<std::uint8_t, sectorSize>;

using namespace bytes;

Sector readSector(const ImageIO& image, std::uint64_t lba) {
  Sector s{};
  image.read(lba * sectorSize, s.data(), s.size());
  return s;
}

// Cylinder-head-sector address of `lba` in the customary 255-head, 63-sector geometry, or the
// "beyond CHS" marker when it does not fit.
void putChs(std::uint8_t* p, std::uint64_t lba) {
  constexpr std::uint64_t heads = 255, sectors = 63;
  const std::uint64_t cylinder = lba / (heads * sectors);
  if (cylinder > 1023) {
    p[0] = 0xFE;
    p[1] = 0xFF;
    p[2] = 0xFF;
    return;
  }
  const std::uint64_t head = (lba / sectors) % heads;
  const std::uint64_t sector = lba % sectors + 1;
  p[0] = static_cast<std::uint8_t>(head);
  p[1] = static_cast<std::uint8_t>(sector | ((cylinder >> 2) & 0xC0));
  p[2] = static_cast<std::uint8_t>(cylinder);
}

void putMbrEntry(std::uint8_t* sector, int index, const MbrEntry& e) {
  std::uint8_t* p = sector + 446 + 16 * index;
  p[0] = e.status;
  p[4] = e.type;
  putLe32(p + 8, e.firstLba);
  putLe32(p + 12, e.sectorCount);
  if (e.type == 0xEE) {  // protective entry: fixed CHS values, as UEFI prescribes
    p[1] = 0x00;
    p[2] = 0x02;
    p[3] = 0x00;
    p[5] = p[6] = p[7] = 0xFF;
  } else {
    putChs(p + 1, e.firstLba);
    putChs(p + 5, static_cast<std::uint64_t>(e.firstLba) + e.sectorCount - 1);
  }
}

void writeMbrSector(ImageIO& image, const std::vector<MbrEntry>& entries) {
  if (entries.size() > 4) throw ToolError("an MBR holds at most four partitions");
  Sector s{};
  std::random_device random;
  putLe32(s.data() + 440, random());  // disk signature
  for (std::size_t i = 0; i < entries.size(); ++i) putMbrEntry(s.data(), static_cast<int>(i), entries[i]);
  s[510] = 0x55;
  s[511] = 0xAA;
  image.write(0, s.data(), s.size());
}

std::vector<std::uint8_t> entryArray(const std::vector<GptEntry>& entries) {
  std::vector<std::uint8_t> array(gptEntrySectors * sectorSize, 0);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const GptEntry& e = entries[i];
    std::uint8_t* p = array.data() + i * gptEntrySize;
    std::memcpy(p, e.type.bytes.data(), 16);
    std::memcpy(p + 16, e.unique.bytes.data(), 16);
    putLe64(p + 32, e.firstLba);
    putLe64(p + 40, e.lastLba);
    putLe64(p + 48, e.attributes);
    const std::size_t units = std::min(e.name.size(), gptNameUnits);
    for (std::size_t k = 0; k < units; ++k) putLe16(p + 56 + 2 * k, e.name[k]);
  }
  return array;
}

Sector gptHeader(const Guid& disk, std::uint64_t myLba, std::uint64_t alternateLba, std::uint64_t firstUsable,
                 std::uint64_t lastUsable, std::uint64_t entriesLba, std::uint32_t entriesCrc,
                 std::uint32_t entryCount = gptEntryCount, std::uint32_t entrySize = gptEntrySize) {
  Sector s{};
  std::memcpy(s.data(), gptSignature, 8);
  putLe32(s.data() + 8, gptRevision);
  putLe32(s.data() + 12, gptHeaderSize);
  putLe64(s.data() + 24, myLba);
  putLe64(s.data() + 32, alternateLba);
  putLe64(s.data() + 40, firstUsable);
  putLe64(s.data() + 48, lastUsable);
  std::memcpy(s.data() + 56, disk.bytes.data(), 16);
  putLe64(s.data() + 72, entriesLba);
  putLe32(s.data() + 80, entryCount);
  putLe32(s.data() + 84, entrySize);
  putLe32(s.data() + 88, entriesCrc);
  putLe32(s.data() + 16, crc32(s.data(), gptHeaderSize));
  return s;
}

// A header at `lba` that is sound in itself and whose entry array (read and checked) lies in
// the image. Returns the table, or nothing.
std::optional<GptTable> readGptAt(const ImageIO& image, std::uint64_t lba) {
  const std::uint64_t totalSectors = image.size() / sectorSize;
  if (lba >= totalSectors) return std::nullopt;
  Sector s = readSector(image, lba);
  if (std::memcmp(s.data(), gptSignature, 8) != 0) return std::nullopt;
  const std::uint32_t headerSize = le32(s.data() + 12);
  if (headerSize < gptHeaderSize || headerSize > sectorSize) return std::nullopt;
  const std::uint32_t storedCrc = le32(s.data() + 16);
  putLe32(s.data() + 16, 0);
  if (crc32(s.data(), headerSize) != storedCrc) return std::nullopt;
  if (le64(s.data() + 24) != lba) return std::nullopt;

  GptTable table;
  table.backupLba = le64(s.data() + 32);
  table.firstUsableLba = le64(s.data() + 40);
  table.lastUsableLba = le64(s.data() + 48);
  std::memcpy(table.disk.bytes.data(), s.data() + 56, 16);
  const std::uint64_t entriesLba = le64(s.data() + 72);
  const std::uint32_t count = le32(s.data() + 80);
  const std::uint32_t size = le32(s.data() + 84);
  if (size < gptEntrySize || size % 8 != 0) return std::nullopt;
  const std::uint64_t bytes = static_cast<std::uint64_t>(count) * size;
  if (bytes > maxEntryArrayBytes) return std::nullopt;
  if (entriesLba >= totalSectors || (bytes + sectorSize - 1) / sectorSize > totalSectors - entriesLba)
    return std::nullopt;
  table.entryArrayLba = entriesLba;
  table.entryCount = count;
  table.entrySize = size;
  std::vector<std::uint8_t> array(bytes);
  image.read(entriesLba * sectorSize, array.data(), array.size());
  if (crc32(array.data(), array.size()) != le32(s.data() + 88)) return std::nullopt;

  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint8_t* p = array.data() + static_cast<std::size_t>(i) * size;
    GptEntry e;
    std::memcpy(e.type.bytes.data(), p, 16);
    if (e.type.isZero()) continue;
    std::memcpy(e.unique.bytes.data(), p + 16, 16);
    e.firstLba = le64(p + 32);
    e.lastLba = le64(p + 40);
    e.attributes = le64(p + 48);
    for (std::size_t k = 0; k < gptNameUnits; ++k) {
      const char16_t unit = le16(p + 56 + 2 * k);
      if (unit == 0) break;
      e.name += unit;
    }
    table.entries.push_back(std::move(e));
  }
  return table;
}

// A boot sector of a file system that stores its own data in sector 0 (FAT, exFAT, NTFS): its
// jump instruction and a plausible bytes-per-sector field.
bool looksLikeBootSector(const Sector& s) {
  const bool jump = (s[0] == 0xEB && s[2] == 0x90) || s[0] == 0xE9;
  if (!jump) return false;
  if (std::memcmp(s.data() + 3, "EXFAT   ", 8) == 0 || std::memcmp(s.data() + 3, "NTFS    ", 8) == 0) return true;
  const std::uint16_t bytesPerSector = le16(s.data() + 11);
  return bytesPerSector >= 512 && bytesPerSector <= 4096 && (bytesPerSector & (bytesPerSector - 1)) == 0 &&
         s[13] != 0 && s[16] != 0;
}

}  // namespace

std::uint32_t crc32(const void* data, std::size_t length, std::uint32_t crc) {
  static const auto table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  crc = ~crc;
  const auto* p = static_cast<const std::uint8_t*>(data);
  for (std::size_t i = 0; i < length; ++i) crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

bool Guid::isZero() const {
  return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

Guid parseGuid(std::string_view text) {
  // Field widths in hex digits, and whether the field is stored little-endian.
  static constexpr struct {
    int digits;
    bool littleEndian;
  } fields[] = {{8, true}, {4, true}, {4, true}, {4, false}, {12, false}};
  if (text.size() != 36) throw std::invalid_argument("a GUID has 36 characters");
  Guid guid;
  std::size_t pos = 0, out = 0;
  for (std::size_t f = 0; f < std::size(fields); ++f) {
    if (f > 0 && text[pos++] != '-') throw std::invalid_argument("GUID fields are separated by '-'");
    const int count = fields[f].digits / 2;
    std::array<std::uint8_t, 6> field{};
    for (int i = 0; i < count; ++i) {
      int value = 0;
      for (int d = 0; d < 2; ++d) {
        const char c = text[pos++];
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0) throw std::invalid_argument("a GUID holds hexadecimal digits");
        value = value * 16 + digit;
      }
      field[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value);
    }
    for (int i = 0; i < count; ++i)
      guid.bytes[out++] = field[static_cast<std::size_t>(fields[f].littleEndian ? count - 1 - i : i)];
  }
  return guid;
}

std::string formatGuid(const Guid& guid) {
  static constexpr char hex[] = "0123456789ABCDEF";
  static constexpr int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  std::string text;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    const std::uint8_t b = guid.bytes[static_cast<std::size_t>(order[i])];
    text += hex[b >> 4];
    text += hex[b & 15];
  }
  return text;
}

Guid randomGuid() {
  std::random_device random;
  Guid guid;
  for (std::size_t i = 0; i < 16; i += 4) putLe32(guid.bytes.data() + i, random());
  guid.bytes[7] = static_cast<std::uint8_t>((guid.bytes[7] & 0x0F) | 0x40);  // version 4
  guid.bytes[8] = static_cast<std::uint8_t>((guid.bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  return guid;
}

std::uint64_t gptDataEnd(std::uint64_t totalSectors) {
  if (totalSectors < 1 + gptEntrySectors) return 0;
  const std::uint64_t backupStart = totalSectors - 1 - gptEntrySectors;
  return backupStart / 8 * 8;
}

void writeGpt(ImageIO& image, const Guid& disk, const std::vector<GptEntry>& entries) {
  const std::uint64_t totalSectors = image.size() / sectorSize;
  if (entries.size() > gptEntryCount) throw ToolError("a GUID partition map holds at most 128 entries");
  const std::uint64_t firstUsable = 2 + gptEntrySectors;
  if (totalSectors < 2 * firstUsable + 1) throw ToolError("the image is too small for a GUID partition map");
  const std::uint64_t lastLba = totalSectors - 1;
  const std::uint64_t lastUsable = lastLba - 1 - gptEntrySectors;
  for (const GptEntry& e : entries)
    if (e.firstLba < firstUsable || e.lastLba > lastUsable || e.firstLba > e.lastLba)
      throw ToolError("a partition lies outside the usable part of the GUID partition map");

  const std::uint64_t protectiveLength = std::min<std::uint64_t>(totalSectors - 1, 0xFFFFFFFF);
  writeMbrSector(image, {{0x00, 0xEE, 1, static_cast<std::uint32_t>(protectiveLength)}});

  const std::vector<std::uint8_t> array = entryArray(entries);
  const std::uint32_t arrayCrc = crc32(array.data(), array.size());
  const std::uint64_t backupArrayLba = lastLba - gptEntrySectors;
  image.write(2 * sectorSize, array.data(), array.size());
  image.write(backupArrayLba * sectorSize, array.data(), array.size());
  const Sector primary = gptHeader(disk, 1, lastLba, firstUsable, lastUsable, 2, arrayCrc);
  const Sector backup = gptHeader(disk, lastLba, 1, firstUsable, lastUsable, backupArrayLba, arrayCrc);
  image.write(sectorSize, primary.data(), primary.size());
  image.write(lastLba * sectorSize, backup.data(), backup.size());
}

std::optional<GptTable> readGpt(const ImageIO& image) {
  if (auto primary = readGptAt(image, 1)) return primary;
  const std::uint64_t totalSectors = image.size() / sectorSize;
  if (totalSectors < 2) return std::nullopt;
  auto backup = readGptAt(image, totalSectors - 1);
  if (backup) backup->fromBackup = true;
  return backup;
}

void resizeGpt(ImageIO& image, std::uint64_t newSectors) {
  const auto table = readGpt(image);
  if (!table) throw ToolError("the image has no sound GUID partition map to resize");
  const std::uint64_t reach = image.size() / sectorSize;
  const std::uint64_t oldLast = table->fromBackup ? reach - 1 : table->backupLba;
  if (newSectors > reach) throw ToolError("the image is smaller than the size asked for its partition map");

  std::vector<std::uint8_t> array(static_cast<std::size_t>(table->entryCount) * table->entrySize);
  image.read(table->entryArrayLba * sectorSize, array.data(), array.size());
  const std::uint64_t arraySectors = (array.size() + sectorSize - 1) / sectorSize;
  const std::uint64_t firstUsable = table->firstUsableLba;
  if (newSectors < firstUsable + arraySectors + 2) throw ToolError("the new size leaves no room for the partition map");
  const std::uint64_t newLast = newSectors - 1;
  const std::uint64_t backupArrayLba = newLast - arraySectors;
  const std::uint64_t lastUsable = backupArrayLba - 1;
  const std::uint64_t dataEnd = backupArrayLba / 8 * 8;

  // The partition that ends last follows the end; every other one must still fit.
  std::size_t lastIndex = array.size();
  std::uint64_t lastEnd = 0;
  for (std::size_t at = 0; at < array.size(); at += table->entrySize) {
    const std::uint8_t* p = array.data() + at;
    if (std::all_of(p, p + 16, [](std::uint8_t b) { return b == 0; })) continue;
    if (lastIndex == array.size() || le64(p + 40) > lastEnd) {
      lastIndex = at;
      lastEnd = le64(p + 40);
    }
  }
  if (lastIndex == array.size()) throw ToolError("the GUID partition map holds no partition to resize");
  if (dataEnd <= le64(array.data() + lastIndex + 32) || dataEnd <= firstUsable)
    throw ToolError("the partition would not fit in the new size");
  putLe64(array.data() + lastIndex + 40, dataEnd - 1);
  for (std::size_t at = 0; at < array.size(); at += table->entrySize) {
    const std::uint8_t* p = array.data() + at;
    if (at != lastIndex && !std::all_of(p, p + 16, [](std::uint8_t b) { return b == 0; }) && le64(p + 40) > lastUsable)
      throw ToolError("a partition lies beyond the new size");
  }

  const std::uint32_t arrayCrc = crc32(array.data(), array.size());
  const Sector backup = gptHeader(table->disk, newLast, 1, firstUsable, lastUsable, backupArrayLba, arrayCrc,
                                  table->entryCount, table->entrySize);
  const Sector primary = gptHeader(table->disk, 1, newLast, firstUsable, lastUsable, table->entryArrayLba, arrayCrc,
                                   table->entryCount, table->entrySize);
  // Backup first: until the primary header changes, the old map stays the one readers find.
  image.write(backupArrayLba * sectorSize, array.data(), array.size());
  image.write(newLast * sectorSize, backup.data(), backup.size());
  const std::uint64_t protectiveLength = std::min<std::uint64_t>(newSectors - 1, 0xFFFFFFFF);
  Sector mbr = readSector(image, 0);
  if (mbr[446 + 4] == 0xEE) putLe32(mbr.data() + 446 + 12, static_cast<std::uint32_t>(protectiveLength));
  if (table->entryArrayLba == 2) {
    // Protective MBR, primary header and entries in one write, so that no reader ever finds a
    // header whose entry checksum does not match.
    std::vector<std::uint8_t> head(2 * sectorSize + array.size());
    std::memcpy(head.data(), mbr.data(), mbr.size());
    std::memcpy(head.data() + sectorSize, primary.data(), primary.size());
    std::memcpy(head.data() + 2 * sectorSize, array.data(), array.size());
    image.write(0, head.data(), head.size());
  } else {
    image.write(table->entryArrayLba * sectorSize, array.data(), array.size());
    image.write(sectorSize, primary.data(), primary.size());
    if (mbr[446 + 4] == 0xEE) image.write(0, mbr.data(), mbr.size());
  }
  // A stale backup inside the grown image would be found by readers that look for one.
  if (oldLast < newLast && oldLast > table->entryArrayLba) {
    const std::uint64_t oldArrayLba = oldLast >= arraySectors ? oldLast - arraySectors : 0;
    const std::vector<std::uint8_t> zeros((oldLast - oldArrayLba + 1) * sectorSize, 0);
    image.write(oldArrayLba * sectorSize, zeros.data(), zeros.size());
  }
}

void resizeMbr(ImageIO& image, std::uint64_t newSectors) {
  const auto entries = readMbr(image);
  if (!entries) throw ToolError("the image has no MBR partition table to resize");
  Sector s = readSector(image, 0);
  int last = -1;
  std::uint64_t lastEnd = 0;
  for (int i = 0; i < 4; ++i) {
    const std::uint8_t* p = s.data() + 446 + 16 * i;
    if (p[4] == 0) continue;
    const std::uint64_t end = static_cast<std::uint64_t>(le32(p + 8)) + le32(p + 12);
    if (last < 0 || end > lastEnd) {
      last = i;
      lastEnd = end;
    }
  }
  std::uint8_t* p = s.data() + 446 + 16 * last;
  const std::uint64_t first = le32(p + 8);
  if (newSectors <= first) throw ToolError("the partition would not fit in the new size");
  if (newSectors - first > 0xFFFFFFFF) throw ToolError("an MBR partition holds at most 2^32-1 sectors");
  for (int i = 0; i < 4; ++i) {
    const std::uint8_t* q = s.data() + 446 + 16 * i;
    if (i != last && q[4] != 0 && static_cast<std::uint64_t>(le32(q + 8)) + le32(q + 12) > newSectors)
      throw ToolError("a partition lies beyond the new size");
  }
  putMbrEntry(s.data(), last,
              {p[0], p[4], static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(newSectors - first)});
  image.write(0, s.data(), s.size());
}

void writeMbr(ImageIO& image, const std::vector<MbrEntry>& entries) {
  const std::uint64_t totalSectors = image.size() / sectorSize;
  for (const MbrEntry& e : entries)
    if (e.firstLba == 0 || e.sectorCount == 0 || static_cast<std::uint64_t>(e.firstLba) + e.sectorCount > totalSectors)
      throw ToolError("an MBR partition lies outside the image");
  writeMbrSector(image, entries);
}

std::optional<std::vector<MbrEntry>> readMbr(const ImageIO& image) {
  if (image.size() < sectorSize) return std::nullopt;
  const Sector s = readSector(image, 0);
  if (s[510] != 0x55 || s[511] != 0xAA || looksLikeBootSector(s)) return std::nullopt;
  const std::uint64_t totalSectors = image.size() / sectorSize;
  std::vector<MbrEntry> entries;
  for (int i = 0; i < 4; ++i) {
    const std::uint8_t* p = s.data() + 446 + 16 * i;
    if (p[0] != 0x00 && p[0] != 0x80) return std::nullopt;
    MbrEntry e{p[0], p[4], le32(p + 8), le32(p + 12)};
    if (e.type == 0) continue;
    // A protective entry may claim more than the image holds; any other must fit.
    if (e.firstLba == 0 || e.sectorCount == 0) return std::nullopt;
    if (e.type != 0xEE && static_cast<std::uint64_t>(e.firstLba) + e.sectorCount > totalSectors) return std::nullopt;
    entries.push_back(e);
  }
  if (entries.empty()) return std::nullopt;
  return entries;
}

std::string gptTypeName(const Guid& type) {
  static const struct {
    Guid type;
    const char* name;
  } names[] = {
      {appleHfsType, "Apple_HFS"},
      {appleApfsType, "Apple_APFS"},
      {basicDataType, "Microsoft Basic Data"},
      {parseGuid("C12A7328-F81F-11D2-BA4B-00A0C93EC93B"), "EFI"},
      {parseGuid("426F6F74-0000-11AA-AA11-00306543ECAC"), "Apple_Boot"},
      {parseGuid("55465300-0000-11AA-AA11-00306543ECAC"), "Apple_UFS"},
      {parseGuid("52414944-0000-11AA-AA11-00306543ECAC"), "Apple_RAID"},
      {parseGuid("E3C9E316-0B5C-4DB8-817D-F92DF00215AE"), "Microsoft Reserved"},
      {parseGuid("0FC63DAF-8483-4772-8E79-3D69D8477DE4"), "Linux Filesystem"},
      {parseGuid("0657FD6D-A4AB-43C4-84E5-0933C84B4F4F"), "Linux Swap"},
  };
  for (const auto& n : names)
    if (n.type == type) return n.name;
  return "unknown";
}

std::string mbrTypeName(std::uint8_t type) {
  switch (type) {
    case 0x01:
      return "DOS_FAT_12";
    case 0x04:
    case 0x06:
    case 0x0E:
      return "DOS_FAT_16";
    case 0x0B:
    case 0x0C:
      return "DOS_FAT_32";
    case 0x07:
      return "Windows_NTFS";
    case 0x05:
    case 0x0F:
      return "Extended";
    case 0x82:
      return "Linux_Swap";
    case 0x83:
      return "Linux";
    case 0xAB:
      return "Apple_Boot";
    case 0xAF:
      return "Apple_HFS";
    case 0xEE:
      return "GPT Protective";
    case 0xEF:
      return "EFI";
    default:
      return "unknown";
  }
}

std::string gptNameToUtf8(const std::u16string& name) { return encodeUtf8(fromUtf16(name)); }

std::u16string gptNameFromUtf8(std::string_view name) {
  std::u16string out;
  for (char32_t c : decodeUtf8(name)) {
    const std::u16string units = toUtf16(std::u32string(1, c));
    if (out.size() + units.size() > gptNameUnits) break;
    out += units;
  }
  return out;
}

}  // namespace quorbel::imagetool::layout
