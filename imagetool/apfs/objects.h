#pragma once
// The on-disk objects of an APFS container, decoded from their bytes: one struct per object, its field
// offsets in its decoder. Decoders check only what the bytes alone can tell (sizes that fit the block);
// whether the objects agree with each other is the reader's work. All fields are little-endian.

#include <cstdint>
#include <string>
#include <vector>

#include "imagetool/image_io.h"

namespace quorbel::imagetool::apfs::detail {

// Why a container is not worked on; each kind has its own wording.
enum class Refusal {
  unsupported,  // a layout this tool does not read or rewrite (Fusion, checkpoints in a tree, ...)
  notClean,     // not cleanly unmounted: block zero lags, a newer checkpoint is torn, a resize is pending
  damaged,      // structures that fail a checksum, point outside the container or disagree
};

class ContainerRefused : public ToolError {
 public:
  ContainerRefused(Refusal kind, const std::string& detail);
  Refusal kind;
};
[[noreturn]] void refuse(Refusal kind, const std::string& detail);
[[noreturn]] inline void damaged(const std::string& detail) { refuse(Refusal::damaged, detail); }

constexpr std::uint32_t kTypeMask = 0x0000FFFF;
constexpr std::uint32_t kEphemeral = 0x80000000, kPhysical = 0x40000000;
constexpr std::uint32_t kTypeSuperblock = 0x01, kTypeBtree = 0x02, kTypeBtreeNode = 0x03, kTypeSpaceman = 0x05,
                        kTypeCab = 0x06, kTypeCib = 0x07, kTypeOmap = 0x0B, kTypeCheckpointMap = 0x0C,
                        kTypeVolume = 0x0D;

// Object header (obj_phys_t), at the start of every object.
constexpr std::size_t kCksum = 0x00, kOid = 0x08, kXid = 0x10, kType = 0x18, kSubtype = 0x1C, kHeaderSize = 0x20;
struct ObjectHeader {
  std::uint64_t checksum = 0, oid = 0, xid = 0;
  std::uint32_t type = 0, subtype = 0;
  static ObjectHeader decode(const unsigned char* p);
};

std::uint64_t fletcher64(const unsigned char* data, std::size_t length);
bool checksumOk(const unsigned char* object, std::size_t length);
void seal(unsigned char* object, std::size_t length);  // stores the checksum

// Container superblock (nx_superblock_t).
constexpr std::size_t kMagic = 0x20, kBlockSize = 0x24, kBlockCount = 0x28, kIncompatibleFeatures = 0x40,
                      kNextXid = 0x60, kDescBlocks = 0x68, kDataBlocks = 0x6C, kDescBase = 0x70, kDataBase = 0x78,
                      kDescNext = 0x80, kDataNext = 0x84, kDescIndex = 0x88, kDescLen = 0x8C, kDataIndex = 0x90,
                      kDataLen = 0x94, kSpacemanOid = 0x98, kOmapOid = 0xA0, kMaxFileSystems = 0xB4, kFsOids = 0xB8,
                      kBlockedOutCount = 0x4E0, kEfiJumpstart = 0x4F8, kKeylocker = 0x510, kMediaKeylocker = 0x570;
constexpr std::uint64_t kIncompatibleFusion = 0x100;
constexpr std::uint32_t kMaxVolumes = 100;
struct Superblock {
  ObjectHeader header;
  bool magicOk = false;  // "NXSB"
  std::uint32_t blockSize = 0;
  std::uint64_t blockCount = 0, incompatible = 0, nextXid = 0;
  std::uint32_t descBlocks = 0, dataBlocks = 0;  // top bit: the area is a tree
  std::uint64_t descBase = 0, dataBase = 0;
  std::uint32_t descNext = 0, dataNext = 0, descIndex = 0, descLen = 0, dataIndex = 0, dataLen = 0;
  std::uint64_t spacemanOid = 0, omapOid = 0, blockedOutCount = 0;
  std::uint32_t maxFileSystems = 0;
  std::vector<std::uint64_t> volumeOids;  // the non-zero entries of nx_fs_oid
  std::uint64_t efiJumpstart = 0;
  std::uint64_t keylockerStart = 0, keylockerBlocks = 0, mediaKeylockerStart = 0, mediaKeylockerBlocks = 0;
  static Superblock decode(const unsigned char* p);  // at least 0x580 bytes
};

// Checkpoint map (checkpoint_map_phys_t) and its entries (checkpoint_mapping_t).
constexpr std::size_t kCpmFlags = 0x20, kCpmCount = 0x24, kCpmEntries = 0x28, kCpmEntrySize = 40;
constexpr std::uint32_t kCpmLast = 1;
struct Mapping {
  std::uint32_t type = 0, subtype = 0, size = 0;
  std::uint64_t fsOid = 0, oid = 0, paddr = 0;
};
struct CheckpointMap {
  ObjectHeader header;
  bool last = false;
  std::vector<Mapping> mappings;
  // Damaged when the count does not fit the block.
  static CheckpointMap decode(const unsigned char* p, std::size_t blockSize);
};

// Space manager (spaceman_phys_t); the device array starts at 0x30, 48 bytes per device.
constexpr std::size_t kSmBlockSize = 0x20, kSmBlocksPerChunk = 0x24, kSmChunksPerCib = 0x28, kSmCibsPerCab = 0x2C,
                      kSmDevMain = 0x30, kSmDevTier2 = 0x60, kSmFlags = 0x90, kSmIpBlockCount = 0x98,
                      kSmIpBmSizeInBlocks = 0xA0, kSmIpBmBlockCount = 0xA4, kSmIpBmBase = 0xA8, kSmIpBase = 0xB0,
                      kSmFreeQueues = 0xC8, kSmFreeQueueSize = 40, kSmIpBmFreeHead = 0x140, kSmIpBmFreeTail = 0x142,
                      kSmIpBmXidOffset = 0x144, kSmIpBitmapOffset = 0x148, kSmIpBmFreeNextOffset = 0x14C;
constexpr std::size_t kDevBlockCount = 0, kDevChunkCount = 8, kDevCibCount = 16, kDevCabCount = 20, kDevFreeCount = 24,
                      kDevAddrOffset = 32;
constexpr std::size_t kFqCount = 0, kFqTreeOid = 8, kFqOldestXid = 16, kFqNodeLimit = 24;
constexpr int kFqIp = 0, kFqMain = 1;
constexpr std::uint32_t kSmFlagVersioned = 1;
constexpr std::size_t kSmStructSize = 0x154, kSmUnversionedEnd = 0x150;
struct Spaceman {
  std::uint32_t blockSize = 0, blocksPerChunk = 0, chunksPerCib = 0, cibsPerCab = 0, flags = 0, structSize = 0;
  std::uint64_t blockCount = 0, chunkCount = 0, freeCount = 0, tier2BlockCount = 0;
  std::uint32_t cibCount = 0, cabCount = 0, addrOffset = 0;
  std::uint64_t ipBlockCount = 0, ipBmBase = 0, ipBase = 0;
  std::uint32_t ipBmSizeInBlocks = 0, ipBmBlockCount = 0;
  std::uint16_t ipBmFreeHead = 0, ipBmFreeTail = 0;
  std::uint32_t ipBmXidOffset = 0, ipBitmapOffset = 0, ipBmFreeNextOffset = 0;
  std::uint64_t ipQueueCount = 0, ipQueueTree = 0;
  // The chunk-info (or chunk-info address) block addresses; damaged when they lie outside `size`.
  std::vector<std::uint64_t> addresses;
  static Spaceman decode(const unsigned char* p, std::size_t size);
};

// Chunk-info and chunk-info address blocks.
constexpr std::size_t kCibIndex = 0x20, kCibCount = 0x24, kCibEntries = 0x28, kChunkInfoSize = 32;
constexpr std::size_t kCabIndex = 0x20, kCabCount = 0x24, kCabEntries = 0x28;
struct Chunk {
  std::uint64_t xid = 0, addr = 0;
  std::uint32_t blockCount = 0, freeCount = 0;
  std::uint64_t bitmapAddr = 0;
};
struct ChunkInfoBlock {
  std::uint32_t index = 0;
  std::vector<Chunk> chunks;
  static ChunkInfoBlock decode(const unsigned char* p, std::size_t blockSize);
};
struct ChunkInfoAddressBlock {
  std::uint32_t index = 0;
  std::vector<std::uint64_t> cibs;
  static ChunkInfoAddressBlock decode(const unsigned char* p, std::size_t blockSize);
};

// Object map (omap_phys_t) and its entries.
constexpr std::size_t kOmapTreeOid = 0x30;
struct OmapValue {
  std::uint32_t flags = 0, size = 0;
  std::uint64_t paddr = 0;
};
constexpr std::uint32_t kOmapValueDeleted = 1;

// Volume superblock (apfs_superblock_t): the trees it roots.
constexpr std::size_t kVolMagic = 0x20, kVolExtentRefTreeType = 0x78, kVolSnapMetaTreeType = 0x7C, kVolOmapOid = 0x80,
                      kVolRootTree = 0x88, kVolExtentRefTree = 0x90, kVolSnapMetaTree = 0x98;
struct VolumeSuperblock {
  bool magicOk = false;  // "APSB"
  std::uint64_t omapOid = 0, rootTreeOid = 0, extentRefTreeOid = 0, snapMetaTreeOid = 0;
  bool extentRefTreePhysical = false, snapMetaTreePhysical = false;
  static VolumeSuperblock decode(const unsigned char* p);
};

// A B-tree node (btree_node_phys_t): its entries' keys and values as spans inside the node.
constexpr std::uint16_t kNodeRoot = 1, kNodeLeaf = 2, kNodeFixed = 4;
constexpr std::size_t kNodeFlags = 0x20, kNodeLevel = 0x22, kNodeKeys = 0x24, kNodeTable = 0x28, kNodeData = 0x38,
                      kTreeInfoSize = 40;
struct Span {
  std::size_t at = 0, length = 0;
};
struct BtreeNode {
  std::uint16_t flags = 0, level = 0;
  std::vector<std::pair<Span, Span>> entries;  // key, value
  bool leaf() const { return (flags & kNodeLeaf) != 0; }
  // Damaged when an entry lies outside the node. `keySize`/`valueSize` are the fixed sizes of a
  // tree with fixed-size entries (index nodes hold 8-byte child addresses as values).
  static BtreeNode decode(const unsigned char* p, std::size_t size, std::size_t keySize, std::size_t valueSize);
};

}  // namespace quorbel::imagetool::apfs::detail
