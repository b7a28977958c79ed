// Resizing an APFS container: the space manager is laid out afresh for the new block count and
// written, with every ephemeral object, as a new checkpoint.

#include <algorithm>
#include <bit>
#include <optional>
#include <set>

#include "imagetool/apfs/apfs.h"
#include "imagetool/apfs/container.h"

namespace quorbel::imagetool::apfs {

using namespace detail;

namespace {

constexpr std::uint64_t MiB = 1024 * 1024;
// Where mkapfs puts the chunk-info addresses in its space manager; the tool keeps a container's own.
constexpr std::uint32_t kDefaultAddrOffset = 0x180;

[[noreturn]] void refuse(const std::string& why) { throw ToolError("cannot resize the APFS container: " + why); }

// Free-queue node limits as Apple's tools set them for a container of this size.
std::uint16_t ipFreeQueueLimit(std::uint64_t chunks) {
  auto limit = static_cast<std::uint16_t>(3 * (chunks + 751) / 1127 - 1);
  return limit == 2 ? 3 : limit;
}
std::uint16_t mainFreeQueueLimit(std::uint64_t blocks) {
  std::uint64_t limit = 512;
  if (blocks < 0x40000)
    limit = 1 + (blocks - 1) / 4544;
  else if (blocks < 0x100000)
    limit = 116 + (blocks - 261281) / 2272;
  return static_cast<std::uint16_t>(limit == 2 ? 3 : limit);
}

// The allocation state per chunk; an empty vector is a chunk with no block in use.
struct Bits {
  std::uint64_t bpc;
  std::uint32_t blockSize;
  std::vector<std::vector<unsigned char>> chunks;
  bool test(std::uint64_t block) const {
    const auto& c = chunks[block / bpc];
    const std::uint64_t i = block % bpc;
    return !c.empty() && ((c[i / 8] >> (i % 8)) & 1) != 0;
  }
  void set(std::uint64_t block, bool used) {
    auto& c = chunks[block / bpc];
    if (c.empty()) {
      if (!used) return;
      c.assign(blockSize, 0);
    }
    const std::uint64_t i = block % bpc;
    const auto mask = static_cast<unsigned char>(1u << (i % 8));
    c[i / 8] = static_cast<unsigned char>(used ? c[i / 8] | mask : c[i / 8] & ~mask);
  }
  bool chunkEmpty(std::size_t index) const {
    const auto& c = chunks[index];
    return c.empty() || std::all_of(c.begin(), c.end(), [](unsigned char b) { return b == 0; });
  }
  std::uint64_t usedIn(std::size_t index) const {
    std::uint64_t n = 0;
    for (unsigned char b : chunks[index]) n += static_cast<std::uint64_t>(std::popcount(b));
    return n;
  }
  // The last block in use below `end`, if any.
  std::optional<std::uint64_t> lastUsed(std::uint64_t end) const {
    for (std::uint64_t chunk = (end + bpc - 1) / bpc; chunk-- > 0;) {
      if (chunks[chunk].empty()) continue;
      for (std::uint64_t b = std::min(end, (chunk + 1) * bpc); b-- > chunk * bpc;)
        if (test(b)) return b;
    }
    return std::nullopt;
  }
  bool allFree(std::uint64_t first, std::uint64_t count) const {
    for (std::uint64_t b = first; b < first + count; ++b) {
      if (chunks[b / bpc].empty()) {
        b = (b / bpc + 1) * bpc - 1;
        continue;
      }
      if (test(b)) return false;
    }
    return true;
  }
};

}  // namespace

std::uint64_t largestContainer() {
  const std::uint64_t blockSize = 4096, bpc = blockSize * 8;
  const std::uint64_t cibs = (blockSize - kDefaultAddrOffset) / 8 - 1;
  return cibs * ((blockSize - kCibEntries) / kChunkInfoSize) * bpc * blockSize;
}

void resizeContainer(ImageIO& io, std::uint64_t offset, std::uint64_t newLength) {
  const Container c = readContainer(io, offset);
  const std::uint32_t bs = c.blockSize;
  const std::uint64_t bpc = bs * 8ull;
  const std::uint64_t oldBlocks = c.blockCount, newBlocks = newLength / bs;
  if (newBlocks == oldBlocks) return;
  if (offset + newBlocks * bs > io.size()) refuse("the new size reaches past the end of its partition");
  const unsigned char* sm = c.spaceman.data();
  if (!c.cabAddrs.empty()) refuse("its space manager uses chunk-info address blocks, which this tool does not rewrite");
  if (c.ipBmSizeInBlocks != 1 || c.ipBmBlockCount != 16)
    refuse("its internal pool's bitmaps are laid out in a way this tool does not rewrite");
  if (get64(sm + kSmFreeQueues + kFqIp * kSmFreeQueueSize + kFqCount) != 0)
    refuse("its internal pool has blocks waiting to be freed; mount the image on a Mac once, then try again");

  // The allocation state at the new size, starting from the current one.
  Bits bits{bpc, bs, {}};
  const std::uint64_t newChunks = (newBlocks + bpc - 1) / bpc;
  bits.chunks.resize(std::max<std::uint64_t>(c.chunks.size(), newChunks));
  for (std::size_t i = 0; i < c.chunks.size(); ++i)
    if (c.chunks[i].bitmapAddr != 0) bits.chunks[i] = c.block(c.chunks[i].bitmapAddr);
  if (newBlocks < oldBlocks) {
    if (const auto used = bits.lastUsed(oldBlocks); used && *used >= newBlocks) {
      const std::uint64_t minimum = (*used + 1) * bs;
      throw ShrinkRefused("cannot shrink the APFS container: block " + std::to_string(*used) +
                              " past the new end is in use; the container needs at least " + std::to_string(minimum) +
                              " bytes",
                          minimum);
    }
    if (newBlocks < 32768) refuse("APFS containers this tool resizes are at least 128 MB");
  }
  bits.chunks.resize(newChunks);

  const std::uint32_t cpc = (bs - kCibEntries) / kChunkInfoSize;
  const std::uint64_t newCibs = (newChunks + cpc - 1) / cpc;
  const std::uint32_t addrOffset = get32(sm + kSmDevMain + kDevAddrOffset);
  if (newCibs + 1 > (bs - addrOffset) / 8)
    refuse("the new size needs more chunk-info blocks than its space manager can list (at most " +
           std::to_string(largestContainer() / MiB / 1024) + " GiB)");

  // The internal pool (which holds the chunk bitmaps and chunk-info blocks) is sized as Apple sizes it
  // (three blocks per chunk and chunk-info block), within what one pool bitmap block describes; it
  // never shrinks. It grows in place when the blocks after it are free, else moves to free space.
  const std::uint64_t ipLimit = bpc;
  std::uint64_t ipCount = std::max<std::uint64_t>(c.ipBlockCount, std::min(ipLimit, 3 * (newChunks + newCibs)));
  std::uint64_t ipBase = c.ipBase;
  if (ipCount > c.ipBlockCount) {
    const std::uint64_t extra = ipCount - c.ipBlockCount;
    if (c.ipBase + ipCount <= newBlocks && bits.allFree(c.ipBase + c.ipBlockCount, extra)) {
      for (std::uint64_t b = c.ipBase + c.ipBlockCount; b < c.ipBase + ipCount; ++b) bits.set(b, true);
    } else {
      std::optional<std::uint64_t> found;
      for (std::uint64_t b = 0, start = 0, run = 0; b < newBlocks && !found;) {
        if (b % bpc == 0 && bits.chunks[b / bpc].empty()) {
          const std::uint64_t n = std::min(bpc, newBlocks - b);
          run += n;
          b += n;
        } else if (bits.test(b)) {
          run = 0;
          start = ++b;
        } else {
          ++run;
          ++b;
        }
        if (run >= ipCount) found = start;
      }
      if (!found) {
        ipCount = c.ipBlockCount;  // it stays as it is; whether it suffices is checked below
      } else {
        for (std::uint64_t b = c.ipBase; b < c.ipBase + c.ipBlockCount; ++b) bits.set(b, false);
        ipBase = *found;
        for (std::uint64_t b = ipBase; b < ipBase + ipCount; ++b) bits.set(b, true);
      }
    }
  }
  if (ipBase + ipCount > newBlocks) refuse("its internal pool would lie past the new end");

  // New chunk bitmaps and chunk-info blocks go to pool blocks the current checkpoint does not use, so
  // that it stays whole until the new one is written.
  std::set<std::uint64_t> live(c.cibAddrs.begin(), c.cibAddrs.end());
  for (const Chunk& chunk : c.chunks)
    if (chunk.bitmapAddr != 0) live.insert(chunk.bitmapAddr);
  std::vector<std::uint64_t> slots;
  std::vector<std::size_t> usedChunks;
  for (std::size_t i = 0; i < newChunks; ++i)
    if (!bits.chunkEmpty(i)) usedChunks.push_back(i);
  const std::uint64_t needed = usedChunks.size() + newCibs;
  for (std::uint64_t b = ipBase; b < ipBase + ipCount && slots.size() < needed; ++b)
    if (!live.count(b)) slots.push_back(b);
  if (slots.size() < needed) refuse("its internal pool has no room for the space manager of the new size");

  const std::uint64_t xid = c.xid + 1;
  std::vector<unsigned char> ipBitmap(bs, 0);
  auto takeSlot = [&, next = std::size_t{0}]() mutable {
    const std::uint64_t b = slots[next++];
    ipBitmap[(b - ipBase) / 8] = static_cast<unsigned char>(ipBitmap[(b - ipBase) / 8] | 1u << ((b - ipBase) % 8));
    return b;
  };
  std::vector<std::uint64_t> bitmapAddr(newChunks, 0);
  for (std::size_t i : usedChunks) {
    bitmapAddr[i] = takeSlot();
    io.write(offset + bitmapAddr[i] * bs, bits.chunks[i].data(), bs);
  }
  std::vector<std::uint64_t> cibAddrs;
  std::uint64_t freeTotal = 0;
  for (std::uint64_t cib = 0; cib < newCibs; ++cib) {
    const std::uint64_t at = takeSlot();
    cibAddrs.push_back(at);
    std::vector<unsigned char> block(bs, 0);
    const std::uint64_t first = cib * cpc, count = std::min<std::uint64_t>(cpc, newChunks - first);
    put64(block.data() + kOid, at);
    put64(block.data() + kXid, xid);
    put32(block.data() + kType, kPhysical | kTypeCib);
    put32(block.data() + kCibIndex, static_cast<std::uint32_t>(cib));
    put32(block.data() + kCibCount, static_cast<std::uint32_t>(count));
    for (std::uint64_t j = 0; j < count; ++j) {
      const std::uint64_t chunk = first + j;
      const std::uint64_t blocks = std::min(bpc, newBlocks - chunk * bpc);
      const std::uint64_t free = blocks - bits.usedIn(chunk);
      freeTotal += free;
      unsigned char* e = block.data() + kCibEntries + kChunkInfoSize * j;
      put64(e, xid);
      put64(e + 8, chunk * bpc);
      put32(e + 16, static_cast<std::uint32_t>(blocks));
      put32(e + 20, static_cast<std::uint32_t>(free));
      put64(e + 24, bitmapAddr[chunk]);
    }
    seal(block.data(), bs);
    io.write(offset + at * bs, block.data(), bs);
  }

  // The pool bitmap goes to the next slot of its ring of 16; the slot in use until now stays as the
  // previous one, as Apple's implementation keeps it.
  std::vector<unsigned char> spaceman = c.spaceman;
  unsigned char* s = spaceman.data();
  const std::uint32_t ring = c.ipBmBlockCount;
  const std::uint16_t head = get16(s + kSmIpBmFreeHead), tail = get16(s + kSmIpBmFreeTail);
  if (head >= ring || tail >= ring) refuse("its internal pool bitmap ring is damaged");
  const std::uint32_t bitmapOffset = get32(s + kSmIpBitmapOffset), freeNextOffset = get32(s + kSmIpBmFreeNextOffset),
                      xidOffset = get32(s + kSmIpBmXidOffset);
  if (bitmapOffset + 2 > bs || freeNextOffset + 2 * ring > bs || xidOffset + 8 > bs)
    refuse("its space manager's pool fields lie outside it");
  io.write(offset + (c.ipBmBase + head) * bs, ipBitmap.data(), bs);
  const auto newHead = static_cast<std::uint16_t>((head + 1) % ring), newTail = static_cast<std::uint16_t>((tail + 1) % ring);
  const std::uint32_t freeLength = (ring + newTail - newHead) % ring;
  put16(s + bitmapOffset, head);
  put16(s + kSmIpBmFreeHead, newHead);
  put16(s + kSmIpBmFreeTail, newTail);
  for (std::uint32_t i = 0; i < ring; ++i)
    put16(s + freeNextOffset + 2 * i,
          (ring + i - newHead) % ring < freeLength ? static_cast<std::uint16_t>((i + 1) % ring) : 0xFFFF);
  put64(s + xidOffset, xid);

  unsigned char* dev = s + kSmDevMain;
  const std::uint32_t oldCibs = get32(dev + kDevCibCount);
  put64(dev + kDevBlockCount, newBlocks);
  put64(dev + kDevChunkCount, newChunks);
  put32(dev + kDevCibCount, static_cast<std::uint32_t>(newCibs));
  put32(dev + kDevCabCount, 0);
  put64(dev + kDevFreeCount, freeTotal);
  for (std::uint64_t i = 0; i < std::max<std::uint64_t>(oldCibs, newCibs) + 1; ++i)
    put64(s + addrOffset + 8 * i, i < newCibs ? cibAddrs[i] : 0);
  put32(s + kSmDevTier2 + kDevAddrOffset, static_cast<std::uint32_t>(addrOffset + 8 * newCibs));
  put64(s + kSmIpBase, ipBase);
  put64(s + kSmIpBlockCount, ipCount);
  unsigned char* ipQueue = s + kSmFreeQueues + kFqIp * kSmFreeQueueSize;
  unsigned char* mainQueue = s + kSmFreeQueues + kFqMain * kSmFreeQueueSize;
  put16(ipQueue + kFqNodeLimit, std::max(get16(ipQueue + kFqNodeLimit), ipFreeQueueLimit(newChunks)));
  const std::uint16_t mainLimit = mainFreeQueueLimit(newBlocks);
  put16(mainQueue + kFqNodeLimit,
        get64(mainQueue + kFqCount) == 0 ? mainLimit : std::max(get16(mainQueue + kFqNodeLimit), mainLimit));

  // Every ephemeral object is written again for the new transaction, after the current checkpoint's
  // data in its ring.
  std::uint32_t dataPos = (c.dataIndex + c.dataLen) % c.dataBlocks, dataLen = 0;
  std::vector<Mapping> mappings = c.mappings;
  for (std::size_t i = 0; i < mappings.size(); ++i) {
    Mapping& m = mappings[i];
    std::vector<unsigned char> object;
    if (i == c.spacemanMapping) {
      object = spaceman;
    } else {
      object.resize(m.size);
      c.readBlocks(m.paddr, object.data(), m.size / bs);
    }
    const std::uint32_t blocks = m.size / bs;
    if (dataPos + blocks > c.dataBlocks) {
      if (blocks == 1) dataPos = 0;
      else refuse("its checkpoint data area has no contiguous room for a multi-block object");
    }
    put64(object.data() + kXid, xid);
    seal(object.data(), object.size());
    m.paddr = c.dataBase + dataPos;
    io.write(offset + m.paddr * bs, object.data(), object.size());
    dataPos = (dataPos + blocks) % c.dataBlocks;
    dataLen += blocks;
  }
  if (dataLen + c.dataLen > c.dataBlocks) refuse("its checkpoint data area is too small for a second checkpoint");
  const std::uint32_t dataIndex = (c.dataIndex + c.dataLen) % c.dataBlocks;

  const std::size_t perMap = (bs - kCpmEntries) / kCpmEntrySize;
  const std::uint32_t mapBlocks = static_cast<std::uint32_t>(std::max<std::size_t>(1, (mappings.size() + perMap - 1) / perMap));
  if (mapBlocks + 1 + c.descLen > c.descBlocks) refuse("its checkpoint descriptor area is too small for a second checkpoint");
  const std::uint32_t descIndex = (c.descIndex + c.descLen) % c.descBlocks;
  for (std::uint32_t m = 0; m < mapBlocks; ++m) {
    std::vector<unsigned char> block(bs, 0);
    const std::uint64_t at = c.descBase + (descIndex + m) % c.descBlocks;
    const std::size_t first = m * perMap, count = std::min(perMap, mappings.size() - first);
    put64(block.data() + kOid, at);
    put64(block.data() + kXid, xid);
    put32(block.data() + kType, kPhysical | kTypeCheckpointMap);
    put32(block.data() + kCpmFlags, m + 1 == mapBlocks ? kCpmLast : 0);
    put32(block.data() + kCpmCount, static_cast<std::uint32_t>(count));
    for (std::size_t j = 0; j < count; ++j) {
      const Mapping& e = mappings[first + j];
      unsigned char* p = block.data() + kCpmEntries + j * kCpmEntrySize;
      put32(p, e.type);
      put32(p + 4, e.subtype);
      put32(p + 8, e.size);
      put64(p + 16, e.fsOid);
      put64(p + 24, e.oid);
      put64(p + 32, e.paddr);
    }
    seal(block.data(), bs);
    io.write(offset + at * bs, block.data(), bs);
  }

  std::vector<unsigned char> super = c.super;
  unsigned char* sb = super.data();
  const auto maxVolumes = static_cast<std::uint32_t>(
      std::min<std::uint64_t>(kMaxVolumes, (newBlocks * bs + 512 * MiB - 1) / (512 * MiB)));
  for (std::uint32_t i = maxVolumes; i < kMaxVolumes; ++i)
    if (get64(sb + kFsOids + 8 * i) != 0) refuse("the new size allows fewer volumes than the container holds");
  put64(sb + kXid, xid);
  put64(sb + kNextXid, xid + 1);
  put64(sb + kBlockCount, newBlocks);
  put32(sb + kMaxFileSystems, maxVolumes);
  put32(sb + kDescIndex, descIndex);
  put32(sb + kDescLen, mapBlocks + 1);
  put32(sb + kDescNext, (descIndex + mapBlocks + 1) % c.descBlocks);
  put32(sb + kDataIndex, dataIndex);
  put32(sb + kDataLen, dataLen);
  put32(sb + kDataNext, (dataIndex + dataLen) % c.dataBlocks);
  seal(sb, bs);
  // The checkpoint's superblock commits the resize; block zero follows it.
  io.write(offset + (c.descBase + (descIndex + mapBlocks) % c.descBlocks) * bs, sb, bs);
  io.write(offset, sb, bs);
}

}  // namespace quorbel::imagetool::apfs
