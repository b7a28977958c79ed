#pragma once
// The sizes each file system (and the formatter that makes it) can hold, and how sizes are told
// to the user. Minimums leave a margin above what the formatters accept, so that what they make
// passes the independent checkers.

#include <cstdint>
#include <string>

namespace quorbel::imagetool::layout::sizes {

inline constexpr std::uint64_t KiB = 1024, MiB = 1024 * KiB, GiB = 1024 * MiB;

// exFAT: mkfs.exfat puts the cluster heap 2 MiB in; below about 2064 KiB its volumes fail fsck.
inline constexpr std::uint64_t exfatMinimum = 2560 * KiB;
// APFS: mkapfs refuses containers under 128 MiB. It writes the internal pool's bitmap as one block,
// which describes at most 32768 pool blocks; the pool takes three blocks per chunk and chunk-info
// block, so past 10836 chunks of 128 MiB (1.32 TiB) its pool outgrows its bitmap. Larger containers
// are made at 1 GiB and grown, which lays the pool bitmap over as many blocks as it needs.
inline constexpr std::uint64_t apfsMinimum = 128 * MiB;
inline constexpr std::uint64_t apfsLargestFromMkapfs = 10836 * 128 * MiB;
inline constexpr std::uint64_t apfsGrownFrom = 1 * GiB;
// FAT12 on the smallest images.
inline constexpr std::uint64_t fatMinimum = 64 * KiB;
inline constexpr std::uint64_t mbrMaxSectors = 0xFFFFFFFF;
// UDF over the whole image in 512-byte blocks: block numbers are 32 bits.
inline constexpr std::uint64_t udfMinimum = 64 * KiB;
inline constexpr std::uint64_t udfMaxBlocks = 0xFFFFFFFF;
inline constexpr std::uint64_t udfMaximum = (udfMaxBlocks + 1) * 512;

// First sector of the MBR partition: 1 MiB in from 32 MiB images up, 4 KiB in below.
constexpr std::uint64_t mbrDataStart(std::uint64_t totalSectors) { return totalSectors >= 65536 ? 2048 : 8; }

// FAT32 from 36 MiB (mkfs.fat warns of too few clusters below about 33 MiB), FAT16 from
// 16 MiB, FAT12 below.
constexpr int fatBits(std::uint64_t partitionBytes) {
  return partitionBytes >= 36 * MiB ? 32 : partitionBytes >= 16 * MiB ? 16 : 12;
}

// The smallest GUID-partitioned image whose data partition holds `partitionBytes`.
constexpr std::uint64_t gptImageSizeFor(std::uint64_t partitionBytes) {
  const std::uint64_t sectors = (partitionBytes + 4095) / 4096 * 8;
  return (sectors + 40 + 33) * 512;
}

// "2.5 MiB", "128 MiB", "1354.5 GiB": binary units, two decimals at most, rounded up or down.
std::string describeSize(std::uint64_t bytes, bool roundUp);

}  // namespace quorbel::imagetool::layout::sizes
