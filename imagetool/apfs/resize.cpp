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
  std::uint64_t bpc = 0;
  std::uint32_t blockSize = 0;
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
  // The last block in use below `end` that `ignore` does not pass over, if any.
  template <typename Ignore>
  std::optional<std::uint64_t> lastUsed(std::uint64_t end, const Ignore& ignore) const {
    for (std::uint64_t chunk = (end + bpc - 1) / bpc; chunk-- > 0;) {
      if (chunks[chunk].empty()) continue;
      for (std::uint64_t b = std::min(end, (chunk + 1) * bpc); b-- > chunk * bpc;)
        if (test(b) && !ignore(b)) return b;
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

// Where the variable part of a space manager goes when each pool bitmap is `k` blocks: the pool
// bitmaps' transaction ids, the ring slots of the current bitmap, the ring's free-next links, then
// the chunk-info (or chunk-info address) block addresses.
struct Tail {
  std::uint32_t xids, slots, freeNext, addresses;
};
Tail tailFor(std::uint32_t base, std::uint64_t k) {
  Tail t{};
  t.xids = base;
  t.slots = static_cast<std::uint32_t>(base + 8 * k);
  t.freeNext = static_cast<std::uint32_t>(t.slots + (2 * k + 7) / 8 * 8);
  t.addresses = static_cast<std::uint32_t>(t.freeNext + 2 * 16 * k);
  return t;
}

// The space manager's shape for a container of `blocks` blocks. The internal pool holds three blocks
// per chunk, chunk-info block and address block, as Apple's containers (and apfsck) have it; its bitmap
// takes as many blocks as that needs, in a ring of 16 such bitmaps. Chunk-info addresses go in the space
// manager block itself while they fit, else in chunk-info address blocks.
struct Shape {
  std::uint64_t chunks = 0, cibs = 0, cabs = 0, ipCount = 0, k = 0;
  Tail tail{};
};
Shape shapeFor(std::uint32_t bs, std::uint64_t blocks, std::uint32_t tailBase) {
  const std::uint64_t bpc = bs * 8ull, cpc = (bs - kCibEntries) / kChunkInfoSize, perCab = (bs - kCabEntries) / 8;
  Shape s;
  s.chunks = (blocks + bpc - 1) / bpc;
  s.cibs = (s.chunks + cpc - 1) / cpc;
  for (const std::uint64_t cabs : {std::uint64_t{0}, (s.cibs + perCab - 1) / perCab}) {
    s.cabs = cabs;
    s.ipCount = 3 * (s.chunks + s.cibs + s.cabs);
    s.k = (s.ipCount + bpc - 1) / bpc;
    s.tail = tailFor(tailBase, s.k);
    if (std::uint64_t{s.tail.addresses} + 8 * ((cabs != 0 ? cabs : s.cibs) + 1) <= bs && 16 * s.k <= 0xFFFF) return s;
  }
  refuse("the new size needs a space manager larger than one block");
}

// The internal pool's free queue in `spaceman` emptied: the pool blocks it holds (earlier copies of
// space-manager structures, kept for earlier checkpoints) are free once the new checkpoint stands, and
// the new pool bitmap marks only what the new checkpoint uses. The queue's tree becomes an empty root;
// the mappings of its other nodes are dropped from `mappings`. Returns the root's object id and bytes.
std::pair<std::uint64_t, std::vector<unsigned char>> emptyPoolFreeQueue(const Container& c,
                                                                        std::vector<unsigned char>& spaceman,
                                                                        std::vector<Mapping>& mappings) {
  unsigned char* queue = spaceman.data() + kSmFreeQueues + kFqIp * kSmFreeQueueSize;
  const std::uint64_t rootOid = le64(queue + kFqTreeOid);
  auto node = [&](std::uint64_t oid) {
    for (const Mapping& m : mappings)
      if (m.oid == oid) return readObject(c, m.paddr, m.size, m.type & kTypeMask, "pool free queue");
    refuse("its internal pool's free queue is missing from the checkpoint");
  };
  std::vector<unsigned char> root = node(rootOid);
  const std::size_t size = root.size();
  const std::uint32_t keySize = le32(root.data() + size - kTreeInfoSize + 8),
                      valueSize = le32(root.data() + size - kTreeInfoSize + 12);
  if (keySize == 0 || valueSize == 0) refuse("its internal pool's free queue is damaged");
  std::set<std::uint64_t> drop;
  std::vector<std::uint64_t> pending{rootOid};
  while (!pending.empty()) {
    const std::vector<unsigned char> n = node(pending.back());
    pending.pop_back();
    const BtreeNode decoded = BtreeNode::decode(n.data(), n.size(), keySize, valueSize);
    if (decoded.leaf()) continue;
    for (const auto& [key, value] : decoded.entries)
      if (const std::uint64_t child = le64(n.data() + value.at); drop.insert(child).second) pending.push_back(child);
  }
  std::erase_if(mappings, [&](const Mapping& m) { return drop.count(m.oid) != 0; });

  const std::size_t tocLength = (size - kNodeData) / (keySize + valueSize + 4) * 4;
  std::fill(root.begin() + kNodeFlags, root.end() - static_cast<std::ptrdiff_t>(kTreeInfoSize), 0);
  putLe16(root.data() + kNodeFlags, kNodeRoot | kNodeLeaf | kNodeFixed);
  putLe16(root.data() + kNodeTable + 2, static_cast<std::uint16_t>(tocLength));
  putLe16(root.data() + 0x2E, static_cast<std::uint16_t>(size - kNodeData - tocLength - kTreeInfoSize));
  putLe16(root.data() + 0x30, 0xFFFF);  // no free keys
  putLe16(root.data() + 0x34, 0xFFFF);  // no free values
  unsigned char* info = root.data() + size - kTreeInfoSize;
  putLe64(info + 24, 0);  // key count
  putLe64(info + 32, 1);  // node count: the root
  putLe64(queue + kFqCount, 0);
  putLe64(queue + kFqOldestXid, 0);
  return {rootOid, root};
}

// Completes a checkpoint whose block zero was not written: the pool bitmap ring blocks other than the
// current ones are cleared, then block zero takes the checkpoint's superblock.
void finishCheckpoint(ImageIO& io, const Container& c) {
  const std::uint32_t bs = c.blockSize, ring = c.ipBmBlockCount;
  if (ring == 0 || c.sm.ipBitmapOffset + 2ull * c.ipBmSizeInBlocks > bs)
    throw ToolError("the APFS container's pool bitmap ring is damaged");
  std::vector<bool> current(ring, false);
  for (std::uint32_t j = 0; j < c.ipBmSizeInBlocks; ++j) {
    const std::uint16_t slot = le16(c.spaceman.data() + c.sm.ipBitmapOffset + 2 * j);
    if (slot < ring) current[slot] = true;
  }
  const std::vector<unsigned char> zeros(bs, 0);
  for (std::uint32_t i = 0; i < ring; ++i)
    if (!current[i]) io.write(c.offset + (c.ipBmBase + i) * bs, zeros.data(), bs);
  io.write(c.offset, c.super.data(), bs);
}

// The new layout, worked out from the container as read; nothing is written while it is made.
struct Plan {
  std::uint64_t newBlocks = 0;
  std::uint32_t tailBase = 0;
  Shape shape;
  Bits bits;  // the allocation at the new size, the new pool and ring included
  std::uint64_t ipBase = 0, ringBase = 0;
  bool ringKept = false;
  std::vector<std::size_t> usedChunks;  // the chunks that get a bitmap
  std::vector<std::uint64_t> slots;     // pool blocks for those bitmaps, then chunk-info and address blocks
};

bool inOldPool(const Container& c, std::uint64_t b) {
  return (b >= c.ipBase && b < c.ipBase + c.ipBlockCount) || (b >= c.ipBmBase && b < c.ipBmBase + c.ipBmBlockCount);
}

Bits currentAllocation(const Container& c) {
  Bits bits{c.blockSize * 8ull, c.blockSize, {}};
  bits.chunks.resize(c.chunks.size());
  for (std::size_t i = 0; i < c.chunks.size(); ++i)
    if (c.chunks[i].bitmapAddr != 0) bits.chunks[i] = c.block(c.chunks[i].bitmapAddr);
  return bits;
}

// The internal pool and its bitmap ring are laid out afresh, so only other blocks in use hold a
// shrink back.
void checkShrink(const Container& c, const Bits& bits, std::uint64_t newBlocks) {
  if (newBlocks >= c.blockCount) return;
  const auto used = bits.lastUsed(c.blockCount, [&](std::uint64_t b) { return inOldPool(c, b); });
  if (used && *used >= newBlocks) {
    const std::uint64_t minimum = (*used + 1) * c.blockSize;
    throw ShrinkRefused("cannot shrink the APFS container: block " + std::to_string(*used) +
                            " past the new end is in use; the container needs at least " + std::to_string(minimum) +
                            " bytes",
                        minimum);
  }
  if (newBlocks < 32768) refuse("an APFS container needs at least 128 MB");
}

// The first run of `count` blocks below the new end that is free now and outside the old pool and ring.
std::optional<std::uint64_t> findFreeRun(const Container& c, const Plan& p, std::uint64_t count) {
  const std::uint64_t bpc = p.bits.bpc, ipEnd = c.ipBase + c.ipBlockCount, ringEnd = c.ipBmBase + c.ipBmBlockCount;
  std::uint64_t start = 0, run = 0;
  for (std::uint64_t b = 0; b < p.newBlocks;) {
    const std::uint64_t chunkEnd = std::min(p.newBlocks, (b / bpc + 1) * bpc);
    const bool clearChunk = b % bpc == 0 && p.bits.chunks[b / bpc].empty() && (chunkEnd <= c.ipBase || b >= ipEnd) &&
                            (chunkEnd <= c.ipBmBase || b >= ringEnd);
    if (clearChunk) {
      run += chunkEnd - b;
      b = chunkEnd;
    } else if (p.bits.test(b) || inOldPool(c, b)) {
      run = 0;
      start = ++b;
    } else {
      ++run;
      ++b;
    }
    if (run >= count) return start;
  }
  return std::nullopt;
}

// The blocks of the current space manager (bitmaps, chunk-info and address blocks): never reused.
std::set<std::uint64_t> liveStructures(const Container& c) {
  std::set<std::uint64_t> live(c.cibAddrs.begin(), c.cibAddrs.end());
  live.insert(c.cabAddrs.begin(), c.cabAddrs.end());
  for (const Chunk& chunk : c.chunks)
    if (chunk.bitmapAddr != 0) live.insert(chunk.bitmapAddr);
  return live;
}

// The pool stays where it is when it fits there with room for the new structures beside the live
// ones; otherwise it moves to a run of blocks free now.
void placePool(const Container& c, Plan& p, const std::set<std::uint64_t>& live) {
  const Shape& shape = p.shape;
  std::uint64_t usedChunksNow = 0;
  for (const auto& chunk : p.bits.chunks) usedChunksNow += chunk.empty() ? 0 : 1;
  // At most this many pool blocks hold the new space manager (the pool and ring may touch new chunks).
  const std::uint64_t bound = usedChunksNow + (shape.ipCount + 16 * shape.k) / p.bits.bpc + 4 + shape.cibs + shape.cabs;
  bool inPlace = c.ipBase + shape.ipCount <= p.newBlocks;
  for (std::uint64_t b = c.ipBase; inPlace && b < c.ipBase + shape.ipCount; ++b)
    if (b >= c.ipBase + c.ipBlockCount && (p.bits.test(b) || inOldPool(c, b))) inPlace = false;
  std::uint64_t room = 0;
  for (std::uint64_t b = c.ipBase; inPlace && b < c.ipBase + shape.ipCount && room < bound; ++b)
    room += live.count(b) ? 0 : 1;
  p.ipBase = c.ipBase;
  if (!inPlace || room < bound) {
    const auto run = findFreeRun(c, p, shape.ipCount);
    if (!run) refuse("there is no free run of " + std::to_string(shape.ipCount) + " blocks for its internal pool");
    p.ipBase = *run;
  }
  for (std::uint64_t b = c.ipBase; b < c.ipBase + c.ipBlockCount; ++b) p.bits.set(b, false);
  for (std::uint64_t b = p.ipBase; b < p.ipBase + shape.ipCount; ++b) p.bits.set(b, true);
}

// The ring of pool bitmaps stays when its size does and it fits; otherwise it moves to free blocks.
void placeRing(const Container& c, Plan& p) {
  const std::uint64_t ringCount = 16 * p.shape.k, oldRingEnd = c.ipBmBase + c.ipBmBlockCount;
  p.ringKept = p.shape.k == c.ipBmSizeInBlocks && oldRingEnd <= p.newBlocks;
  p.ringBase = c.ipBmBase;
  if (p.ringKept) return;
  const auto run = findFreeRun(c, p, ringCount);
  if (!run) refuse("there is no free run of " + std::to_string(ringCount) + " blocks for its pool bitmaps");
  p.ringBase = *run;
  for (std::uint64_t b = c.ipBmBase; b < oldRingEnd; ++b) p.bits.set(b, false);
  for (std::uint64_t b = p.ringBase; b < p.ringBase + ringCount; ++b) p.bits.set(b, true);
}

// Pool blocks, not used by the current space manager, for the chunk bitmaps and chunk-info blocks.
void takePoolSlots(Plan& p, const std::set<std::uint64_t>& live) {
  for (std::size_t i = 0; i < p.shape.chunks; ++i)
    if (!p.bits.chunkEmpty(i)) p.usedChunks.push_back(i);
  const std::uint64_t needed = p.usedChunks.size() + p.shape.cibs + p.shape.cabs;
  for (std::uint64_t b = p.ipBase; b < p.ipBase + p.shape.ipCount && p.slots.size() < needed; ++b)
    if (!live.count(b)) p.slots.push_back(b);
  if (p.slots.size() < needed) refuse("its internal pool has no room for the space manager of the new size");
}

// One volume per 512 MiB begun, at most 100.
std::uint32_t maxVolumesFor(const Container& c, std::uint64_t newBlocks) {
  return static_cast<std::uint32_t>(
      std::min<std::uint64_t>(kMaxVolumes, (newBlocks * c.blockSize + 512 * MiB - 1) / (512 * MiB)));
}

Plan planResize(const Container& c, std::uint64_t newBlocks) {
  for (std::uint32_t i = maxVolumesFor(c, newBlocks); i < kMaxVolumes; ++i)
    if (le64(c.super.data() + kFsOids + 8 * i) != 0)
      refuse("the new size allows fewer volumes than the container holds");
  if (c.ipBmSizeInBlocks == 0 || c.ipBmBlockCount != 16 * c.ipBmSizeInBlocks)
    refuse("its internal pool's bitmaps are laid out in a way this tool does not rewrite");
  Plan p;
  p.newBlocks = newBlocks;
  p.bits = currentAllocation(c);
  checkShrink(c, p.bits, newBlocks);
  p.tailBase = (c.sm.flags & kSmFlagVersioned) != 0 ? (c.sm.structSize + 7) / 8 * 8 : kSmUnversionedEnd;
  p.shape = shapeFor(c.blockSize, newBlocks, p.tailBase);
  p.bits.chunks.resize(std::max<std::uint64_t>(p.bits.chunks.size(), p.shape.chunks));
  const std::set<std::uint64_t> live = liveStructures(c);
  placePool(c, p, live);
  placeRing(c, p);
  p.bits.chunks.resize(p.shape.chunks);
  takePoolSlots(p, live);
  return p;
}

// What the writing steps produce for the new space manager.
struct Written {
  std::vector<std::uint64_t> cibAddrs, cabAddrs;
  std::uint64_t freeTotal = 0;
  std::vector<unsigned char> ipBitmap;  // the new pool bitmap, k blocks
  std::vector<std::uint32_t> current;   // its ring slots
  std::uint16_t head = 0, tail = 0;     // the ring's free list
  std::vector<std::uint64_t> clearLater;
};

// Writes the chunk bitmaps and the chunk-info (and address) blocks into the pool slots, in order.
class SpacemanWriter {
 public:
  SpacemanWriter(ImageIO& io, const Container& c, const Plan& p, Written& out)
      : io_(io), c_(c), p_(p), out_(out), xid_(c.xid + 1) {
    out_.ipBitmap.assign(p.shape.k * c.blockSize, 0);
  }

  void writeAll() {
    std::vector<std::uint64_t> bitmapAddr(p_.shape.chunks, 0);
    for (std::size_t i : p_.usedChunks) {
      bitmapAddr[i] = takeSlot();
      io_.write(c_.offset + bitmapAddr[i] * c_.blockSize, p_.bits.chunks[i].data(), c_.blockSize);
    }
    const std::uint64_t bs = c_.blockSize, bpc = p_.bits.bpc, cpc = (bs - kCibEntries) / kChunkInfoSize,
                        perCab = (bs - kCabEntries) / 8;
    for (std::uint64_t cib = 0; cib < p_.shape.cibs; ++cib) {
      const std::uint64_t first = cib * cpc, count = std::min(cpc, p_.shape.chunks - first);
      out_.cibAddrs.push_back(writeListBlock(kTypeCib, kCibIndex, kCibCount, cib, count, [&](unsigned char* b, auto j) {
        const std::uint64_t chunk = first + j, blocks = std::min(bpc, p_.newBlocks - chunk * bpc);
        const std::uint64_t free = blocks - p_.bits.usedIn(chunk);
        out_.freeTotal += free;
        unsigned char* e = b + kCibEntries + kChunkInfoSize * j;
        putLe64(e, xid_);
        putLe64(e + 8, chunk * bpc);
        putLe32(e + 16, static_cast<std::uint32_t>(blocks));
        putLe32(e + 20, static_cast<std::uint32_t>(free));
        putLe64(e + 24, bitmapAddr[chunk]);
      }));
    }
    for (std::uint64_t cab = 0; cab < p_.shape.cabs; ++cab) {
      const std::uint64_t first = cab * perCab, count = std::min(perCab, p_.shape.cibs - first);
      out_.cabAddrs.push_back(writeListBlock(kTypeCab, kCabIndex, kCabCount, cab, count, [&](unsigned char* b, auto j) {
        putLe64(b + kCabEntries + 8 * j, out_.cibAddrs[first + j]);
      }));
    }
  }

 private:
  std::uint64_t takeSlot() {
    const std::uint64_t b = p_.slots[next_++], i = b - p_.ipBase;
    out_.ipBitmap[i / 8] = static_cast<unsigned char>(out_.ipBitmap[i / 8] | 1u << (i % 8));
    return b;
  }
  // Chunk-info blocks and the address blocks that list them share one frame: header, own index, entry
  // count, entries, checksum. Returns the block's address.
  template <typename PutEntry>
  std::uint64_t writeListBlock(std::uint32_t type, std::size_t indexAt, std::size_t countAt, std::uint64_t index,
                               std::uint64_t count, const PutEntry& putEntry) {
    const std::uint64_t at = takeSlot();
    std::vector<unsigned char> block(c_.blockSize, 0);
    putLe64(block.data() + kOid, at);
    putLe64(block.data() + kXid, xid_);
    putLe32(block.data() + kType, kPhysical | type);
    putLe32(block.data() + indexAt, static_cast<std::uint32_t>(index));
    putLe32(block.data() + countAt, static_cast<std::uint32_t>(count));
    for (std::uint64_t j = 0; j < count; ++j) putEntry(block.data(), j);
    seal(block.data(), c_.blockSize);
    io_.write(c_.offset + at * c_.blockSize, block.data(), c_.blockSize);
    return at;
  }

  ImageIO& io_;
  const Container& c_;
  const Plan& p_;
  Written& out_;
  std::uint64_t xid_;
  std::size_t next_ = 0;
};

// The pool bitmap takes the next k slots of its ring (the slots in use until now stay in use as the
// previous bitmap), or the first k of a new ring. Ring blocks that are not current must read as an
// empty bitmap; those the current checkpoint still uses are cleared only once the new one is written.
void writePoolBitmapRing(ImageIO& io, const Container& c, const Plan& p, Written& w) {
  const auto ringSize = static_cast<std::uint32_t>(16 * p.shape.k);
  const std::uint32_t bs = c.blockSize;
  std::uint32_t head = 0, tail = ringSize - 1;
  if (p.ringKept) {
    head = c.sm.ipBmFreeHead;
    tail = c.sm.ipBmFreeTail;
    if (head >= ringSize || tail >= ringSize) refuse("its internal pool bitmap ring is damaged");
  }
  for (std::uint64_t j = 0; j < p.shape.k; ++j) w.current.push_back(static_cast<std::uint32_t>((head + j) % ringSize));
  for (std::uint64_t j = 0; j < p.shape.k; ++j)
    io.write(c.offset + (p.ringBase + w.current[j]) * bs, w.ipBitmap.data() + j * bs, bs);
  w.head = static_cast<std::uint16_t>(p.ringKept ? (head + p.shape.k) % ringSize : p.shape.k);
  w.tail = static_cast<std::uint16_t>(p.ringKept ? (tail + p.shape.k) % ringSize : ringSize - 1);
  const std::vector<unsigned char> zeros(bs, 0);
  const std::uint16_t oldHead = c.sm.ipBmFreeHead;
  for (std::uint32_t i = 0; i < ringSize; ++i) {
    if (std::find(w.current.begin(), w.current.end(), i) != w.current.end()) continue;
    const bool oldFree = p.ringKept && (ringSize + i - oldHead) % ringSize < (ringSize + tail - oldHead) % ringSize;
    if (p.ringKept && !oldFree)
      w.clearLater.push_back(p.ringBase + i);
    else
      io.write(c.offset + (p.ringBase + i) * bs, zeros.data(), bs);
  }
}

// The space manager of the new size: its variable tail laid out afresh, then its fixed fields.
std::vector<unsigned char> newSpaceman(const Container& c, const Plan& p, const Written& w) {
  std::vector<unsigned char> spaceman = c.spaceman;
  unsigned char* s = spaceman.data();
  const std::uint64_t xid = c.xid + 1;
  const auto ringSize = static_cast<std::uint32_t>(16 * p.shape.k);
  const std::uint32_t freeLength = (ringSize + w.tail - w.head) % ringSize;
  std::memset(s + p.tailBase, 0, c.blockSize - p.tailBase);
  const Tail& t = p.shape.tail;
  for (std::uint64_t j = 0; j < p.shape.k; ++j) {
    putLe64(s + t.xids + 8 * j, xid);
    putLe16(s + t.slots + 2 * j, static_cast<std::uint16_t>(w.current[j]));
  }
  for (std::uint32_t i = 0; i < ringSize; ++i)
    putLe16(s + t.freeNext + 2 * i,
            (ringSize + i - w.head) % ringSize < freeLength ? static_cast<std::uint16_t>((i + 1) % ringSize) : 0xFFFF);
  const std::vector<std::uint64_t>& addresses = p.shape.cabs != 0 ? w.cabAddrs : w.cibAddrs;
  for (std::size_t i = 0; i < addresses.size(); ++i) putLe64(s + t.addresses + 8 * i, addresses[i]);
  putLe32(s + kSmIpBmXidOffset, t.xids);
  putLe32(s + kSmIpBitmapOffset, t.slots);
  putLe32(s + kSmIpBmFreeNextOffset, t.freeNext);
  putLe16(s + kSmIpBmFreeHead, w.head);
  putLe16(s + kSmIpBmFreeTail, w.tail);
  putLe32(s + kSmIpBmSizeInBlocks, static_cast<std::uint32_t>(p.shape.k));
  putLe32(s + kSmIpBmBlockCount, ringSize);
  putLe64(s + kSmIpBmBase, p.ringBase);
  putLe64(s + kSmIpBase, p.ipBase);
  putLe64(s + kSmIpBlockCount, p.shape.ipCount);
  unsigned char* dev = s + kSmDevMain;
  putLe64(dev + kDevBlockCount, p.newBlocks);
  putLe64(dev + kDevChunkCount, p.shape.chunks);
  putLe32(dev + kDevCibCount, static_cast<std::uint32_t>(p.shape.cibs));
  putLe32(dev + kDevCabCount, static_cast<std::uint32_t>(p.shape.cabs));
  putLe64(dev + kDevFreeCount, w.freeTotal);
  putLe32(dev + kDevAddrOffset, t.addresses);
  putLe32(s + kSmDevTier2 + kDevAddrOffset, static_cast<std::uint32_t>(t.addresses + 8 * addresses.size()));
  unsigned char* ipQueue = s + kSmFreeQueues + kFqIp * kSmFreeQueueSize;
  unsigned char* mainQueue = s + kSmFreeQueues + kFqMain * kSmFreeQueueSize;
  putLe16(ipQueue + kFqNodeLimit, ipFreeQueueLimit(p.shape.chunks));
  const std::uint16_t mainLimit = mainFreeQueueLimit(p.newBlocks);
  putLe16(mainQueue + kFqNodeLimit,
          le64(mainQueue + kFqCount) == 0 ? mainLimit : std::max(le16(mainQueue + kFqNodeLimit), mainLimit));
  return spaceman;
}

// Where the new checkpoint's pieces went.
struct NewCheckpoint {
  std::vector<Mapping> mappings;
  std::uint32_t dataIndex = 0, dataLen = 0, descIndex = 0, mapBlocks = 0;
};

// Every ephemeral object written again for the new transaction, after the current checkpoint's data
// in its ring.
NewCheckpoint writeEphemeralObjects(ImageIO& io, const Container& c, std::vector<unsigned char> spaceman) {
  NewCheckpoint n;
  n.mappings = c.mappings;
  std::pair<std::uint64_t, std::vector<unsigned char>> queueRoot;
  if (c.sm.ipQueueCount != 0) queueRoot = emptyPoolFreeQueue(c, spaceman, n.mappings);
  const std::uint64_t spacemanOid = c.mappings[c.spacemanMapping].oid;
  std::uint32_t dataPos = (c.dataIndex + c.dataLen) % c.dataBlocks;
  n.dataIndex = dataPos;
  for (Mapping& m : n.mappings) {
    std::vector<unsigned char> object;
    if (m.oid == spacemanOid) {
      object = spaceman;
    } else if (!queueRoot.second.empty() && m.oid == queueRoot.first) {
      object = queueRoot.second;
    } else {
      object.resize(m.size);
      c.readBlocks(m.paddr, object.data(), m.size / c.blockSize);
    }
    const std::uint32_t blocks = m.size / c.blockSize;
    if (dataPos + blocks > c.dataBlocks) refuse("its checkpoint data area has no contiguous room for an object");
    putLe64(object.data() + kXid, c.xid + 1);
    seal(object.data(), object.size());
    m.paddr = c.dataBase + dataPos;
    io.write(c.offset + m.paddr * c.blockSize, object.data(), object.size());
    dataPos = (dataPos + blocks) % c.dataBlocks;
    n.dataLen += blocks;
  }
  if (n.dataLen + c.dataLen > c.dataBlocks) refuse("its checkpoint data area is too small for a second checkpoint");
  return n;
}

// The checkpoint map blocks listing the new mappings, after the current checkpoint's descriptors.
void writeCheckpointMaps(ImageIO& io, const Container& c, NewCheckpoint& n) {
  const std::uint32_t bs = c.blockSize;
  const std::size_t perMap = (bs - kCpmEntries) / kCpmEntrySize;
  n.mapBlocks = static_cast<std::uint32_t>(std::max<std::size_t>(1, (n.mappings.size() + perMap - 1) / perMap));
  if (n.mapBlocks + 1 + c.descLen > c.descBlocks)
    refuse("its checkpoint descriptor area is too small for a second checkpoint");
  n.descIndex = (c.descIndex + c.descLen) % c.descBlocks;
  for (std::uint32_t m = 0; m < n.mapBlocks; ++m) {
    std::vector<unsigned char> block(bs, 0);
    const std::uint64_t at = c.descBase + (n.descIndex + m) % c.descBlocks;
    const std::size_t first = m * perMap, count = std::min(perMap, n.mappings.size() - first);
    putLe64(block.data() + kOid, at);
    putLe64(block.data() + kXid, c.xid + 1);
    putLe32(block.data() + kType, kPhysical | kTypeCheckpointMap);
    putLe32(block.data() + kCpmFlags, m + 1 == n.mapBlocks ? kCpmLast : 0);
    putLe32(block.data() + kCpmCount, static_cast<std::uint32_t>(count));
    for (std::size_t j = 0; j < count; ++j) {
      const Mapping& e = n.mappings[first + j];
      unsigned char* p = block.data() + kCpmEntries + j * kCpmEntrySize;
      putLe32(p, e.type);
      putLe32(p + 4, e.subtype);
      putLe32(p + 8, e.size);
      putLe64(p + 16, e.fsOid);
      putLe64(p + 24, e.oid);
      putLe64(p + 32, e.paddr);
    }
    seal(block.data(), bs);
    io.write(c.offset + at * bs, block.data(), bs);
  }
}

// The checkpoint's superblock of the new size.
std::vector<unsigned char> newSuperblock(const Container& c, const Plan& p, const NewCheckpoint& n) {
  std::vector<unsigned char> super = c.super;
  unsigned char* sb = super.data();
  const std::uint64_t xid = c.xid + 1;
  putLe64(sb + kXid, xid);
  putLe64(sb + kNextXid, xid + 1);
  putLe64(sb + kBlockCount, p.newBlocks);
  putLe32(sb + kMaxFileSystems, maxVolumesFor(c, p.newBlocks));
  putLe32(sb + kDescIndex, n.descIndex);
  putLe32(sb + kDescLen, n.mapBlocks + 1);
  putLe32(sb + kDescNext, (n.descIndex + n.mapBlocks + 1) % c.descBlocks);
  putLe32(sb + kDataIndex, n.dataIndex);
  putLe32(sb + kDataLen, n.dataLen);
  putLe32(sb + kDataNext, (n.dataIndex + n.dataLen) % c.dataBlocks);
  seal(sb, c.blockSize);
  return super;
}

}  // namespace

void resizeContainer(ImageIO& io, std::uint64_t offset, std::uint64_t newLength) {
  // A resize cut short after its checkpoint was written leaves block zero behind; that checkpoint is
  // what a Mac mounts, and it is what this resize starts from.
  const Container c = readContainer(io, offset, false);
  const std::uint64_t newBlocks = newLength / c.blockSize;
  if (newBlocks == c.blockCount) {
    if (c.staleBlockZero) finishCheckpoint(io, c);
    return;
  }
  if (offset + newBlocks * c.blockSize > io.size()) refuse("the new size reaches past the end of its partition");
  const Plan plan = planResize(c, newBlocks);

  // Nothing the current checkpoint uses is written over until its successor's superblock is written.
  Written written;
  SpacemanWriter(io, c, plan, written).writeAll();
  writePoolBitmapRing(io, c, plan, written);
  NewCheckpoint checkpoint = writeEphemeralObjects(io, c, newSpaceman(c, plan, written));
  writeCheckpointMaps(io, c, checkpoint);
  const std::vector<unsigned char> super = newSuperblock(c, plan, checkpoint);
  // The checkpoint's superblock commits the resize; then the previous pool bitmap is cleared and
  // block zero written.
  const std::uint32_t bs = c.blockSize;
  io.write(offset + (c.descBase + (checkpoint.descIndex + checkpoint.mapBlocks) % c.descBlocks) * bs, super.data(), bs);
  const std::vector<unsigned char> zeros(bs, 0);
  for (std::uint64_t b : written.clearLater) io.write(offset + b * bs, zeros.data(), bs);
  io.write(offset, super.data(), bs);
}

}  // namespace quorbel::imagetool::apfs
