#pragma once
// On-disk structures of HFS Plus shared by the writer and the readers: big-endian field access, the
// volume header, fork data, and reading a file's bytes through its extents.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "imagetool/byte_order.h"
#include "imagetool/image_io.h"

namespace quorbel::imagetool::hfsplus::detail {

using namespace bytes;

constexpr std::uint64_t kHeaderOffset = 1024;  // of the volume header, and of the alternate from the end
constexpr std::size_t kHeaderSize = 512;
constexpr std::uint16_t kSignaturePlus = 0x482B;  // "H+"
constexpr std::uint16_t kSignatureX = 0x4858;     // "HX"

// Volume attribute bits.
constexpr std::uint32_t kAttrUnmounted = 1u << 8;
constexpr std::uint32_t kAttrInconsistent = 1u << 11;
constexpr std::uint32_t kAttrJournaled = 1u << 13;
constexpr std::uint32_t kAttrUnusedNodesZeroed = 1u << 31;

// Catalog node IDs of the special files.
constexpr std::uint32_t kRootParentID = 1;
constexpr std::uint32_t kRootFolderID = 2;
constexpr std::uint32_t kExtentsFileID = 3;
constexpr std::uint32_t kAllocationFileID = 6;
constexpr std::uint32_t kFirstUserID = 16;

// Seconds from 1904-01-01 (the HFS epoch) to 1970-01-01.
constexpr std::uint32_t kEpochDelta = 2082844800u;

struct Extent {
  std::uint32_t startBlock = 0;
  std::uint32_t blockCount = 0;
};

struct Fork {
  std::uint64_t logicalSize = 0;
  std::uint32_t clumpSize = 0;
  std::uint32_t totalBlocks = 0;
  std::array<Extent, 8> extents{};

  void write(unsigned char* p) const;
  static Fork read(const unsigned char* p);
  // Blocks held by the eight extents of the record (the rest, if any, are in the overflow file).
  std::uint64_t blocksInRecord() const;
};

struct VolumeHeader {
  std::uint16_t signature = kSignaturePlus;
  std::uint16_t version = 4;
  std::uint32_t attributes = 0;
  std::uint32_t lastMountedVersion = 0;
  std::uint32_t journalInfoBlock = 0;
  std::uint32_t createDate = 0;  // local time, unlike every other date of the volume
  std::uint32_t modifyDate = 0;
  std::uint32_t backupDate = 0;
  std::uint32_t checkedDate = 0;
  std::uint32_t fileCount = 0;
  std::uint32_t folderCount = 0;
  std::uint32_t blockSize = 0;
  std::uint32_t totalBlocks = 0;
  std::uint32_t freeBlocks = 0;
  std::uint32_t nextAllocation = 0;
  std::uint32_t rsrcClumpSize = 0;
  std::uint32_t dataClumpSize = 0;
  std::uint32_t nextCatalogID = 0;
  std::uint32_t writeCount = 0;
  std::uint64_t encodingsBitmap = 0;
  std::array<unsigned char, 32> finderInfo{};
  Fork allocationFile, extentsFile, catalogFile, attributesFile, startupFile;

  std::array<unsigned char, kHeaderSize> encode() const;
  static VolumeHeader decode(const unsigned char* p);
};

// Reads and checks the volume header at offset + 1024: signature, version, a power-of-two block
// size of at least 512 bytes and a non-empty volume. Throws ToolError naming what is wrong.
VolumeHeader readHeader(const ImageIO& io, std::uint64_t offset);

// Refuses (ToolError, "cannot <action>: ...") a volume whose on-disk structures may be stale: not
// cleanly unmounted, marked inconsistent, or with a journal that still holds transactions.
void requireQuiescent(const ImageIO& io, std::uint64_t offset, const VolumeHeader& header, const std::string& action);

// Every extent of a special file's data fork in file order, including any from the extents overflow
// file. Throws ToolError when the extents do not add up to the fork's size.
std::vector<Extent> forkExtents(const ImageIO& io, std::uint64_t offset, const VolumeHeader& header, const Fork& fork,
                                std::uint32_t fileID);

// Reads `length` bytes at `position` within a file laid out in `extents`.
void readFile(const ImageIO& io, std::uint64_t offset, std::uint32_t blockSize, const std::vector<Extent>& extents,
              std::uint64_t position, unsigned char* out, std::size_t length);
void writeFile(ImageIO& io, std::uint64_t offset, std::uint32_t blockSize, const std::vector<Extent>& extents,
               std::uint64_t position, const unsigned char* data, std::size_t length);

}  // namespace quorbel::imagetool::hfsplus::detail
