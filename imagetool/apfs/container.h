#pragma once
// The on-disk structures of an APFS container that the reader and the resizer share. All fields are
// little-endian; offsets are those of the public APFS reference.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "imagetool/image_io.h"

namespace quorbel::imagetool::apfs::detail {

inline std::uint16_t get16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
inline std::uint32_t get32(const unsigned char* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}
inline std::uint64_t get64(const unsigned char* p) { return get32(p) | std::uint64_t{get32(p + 4)} << 32; }
inline void put16(unsigned char* p, std::uint16_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}
inline void put32(unsigned char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
inline void put64(unsigned char* p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

// Object header (obj_phys_t).
constexpr std::size_t kCksum = 0x00, kOid = 0x08, kXid = 0x10, kType = 0x18, kSubtype = 0x1C, kHeaderSize = 0x20;
constexpr std::uint32_t kTypeMask = 0x0000FFFF;
constexpr std::uint32_t kEphemeral = 0x80000000, kPhysical = 0x40000000;
constexpr std::uint32_t kTypeSuperblock = 0x01, kTypeSpaceman = 0x05, kTypeCab = 0x06, kTypeCib = 0x07,
                        kTypeOmap = 0x0B, kTypeCheckpointMap = 0x0C;

// Container superblock (nx_superblock_t).
constexpr std::size_t kMagic = 0x20, kBlockSize = 0x24, kBlockCount = 0x28, kNextXid = 0x60, kDescBlocks = 0x68,
                      kDataBlocks = 0x6C, kDescBase = 0x70, kDataBase = 0x78, kDescNext = 0x80, kDataNext = 0x84,
                      kDescIndex = 0x88, kDescLen = 0x8C, kDataIndex = 0x90, kDataLen = 0x94, kSpacemanOid = 0x98,
                      kOmapOid = 0xA0, kMaxFileSystems = 0xB4, kFsOids = 0xB8, kBlockedOutCount = 0x4E0,
                      kIncompatibleFeatures = 0x40;
constexpr std::uint64_t kIncompatibleFusion = 0x100;
constexpr std::uint32_t kMaxVolumes = 100;

// Checkpoint map (checkpoint_map_phys_t) and its entries (checkpoint_mapping_t).
constexpr std::size_t kCpmFlags = 0x20, kCpmCount = 0x24, kCpmEntries = 0x28, kCpmEntrySize = 40;
constexpr std::uint32_t kCpmLast = 1;

// Space manager (spaceman_phys_t); the device array starts at 0x30, 48 bytes per device.
constexpr std::size_t kSmBlockSize = 0x20, kSmBlocksPerChunk = 0x24, kSmChunksPerCib = 0x28, kSmCibsPerCab = 0x2C,
                      kSmDevMain = 0x30, kSmDevTier2 = 0x60, kSmFlags = 0x90, kSmIpBlockCount = 0x98,
                      kSmIpBmSizeInBlocks = 0xA0, kSmIpBmBlockCount = 0xA4, kSmIpBmBase = 0xA8, kSmIpBase = 0xB0,
                      kSmFreeQueues = 0xC8, kSmFreeQueueSize = 40, kSmIpBmFreeHead = 0x140, kSmIpBmFreeTail = 0x142,
                      kSmIpBmXidOffset = 0x144, kSmIpBitmapOffset = 0x148, kSmIpBmFreeNextOffset = 0x14C;
// Within a device entry.
constexpr std::size_t kDevBlockCount = 0, kDevChunkCount = 8, kDevCibCount = 16, kDevCabCount = 20, kDevFreeCount = 24,
                      kDevAddrOffset = 32;
// Within a free queue entry.
constexpr std::size_t kFqCount = 0, kFqNodeLimit = 24;
constexpr int kFqIp = 0, kFqMain = 1;

// Chunk-info and cib-address blocks.
// Flags of the space manager: a versioned one carries its size and allocation zones.
constexpr std::uint32_t kSmFlagVersioned = 1;
constexpr std::size_t kSmStructSize = 0x154, kSmUnversionedEnd = 0x150;

constexpr std::size_t kCibIndex = 0x20, kCibCount = 0x24, kCibEntries = 0x28, kChunkInfoSize = 32;
constexpr std::size_t kCabIndex = 0x20, kCabCount = 0x24, kCabEntries = 0x28;

std::uint64_t fletcher64(const unsigned char* data, std::size_t length);
bool checksumOk(const unsigned char* object, std::size_t length);
void seal(unsigned char* object, std::size_t length);  // stores the checksum

struct Mapping {
  std::uint32_t type = 0, subtype = 0, size = 0;
  std::uint64_t fsOid = 0, oid = 0, paddr = 0;
};

struct Chunk {
  std::uint64_t xid = 0, addr = 0;
  std::uint32_t blockCount = 0, freeCount = 0;
  std::uint64_t bitmapAddr = 0;
};

// Everything of the latest checkpoint that free space and resizing need, checked on reading.
struct Container {
  const ImageIO* io = nullptr;
  std::uint64_t offset = 0;
  std::uint32_t blockSize = 0;
  std::uint64_t blockCount = 0;
  std::uint64_t xid = 0;
  std::vector<unsigned char> super;  // the latest checkpoint's superblock, one block
  std::uint64_t descBase = 0, dataBase = 0;
  std::uint32_t descBlocks = 0, dataBlocks = 0, descIndex = 0, descLen = 0, dataIndex = 0, dataLen = 0;
  std::vector<Mapping> mappings;
  std::size_t spacemanMapping = 0;      // index into mappings
  std::vector<unsigned char> spaceman;  // the whole object
  std::vector<Chunk> chunks;
  std::vector<std::uint64_t> cibAddrs, cabAddrs;
  std::uint64_t ipBase = 0, ipBlockCount = 0, ipBmBase = 0;
  std::uint32_t ipBmBlockCount = 0, ipBmSizeInBlocks = 0;
  std::uint64_t freeCount = 0;
  bool staleBlockZero = false;

  void readBlocks(std::uint64_t block, void* out, std::size_t count) const;
  std::vector<unsigned char> block(std::uint64_t number) const;
  // The chunk's bitmap (zeros when it has none): bit i set means block chunk.addr + i is in use.
  std::vector<unsigned char> bitmap(const Chunk& chunk) const;
};

// Reads and checks the latest checkpoint; ToolError with the reason when it is not safe to go by.
// With `requireClean` false, block zero may lag behind the newest valid checkpoint (which is what a
// Mac mounts): `staleBlockZero` tells.
Container readContainer(const ImageIO& io, std::uint64_t offset, bool requireClean = true);

}  // namespace quorbel::imagetool::apfs::detail
