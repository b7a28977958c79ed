#include "imagetool/apfs/container.h"

#include <algorithm>
#include <bit>

#include "imagetool/apfs/apfs.h"

namespace quorbel::imagetool::apfs {

namespace detail {

// Fletcher-64 over 32-bit little-endian words, as APFS computes it over an object less its first
// eight bytes. Sums are reduced every 1024 words, which keeps them far from overflowing.
std::uint64_t fletcher64(const unsigned char* data, std::size_t length) {
  constexpr std::uint64_t mod = 0xFFFFFFFF;
  std::uint64_t sum1 = 0, sum2 = 0;
  const std::size_t words = length / 4;
  for (std::size_t i = 0; i < words;) {
    const std::size_t end = std::min(words, i + 1024);
    for (; i < end; ++i) {
      sum1 += get32(data + 4 * i);
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
  return get64(object + kCksum) == fletcher64(object + 8, length - 8);
}

void seal(unsigned char* object, std::size_t length) { put64(object + kCksum, fletcher64(object + 8, length - 8)); }

void Container::readBlocks(std::uint64_t block, void* out, std::size_t count) const {
  if (block > blockCount || count > blockCount - block)
    throw ToolError("an APFS structure points past the end of its container (block " + std::to_string(block) + ")");
  io->read(offset + block * blockSize, out, count * blockSize);
}

std::vector<unsigned char> Container::block(std::uint64_t number) const {
  std::vector<unsigned char> data(blockSize);
  readBlocks(number, data.data(), 1);
  return data;
}

std::vector<unsigned char> Container::bitmap(const Chunk& chunk) const {
  if (chunk.bitmapAddr == 0) return std::vector<unsigned char>(blockSize, 0);
  return block(chunk.bitmapAddr);
}

namespace {

[[noreturn]] void refuse(const std::string& why) { throw ToolError("the APFS container " + why); }

// A physical or ephemeral object of `length` bytes at `block`, checked for its checksum and type.
std::vector<unsigned char> readObject(const Container& c, std::uint64_t block, std::size_t length, std::uint32_t type,
                                      const char* what) {
  if (length == 0 || length % c.blockSize != 0) refuse(std::string("has a ") + what + " of an impossible size");
  std::vector<unsigned char> data(length);
  c.readBlocks(block, data.data(), length / c.blockSize);
  if (!checksumOk(data.data(), length))
    refuse(std::string("has a ") + what + " that fails its checksum (block " + std::to_string(block) + ")");
  if ((get32(data.data() + kType) & kTypeMask) != type)
    refuse(std::string("has a ") + what + " of the wrong type (block " + std::to_string(block) + ")");
  return data;
}

bool isSuperblock(const unsigned char* b) {
  return std::memcmp(b + kMagic, "NXSB", 4) == 0 && (get32(b + kType) & kTypeMask) == kTypeSuperblock;
}

void readSpaceManager(Container& c) {
  const unsigned char* sm = c.spaceman.data();
  const std::size_t smSize = c.spaceman.size();
  if (get32(sm + kSmBlockSize) != c.blockSize || get32(sm + kSmBlocksPerChunk) != c.blockSize * 8)
    refuse("has a space manager whose block or chunk size disagrees with the container");
  const std::uint32_t chunksPerCib = get32(sm + kSmChunksPerCib), cibsPerCab = get32(sm + kSmCibsPerCab);
  if (chunksPerCib != (c.blockSize - kCibEntries) / kChunkInfoSize || cibsPerCab != (c.blockSize - kCabEntries) / 8)
    refuse("has a space manager with unexpected chunk-info counts");
  const unsigned char* dev = sm + kSmDevMain;
  const unsigned char* tier2 = sm + kSmDevTier2;
  if (get64(tier2 + kDevBlockCount) != 0) refuse("spans two devices (Fusion), which this tool does not handle");
  if (get64(dev + kDevBlockCount) != c.blockCount)
    refuse("has a space manager whose block count disagrees with its superblock");
  const std::uint64_t bpc = c.blockSize * 8ull;
  const std::uint64_t chunkCount = get64(dev + kDevChunkCount);
  const std::uint32_t cibCount = get32(dev + kDevCibCount), cabCount = get32(dev + kDevCabCount);
  if (chunkCount != (c.blockCount + bpc - 1) / bpc || cibCount != (chunkCount + chunksPerCib - 1) / chunksPerCib ||
      (cabCount != 0 && cabCount != (cibCount + cibsPerCab - 1) / cibsPerCab))
    refuse("has a space manager whose chunk counts disagree with its size");
  const std::uint32_t addrOffset = get32(dev + kDevAddrOffset);
  const std::uint32_t addresses = cabCount != 0 ? cabCount : cibCount;
  if (addrOffset < kSmIpBmFreeNextOffset || addrOffset % 8 != 0 || addrOffset + 8ull * addresses > smSize)
    refuse("has a space manager whose chunk-info addresses lie outside it");
  for (std::uint32_t i = 0; i < addresses; ++i) {
    const std::uint64_t at = get64(sm + addrOffset + 8 * i);
    (cabCount != 0 ? c.cabAddrs : c.cibAddrs).push_back(at);
  }
  for (std::uint32_t i = 0; i < c.cabAddrs.size(); ++i) {
    const auto cab = readObject(c, c.cabAddrs[i], c.blockSize, kTypeCab, "chunk-info address block");
    const std::uint32_t count = get32(cab.data() + kCabCount);
    if (get32(cab.data() + kCabIndex) != i || count > cibsPerCab) refuse("has a damaged chunk-info address block");
    for (std::uint32_t j = 0; j < count; ++j) c.cibAddrs.push_back(get64(cab.data() + kCabEntries + 8 * j));
  }
  if (c.cibAddrs.size() != cibCount) refuse("has a space manager whose chunk-info block count disagrees");

  std::uint64_t next = 0, freeTotal = 0;
  for (std::uint32_t i = 0; i < cibCount; ++i) {
    const auto cib = readObject(c, c.cibAddrs[i], c.blockSize, kTypeCib, "chunk-info block");
    const std::uint32_t count = get32(cib.data() + kCibCount);
    if (get32(cib.data() + kCibIndex) != i || count == 0 || count > chunksPerCib)
      refuse("has a damaged chunk-info block");
    for (std::uint32_t j = 0; j < count; ++j) {
      const unsigned char* e = cib.data() + kCibEntries + kChunkInfoSize * j;
      Chunk chunk{get64(e), get64(e + 8), get32(e + 16) & 0x000FFFFF, get32(e + 20) & 0x000FFFFF, get64(e + 24)};
      if (chunk.addr != next || chunk.blockCount == 0 || chunk.blockCount > bpc || chunk.freeCount > chunk.blockCount)
        refuse("has chunk-info entries that do not describe consecutive chunks");
      next += chunk.blockCount;
      freeTotal += chunk.freeCount;
      c.chunks.push_back(chunk);
    }
  }
  if (next != c.blockCount || c.chunks.size() != chunkCount)
    refuse("has chunk-info entries that do not cover the container");
  if (freeTotal != get64(dev + kDevFreeCount)) refuse("has a free block count that disagrees with its chunks");
  c.freeCount = freeTotal;

  c.ipBase = get64(sm + kSmIpBase);
  c.ipBlockCount = get64(sm + kSmIpBlockCount);
  c.ipBmBase = get64(sm + kSmIpBmBase);
  c.ipBmBlockCount = get32(sm + kSmIpBmBlockCount);
  c.ipBmSizeInBlocks = get32(sm + kSmIpBmSizeInBlocks);

  // Every bitmap agrees with its chunk's free count, and nothing past a chunk's end is marked.
  for (const Chunk& chunk : c.chunks) {
    if (chunk.bitmapAddr == 0) {
      if (chunk.freeCount != chunk.blockCount) refuse("has a chunk marked partly used but without a bitmap");
      continue;
    }
    const auto bits = c.block(chunk.bitmapAddr);
    std::uint64_t used = 0;
    for (std::size_t i = 0; i + 8 <= bits.size(); i += 8) used += std::popcount(get64(bits.data() + i));
    std::uint64_t inside = 0;
    for (std::uint32_t i = 0; i < chunk.blockCount; ++i) inside += (bits[i / 8] >> (i % 8)) & 1;
    if (inside != used || chunk.blockCount - used != chunk.freeCount)
      refuse("has an allocation bitmap that disagrees with its chunk's free count (chunk at block " +
             std::to_string(chunk.addr) + ")");
  }
}

// True when every block of [first, first + count) is marked in use.
bool allUsed(const Container& c, std::uint64_t first, std::uint64_t count) {
  const std::uint64_t bpc = c.blockSize * 8ull;
  std::uint64_t block = first;
  while (block < first + count) {
    if (block >= c.blockCount) return false;
    const Chunk& chunk = c.chunks[block / bpc];
    const auto bits = c.bitmap(chunk);
    for (; block < first + count && block < chunk.addr + chunk.blockCount; ++block) {
      const std::uint64_t i = block - chunk.addr;
      if (((bits[i / 8] >> (i % 8)) & 1) == 0) return false;
    }
  }
  return true;
}

}  // namespace

Container readContainer(const ImageIO& io, std::uint64_t offset, bool requireClean) {
  Container c;
  c.io = &io;
  c.offset = offset;
  unsigned char head[4096];
  if (offset > io.size() || io.size() - offset < sizeof head) refuse("is cut short");
  io.read(offset, head, sizeof head);
  if (std::memcmp(head + kMagic, "NXSB", 4) != 0) refuse("has no superblock in block zero");
  c.blockSize = get32(head + kBlockSize);
  if (c.blockSize < 4096 || c.blockSize > 65536 || !std::has_single_bit(c.blockSize))
    refuse("has an impossible block size");
  c.blockCount = get64(head + kBlockCount);
  if (c.blockCount == 0 || c.blockCount > (io.size() - offset) / c.blockSize)
    refuse("claims more blocks than its partition holds");
  const std::vector<unsigned char> zero = c.block(0);
  if (!checksumOk(zero.data(), c.blockSize) || !isSuperblock(zero.data()))
    refuse("superblock in block zero fails its checksum");

  c.descBlocks = get32(zero.data() + kDescBlocks);
  c.dataBlocks = get32(zero.data() + kDataBlocks);
  c.descBase = get64(zero.data() + kDescBase);
  c.dataBase = get64(zero.data() + kDataBase);
  if ((c.descBlocks >> 31) != 0 || (c.dataBlocks >> 31) != 0 || (c.descBase >> 63) != 0 || (c.dataBase >> 63) != 0)
    refuse("keeps its checkpoints in a tree, which this tool does not read");
  if (c.descBlocks == 0 || c.dataBlocks == 0 || c.descBlocks > 1u << 20) refuse("has an impossible checkpoint area");

  // The newest superblock in the descriptor area with a good checksum is the latest checkpoint. A
  // newer one with a bad checksum is a checkpoint torn by a crash.
  std::vector<unsigned char> area(std::size_t{c.descBlocks} * c.blockSize);
  c.readBlocks(c.descBase, area.data(), c.descBlocks);
  std::uint64_t latestXid = 0, tornXid = 0;
  std::uint32_t latestIndex = 0;
  for (std::uint32_t i = 0; i < c.descBlocks; ++i) {
    const unsigned char* b = area.data() + std::size_t{i} * c.blockSize;
    if (std::memcmp(b + kMagic, "NXSB", 4) != 0) continue;
    const std::uint64_t xid = get64(b + kXid);
    if (!checksumOk(b, c.blockSize) || !isSuperblock(b)) {
      tornXid = std::max(tornXid, xid);
      continue;
    }
    if (xid > latestXid) {
      latestXid = xid;
      latestIndex = i;
    }
  }
  if (latestXid == 0) refuse("has no valid checkpoint");
  if (tornXid > latestXid)
    refuse("has a damaged newer checkpoint (transaction " + std::to_string(tornXid) +
           "); it was not unmounted cleanly");
  c.staleBlockZero = get64(zero.data() + kXid) < latestXid;
  if (get64(zero.data() + kXid) != latestXid && (requireClean || !c.staleBlockZero))
    refuse("was not unmounted cleanly: block zero records transaction " + std::to_string(get64(zero.data() + kXid)) +
           " but the newest checkpoint is transaction " + std::to_string(latestXid) + "; mount it on a Mac once first");
  c.xid = latestXid;
  c.super.assign(area.begin() + std::ptrdiff_t{latestIndex} * c.blockSize,
                 area.begin() + std::ptrdiff_t{latestIndex + 1} * c.blockSize);
  const unsigned char* sb = c.super.data();
  c.blockCount = get64(sb + kBlockCount);
  if (c.blockCount == 0 || c.blockCount > (io.size() - offset) / c.blockSize)
    refuse("claims more blocks than its partition holds");
  if ((!c.staleBlockZero && get64(sb + kBlockCount) != get64(zero.data() + kBlockCount)) ||
      get32(sb + kBlockSize) != c.blockSize || get64(sb + kDescBase) != c.descBase ||
      get64(sb + kDataBase) != c.dataBase || get32(sb + kDescBlocks) != c.descBlocks ||
      get32(sb + kDataBlocks) != c.dataBlocks)
    refuse("has a checkpoint that disagrees with block zero");
  if (get64(sb + kBlockedOutCount) != 0) refuse("is in the middle of a resize begun on a Mac");
  if ((get64(sb + kIncompatibleFeatures) & kIncompatibleFusion) != 0)
    refuse("spans two devices (Fusion), which this tool does not handle");
  if (get64(sb + kNextXid) != c.xid + 1) refuse("has a checkpoint whose next transaction is not the following one");
  c.descIndex = get32(sb + kDescIndex);
  c.descLen = get32(sb + kDescLen);
  c.dataIndex = get32(sb + kDataIndex);
  c.dataLen = get32(sb + kDataLen);
  if (c.descIndex >= c.descBlocks || c.descLen < 2 || c.descLen > c.descBlocks ||
      (c.descIndex + c.descLen - 1) % c.descBlocks != latestIndex || c.dataIndex >= c.dataBlocks ||
      c.dataLen > c.dataBlocks || get32(sb + kDescNext) != (c.descIndex + c.descLen) % c.descBlocks ||
      get32(sb + kDataNext) != (c.dataIndex + c.dataLen) % c.dataBlocks)
    refuse("has a checkpoint whose descriptor or data ranges do not add up");

  // The checkpoint's mapping blocks, then every ephemeral object they list.
  for (std::uint32_t i = 0; i + 1 < c.descLen; ++i) {
    const std::uint32_t index = (c.descIndex + i) % c.descBlocks;
    const unsigned char* b = area.data() + std::size_t{index} * c.blockSize;
    if (!checksumOk(b, c.blockSize)) refuse("has a checkpoint map that fails its checksum");
    if ((get32(b + kType) & kTypeMask) != kTypeCheckpointMap || get64(b + kXid) != c.xid)
      refuse("has a checkpoint map that does not belong to its checkpoint");
    const std::uint32_t count = get32(b + kCpmCount);
    if (kCpmEntries + std::size_t{count} * kCpmEntrySize > c.blockSize) refuse("has an overfull checkpoint map");
    for (std::uint32_t j = 0; j < count; ++j) {
      const unsigned char* e = b + kCpmEntries + j * kCpmEntrySize;
      c.mappings.push_back({get32(e), get32(e + 4), get32(e + 8), get64(e + 16), get64(e + 24), get64(e + 32)});
    }
    const bool last = (get32(b + kCpmFlags) & kCpmLast) != 0;
    if (last != (i + 2 == c.descLen)) refuse("has a checkpoint map chain that ends in the wrong place");
  }
  const std::uint64_t spacemanOid = get64(sb + kSpacemanOid);
  bool found = false;
  for (std::size_t i = 0; i < c.mappings.size(); ++i) {
    const Mapping& m = c.mappings[i];
    if (m.paddr < c.dataBase || m.paddr >= c.dataBase + c.dataBlocks)
      refuse("has an ephemeral object outside its checkpoint data area");
    const auto object = readObject(c, m.paddr, m.size, m.type & kTypeMask, "checkpoint object");
    if (get64(object.data() + kOid) != m.oid || get64(object.data() + kXid) != c.xid)
      refuse("has a checkpoint object that does not belong to its checkpoint");
    if (m.oid == spacemanOid) {
      if ((m.type & kTypeMask) != kTypeSpaceman) refuse("maps its space manager to an object of another type");
      c.spaceman = object;
      c.spacemanMapping = i;
      found = true;
    }
  }
  if (!found) refuse("has no space manager in its latest checkpoint");
  (void)readObject(c, get64(sb + kOmapOid), c.blockSize, kTypeOmap, "object map");
  readSpaceManager(c);

  // What the container cannot work without must be marked in use.
  if (!allUsed(c, 0, 1) || !allUsed(c, c.descBase, c.descBlocks) || !allUsed(c, c.dataBase, c.dataBlocks) ||
      !allUsed(c, c.ipBase, c.ipBlockCount) || !allUsed(c, c.ipBmBase, c.ipBmBlockCount))
    refuse("has a space manager that leaves its own structures unallocated");
  return c;
}

}  // namespace detail

using namespace detail;

bool isContainer(const ImageIO& io, std::uint64_t offset) {
  unsigned char head[64];
  if (offset > io.size() || io.size() - offset < sizeof head) return false;
  io.read(offset, head, sizeof head);
  return std::memcmp(head + kMagic, "NXSB", 4) == 0;
}

std::uint64_t containerLength(const ImageIO& io, std::uint64_t offset) {
  unsigned char head[64];
  if (!isContainer(io, offset)) refuse("has no superblock in block zero");
  io.read(offset, head, sizeof head);
  return get64(head + kBlockCount) * get32(head + kBlockSize);
}

std::vector<std::pair<std::uint64_t, std::uint64_t>> freeRanges(const ImageIO& io, std::uint64_t offset,
                                                                std::uint64_t limit) {
  const Container c = readContainer(io, offset);
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
  auto add = [&](std::uint64_t block, std::uint64_t count) {
    std::uint64_t start = block * c.blockSize, end = (block + count) * c.blockSize;
    end = std::min(end, limit);
    if (start >= end) return;
    if (!ranges.empty() && ranges.back().first + ranges.back().second == offset + start)
      ranges.back().second += end - start;
    else
      ranges.emplace_back(offset + start, end - start);
  };
  for (const Chunk& chunk : c.chunks) {
    if (chunk.freeCount == 0) continue;
    if (chunk.bitmapAddr == 0) {
      add(chunk.addr, chunk.blockCount);
      continue;
    }
    const auto bits = c.block(chunk.bitmapAddr);
    std::uint32_t i = 0;
    while (i < chunk.blockCount) {
      // Whole 64-bit words of zeros or ones are skipped at once.
      if (i % 64 == 0 && i + 64 <= chunk.blockCount) {
        const std::uint64_t word = get64(bits.data() + i / 8);
        if (word == 0) {
          add(chunk.addr + i, 64);
          i += 64;
          continue;
        }
        if (word == ~std::uint64_t{0}) {
          i += 64;
          continue;
        }
      }
      if (((bits[i / 8] >> (i % 8)) & 1) == 0) add(chunk.addr + i, 1);
      ++i;
    }
  }
  return ranges;
}

}  // namespace quorbel::imagetool::apfs
