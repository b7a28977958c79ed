// Reading an existing HFS Plus volume's allocation file: its free blocks, and resizing the volume in
// place.

#include <algorithm>
#include <ctime>
#include <functional>
#include <optional>

#include "imagetool/hfsplus/hfsplus.h"
#include "imagetool/hfsplus/names.h"
#include "imagetool/hfsplus/structures.h"

namespace quorbel::imagetool::hfsplus {

using namespace detail;

namespace {

constexpr std::uint32_t kCatalogFileID = 4, kStartupFileID = 7, kAttributesFileID = 8;
constexpr std::size_t kChunk = 1 << 20;

// The allocation file: one bit per allocation block, most significant bit first, set when in use.
class Bitmap {
 public:
  Bitmap(const ImageIO& io, std::uint64_t offset, const VolumeHeader& h)
      : io_(io),
        offset_(offset),
        blockSize_(h.blockSize),
        extents_(forkExtents(io, offset, h, h.allocationFile, kAllocationFileID)) {
    std::uint64_t blocks = 0;
    for (const Extent& e : extents_) blocks += e.blockCount;
    bytes_ = std::min<std::uint64_t>(h.allocationFile.logicalSize, blocks * blockSize_);
  }

  std::uint64_t capacity() const { return bytes_ * 8; }
  const std::vector<Extent>& extents() const { return extents_; }

  // Calls visit(first, end, inUse) for each run of equal bits within [from, to).
  void runs(std::uint64_t from, std::uint64_t to,
            const std::function<void(std::uint64_t, std::uint64_t, bool)>& visit) const {
    std::vector<unsigned char> buf;
    std::optional<bool> state;
    std::uint64_t runStart = from;
    auto edge = [&](std::uint64_t at, bool used) {
      if (state && *state != used) {
        visit(runStart, at, *state);
        runStart = at;
      }
      state = used;
    };
    for (std::uint64_t chunkBit = from / 8 * 8; chunkBit < to; chunkBit += kChunk * 8) {
      const std::uint64_t firstByte = chunkBit / 8;
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, (to + 7) / 8 - firstByte));
      buf.resize(n);
      read(firstByte, buf.data(), n);
      std::uint64_t bit = std::max(from, chunkBit);
      const std::uint64_t end = std::min(to, chunkBit + std::uint64_t{n} * 8);
      while (bit < end) {
        const std::size_t i = static_cast<std::size_t>(bit / 8 - firstByte);
        if (bit % 8 == 0 && end - bit >= 8 && (buf[i] == 0 || buf[i] == 0xFF)) {
          edge(bit, buf[i] == 0xFF);  // a whole byte alike
          bit += 8;
          continue;
        }
        edge(bit, (buf[i] & (0x80u >> (bit % 8))) != 0);
        ++bit;
      }
    }
    if (state) visit(runStart, to, *state);
  }

  std::optional<std::uint64_t> lastUsed(std::uint64_t from, std::uint64_t to) const {
    std::optional<std::uint64_t> found;
    runs(from, to, [&](std::uint64_t, std::uint64_t end, bool used) {
      if (used) found = end - 1;
    });
    return found;
  }

  bool test(std::uint64_t block) const {
    unsigned char b;
    read(block / 8, &b, 1);
    return (b & (0x80u >> (block % 8))) != 0;
  }

  // Sets [from, to) to `used`, writing only the bytes that change.
  void assign(ImageIO& io, std::uint64_t from, std::uint64_t to, bool used) const {
    std::vector<unsigned char> buf;
    for (std::uint64_t chunkBit = from / 8 * 8; chunkBit < to; chunkBit += kChunk * 8) {
      const std::uint64_t firstByte = chunkBit / 8;
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, (to + 7) / 8 - firstByte));
      buf.resize(n);
      read(firstByte, buf.data(), n);
      std::vector<unsigned char> changed = buf;
      const std::uint64_t end = std::min(to, chunkBit + std::uint64_t{n} * 8);
      for (std::uint64_t bit = std::max(from, chunkBit); bit < end;) {
        const std::size_t i = static_cast<std::size_t>(bit / 8 - firstByte);
        if (bit % 8 == 0 && end - bit >= 8) {
          changed[i] = used ? 0xFF : 0x00;
          bit += 8;
          continue;
        }
        const auto mask = static_cast<unsigned char>(0x80u >> (bit % 8));
        changed[i] = used ? (changed[i] | mask) : (changed[i] & ~mask);
        ++bit;
      }
      // Write back each run of changed bytes only, so zero regions of a sparse image stay absent.
      for (std::size_t i = 0; i < n;) {
        if (changed[i] == buf[i]) {
          ++i;
          continue;
        }
        std::size_t j = i;
        while (j < n && changed[j] != buf[j]) ++j;
        writeFile(io, offset_, blockSize_, extents_, firstByte + i, changed.data() + i, j - i);
        i = j;
      }
    }
  }

  void read(std::uint64_t byte, unsigned char* out, std::size_t n) const {
    readFile(io_, offset_, blockSize_, extents_, byte, out, n);
  }

 private:
  const ImageIO& io_;
  std::uint64_t offset_;
  std::uint32_t blockSize_;
  std::vector<Extent> extents_;
  std::uint64_t bytes_ = 0;
};

// Allocation blocks that hold a volume header, which are never free whatever the bitmap says.
bool holdsHeader(std::uint64_t block, const VolumeHeader& h) {
  const std::uint64_t bs = h.blockSize;
  const std::uint64_t end = std::uint64_t{h.totalBlocks} * bs;
  const std::uint64_t first = block * bs, last = first + bs;
  const bool primary = first < kHeaderOffset + kHeaderSize;
  const bool alternate = last > end - kHeaderOffset;  // the alternate lies within 1024 bytes of the end
  return primary || alternate;
}

std::uint32_t nowHfs() {
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(std::time(nullptr)) + kEpochDelta);
}

}  // namespace

VolumeSummary describeVolume(const ImageIO& io, std::uint64_t offset) {
  const VolumeHeader h = readHeader(io, offset);
  VolumeSummary s;
  s.blockSize = h.blockSize;
  s.totalBlocks = h.totalBlocks;
  s.freeBlocks = h.freeBlocks;
  s.journaled = (h.attributes & kAttrJournaled) != 0;
  s.caseSensitive = h.signature == kSignatureX;

  // The root folder's record has the lowest key (parent 1), so it opens the first leaf node.
  const std::vector<Extent> catalog = forkExtents(io, offset, h, h.catalogFile, kCatalogFileID);
  unsigned char header[64];
  readFile(io, offset, h.blockSize, catalog, 0, header, sizeof header);
  const std::uint32_t nodeSize = be16(header + 32);
  const std::uint32_t firstLeaf = be32(header + 24);
  if (nodeSize < 512 || firstLeaf == 0) return s;
  std::vector<unsigned char> node(nodeSize);
  readFile(io, offset, h.blockSize, catalog, std::uint64_t{firstLeaf} * nodeSize, node.data(), nodeSize);
  const std::uint16_t at = be16(node.data() + nodeSize - 2);
  if (be16(node.data() + 10) == 0 || at + 8u > nodeSize) return s;
  const unsigned char* key = node.data() + at;
  const std::uint16_t length = be16(key + 6);
  if (be32(key + 2) != kRootParentID || at + 8u + 2u * length > nodeSize) return s;
  std::u16string name(length, u'\0');
  for (std::uint16_t i = 0; i < length; ++i) name[i] = static_cast<char16_t>(be16(key + 8 + 2 * i));
  s.name = displayName(name);
  return s;
}

std::vector<std::pair<std::uint64_t, std::uint64_t>> freeRanges(const ImageIO& io, std::uint64_t offset) {
  const VolumeHeader h = readHeader(io, offset);
  requireQuiescent(io, offset, h, "find the free blocks");
  const Bitmap bitmap(io, offset, h);
  if (bitmap.capacity() < h.totalBlocks)
    throw ToolError("damaged HFS Plus volume: the allocation file is smaller than the volume");

  std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
  const std::uint64_t bs = h.blockSize;
  bitmap.runs(0, h.totalBlocks, [&](std::uint64_t first, std::uint64_t end, bool used) {
    if (used) return;
    while (first < end && holdsHeader(first, h)) ++first;
    while (end > first && holdsHeader(end - 1, h)) --end;
    if (first == end) return;
    const std::uint64_t start = offset + first * bs, length = (end - first) * bs;
    if (!ranges.empty() && ranges.back().first + ranges.back().second == start)
      ranges.back().second += length;
    else
      ranges.emplace_back(start, length);
  });
  return ranges;
}

// Crash safety: every write before the primary volume header is one the old volume does not depend
// on, and the primary header is the single write that switches to the new size.
//   Growing:   1. allocation-file bits and new allocation-file blocks past the old end (the old volume
//                 ignores them);
//              2. the new alternate header at the new end (past the old end);
//              3. the primary header (commit);
//              4. the old alternate header's block released and its copy cleared (both now inside the
//                 new volume, in a block nothing else uses).
//   Shrinking: 1. the block that will hold the new alternate header marked used (at worst the old
//                 volume loses one free block);
//              2. the new alternate header written there (a block the old volume has free);
//              3. the primary header (commit);
//              4. the bits past the new end cleared and the old alternate header cleared (both outside
//                 the new volume).
// A crash before step 3 leaves the old volume; after it, the new one (with at most a stale bit past
// its end or one leaked block, which a file-system check repairs without loss).
namespace {

// A resize worked out from the volume as read: the header to commit and what the allocation file
// needs before and after the commit.
struct ResizePlan {
  VolumeHeader h, next;
  std::uint64_t offset = 0, bs = 0, oldAlternate = 0, newAlternate = 0, oldLength = 0;
  std::uint32_t oldTotal = 0, newTotal = 0;
  bool oldLastUsed = false;
  // Growing: blocks added to the allocation file (`newExtent`), its old size in bytes.
  std::uint32_t grownBlocks = 0;
  std::optional<Extent> newExtent;
  std::uint64_t haveBytes = 0;
};

ResizePlan checkResize(const ImageIO& io, std::uint64_t offset, std::uint64_t oldLength, std::uint64_t newLength) {
  ResizePlan p;
  p.h = readHeader(io, offset);
  requireQuiescent(io, offset, p.h, "resize the volume");
  if (oldLength % 512 != 0 || newLength % 512 != 0)
    throw ToolError("cannot resize the volume: sizes must be whole 512-byte sectors");
  if (offset > io.size() || std::max(oldLength, newLength) > io.size() - offset)
    throw ToolError("cannot resize the volume: the image does not hold the requested size");
  p.bs = p.h.blockSize;
  if (oldLength / p.bs != p.h.totalBlocks)
    throw ToolError("cannot resize the volume: the HFS Plus volume does not fill its partition (" +
                    std::to_string(p.h.totalBlocks) + " blocks of " + std::to_string(p.bs) + " bytes)");
  if (newLength < 512 * 1024) throw ToolError("cannot resize the volume: HFS Plus needs at least 512 KB");
  if (newLength / p.bs > 0xFFFFFFFFull)
    throw ToolError("cannot resize the volume: " + std::to_string(newLength) + " bytes is more than " +
                    std::to_string(p.bs) + "-byte allocation blocks can address");
  p.offset = offset;
  p.oldLength = oldLength;
  p.newTotal = static_cast<std::uint32_t>(newLength / p.bs);
  p.oldTotal = p.h.totalBlocks;
  p.oldAlternate = offset + oldLength - kHeaderOffset;
  p.newAlternate = offset + newLength - kHeaderOffset;
  p.next = p.h;
  p.next.totalBlocks = p.newTotal;
  p.next.modifyDate = nowHfs();
  ++p.next.writeCount;
  return p;
}

void setAllocationExtents(VolumeHeader& h, const std::vector<Extent>& extents) {
  h.allocationFile.extents = {};
  for (std::size_t i = 0; i < extents.size(); ++i) h.allocationFile.extents[i] = extents[i];
}

// The allocation file must hold a bit for every block; when it does not, it grows by the blocks
// needed, in place if the blocks after it are free, else as a new extent at the start of the added
// space (past the old alternate header).
void planGrow(ResizePlan& p, const Bitmap& bitmap) {
  const VolumeHeader& h = p.h;
  const std::uint64_t neededBytes = ((std::uint64_t{p.newTotal} + 7) / 8 + p.bs - 1) / p.bs * p.bs;
  p.haveBytes = std::uint64_t{h.allocationFile.totalBlocks} * p.bs;
  if (neededBytes > p.haveBytes) {
    std::vector<Extent> extents = bitmap.extents();
    p.grownBlocks = static_cast<std::uint32_t>((neededBytes - p.haveBytes) / p.bs);
    const std::uint64_t after = std::uint64_t{extents.back().startBlock} + extents.back().blockCount;
    const bool inPlace = after + p.grownBlocks < p.oldTotal && !bitmap.lastUsed(after, after + p.grownBlocks);
    if (h.allocationFile.blocksInRecord() != h.allocationFile.totalBlocks)
      throw ToolError("cannot grow the volume: its allocation file has overflow extents");
    if (inPlace) {
      extents.back().blockCount += p.grownBlocks;
      p.newExtent = Extent{static_cast<std::uint32_t>(after), p.grownBlocks};
    } else {
      if (extents.size() == 8)
        throw ToolError("cannot grow the volume: its allocation file has no room for another extent");
      const std::uint64_t start = (p.oldLength + p.bs - 1) / p.bs;
      if (start + p.grownBlocks >= p.newTotal)
        throw ToolError("cannot grow the volume: the added space cannot hold the larger allocation file");
      p.newExtent = Extent{static_cast<std::uint32_t>(start), p.grownBlocks};
      extents.push_back(*p.newExtent);
    }
    setAllocationExtents(p.next, extents);
    p.next.allocationFile.totalBlocks += p.grownBlocks;
  }
  // The file's logical size must cover every block's bit, even where its blocks already did.
  p.next.allocationFile.logicalSize = std::max(h.allocationFile.logicalSize, neededBytes);
  p.next.freeBlocks = h.freeBlocks + (p.newTotal - p.oldTotal) - p.grownBlocks - 1 + (p.oldLastUsed ? 1 : 0);
}

// Before the commit: the new blocks' bits, zero from the old end, then the grown allocation file and
// the new alternate header's block in use. New allocation-file blocks are cleared first. Returns the
// bitmap of the grown volume.
Bitmap growAllocation(ImageIO& io, const ResizePlan& p) {
  VolumeHeader widened = p.h;
  widened.allocationFile = p.next.allocationFile;
  widened.totalBlocks = p.newTotal;
  const Bitmap grown(io, p.offset, widened);
  if (p.newExtent) {
    const std::uint64_t total = std::uint64_t{p.grownBlocks} * p.bs;  // following the old bytes in the file
    std::vector<unsigned char> zeros(std::min<std::uint64_t>(kChunk, total)), current(zeros.size());
    for (std::uint64_t done = 0; done < total; done += zeros.size()) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(zeros.size(), total - done));
      grown.read(p.haveBytes + done, current.data(), n);
      if (std::any_of(current.begin(), current.begin() + static_cast<std::ptrdiff_t>(n),
                      [](unsigned char c) { return c != 0; }))
        writeFile(io, p.offset, p.h.blockSize, grown.extents(), p.haveBytes + done, zeros.data(), n);
    }
  }
  grown.assign(io, p.oldTotal, p.newTotal, false);
  if (p.newExtent) grown.assign(io, p.newExtent->startBlock, p.newExtent->startBlock + p.grownBlocks, true);
  grown.assign(io, p.newTotal - 1, p.newTotal, true);
  return grown;
}

// Extents a grow added to the allocation file that lie wholly past the new end go with the space they
// describe, as long as the rest of the file still holds a bit for every remaining block. Every other
// block from the new last block (which will hold the alternate header) up to the old alternate
// header's block must be free.
void planShrink(ResizePlan& p, const Bitmap& bitmap) {
  const VolumeHeader& h = p.h;
  std::vector<Extent> kept = bitmap.extents();
  std::uint64_t keptBlocks = h.allocationFile.totalBlocks;
  std::uint32_t dropped = 0;
  const std::uint64_t neededBytes = (std::uint64_t{p.newTotal} + 7) / 8;
  const bool overflow = h.allocationFile.blocksInRecord() != h.allocationFile.totalBlocks;
  while (!overflow && kept.size() > 1 && kept.back().startBlock >= p.newTotal &&
         std::uint64_t{kept.back().startBlock} + kept.back().blockCount <= p.oldTotal - 1 &&
         (keptBlocks - kept.back().blockCount) * p.bs >= neededBytes) {
    keptBlocks -= kept.back().blockCount;
    dropped += kept.back().blockCount;
    kept.pop_back();
  }
  const auto inDropped = [&](std::uint64_t block) {
    for (std::size_t i = kept.size(); i < bitmap.extents().size(); ++i) {
      const Extent& e = bitmap.extents()[i];
      if (block >= e.startBlock && block < std::uint64_t{e.startBlock} + e.blockCount) return true;
    }
    return false;
  };
  std::optional<std::uint64_t> used;
  bitmap.runs(p.newTotal - 1, p.oldTotal - 1, [&](std::uint64_t first, std::uint64_t end, bool inUse) {
    for (std::uint64_t b = end; inUse && b > first; --b)
      if (!inDropped(b - 1)) {
        used = std::max(used.value_or(0), b - 1);
        break;
      }
  });
  if (used) {
    const std::uint64_t minimum = (*used + 2) * p.bs;
    throw VolumeTooSmall("cannot shrink the volume: allocation block " + std::to_string(*used) +
                             " past the new end is in use; the volume needs at least " + std::to_string(minimum) +
                             " bytes",
                         minimum);
  }
  const std::uint64_t lost = (p.oldTotal - p.newTotal) - dropped - (p.oldLastUsed ? 1 : 0) + 1;
  if (lost > h.freeBlocks)
    throw ToolError("damaged HFS Plus volume: its free block count disagrees with the allocation file");
  if (dropped > 0) {
    setAllocationExtents(p.next, kept);
    p.next.allocationFile.totalBlocks = static_cast<std::uint32_t>(keptBlocks);
    p.next.allocationFile.logicalSize = keptBlocks * p.bs;
  }
  p.next.freeBlocks = static_cast<std::uint32_t>(h.freeBlocks - lost);
  if (p.next.nextAllocation >= p.newTotal) p.next.nextAllocation = 0;
}

// The special files' extents add up to their sizes, lie inside the volume and in blocks the
// allocation file marks used: an allocation file that disagrees with them is not trusted for a resize.
void crossCheckSpecialFiles(const ImageIO& io, std::uint64_t offset, const VolumeHeader& h, const Bitmap& bitmap) {
  const struct {
    const Fork* fork;
    std::uint32_t id;
    const char* name;
  } files[] = {{&h.allocationFile, kAllocationFileID, "allocation file"},
               {&h.extentsFile, kExtentsFileID, "extents overflow file"},
               {&h.catalogFile, kCatalogFileID, "catalog file"},
               {&h.attributesFile, kAttributesFileID, "attributes file"},
               {&h.startupFile, kStartupFileID, "startup file"}};
  for (const auto& file : files)
    for (const Extent& e : forkExtents(io, offset, h, *file.fork, file.id)) {
      const std::uint64_t end = std::uint64_t{e.startBlock} + e.blockCount;
      if (end > h.totalBlocks)
        throw ToolError(std::string("damaged HFS Plus volume: the ") + file.name + " reaches past the volume");
      bitmap.runs(e.startBlock, end, [&](std::uint64_t first, std::uint64_t, bool used) {
        if (!used)
          throw ToolError("damaged HFS Plus volume: the allocation file marks block " + std::to_string(first) +
                          " free, which the " + file.name + " uses");
      });
    }
}

void clearOldAlternate(ImageIO& io, const ResizePlan& p) {
  if (p.oldAlternate == p.newAlternate) return;
  const unsigned char zeros[kHeaderSize] = {};
  io.write(p.oldAlternate, zeros, sizeof zeros);
}

}  // namespace

void resizeVolume(ImageIO& io, std::uint64_t offset, std::uint64_t oldLength, std::uint64_t newLength) {
  ResizePlan p = checkResize(io, offset, oldLength, newLength);
  // A volume whose catalog does not read back is damaged: refuse it before anything changes.
  describeVolume(io, offset);
  const Bitmap bitmap(io, offset, p.h);
  if (bitmap.capacity() < p.oldTotal)
    throw ToolError("damaged HFS Plus volume: the allocation file is smaller than the volume");
  crossCheckSpecialFiles(io, offset, p.h, bitmap);
  p.oldLastUsed = bitmap.test(p.oldTotal - 1);
  std::function<void()> afterCommit = [&] { clearOldAlternate(io, p); };
  if (p.newTotal > p.oldTotal) {
    planGrow(p, bitmap);
    afterCommit = [&, grown = growAllocation(io, p)] {
      grown.assign(io, p.oldTotal - 1, p.oldTotal, false);
      clearOldAlternate(io, p);
    };
  } else if (p.newTotal < p.oldTotal) {
    planShrink(p, bitmap);
    bitmap.assign(io, p.newTotal - 1, p.newTotal, true);
    VolumeHeader narrowed = p.h;
    narrowed.allocationFile = p.next.allocationFile;
    afterCommit = [&, kept = Bitmap(io, offset, narrowed)] {
      // Bits past the new end, as far as the (possibly shorter) allocation file still holds them.
      kept.assign(io, p.newTotal, std::min<std::uint64_t>(p.oldTotal, kept.capacity()), false);
      const unsigned char zeros[kHeaderSize] = {};
      io.write(p.oldAlternate, zeros, sizeof zeros);
    };
  }
  const auto raw = p.next.encode();
  io.write(p.newAlternate, raw.data(), raw.size());          // the new alternate header, then
  io.write(offset + kHeaderOffset, raw.data(), raw.size());  // the commit
  afterCommit();
}

}  // namespace quorbel::imagetool::hfsplus
