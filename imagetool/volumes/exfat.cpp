#include "imagetool/volumes/exfat.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "imagetool/byte_order.h"

namespace quorbel::imagetool::exfat {

namespace {

using namespace bytes;

[[noreturn]] void damaged(const std::string& what) { throw ToolError("damaged exFAT volume: " + what); }

constexpr std::uint32_t endOfChain = 0xFFFFFFFF;
constexpr unsigned char bitmapEntryType = 0x81;
constexpr std::size_t chunkBytes = 1 << 20;

// The fields of the main boot sector that locate the FAT, the cluster heap and the root directory.
struct BootSector {
  std::uint64_t volumeSectors = 0;
  std::uint32_t fatOffset = 0;   // sectors
  std::uint32_t fatLength = 0;   // sectors
  std::uint32_t heapOffset = 0;  // sectors
  std::uint32_t clusterCount = 0;
  std::uint32_t rootCluster = 0;
  std::uint16_t flags = 0;
  unsigned sectorShift = 0;
  unsigned clusterShift = 0;  // sectors per cluster, as a power of two
  unsigned fatCount = 0;

  std::uint64_t sectorBytes() const { return std::uint64_t{1} << sectorShift; }
  std::uint64_t clusterBytes() const { return std::uint64_t{1} << (sectorShift + clusterShift); }
  bool activeIsSecond() const { return (flags & 1) != 0; }
};

BootSector readBoot(const ImageIO& io, std::uint64_t offset, std::uint64_t length) {
  std::array<unsigned char, 512> s{};
  if (length < s.size()) damaged("the partition is too small");
  io.read(offset, s.data(), s.size());
  if (std::memcmp(s.data() + 3, "EXFAT   ", 8) != 0 || s[510] != 0x55 || s[511] != 0xAA)
    damaged("no exFAT boot sector");
  BootSector b;
  b.volumeSectors = le64(s.data() + 72);
  b.fatOffset = le32(s.data() + 80);
  b.fatLength = le32(s.data() + 84);
  b.heapOffset = le32(s.data() + 88);
  b.clusterCount = le32(s.data() + 92);
  b.rootCluster = le32(s.data() + 96);
  b.flags = static_cast<std::uint16_t>(s[106] | s[107] << 8);
  b.sectorShift = s[108];
  b.clusterShift = s[109];
  b.fatCount = s[110];
  if (b.sectorShift < 9 || b.sectorShift > 12) damaged("unusual sector size");
  if (b.sectorShift + b.clusterShift > 25) damaged("clusters larger than 32 MiB");
  if (b.fatCount != 1 && b.fatCount != 2) damaged("unusual number of FATs");
  if (b.flags & 2) throw ToolError("the exFAT volume was not cleanly unmounted; check it before compacting");
  const std::uint64_t volumeBytes = b.volumeSectors << b.sectorShift;
  if (volumeBytes > length) damaged("the volume is larger than its partition");
  const std::uint64_t fatEnd = (std::uint64_t{b.fatOffset} + std::uint64_t{b.fatLength} * b.fatCount) << b.sectorShift;
  const std::uint64_t heapEnd =
      (std::uint64_t{b.heapOffset} << b.sectorShift) + std::uint64_t{b.clusterCount} * b.clusterBytes();
  if (b.fatOffset == 0 || fatEnd > volumeBytes || heapEnd > volumeBytes ||
      std::uint64_t{b.fatLength} << b.sectorShift < (std::uint64_t{b.clusterCount} + 2) * 4)
    damaged("the FAT or the cluster heap lies outside the volume");
  if (b.rootCluster < 2 || b.rootCluster >= std::uint64_t{b.clusterCount} + 2) damaged("bad root directory cluster");
  return b;
}

class Volume {
 public:
  Volume(const ImageIO& io, std::uint64_t offset, const BootSector& boot) : io_(io), offset_(offset), boot_(boot) {}

  std::uint64_t clusterOffset(std::uint32_t cluster) const {
    return offset_ + (std::uint64_t{boot_.heapOffset} << boot_.sectorShift) +
           std::uint64_t{cluster - 2} * boot_.clusterBytes();
  }
  bool valid(std::uint32_t cluster) const { return cluster >= 2 && cluster - 2u < boot_.clusterCount; }

  std::uint32_t next(std::uint32_t cluster) const {
    const std::uint64_t fat = boot_.fatOffset + (boot_.activeIsSecond() && boot_.fatCount == 2 ? boot_.fatLength : 0);
    unsigned char entry[4];
    io_.read(offset_ + (fat << boot_.sectorShift) + std::uint64_t{cluster} * 4, entry, 4);
    return le32(entry);
  }

  // The allocation bitmap's first cluster and length, from the root directory.
  std::pair<std::uint32_t, std::uint64_t> findBitmap() const {
    const unsigned wanted = boot_.fatCount == 2 && boot_.activeIsSecond() ? 1 : 0;
    std::vector<unsigned char> cluster(boot_.clusterBytes());
    std::uint32_t current = boot_.rootCluster;
    for (std::uint64_t visited = 0; visited <= boot_.clusterCount; ++visited) {
      if (!valid(current)) damaged("the root directory's cluster chain is broken");
      io_.read(clusterOffset(current), cluster.data(), cluster.size());
      for (std::size_t at = 0; at + 32 <= cluster.size(); at += 32) {
        const unsigned char* e = cluster.data() + at;
        if (e[0] == 0x00) damaged("the root directory holds no allocation bitmap");
        if (e[0] == bitmapEntryType && (e[1] & 1u) == wanted) return {le32(e + 20), le64(e + 24)};
      }
      current = next(current);
      if (current == endOfChain) damaged("the root directory holds no allocation bitmap");
    }
    damaged("the root directory's cluster chain loops");
  }

 private:
  const ImageIO& io_;
  std::uint64_t offset_;
  BootSector boot_;
};

}  // namespace

bool isExfat(const ImageIO& io, std::uint64_t offset) {
  std::array<unsigned char, 512> s{};
  if (offset > io.size() || io.size() - offset < s.size()) return false;
  io.read(offset, s.data(), s.size());
  return std::memcmp(s.data() + 3, "EXFAT   ", 8) == 0 && s[510] == 0x55 && s[511] == 0xAA;
}

std::vector<ByteRange> freeRanges(const ImageIO& io, std::uint64_t offset, std::uint64_t length) {
  const BootSector boot = readBoot(io, offset, length);
  const Volume volume(io, offset, boot);
  const auto [first, bitmapBytes] = volume.findBitmap();
  const std::uint64_t needed = (std::uint64_t{boot.clusterCount} + 7) / 8;
  if (bitmapBytes < needed) damaged("the allocation bitmap is shorter than the cluster count");
  const std::uint64_t bitmapClusters = (needed + boot.clusterBytes() - 1) / boot.clusterBytes();
  if (!volume.valid(first) || first - 2u + bitmapClusters > boot.clusterCount)
    damaged("the allocation bitmap lies outside the cluster heap");

  // The bitmap is stored in consecutive clusters (as every exFAT implementation writes it); bit n,
  // least significant first, stands for cluster n + 2 and is set when the cluster is in use.
  std::vector<ByteRange> ranges;
  const std::uint64_t base = volume.clusterOffset(first);
  const std::uint64_t clusterBytes = boot.clusterBytes();
  std::vector<unsigned char> buffer;
  for (std::uint64_t byte = 0; byte < needed; byte += buffer.size()) {
    buffer.resize(static_cast<std::size_t>(std::min<std::uint64_t>(chunkBytes, needed - byte)));
    io.read(base + byte, buffer.data(), buffer.size());
    for (std::size_t i = 0; i < buffer.size(); ++i) {
      if (buffer[i] == 0xFF) continue;
      for (unsigned bit = 0; bit < 8; ++bit) {
        const std::uint64_t index = (byte + i) * 8 + bit;
        if (index >= boot.clusterCount) break;
        if (buffer[i] & (1u << bit)) continue;
        // The bitmap's own clusters and the root directory's first are never free, whatever the
        // bitmap says of them.
        if ((index >= first - 2u && index < first - 2u + bitmapClusters) || index == boot.rootCluster - 2u) continue;
        const std::uint64_t start = volume.clusterOffset(static_cast<std::uint32_t>(index + 2));
        if (!ranges.empty() && ranges.back().end() == start)
          ranges.back().length += clusterBytes;
        else
          ranges.push_back({start, clusterBytes});
      }
    }
  }
  return ranges;
}

}  // namespace quorbel::imagetool::exfat
