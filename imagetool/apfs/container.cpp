#include "imagetool/apfs/container.h"

#include <algorithm>
#include <bit>

#include "imagetool/apfs/apfs.h"

namespace quorbel::imagetool::apfs {

namespace detail {

void Container::readBlocks(std::uint64_t block, void* out, std::size_t count) const {
  if (block > blockCount || count > blockCount - block)
    damaged("a structure points past the end of the container (block " + std::to_string(block) + ")");
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

std::vector<unsigned char> readObject(const Container& c, std::uint64_t block, std::size_t length, std::uint32_t type,
                                      const char* what) {
  const std::size_t blocks = length / c.blockSize;
  if (length == 0 || length % c.blockSize != 0 || block > c.blockCount || blocks > c.blockCount - block)
    damaged(std::string("its ") + what + " at block " + std::to_string(block) + " has an impossible size");
  std::vector<unsigned char> data(length);
  c.readBlocks(block, data.data(), blocks);
  if (!checksumOk(data.data(), length))
    damaged(std::string("its ") + what + " fails its checksum (block " + std::to_string(block) + ")");
  if ((le32(data.data() + kType) & kTypeMask) != type)
    damaged(std::string("its ") + what + " is of the wrong type (block " + std::to_string(block) + ")");
  return data;
}

namespace {

bool isSuperblock(const unsigned char* b) {
  return std::memcmp(b + kMagic, "NXSB", 4) == 0 && (le32(b + kType) & kTypeMask) == kTypeSuperblock;
}

// Block zero: its block size and count bounded by the image before anything else is read.
Superblock readBlockZero(Container& c) {
  unsigned char head[4096];
  if (c.offset > c.io->size() || c.io->size() - c.offset < sizeof head) damaged("it is cut short");
  c.io->read(c.offset, head, sizeof head);
  if (std::memcmp(head + kMagic, "NXSB", 4) != 0) damaged("there is no superblock in block zero");
  c.blockSize = le32(head + kBlockSize);
  if (c.blockSize < 4096 || c.blockSize > 65536 || !std::has_single_bit(c.blockSize))
    damaged("its block size is impossible");
  c.blockCount = le64(head + kBlockCount);
  if (c.blockCount == 0 || c.blockCount > (c.io->size() - c.offset) / c.blockSize)
    damaged("it claims more blocks than its partition holds");
  const std::vector<unsigned char> zero = c.block(0);
  if (!checksumOk(zero.data(), c.blockSize) || !isSuperblock(zero.data()))
    damaged("the superblock in block zero fails its checksum");
  return Superblock::decode(zero.data());
}

// The checkpoint areas, bounded by the container before any of their blocks is read.
void takeCheckpointAreas(Container& c, const Superblock& zero) {
  if ((zero.descBlocks >> 31) != 0 || (zero.dataBlocks >> 31) != 0 || (zero.descBase >> 63) != 0 ||
      (zero.dataBase >> 63) != 0)
    refuse(Refusal::unsupported, "its checkpoints are kept in a tree");
  c.descBlocks = zero.descBlocks;
  c.dataBlocks = zero.dataBlocks;
  c.descBase = zero.descBase;
  c.dataBase = zero.dataBase;
  const auto inside = [&](std::uint64_t base, std::uint64_t count) {
    return count != 0 && base < c.blockCount && count <= c.blockCount - base;
  };
  if (!inside(c.descBase, c.descBlocks) || !inside(c.dataBase, c.dataBlocks) || c.descBlocks < 2)
    damaged("its checkpoint areas do not fit in it");
}

// The newest superblock in the descriptor area with a good checksum is the latest checkpoint; a newer
// one with a bad checksum is a checkpoint torn by a crash. Read one block at a time.
std::uint32_t findLatestCheckpoint(Container& c) {
  std::uint64_t latestXid = 0, tornXid = 0;
  std::uint32_t latestIndex = 0;
  for (std::uint32_t i = 0; i < c.descBlocks; ++i) {
    const std::vector<unsigned char> b = c.block(c.descBase + i);
    if (std::memcmp(b.data() + kMagic, "NXSB", 4) != 0) continue;
    const std::uint64_t xid = le64(b.data() + kXid);
    if (!checksumOk(b.data(), c.blockSize) || !isSuperblock(b.data())) {
      tornXid = std::max(tornXid, xid);
    } else if (xid > latestXid) {
      latestXid = xid;
      latestIndex = i;
      c.super = b;
    }
  }
  if (latestXid == 0) damaged("it has no valid checkpoint");
  if (tornXid > latestXid)
    refuse(Refusal::notClean, "a newer checkpoint (transaction " + std::to_string(tornXid) + ") is damaged");
  c.xid = latestXid;
  return latestIndex;
}

// The latest checkpoint's superblock against block zero and against itself.
void checkLatestSuperblock(Container& c, const Superblock& zero, std::uint32_t latestIndex, bool requireClean) {
  c.staleBlockZero = zero.header.xid < c.xid;
  if (zero.header.xid != c.xid && (requireClean || !c.staleBlockZero))
    refuse(Refusal::notClean, "block zero records transaction " + std::to_string(zero.header.xid) +
                                  " but the newest checkpoint is transaction " + std::to_string(c.xid));
  const Superblock& sb = c.sb = Superblock::decode(c.super.data());
  c.blockCount = sb.blockCount;
  if (c.blockCount == 0 || c.blockCount > (c.io->size() - c.offset) / c.blockSize)
    damaged("it claims more blocks than its partition holds");
  if ((!c.staleBlockZero && sb.blockCount != zero.blockCount) || sb.blockSize != c.blockSize ||
      sb.descBase != c.descBase || sb.dataBase != c.dataBase || sb.descBlocks != c.descBlocks ||
      sb.dataBlocks != c.dataBlocks || c.descBase + c.descBlocks > c.blockCount ||
      c.dataBase + c.dataBlocks > c.blockCount)
    damaged("a checkpoint disagrees with block zero");
  if (sb.blockedOutCount != 0) refuse(Refusal::notClean, "a resize begun on a Mac is not finished");
  if ((sb.incompatible & kIncompatibleFusion) != 0) refuse(Refusal::unsupported, "it spans two devices (Fusion)");
  if (sb.nextXid != c.xid + 1) damaged("the checkpoint's next transaction is not the following one");
  c.descIndex = sb.descIndex;
  c.descLen = sb.descLen;
  c.dataIndex = sb.dataIndex;
  c.dataLen = sb.dataLen;
  if (c.descIndex >= c.descBlocks || c.descLen < 2 || c.descLen > c.descBlocks ||
      (std::uint64_t{c.descIndex} + c.descLen - 1) % c.descBlocks != latestIndex || c.dataIndex >= c.dataBlocks ||
      c.dataLen > c.dataBlocks || sb.descNext != (std::uint64_t{c.descIndex} + c.descLen) % c.descBlocks ||
      sb.dataNext != (std::uint64_t{c.dataIndex} + c.dataLen) % c.dataBlocks)
    damaged("the checkpoint's descriptor or data ranges do not add up");
}

// The checkpoint's mapping blocks, each checked to belong to it, the last one flagged so.
void readCheckpointMaps(Container& c) {
  for (std::uint32_t i = 0; i + 1 < c.descLen; ++i) {
    const std::vector<unsigned char> b = c.block(c.descBase + (c.descIndex + i) % c.descBlocks);
    if (!checksumOk(b.data(), c.blockSize)) damaged("a checkpoint map fails its checksum");
    const CheckpointMap map = CheckpointMap::decode(b.data(), c.blockSize);
    if ((map.header.type & kTypeMask) != kTypeCheckpointMap || map.header.xid != c.xid)
      damaged("a checkpoint map does not belong to its checkpoint");
    if (map.last != (i + 2 == c.descLen)) damaged("the checkpoint map chain ends in the wrong place");
    c.mappings.insert(c.mappings.end(), map.mappings.begin(), map.mappings.end());
  }
}

// Every ephemeral object the maps list lies in the data area and belongs to the checkpoint; the space
// manager is kept.
void readEphemeralObjects(Container& c) {
  bool found = false;
  for (std::size_t i = 0; i < c.mappings.size(); ++i) {
    const Mapping& m = c.mappings[i];
    if (m.paddr < c.dataBase || m.paddr >= c.dataBase + c.dataBlocks || m.size % c.blockSize != 0 ||
        m.size / c.blockSize > c.dataBase + c.dataBlocks - m.paddr)
      damaged("an ephemeral object lies outside the checkpoint data area");
    auto object = readObject(c, m.paddr, m.size, m.type & kTypeMask, "checkpoint object");
    if (le64(object.data() + kOid) != m.oid || le64(object.data() + kXid) != c.xid)
      damaged("a checkpoint object does not belong to its checkpoint");
    if (m.oid != c.sb.spacemanOid) continue;
    if ((m.type & kTypeMask) != kTypeSpaceman) damaged("its space manager is mapped to an object of another type");
    c.spaceman = std::move(object);
    c.spacemanMapping = i;
    found = true;
  }
  if (!found) damaged("there is no space manager in its latest checkpoint");
}

// The space manager's geometry against the container's block size and count.
void checkSpacemanGeometry(const Container& c, const Spaceman& sm) {
  if (sm.blockSize != c.blockSize || sm.blocksPerChunk != c.blockSize * 8)
    damaged("its space manager's block or chunk size disagrees with the container");
  if (sm.chunksPerCib != (c.blockSize - kCibEntries) / kChunkInfoSize ||
      sm.cibsPerCab != (c.blockSize - kCabEntries) / 8)
    damaged("its space manager has unexpected chunk-info counts");
  if (sm.tier2BlockCount != 0) refuse(Refusal::unsupported, "it spans two devices (Fusion)");
  if (sm.blockCount != c.blockCount) damaged("its space manager's block count disagrees with its superblock");
  const std::uint64_t bpc = c.blockSize * 8ull;
  if (sm.chunkCount != (c.blockCount + bpc - 1) / bpc ||
      sm.cibCount != (sm.chunkCount + sm.chunksPerCib - 1) / sm.chunksPerCib ||
      (sm.cabCount != 0 && sm.cabCount != (sm.cibCount + sm.cibsPerCab - 1) / sm.cibsPerCab))
    damaged("its space manager's chunk counts disagree with its size");
}

// The chunk-info block addresses: in the space manager, or listed by chunk-info address blocks.
void readChunkInfoAddresses(Container& c) {
  (c.sm.cabCount != 0 ? c.cabAddrs : c.cibAddrs) = c.sm.addresses;
  for (std::uint32_t i = 0; i < c.cabAddrs.size(); ++i) {
    const auto cab = readObject(c, c.cabAddrs[i], c.blockSize, kTypeCab, "chunk-info address block");
    const ChunkInfoAddressBlock block = ChunkInfoAddressBlock::decode(cab.data(), c.blockSize);
    if (block.index != i) damaged("a chunk-info address block is out of order");
    c.cibAddrs.insert(c.cibAddrs.end(), block.cibs.begin(), block.cibs.end());
  }
  if (c.cibAddrs.size() != c.sm.cibCount) damaged("its space manager's chunk-info block count disagrees");
}

// The chunks, consecutive and covering the container, their free counts adding up.
void readChunks(Container& c) {
  const std::uint64_t bpc = c.blockSize * 8ull;
  std::uint64_t next = 0, freeTotal = 0;
  for (std::uint32_t i = 0; i < c.cibAddrs.size(); ++i) {
    const auto cib = readObject(c, c.cibAddrs[i], c.blockSize, kTypeCib, "chunk-info block");
    const ChunkInfoBlock block = ChunkInfoBlock::decode(cib.data(), c.blockSize);
    if (block.index != i) damaged("a chunk-info block is out of order");
    for (const Chunk& chunk : block.chunks) {
      if (chunk.addr != next || chunk.blockCount == 0 || chunk.blockCount > bpc || chunk.freeCount > chunk.blockCount)
        damaged("its chunk-info entries do not describe consecutive chunks");
      next += chunk.blockCount;
      freeTotal += chunk.freeCount;
      c.chunks.push_back(chunk);
    }
  }
  if (next != c.blockCount || c.chunks.size() != c.sm.chunkCount)
    damaged("its chunk-info entries do not cover the container");
  if (freeTotal != c.sm.freeCount) damaged("its free block count disagrees with its chunks");
  c.freeCount = freeTotal;
}

// Every bitmap agrees with its chunk's free count, and nothing past a chunk's end is marked.
void checkChunkBitmaps(const Container& c) {
  for (const Chunk& chunk : c.chunks) {
    if (chunk.bitmapAddr == 0) {
      if (chunk.freeCount != chunk.blockCount) damaged("a chunk is marked partly used but has no bitmap");
      continue;
    }
    const auto bits = c.block(chunk.bitmapAddr);
    std::uint64_t used = 0;
    for (std::size_t i = 0; i + 8 <= bits.size(); i += 8) used += std::popcount(le64(bits.data() + i));
    std::uint64_t inside = 0;
    for (std::uint32_t i = 0; i < chunk.blockCount; ++i) inside += (bits[i / 8] >> (i % 8)) & 1;
    if (inside != used || chunk.blockCount - used != chunk.freeCount)
      damaged("an allocation bitmap disagrees with its chunk's free count (chunk at block " +
              std::to_string(chunk.addr) + ")");
  }
}

void readSpaceManager(Container& c) {
  c.sm = Spaceman::decode(c.spaceman.data(), c.spaceman.size());
  checkSpacemanGeometry(c, c.sm);
  readChunkInfoAddresses(c);
  readChunks(c);
  c.ipBase = c.sm.ipBase;
  c.ipBlockCount = c.sm.ipBlockCount;
  c.ipBmBase = c.sm.ipBmBase;
  c.ipBmBlockCount = c.sm.ipBmBlockCount;
  c.ipBmSizeInBlocks = c.sm.ipBmSizeInBlocks;
  checkChunkBitmaps(c);
}

}  // namespace

Container readContainer(const ImageIO& io, std::uint64_t offset, bool requireClean) {
  Container c;
  c.io = &io;
  c.offset = offset;
  const Superblock zero = readBlockZero(c);
  takeCheckpointAreas(c, zero);
  const std::uint32_t latestIndex = findLatestCheckpoint(c);
  checkLatestSuperblock(c, zero, latestIndex, requireClean);
  readCheckpointMaps(c);
  readEphemeralObjects(c);
  (void)readObject(c, c.sb.omapOid, c.blockSize, kTypeOmap, "object map");
  readSpaceManager(c);
  crossCheckUsage(c);
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
  if (!isContainer(io, offset)) damaged("there is no superblock in block zero");
  io.read(offset, head, sizeof head);
  return le64(head + kBlockCount) * le32(head + kBlockSize);
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
        const std::uint64_t word = le64(bits.data() + i / 8);
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
