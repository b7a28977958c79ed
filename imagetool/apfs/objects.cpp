#include "imagetool/apfs/objects.h"

#include <algorithm>
#include <cstring>

#include "imagetool/byte_order.h"

namespace quorbel::imagetool::apfs::detail {

using namespace bytes;

namespace {

std::string textOf(Refusal kind, const std::string& detail) {
  switch (kind) {
    case Refusal::unsupported:
      return "the APFS container uses a layout this tool does not handle: " + detail;
    case Refusal::notClean:
      return "the APFS container was not unmounted cleanly: " + detail + "; mount it on a Mac once first";
    case Refusal::damaged:
      break;
  }
  return "the APFS container is damaged: " + detail;
}

}  // namespace

ContainerRefused::ContainerRefused(Refusal kind, const std::string& detail)
    : ToolError(textOf(kind, detail)), kind(kind) {}

void refuse(Refusal kind, const std::string& detail) { throw ContainerRefused(kind, detail); }

// Fletcher-64 over 32-bit little-endian words, as APFS computes it over an object less its first
// eight bytes. Sums are reduced every 1024 words, which keeps them far from overflowing.
std::uint64_t fletcher64(const unsigned char* data, std::size_t length) {
  constexpr std::uint64_t mod = 0xFFFFFFFF;
  std::uint64_t sum1 = 0, sum2 = 0;
  const std::size_t words = length / 4;
  for (std::size_t i = 0; i < words;) {
    const std::size_t end = std::min(words, i + 1024);
    for (; i < end; ++i) {
      sum1 += le32(data + 4 * i);
      sum2 += sum1;
    }
    sum1 %= mod;
    sum2 %= mod;
  }
  const std::uint64_t c1 = mod - (sum1 + sum2) % mod;
  const std::uint64_t c2 = mod - (sum1 + c1) % mod;
  return c2 << 32 | c1;
}

bool checksumOk(const unsigned char* object, std::size_t length) {
  return le64(object + kCksum) == fletcher64(object + 8, length - 8);
}

void seal(unsigned char* object, std::size_t length) { putLe64(object + kCksum, fletcher64(object + 8, length - 8)); }

ObjectHeader ObjectHeader::decode(const unsigned char* p) {
  return {le64(p + kCksum), le64(p + kOid), le64(p + kXid), le32(p + kType), le32(p + kSubtype)};
}

Superblock Superblock::decode(const unsigned char* p) {
  Superblock s;
  s.header = ObjectHeader::decode(p);
  s.magicOk = std::memcmp(p + kMagic, "NXSB", 4) == 0;
  s.blockSize = le32(p + kBlockSize);
  s.blockCount = le64(p + kBlockCount);
  s.incompatible = le64(p + kIncompatibleFeatures);
  s.nextXid = le64(p + kNextXid);
  s.descBlocks = le32(p + kDescBlocks);
  s.dataBlocks = le32(p + kDataBlocks);
  s.descBase = le64(p + kDescBase);
  s.dataBase = le64(p + kDataBase);
  s.descNext = le32(p + kDescNext);
  s.dataNext = le32(p + kDataNext);
  s.descIndex = le32(p + kDescIndex);
  s.descLen = le32(p + kDescLen);
  s.dataIndex = le32(p + kDataIndex);
  s.dataLen = le32(p + kDataLen);
  s.spacemanOid = le64(p + kSpacemanOid);
  s.omapOid = le64(p + kOmapOid);
  s.maxFileSystems = le32(p + kMaxFileSystems);
  for (std::uint32_t i = 0; i < kMaxVolumes; ++i)
    if (const std::uint64_t oid = le64(p + kFsOids + 8 * i); oid != 0) s.volumeOids.push_back(oid);
  s.blockedOutCount = le64(p + kBlockedOutCount);
  s.efiJumpstart = le64(p + kEfiJumpstart);
  s.keylockerStart = le64(p + kKeylocker);
  s.keylockerBlocks = le64(p + kKeylocker + 8);
  s.mediaKeylockerStart = le64(p + kMediaKeylocker);
  s.mediaKeylockerBlocks = le64(p + kMediaKeylocker + 8);
  return s;
}

CheckpointMap CheckpointMap::decode(const unsigned char* p, std::size_t blockSize) {
  CheckpointMap m;
  m.header = ObjectHeader::decode(p);
  m.last = (le32(p + kCpmFlags) & kCpmLast) != 0;
  const std::uint32_t count = le32(p + kCpmCount);
  if (kCpmEntries + std::size_t{count} * kCpmEntrySize > blockSize) damaged("a checkpoint map is overfull");
  for (std::uint32_t j = 0; j < count; ++j) {
    const unsigned char* e = p + kCpmEntries + j * kCpmEntrySize;
    m.mappings.push_back({le32(e), le32(e + 4), le32(e + 8), le64(e + 16), le64(e + 24), le64(e + 32)});
  }
  return m;
}

Spaceman Spaceman::decode(const unsigned char* p, std::size_t size) {
  Spaceman s;
  s.blockSize = le32(p + kSmBlockSize);
  s.blocksPerChunk = le32(p + kSmBlocksPerChunk);
  s.chunksPerCib = le32(p + kSmChunksPerCib);
  s.cibsPerCab = le32(p + kSmCibsPerCab);
  const unsigned char* dev = p + kSmDevMain;
  s.blockCount = le64(dev + kDevBlockCount);
  s.chunkCount = le64(dev + kDevChunkCount);
  s.cibCount = le32(dev + kDevCibCount);
  s.cabCount = le32(dev + kDevCabCount);
  s.freeCount = le64(dev + kDevFreeCount);
  s.addrOffset = le32(dev + kDevAddrOffset);
  s.tier2BlockCount = le64(p + kSmDevTier2 + kDevBlockCount);
  s.flags = le32(p + kSmFlags);
  s.structSize = le32(p + kSmStructSize);
  s.ipBlockCount = le64(p + kSmIpBlockCount);
  s.ipBmSizeInBlocks = le32(p + kSmIpBmSizeInBlocks);
  s.ipBmBlockCount = le32(p + kSmIpBmBlockCount);
  s.ipBmBase = le64(p + kSmIpBmBase);
  s.ipBase = le64(p + kSmIpBase);
  s.ipBmFreeHead = le16(p + kSmIpBmFreeHead);
  s.ipBmFreeTail = le16(p + kSmIpBmFreeTail);
  s.ipBmXidOffset = le32(p + kSmIpBmXidOffset);
  s.ipBitmapOffset = le32(p + kSmIpBitmapOffset);
  s.ipBmFreeNextOffset = le32(p + kSmIpBmFreeNextOffset);
  s.ipQueueCount = le64(p + kSmFreeQueues + kFqIp * kSmFreeQueueSize + kFqCount);
  s.ipQueueTree = le64(p + kSmFreeQueues + kFqIp * kSmFreeQueueSize + kFqTreeOid);
  const std::uint64_t count = s.cabCount != 0 ? s.cabCount : s.cibCount;
  if (s.addrOffset < kSmIpBmFreeNextOffset || s.addrOffset % 8 != 0 || s.addrOffset > size ||
      count > (size - s.addrOffset) / 8)
    damaged("its space manager's chunk-info addresses lie outside it");
  for (std::uint64_t i = 0; i < count; ++i) s.addresses.push_back(le64(p + s.addrOffset + 8 * i));
  return s;
}

ChunkInfoBlock ChunkInfoBlock::decode(const unsigned char* p, std::size_t blockSize) {
  ChunkInfoBlock b;
  b.index = le32(p + kCibIndex);
  const std::uint32_t count = le32(p + kCibCount);
  if (count == 0 || count > (blockSize - kCibEntries) / kChunkInfoSize)
    damaged("a chunk-info block has no room for its count");
  for (std::uint32_t j = 0; j < count; ++j) {
    const unsigned char* e = p + kCibEntries + kChunkInfoSize * j;
    b.chunks.push_back({le64(e), le64(e + 8), le32(e + 16) & 0x000FFFFF, le32(e + 20) & 0x000FFFFF, le64(e + 24)});
  }
  return b;
}

ChunkInfoAddressBlock ChunkInfoAddressBlock::decode(const unsigned char* p, std::size_t blockSize) {
  ChunkInfoAddressBlock b;
  b.index = le32(p + kCabIndex);
  const std::uint32_t count = le32(p + kCabCount);
  if (count > (blockSize - kCabEntries) / 8) damaged("a chunk-info address block has no room for its count");
  for (std::uint32_t j = 0; j < count; ++j) b.cibs.push_back(le64(p + kCabEntries + 8 * j));
  return b;
}

VolumeSuperblock VolumeSuperblock::decode(const unsigned char* p) {
  return {std::memcmp(p + kVolMagic, "APSB", 4) == 0,
          le64(p + kVolOmapOid),
          le64(p + kVolRootTree),
          le64(p + kVolExtentRefTree),
          le64(p + kVolSnapMetaTree),
          (le32(p + kVolExtentRefTreeType) & kPhysical) != 0,
          (le32(p + kVolSnapMetaTreeType) & kPhysical) != 0};
}

BtreeNode BtreeNode::decode(const unsigned char* p, std::size_t size, std::size_t keySize, std::size_t valueSize) {
  BtreeNode n;
  n.flags = le16(p + kNodeFlags);
  n.level = le16(p + kNodeLevel);
  const std::uint32_t keys = le32(p + kNodeKeys);
  const std::size_t tocStart = kNodeData + le16(p + kNodeTable), tocLength = le16(p + kNodeTable + 2);
  const std::size_t keysStart = tocStart + tocLength;
  const std::size_t valuesEnd = size - ((n.flags & kNodeRoot) != 0 ? kTreeInfoSize : 0);
  const bool fixed = (n.flags & kNodeFixed) != 0;
  const std::size_t entrySize = fixed ? 4 : 8;
  if (size < kNodeData + kTreeInfoSize || keysStart > valuesEnd || keys > tocLength / entrySize)
    damaged("a B-tree node's table of contents does not fit it");
  const std::size_t fixedValue = n.leaf() ? valueSize : 8;
  for (std::uint32_t i = 0; i < keys; ++i) {
    const unsigned char* e = p + tocStart + entrySize * i;
    const Span key{keysStart + le16(e), fixed ? keySize : le16(e + 2)};
    const std::size_t valueOffset = le16(e + (fixed ? 2 : 4)), valueLength = fixed ? fixedValue : le16(e + 6);
    if (key.at + key.length > valuesEnd || valueOffset > valuesEnd || valueLength > valueOffset)
      damaged("a B-tree node has an entry outside it");
    n.entries.emplace_back(key, Span{valuesEnd - valueOffset, valueLength});
  }
  return n;
}

}  // namespace quorbel::imagetool::apfs::detail
