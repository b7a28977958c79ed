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

// Empties the internal pool's free queue in `spaceman`: the pool blocks it holds (earlier copies of
// space-manager structures, kept for earlier checkpoints) are free once the new checkpoint stands, and
// the new pool bitmap marks only what the new checkpoint uses. The queue's tree becomes an empty root;
// the mappings of its other nodes are dropped from `mappings`.
// Returns the root's object id and its new bytes.
std::pair<std::uint64_t, std::vector<unsigned char>> emptyPoolFreeQueue(const Container& c,
                                                                        std::vector<unsigned char>& spaceman,
                                                                        std::vector<Mapping>& mappings) {
  unsigned char* queue = spaceman.data() + kSmFreeQueues + kFqIp * kSmFreeQueueSize;
  const std::uint64_t rootOid = get64(queue + 8);
  auto find = [&](std::uint64_t oid) -> const Mapping& {
    for (const Mapping& m : mappings)
      if (m.oid == oid) return m;
    refuse("its internal pool's free queue is missing from the checkpoint");
  };
  auto node = [&](std::uint64_t oid) {
    const Mapping& m = find(oid);
    std::vector<unsigned char> data(m.size);
    c.readBlocks(m.paddr, data.data(), m.size / c.blockSize);
    return data;
  };
  constexpr std::uint16_t kRoot = 1, kLeaf = 2, kFixed = 4;
  constexpr std::size_t kInfoSize = 40, kNodeHeader = 0x38;
  std::vector<unsigned char> root = node(rootOid);
  const std::size_t size = root.size();
  std::set<std::uint64_t> drop;
  std::vector<std::uint64_t> pending{rootOid};
  while (!pending.empty()) {
    const std::vector<unsigned char> n = node(pending.back());
    pending.pop_back();
    const std::uint16_t flags = get16(n.data() + 0x20);
    if ((flags & kLeaf) != 0) continue;
    const std::uint32_t keys = get32(n.data() + 0x24);
    const std::size_t toc = kNodeHeader + get16(n.data() + 0x28);
    const std::size_t valuesEnd = n.size() - ((flags & kRoot) != 0 ? kInfoSize : 0);
    for (std::uint32_t i = 0; i < keys; ++i) {
      const std::size_t entry = toc + ((flags & kFixed) != 0 ? 4 * i + 2 : 8 * i + 4);
      if (entry + 2 > n.size()) refuse("its internal pool's free queue is damaged");
      const std::uint16_t valueOffset = get16(n.data() + entry);
      if (valueOffset < 8 || valueOffset > valuesEnd) refuse("its internal pool's free queue is damaged");
      const std::uint64_t child = get64(n.data() + valuesEnd - valueOffset);
      if (drop.insert(child).second) pending.push_back(child);
    }
  }
  std::erase_if(mappings, [&](const Mapping& m) { return drop.count(m.oid) != 0; });

  const std::uint32_t keySize = get32(root.data() + size - kInfoSize + 8),
                      valueSize = get32(root.data() + size - kInfoSize + 12);
  if (keySize == 0 || valueSize == 0) refuse("its internal pool's free queue is damaged");
  const std::size_t tocLength = (size - kNodeHeader) / (keySize + valueSize + 4) * 4;
  std::fill(root.begin() + 0x20, root.end() - static_cast<std::ptrdiff_t>(kInfoSize), 0);
  put16(root.data() + 0x20, kRoot | kLeaf | kFixed);
  put16(root.data() + 0x28, 0);
  put16(root.data() + 0x2A, static_cast<std::uint16_t>(tocLength));
  put16(root.data() + 0x2C, 0);
  put16(root.data() + 0x2E, static_cast<std::uint16_t>(size - kNodeHeader - tocLength - kInfoSize));
  put16(root.data() + 0x30, 0xFFFF);
  put16(root.data() + 0x34, 0xFFFF);
  unsigned char* info = root.data() + size - kInfoSize;
  put64(info + 24, 0);  // key count
  put64(info + 32, 1);  // node count: the root
  put64(queue + kFqCount, 0);
  put64(queue + 16, 0);  // oldest transaction
  return {rootOid, root};
}

// Completes a checkpoint whose block zero was not written: the pool bitmap ring blocks other than the
// current ones are cleared, then block zero takes the checkpoint's superblock.
void finishCheckpoint(ImageIO& io, const Container& c) {
  const unsigned char* sm = c.spaceman.data();
  const std::uint32_t bs = c.blockSize, ring = c.ipBmBlockCount;
  const std::uint32_t slots = get32(sm + kSmIpBitmapOffset);
  if (ring == 0 || slots + 2ull * c.ipBmSizeInBlocks > bs)
    throw ToolError("the APFS container's pool bitmap ring is damaged");
  std::vector<bool> current(ring, false);
  for (std::uint32_t j = 0; j < c.ipBmSizeInBlocks; ++j) {
    const std::uint16_t slot = get16(sm + slots + 2 * j);
    if (slot < ring) current[slot] = true;
  }
  const std::vector<unsigned char> zeros(bs, 0);
  for (std::uint32_t i = 0; i < ring; ++i)
    if (!current[i]) io.write(c.offset + (c.ipBmBase + i) * bs, zeros.data(), bs);
  io.write(c.offset, c.super.data(), bs);
}

}  // namespace

void resizeContainer(ImageIO& io, std::uint64_t offset, std::uint64_t newLength) {
  // A resize cut short after its checkpoint was written leaves block zero behind; that checkpoint is
  // what a Mac mounts, and it is what this resize starts from.
  const Container c = readContainer(io, offset, false);
  const std::uint32_t bs = c.blockSize;
  const std::uint64_t bpc = bs * 8ull;
  const std::uint64_t oldBlocks = c.blockCount, newBlocks = newLength / bs;
  if (newBlocks == oldBlocks) {
    if (c.staleBlockZero) finishCheckpoint(io, c);
    return;
  }
  if (offset + newBlocks * bs > io.size()) refuse("the new size reaches past the end of its partition");
  const unsigned char* sm = c.spaceman.data();
  if (c.ipBmSizeInBlocks == 0 || c.ipBmBlockCount != 16 * c.ipBmSizeInBlocks)
    refuse("its internal pool's bitmaps are laid out in a way this tool does not rewrite");

  // The allocation state at the new size, starting from the current one.
  Bits bits{bpc, bs, {}};
  bits.chunks.resize(c.chunks.size());
  for (std::size_t i = 0; i < c.chunks.size(); ++i)
    if (c.chunks[i].bitmapAddr != 0) bits.chunks[i] = c.block(c.chunks[i].bitmapAddr);
  // The internal pool and its bitmap ring are laid out afresh, so only other blocks in use hold a
  // shrink back.
  const std::uint64_t oldIpEnd = c.ipBase + c.ipBlockCount, oldRingEnd = c.ipBmBase + c.ipBmBlockCount;
  auto inOld = [&](std::uint64_t b) { return (b >= c.ipBase && b < oldIpEnd) || (b >= c.ipBmBase && b < oldRingEnd); };
  if (newBlocks < oldBlocks) {
    if (const auto used = bits.lastUsed(oldBlocks, inOld); used && *used >= newBlocks) {
      const std::uint64_t minimum = (*used + 1) * bs;
      throw ShrinkRefused("cannot shrink the APFS container: block " + std::to_string(*used) +
                              " past the new end is in use; the container needs at least " + std::to_string(minimum) +
                              " bytes",
                          minimum);
    }
    if (newBlocks < 32768) refuse("an APFS container needs at least 128 MB");
  }
  const std::uint32_t tailBase =
      (get32(sm + kSmFlags) & kSmFlagVersioned) != 0 ? (get32(sm + kSmStructSize) + 7) / 8 * 8 : kSmUnversionedEnd;
  const Shape shape = shapeFor(bs, newBlocks, tailBase);
  bits.chunks.resize(std::max<std::uint64_t>(bits.chunks.size(), shape.chunks));

  // Nothing the current checkpoint uses is written over: the pool and its bitmap ring stay where they
  // are when that is possible, and otherwise move to blocks free now.
  auto findRun = [&](std::uint64_t count) -> std::optional<std::uint64_t> {
    std::uint64_t start = 0, run = 0;
    for (std::uint64_t b = 0; b < newBlocks;) {
      const std::uint64_t chunkEnd = std::min(newBlocks, (b / bpc + 1) * bpc);
      const bool clearChunk = b % bpc == 0 && bits.chunks[b / bpc].empty() && (chunkEnd <= c.ipBase || b >= oldIpEnd) &&
                              (chunkEnd <= c.ipBmBase || b >= oldRingEnd);
      if (clearChunk) {
        run += chunkEnd - b;
        b = chunkEnd;
      } else if (bits.test(b) || inOld(b)) {
        run = 0;
        start = ++b;
      } else {
        ++run;
        ++b;
      }
      if (run >= count) return start;
    }
    return std::nullopt;
  };
  std::set<std::uint64_t> live(c.cibAddrs.begin(), c.cibAddrs.end());
  live.insert(c.cabAddrs.begin(), c.cabAddrs.end());
  for (const Chunk& chunk : c.chunks)
    if (chunk.bitmapAddr != 0) live.insert(chunk.bitmapAddr);
  std::uint64_t usedChunksNow = 0;
  for (std::size_t i = 0; i < bits.chunks.size(); ++i) usedChunksNow += bits.chunks[i].empty() ? 0 : 1;
  // At most this many pool blocks hold the new space manager (the pool and ring may touch new chunks).
  const std::uint64_t bound = usedChunksNow + (shape.ipCount + 16 * shape.k) / bpc + 4 + shape.cibs + shape.cabs;

  std::uint64_t ipBase = c.ipBase;
  bool inPlace = c.ipBase + shape.ipCount <= newBlocks;
  for (std::uint64_t b = c.ipBase; inPlace && b < c.ipBase + shape.ipCount; ++b)
    if (b >= oldIpEnd && (bits.test(b) || inOld(b))) inPlace = false;
  if (inPlace) {
    std::uint64_t room = 0;
    for (std::uint64_t b = c.ipBase; b < c.ipBase + shape.ipCount && room < bound; ++b) room += live.count(b) ? 0 : 1;
    inPlace = room >= bound;
  }
  if (!inPlace) {
    const auto run = findRun(shape.ipCount);
    if (!run) refuse("there is no free run of " + std::to_string(shape.ipCount) + " blocks for its internal pool");
    ipBase = *run;
  }
  for (std::uint64_t b = c.ipBase; b < oldIpEnd; ++b) bits.set(b, false);
  for (std::uint64_t b = ipBase; b < ipBase + shape.ipCount; ++b) bits.set(b, true);
  const std::uint64_t ringCount = 16 * shape.k;
  const bool ringKept = shape.k == c.ipBmSizeInBlocks && oldRingEnd <= newBlocks;
  std::uint64_t ringBase = c.ipBmBase;
  if (!ringKept) {
    const auto run = findRun(ringCount);
    if (!run) refuse("there is no free run of " + std::to_string(ringCount) + " blocks for its pool bitmaps");
    ringBase = *run;
    for (std::uint64_t b = c.ipBmBase; b < oldRingEnd; ++b) bits.set(b, false);
    for (std::uint64_t b = ringBase; b < ringBase + ringCount; ++b) bits.set(b, true);
  }
  bits.chunks.resize(shape.chunks);

  // Pool blocks for the chunk bitmaps, chunk-info blocks and address blocks.
  std::vector<std::size_t> usedChunks;
  for (std::size_t i = 0; i < shape.chunks; ++i)
    if (!bits.chunkEmpty(i)) usedChunks.push_back(i);
  const std::uint64_t needed = usedChunks.size() + shape.cibs + shape.cabs;
  std::vector<std::uint64_t> slots;
  for (std::uint64_t b = ipBase; b < ipBase + shape.ipCount && slots.size() < needed; ++b)
    if (!live.count(b)) slots.push_back(b);
  if (slots.size() < needed) refuse("its internal pool has no room for the space manager of the new size");

  const std::uint64_t xid = c.xid + 1;
  std::vector<unsigned char> ipBitmap(shape.k * bs, 0);
  std::size_t nextSlot = 0;
  auto takeSlot = [&]() {
    const std::uint64_t b = slots[nextSlot++], i = b - ipBase;
    ipBitmap[i / 8] = static_cast<unsigned char>(ipBitmap[i / 8] | 1u << (i % 8));
    return b;
  };
  std::vector<std::uint64_t> bitmapAddr(shape.chunks, 0);
  for (std::size_t i : usedChunks) {
    bitmapAddr[i] = takeSlot();
    io.write(offset + bitmapAddr[i] * bs, bits.chunks[i].data(), bs);
  }
  auto header = [&](std::vector<unsigned char>& block, std::uint64_t at, std::uint32_t type) {
    put64(block.data() + kOid, at);
    put64(block.data() + kXid, xid);
    put32(block.data() + kType, kPhysical | type);
  };
  // Chunk-info blocks and the address blocks that list them share one frame: header, own index, entry
  // count, entries, checksum. Returns the block's address.
  auto writeListBlock = [&](std::uint32_t type, std::size_t indexAt, std::size_t countAt, std::uint64_t index,
                            std::uint64_t count, const auto& putEntry) {
    const std::uint64_t at = takeSlot();
    std::vector<unsigned char> block(bs, 0);
    header(block, at, type);
    put32(block.data() + indexAt, static_cast<std::uint32_t>(index));
    put32(block.data() + countAt, static_cast<std::uint32_t>(count));
    for (std::uint64_t j = 0; j < count; ++j) putEntry(block.data(), j);
    seal(block.data(), bs);
    io.write(offset + at * bs, block.data(), bs);
    return at;
  };
  const std::uint64_t cpc = (bs - kCibEntries) / kChunkInfoSize, perCab = (bs - kCabEntries) / 8;
  std::vector<std::uint64_t> cibAddrs, cabAddrs;
  std::uint64_t freeTotal = 0;
  for (std::uint64_t cib = 0; cib < shape.cibs; ++cib) {
    const std::uint64_t first = cib * cpc, count = std::min(cpc, shape.chunks - first);
    cibAddrs.push_back(
        writeListBlock(kTypeCib, kCibIndex, kCibCount, cib, count, [&](unsigned char* b, std::uint64_t j) {
          const std::uint64_t chunk = first + j;
          const std::uint64_t blocks = std::min(bpc, newBlocks - chunk * bpc);
          const std::uint64_t free = blocks - bits.usedIn(chunk);
          freeTotal += free;
          unsigned char* e = b + kCibEntries + kChunkInfoSize * j;
          put64(e, xid);
          put64(e + 8, chunk * bpc);
          put32(e + 16, static_cast<std::uint32_t>(blocks));
          put32(e + 20, static_cast<std::uint32_t>(free));
          put64(e + 24, bitmapAddr[chunk]);
        }));
  }
  for (std::uint64_t cab = 0; cab < shape.cabs; ++cab) {
    const std::uint64_t first = cab * perCab, count = std::min(perCab, shape.cibs - first);
    cabAddrs.push_back(writeListBlock(
        kTypeCab, kCabIndex, kCabCount, cab, count,
        [&](unsigned char* b, std::uint64_t j) { put64(b + kCabEntries + 8 * j, cibAddrs[first + j]); }));
  }

  // The pool bitmap takes the next k slots of its ring (the slots in use until now stay in use as the
  // previous bitmap), or the first k of a new ring.
  const auto ringSize = static_cast<std::uint32_t>(ringCount);
  std::uint32_t head = 0, tail = ringSize - 1;
  if (ringKept) {
    head = get16(sm + kSmIpBmFreeHead);
    tail = get16(sm + kSmIpBmFreeTail);
    if (head >= ringSize || tail >= ringSize) refuse("its internal pool bitmap ring is damaged");
  }
  std::vector<std::uint32_t> current;
  for (std::uint64_t j = 0; j < shape.k; ++j) current.push_back(static_cast<std::uint32_t>((head + j) % ringSize));
  for (std::uint64_t j = 0; j < shape.k; ++j)
    io.write(offset + (ringBase + current[j]) * bs, ipBitmap.data() + j * bs, bs);
  const auto newHead = static_cast<std::uint16_t>(ringKept ? (head + shape.k) % ringSize : shape.k);
  const auto newTail = static_cast<std::uint16_t>(ringKept ? (tail + shape.k) % ringSize : ringSize - 1);
  const std::uint32_t freeLength = (ringSize + newTail - newHead) % ringSize;
  // Ring blocks that are not current must read as an empty bitmap; those the current checkpoint still
  // uses are cleared only once the new one is written.
  const std::vector<unsigned char> zeros(bs, 0);
  std::vector<std::uint64_t> clearLater;
  const std::uint16_t oldHead = get16(sm + kSmIpBmFreeHead);
  for (std::uint32_t i = 0; i < ringSize; ++i) {
    if (std::find(current.begin(), current.end(), i) != current.end()) continue;
    const bool oldFree = ringKept && (ringSize + i - oldHead) % ringSize < (ringSize + tail - oldHead) % ringSize;
    if (ringKept && !oldFree)
      clearLater.push_back(ringBase + i);
    else
      io.write(offset + (ringBase + i) * bs, zeros.data(), bs);
  }

  std::vector<unsigned char> spaceman = c.spaceman;
  unsigned char* s = spaceman.data();
  std::memset(s + tailBase, 0, bs - tailBase);
  const Tail& t = shape.tail;
  for (std::uint64_t j = 0; j < shape.k; ++j) {
    put64(s + t.xids + 8 * j, xid);
    put16(s + t.slots + 2 * j, static_cast<std::uint16_t>(current[j]));
  }
  for (std::uint32_t i = 0; i < ringSize; ++i)
    put16(s + t.freeNext + 2 * i,
          (ringSize + i - newHead) % ringSize < freeLength ? static_cast<std::uint16_t>((i + 1) % ringSize) : 0xFFFF);
  const std::vector<std::uint64_t>& addresses = shape.cabs != 0 ? cabAddrs : cibAddrs;
  for (std::size_t i = 0; i < addresses.size(); ++i) put64(s + t.addresses + 8 * i, addresses[i]);
  put32(s + kSmIpBmXidOffset, t.xids);
  put32(s + kSmIpBitmapOffset, t.slots);
  put32(s + kSmIpBmFreeNextOffset, t.freeNext);
  put16(s + kSmIpBmFreeHead, newHead);
  put16(s + kSmIpBmFreeTail, newTail);
  put32(s + kSmIpBmSizeInBlocks, static_cast<std::uint32_t>(shape.k));
  put32(s + kSmIpBmBlockCount, ringSize);
  put64(s + kSmIpBmBase, ringBase);
  put64(s + kSmIpBase, ipBase);
  put64(s + kSmIpBlockCount, shape.ipCount);

  unsigned char* dev = s + kSmDevMain;
  put64(dev + kDevBlockCount, newBlocks);
  put64(dev + kDevChunkCount, shape.chunks);
  put32(dev + kDevCibCount, static_cast<std::uint32_t>(shape.cibs));
  put32(dev + kDevCabCount, static_cast<std::uint32_t>(shape.cabs));
  put64(dev + kDevFreeCount, freeTotal);
  put32(dev + kDevAddrOffset, t.addresses);
  put32(s + kSmDevTier2 + kDevAddrOffset, static_cast<std::uint32_t>(t.addresses + 8 * addresses.size()));
  unsigned char* ipQueue = s + kSmFreeQueues + kFqIp * kSmFreeQueueSize;
  unsigned char* mainQueue = s + kSmFreeQueues + kFqMain * kSmFreeQueueSize;
  put16(ipQueue + kFqNodeLimit, ipFreeQueueLimit(shape.chunks));
  const std::uint16_t mainLimit = mainFreeQueueLimit(newBlocks);
  put16(mainQueue + kFqNodeLimit,
        get64(mainQueue + kFqCount) == 0 ? mainLimit : std::max(get16(mainQueue + kFqNodeLimit), mainLimit));

  // Every ephemeral object is written again for the new transaction, after the current checkpoint's
  // data in its ring.
  std::uint32_t dataPos = (c.dataIndex + c.dataLen) % c.dataBlocks, dataLen = 0;
  const std::uint32_t dataIndex = dataPos;
  std::vector<Mapping> mappings = c.mappings;
  std::pair<std::uint64_t, std::vector<unsigned char>> queueRoot;
  if (get64(ipQueue + kFqCount) != 0) queueRoot = emptyPoolFreeQueue(c, spaceman, mappings);
  const std::uint64_t spacemanOid = c.mappings[c.spacemanMapping].oid;
  for (std::size_t i = 0; i < mappings.size(); ++i) {
    Mapping& m = mappings[i];
    std::vector<unsigned char> object;
    if (m.oid == spacemanOid) {
      object = spaceman;
    } else if (!queueRoot.second.empty() && m.oid == queueRoot.first) {
      object = queueRoot.second;
    } else {
      object.resize(m.size);
      c.readBlocks(m.paddr, object.data(), m.size / bs);
    }
    const std::uint32_t blocks = m.size / bs;
    if (dataPos + blocks > c.dataBlocks) refuse("its checkpoint data area has no contiguous room for an object");
    put64(object.data() + kXid, xid);
    seal(object.data(), object.size());
    m.paddr = c.dataBase + dataPos;
    io.write(offset + m.paddr * bs, object.data(), object.size());
    dataPos = (dataPos + blocks) % c.dataBlocks;
    dataLen += blocks;
  }
  if (dataLen + c.dataLen > c.dataBlocks) refuse("its checkpoint data area is too small for a second checkpoint");

  const std::size_t perMap = (bs - kCpmEntries) / kCpmEntrySize;
  const auto mapBlocks = static_cast<std::uint32_t>(std::max<std::size_t>(1, (mappings.size() + perMap - 1) / perMap));
  if (mapBlocks + 1 + c.descLen > c.descBlocks)
    refuse("its checkpoint descriptor area is too small for a second checkpoint");
  const std::uint32_t descIndex = (c.descIndex + c.descLen) % c.descBlocks;
  for (std::uint32_t m = 0; m < mapBlocks; ++m) {
    std::vector<unsigned char> block(bs, 0);
    const std::uint64_t at = c.descBase + (descIndex + m) % c.descBlocks;
    const std::size_t first = m * perMap, count = std::min(perMap, mappings.size() - first);
    header(block, at, kTypeCheckpointMap);
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
  const auto maxVolumes =
      static_cast<std::uint32_t>(std::min<std::uint64_t>(kMaxVolumes, (newBlocks * bs + 512 * MiB - 1) / (512 * MiB)));
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
  // The checkpoint's superblock commits the resize; then the previous pool bitmap is cleared and
  // block zero written.
  io.write(offset + (c.descBase + (descIndex + mapBlocks) % c.descBlocks) * bs, sb, bs);
  for (std::uint64_t b : clearLater) io.write(offset + b * bs, zeros.data(), bs);
  io.write(offset, sb, bs);
}

}  // namespace quorbel::imagetool::apfs
