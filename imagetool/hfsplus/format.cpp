// Writing a new, empty HFS Plus volume with the geometry macOS gives a volume of the same size: block
// size, B-tree node and clump sizes, journal size, and the order of the special files on disk.

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <random>
#include <stdexcept>

#include "imagetool/hfsplus/btree.h"
#include "imagetool/hfsplus/hfsplus.h"
#include "imagetool/hfsplus/names.h"
#include "imagetool/hfsplus/structures.h"

namespace quorbel::imagetool::hfsplus {

using namespace detail;

namespace {

constexpr std::uint64_t KiB = 1024, MiB = 1024 * KiB, GiB = 1024 * MiB, TiB = 1024 * GiB;
constexpr std::uint64_t kMinimumVolume = 512 * KiB;
constexpr std::uint32_t kMountedBy10 = 0x31302E30;         // "10.0"
constexpr std::uint32_t kMountedByJournaled = 0x4846534A;  // "HFSJ"
constexpr std::uint32_t kExtentsNodeSize = 4096;
constexpr std::uint32_t kAttributesNodeSize = 8192;
constexpr std::uint16_t kCatalogMaxKey = 516;
constexpr std::uint16_t kExtentsMaxKey = 10;
constexpr std::uint16_t kAttributesMaxKey = 266;
constexpr std::uint32_t kTextEncodingUnicode = 0x7E;
// Owner and group "unknown" (99): macOS maps them to whoever uses the volume.
constexpr std::uint32_t kUnknownOwner = 99;

// 4096 bytes up to 2 TiB; from there the block size doubles with the volume (8192 twice) so the volume
// can still grow eightfold within 2^32 blocks.
std::uint32_t blockSizeFor(std::uint64_t bytes) {
  int bits = 0;
  for (std::uint64_t v = bytes; v != 0; v >>= 1) ++bits;
  const int index = bits - 41;
  if (index <= 0) return 4096;
  if (index == 1) return 8192;
  if (index > 20) throw ToolError("the volume is too large for HFS Plus");
  return 4096u << (index - 1);
}

// B-tree clump sizes in MiB by volume size, from 1 GiB doubling to 16 TiB: attributes, catalog, extents.
constexpr std::uint16_t kClumpTable[15][3] = {{4, 4, 4},      {6, 6, 4},      {8, 8, 4},      {11, 11, 5},
                                              {64, 32, 5},    {84, 49, 6},    {111, 74, 7},   {147, 111, 8},
                                              {194, 169, 9},  {256, 256, 11}, {294, 294, 14}, {338, 338, 16},
                                              {388, 388, 20}, {446, 446, 25}, {512, 512, 32}};

enum Tree { attributesTree = 0, catalogTree = 1, extentsTree = 2 };

std::uint32_t clumpSizeFor(Tree tree, std::uint32_t nodeSize, std::uint32_t blockSize, std::uint64_t sectors) {
  const std::uint32_t unit = std::max(nodeSize, blockSize);
  std::uint64_t clump;
  if (sectors < 0x200000) {  // under 1 GiB: about 0.8% of the volume, at least eight nodes
    clump = std::max<std::uint64_t>(sectors * 4, 8ull * nodeSize);
  } else {
    int row = 0;
    for (std::uint64_t s = sectors >> 22; s != 0 && row < 14; s >>= 1) ++row;
    clump = std::uint64_t{kClumpTable[row][tree]} * MiB;
  }
  clump = clump / unit * unit;
  return static_cast<std::uint32_t>(clump == 0 ? unit : clump);
}

std::uint64_t journalSizeFor(std::uint64_t bytes, std::uint32_t blockSize) {
  std::uint64_t size;
  if (bytes < 128 * MiB) {
    size = 512 * KiB;  // a small volume's transactions stay small
  } else {
    const std::uint64_t hundreds = std::min<std::uint64_t>(bytes / (100 * GiB), 64);
    size = std::min<std::uint64_t>(8 * MiB * (hundreds + 1), 512 * MiB);
  }
  return std::max<std::uint64_t>(size, blockSize);
}

std::uint64_t blocksFor(std::uint64_t bytes, std::uint32_t blockSize) { return (bytes + blockSize - 1) / blockSize; }

struct Geometry {
  std::uint32_t blockSize = 0;
  std::uint32_t totalBlocks = 0;
  std::uint32_t bitmapStart = 1, bitmapBlocks = 0;
  std::uint32_t journalInfoBlock = 0, journalStart = 0, journalBlocks = 0;
  std::uint64_t journalSize = 0;
  std::uint32_t extentsStart = 0, catalogStart = 0, attributesStart = 0;
  std::uint32_t extentsClump = 0, catalogClump = 0, attributesClump = 0;
  std::uint32_t catalogNodeSize = 0;
  std::uint32_t nextAllocation = 0;
  std::uint32_t usedBlocks = 0;
};

Geometry plan(std::uint64_t length, bool journaled) {
  Geometry g;
  const std::uint64_t sectors = length / 512;
  const std::uint64_t bytes = sectors * 512;
  g.blockSize = blockSizeFor(bytes);
  const std::uint64_t total = bytes / g.blockSize;
  if (total > 0xFFFFFFFFull) throw ToolError("the volume is too large for HFS Plus");
  g.totalBlocks = static_cast<std::uint32_t>(total);
  const std::uint32_t bs = g.blockSize;

  g.catalogNodeSize = bytes < GiB ? 4096 : 8192;
  g.extentsClump = clumpSizeFor(extentsTree, kExtentsNodeSize, bs, sectors);
  g.catalogClump = clumpSizeFor(catalogTree, g.catalogNodeSize, bs, sectors);
  g.attributesClump = clumpSizeFor(attributesTree, kAttributesNodeSize, bs, sectors);
  g.bitmapBlocks = static_cast<std::uint32_t>(blocksFor((total + 7) / 8, bs));

  // Block 0 holds the volume header; then the allocation file, the journal info block and journal,
  // the extents and attributes B-trees, room for the attributes B-tree to grow, and the catalog.
  std::uint64_t next = g.bitmapStart + std::uint64_t{g.bitmapBlocks};
  if (journaled) {
    g.journalSize = journalSizeFor(bytes, bs);
    g.journalBlocks = static_cast<std::uint32_t>(blocksFor(g.journalSize, bs));
    g.journalInfoBlock = static_cast<std::uint32_t>(next++);
    g.journalStart = static_cast<std::uint32_t>(next);
    next += g.journalBlocks;
  }
  g.extentsStart = static_cast<std::uint32_t>(next);
  next += g.extentsClump / bs;
  g.attributesStart = static_cast<std::uint32_t>(next);
  next += g.attributesClump / bs;
  const std::uint64_t attributesGap = bytes >= 2 * MiB ? 10ull * (g.attributesClump / bs) : 0;
  // The growth room is left out where it would not leave the catalog room before the last block.
  if (next + attributesGap + g.catalogClump / bs < total) next += attributesGap;
  g.catalogStart = static_cast<std::uint32_t>(next);
  next += g.catalogClump / bs;
  if (next >= total) {
    const std::uint64_t needed = (next + 1) * bs;
    throw ToolError(std::string("the partition is too small for ") + (journaled ? "a journaled " : "an ") +
                    "HFS Plus volume: it needs " + std::to_string((needed + KiB - 1) / KiB) +
                    " KB, the partition has " + std::to_string(length / KiB) + " KB");
  }

  // New files are placed after room for the catalog to grow and, from 10 GiB, a hot-file band.
  std::uint64_t hint = next + 10ull * (g.catalogClump / bs);
  if (bytes >= 10 * GiB) hint += std::clamp<std::uint64_t>(total * bs / 1024 * 5, 10 * MiB, 512 * MiB) / bs;
  g.nextAllocation = static_cast<std::uint32_t>(hint < total ? hint : next);

  g.usedBlocks = 2 + g.bitmapBlocks + (journaled ? 1 + g.journalBlocks : 0) + g.extentsClump / bs +
                 g.attributesClump / bs + g.catalogClump / bs;
  return g;
}

std::vector<unsigned char> catalogKey(std::uint32_t parent, const std::u16string& name) {
  std::vector<unsigned char> key(8 + 2 * name.size(), 0);
  putBe16(key.data(), static_cast<std::uint16_t>(6 + 2 * name.size()));
  putBe32(key.data() + 2, parent);
  putBe16(key.data() + 6, static_cast<std::uint16_t>(name.size()));
  for (std::size_t i = 0; i < name.size(); ++i) putBe16(key.data() + 8 + 2 * i, name[i]);
  return key;
}

std::vector<unsigned char> threadRecord(bool folder, std::uint32_t parent, const std::u16string& name) {
  std::vector<unsigned char> data(10 + 2 * name.size(), 0);
  putBe16(data.data(), folder ? 3 : 4);
  putBe32(data.data() + 4, parent);
  putBe16(data.data() + 8, static_cast<std::uint16_t>(name.size()));
  for (std::size_t i = 0; i < name.size(); ++i) putBe16(data.data() + 10 + 2 * i, name[i]);
  return data;
}

std::vector<unsigned char> join(std::vector<unsigned char> a, const std::vector<unsigned char>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::vector<unsigned char> rootFolderRecord(std::uint32_t valence, std::uint32_t now) {
  std::vector<unsigned char> r(88, 0);
  unsigned char* p = r.data();
  putBe16(p, 1);  // folder
  putBe32(p + 4, valence);
  putBe32(p + 8, kRootFolderID);
  putBe32(p + 12, now);  // created
  putBe32(p + 16, now);  // content modified
  putBe32(p + 32, kUnknownOwner);
  putBe32(p + 36, kUnknownOwner);
  putBe16(p + 42, S_IFDIR | 0755);
  putBe32(p + 80, kTextEncodingUnicode);
  return r;
}

// The journal's own hidden, name-locked files, as macOS lists them in the root.
std::vector<unsigned char> journalFileRecord(std::uint32_t id, std::uint32_t created, std::uint64_t size,
                                             std::uint32_t clump, Extent extent) {
  std::vector<unsigned char> r(248, 0);
  unsigned char* p = r.data();
  putBe16(p, 2);      // file
  putBe16(p + 2, 2);  // thread record exists
  putBe32(p + 8, id);
  putBe32(p + 12, created);
  putBe32(p + 16, created);
  p[41] = 0x01;  // owner flag: no dump
  putBe16(p + 42, S_IFREG);
  putBe32(p + 44, 1);           // link count
  putBe32(p + 48, 0x6A726E6C);  // type "jrnl"
  putBe32(p + 52, 0x6866732B);  // creator "hfs+"
  putBe16(p + 56, 0x5000);      // invisible, name locked
  Fork data;
  data.logicalSize = size;
  data.clumpSize = clump;
  data.totalBlocks = extent.blockCount;
  data.extents[0] = extent;
  data.write(p + 88);
  return r;
}

void writeTree(ImageIO& io, std::uint64_t offset, std::uint32_t blockSize, std::uint32_t start, const TreeShape& shape,
               const std::vector<unsigned char>* rootLeaf) {
  const std::uint64_t base = offset + std::uint64_t{start} * blockSize;
  for (const auto& [number, node] : headerAndMapNodes(shape))
    io.write(base + std::uint64_t{number} * shape.nodeSize, node.data(), node.size());
  if (rootLeaf) io.write(base + shape.nodeSize, rootLeaf->data(), rootLeaf->size());
}

// Sets the bits of [first, first + count) in a bitmap that starts at block `firstBlockOfBuffer`.
void markUsed(std::vector<unsigned char>& bits, std::uint64_t firstBlockOfBuffer, std::uint64_t first,
              std::uint64_t count) {
  std::uint64_t i = first - firstBlockOfBuffer;
  const std::uint64_t end = i + count;
  for (; i < end && i % 8 != 0; ++i) bits[i / 8] |= static_cast<unsigned char>(0x80u >> (i % 8));
  if (end - i >= 8) {  // whole bytes at once
    std::memset(bits.data() + i / 8, 0xFF, (end - i) / 8);
    i += (end - i) / 8 * 8;
  }
  for (; i < end; ++i) bits[i / 8] |= static_cast<unsigned char>(0x80u >> (i % 8));
}

std::uint32_t hfsTime(std::time_t t) { return static_cast<std::uint32_t>(static_cast<std::uint64_t>(t) + kEpochDelta); }

// Extents overflow and attributes B-trees: a header node each.
void writeEmptyTrees(ImageIO& io, std::uint64_t offset, const Geometry& g) {
  TreeShape extents{
      kExtentsNodeSize, g.extentsClump / kExtentsNodeSize, g.extentsClump, kExtentsMaxKey, kBigKeys, 0, 0};
  writeTree(io, offset, g.blockSize, g.extentsStart, extents, nullptr);
  TreeShape attributes{kAttributesNodeSize,
                       g.attributesClump / kAttributesNodeSize,
                       g.attributesClump,
                       kAttributesMaxKey,
                       kBigKeys | kVariableIndexKeys,
                       0,
                       0};
  writeTree(io, offset, g.blockSize, g.attributesStart, attributes, nullptr);
}

// Catalog: one leaf holding the root folder and its thread, plus the journal files and their threads.
void writeCatalog(ImageIO& io, std::uint64_t offset, const Geometry& g, const std::u16string& name, bool journaled,
                  std::uint32_t utc) {
  NodeBuilder leaf(g.catalogNodeSize, NodeKind::leaf, 1);
  const std::u16string journalName = u".journal", infoName = u".journal_info_block";
  leaf.add(join(catalogKey(kRootParentID, name), rootFolderRecord(journaled ? 2 : 0, utc)));
  leaf.add(join(catalogKey(kRootFolderID, u""), threadRecord(true, kRootParentID, name)));
  if (journaled) {
    leaf.add(join(catalogKey(kRootFolderID, journalName),
                  journalFileRecord(kFirstUserID, utc + 1, g.journalSize, 0, {g.journalStart, g.journalBlocks})));
    leaf.add(join(catalogKey(kRootFolderID, infoName),
                  journalFileRecord(kFirstUserID + 1, utc, g.blockSize, 0, {g.journalInfoBlock, 1})));
    leaf.add(join(catalogKey(kFirstUserID, u""), threadRecord(false, kRootFolderID, journalName)));
    leaf.add(join(catalogKey(kFirstUserID + 1, u""), threadRecord(false, kRootFolderID, infoName)));
  }
  TreeShape catalog{g.catalogNodeSize,  g.catalogClump / g.catalogNodeSize, g.catalogClump,
                    kCatalogMaxKey,     kBigKeys | kVariableIndexKeys,      kCaseFolding,
                    journaled ? 6u : 2u};
  writeTree(io, offset, g.blockSize, g.catalogStart, catalog, &leaf.bytes());
}

// The journal itself stays zero: the info block asks the first mount to initialise it.
void writeJournalInfo(ImageIO& io, std::uint64_t offset, const Geometry& g) {
  std::vector<unsigned char> jib(512, 0);
  putBe32(jib.data(), 1 | 4);  // journal in this file system, needs initialising
  putBe64(jib.data() + 36, std::uint64_t{g.journalStart} * g.blockSize);
  putBe64(jib.data() + 44, g.journalSize);
  io.write(offset + std::uint64_t{g.journalInfoBlock} * g.blockSize, jib.data(), jib.size());
}

// Allocation file: the metadata at the start is contiguous except for the attributes growth room;
// the last block is reserved for the alternate volume header. Only the runs of set bits are written.
void writeAllocationBits(ImageIO& io, std::uint64_t offset, const Geometry& g) {
  const std::uint64_t bitmapBase = offset + std::uint64_t{g.bitmapStart} * g.blockSize;
  const std::uint64_t attributesEnd = g.attributesStart + g.attributesClump / g.blockSize;
  const std::uint64_t catalogEnd = g.catalogStart + g.catalogClump / g.blockSize;
  std::vector<unsigned char> head((catalogEnd + 7) / 8, 0);
  markUsed(head, 0, 0, 1);
  markUsed(head, 0, g.bitmapStart, attributesEnd - g.bitmapStart);
  markUsed(head, 0, g.catalogStart, catalogEnd - g.catalogStart);
  for (std::size_t i = 0; i < head.size();) {
    if (head[i] == 0) {
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j < head.size() && head[j] != 0) ++j;
    io.write(bitmapBase + i, head.data() + i, j - i);
    i = j;
  }
  const std::uint64_t last = g.totalBlocks - 1;
  unsigned char lastByte = head.size() > last / 8 ? head[last / 8] : 0;
  lastByte |= static_cast<unsigned char>(0x80u >> (last % 8));
  io.write(bitmapBase + last / 8, &lastByte, 1);
}

// The volume header of a new volume laid out as `g`, made `utc` (local time `utc + gmtOffset`).
VolumeHeader newHeader(const Geometry& g, bool journaled, std::uint32_t utc, long gmtOffset) {
  const std::uint32_t bs = g.blockSize;
  VolumeHeader h;
  h.signature = kSignaturePlus;
  h.version = 4;
  h.attributes = kAttrUnmounted | kAttrUnusedNodesZeroed | (journaled ? kAttrJournaled : 0);
  h.lastMountedVersion = journaled ? kMountedByJournaled : kMountedBy10;
  h.journalInfoBlock = g.journalInfoBlock;
  h.createDate = static_cast<std::uint32_t>(utc + gmtOffset);
  h.modifyDate = utc;
  h.checkedDate = utc;
  h.fileCount = journaled ? 2 : 0;
  h.blockSize = bs;
  h.totalBlocks = g.totalBlocks;
  h.freeBlocks = g.totalBlocks - g.usedBlocks;
  h.nextAllocation = g.nextAllocation;
  h.rsrcClumpSize = 16 * std::max<std::uint32_t>(bs, 4096);
  h.dataClumpSize = h.rsrcClumpSize;
  h.nextCatalogID = kFirstUserID + (journaled ? 2 : 0);
  h.encodingsBitmap = 1;  // Mac Roman
  // A random 64-bit volume identifier, neither half zero.
  std::random_device random;
  for (std::size_t half = 24; half < 32; half += 4) {
    std::uint32_t v = 0;
    while (v == 0) v = random();
    putBe32(h.finderInfo.data() + half, v);
  }
  const std::uint64_t bitmapBytes = std::uint64_t{g.bitmapBlocks} * bs;
  h.allocationFile = {bitmapBytes, static_cast<std::uint32_t>(bitmapBytes), g.bitmapBlocks, {}};
  h.allocationFile.extents[0] = {g.bitmapStart, g.bitmapBlocks};
  h.extentsFile = {g.extentsClump, g.extentsClump, g.extentsClump / bs, {}};
  h.extentsFile.extents[0] = {g.extentsStart, g.extentsClump / bs};
  h.attributesFile = {g.attributesClump, g.attributesClump, g.attributesClump / bs, {}};
  h.attributesFile.extents[0] = {g.attributesStart, g.attributesClump / bs};
  h.catalogFile = {g.catalogClump, g.catalogClump, g.catalogClump / bs, {}};
  h.catalogFile.extents[0] = {g.catalogStart, g.catalogClump / bs};
  return h;
}

}  // namespace

void formatVolume(ImageIO& io, std::uint64_t offset, std::uint64_t length, const VolumeOptions& options) {
  if (offset > io.size() || length > io.size() - offset) throw ToolError("the volume does not fit in the image");
  if (length < kMinimumVolume) throw ToolError("the partition is too small for an HFS Plus volume (at least 512 KB)");
  if (length > 8 * 1024 * 1024 * TiB) throw ToolError("the volume is too large for HFS Plus");
  const std::u16string name = catalogName(options.name.empty() ? "untitled" : options.name);
  const Geometry g = plan(length, options.journaled);
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  const std::uint32_t utc = hfsTime(now);

  writeEmptyTrees(io, offset, g);
  writeCatalog(io, offset, g, name, options.journaled, utc);
  if (options.journaled) writeJournalInfo(io, offset, g);
  writeAllocationBits(io, offset, g);
  // The primary header goes last, so an interrupted format never looks like a volume.
  const auto raw = newHeader(g, options.journaled, utc, local.tm_gmtoff).encode();
  io.write(offset + length / 512 * 512 - kHeaderOffset, raw.data(), raw.size());
  io.write(offset + kHeaderOffset, raw.data(), raw.size());
}

std::vector<std::pair<std::uint64_t, std::uint64_t>> formattedRegions(std::uint64_t offset, std::uint64_t length,
                                                                      const VolumeOptions& options) {
  const Geometry g = plan(length, options.journaled);
  const std::uint64_t bs = g.blockSize;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> regions;
  const auto blocks = [&](std::uint64_t first, std::uint64_t count) {
    regions.emplace_back(offset + first * bs, count * bs);
  };
  blocks(0, 1);
  blocks(g.bitmapStart, g.bitmapBlocks);
  if (options.journaled) blocks(g.journalInfoBlock, 1);
  blocks(g.extentsStart, g.extentsClump / bs);
  blocks(g.attributesStart, g.attributesClump / bs);
  blocks(g.catalogStart, g.catalogClump / bs);
  // The last allocation block and the sectors past it, which hold the alternate volume header.
  const std::uint64_t lastBlock = (std::uint64_t{g.totalBlocks} - 1) * bs;
  regions.emplace_back(offset + lastBlock, length / 512 * 512 - lastBlock);
  return regions;
}

bool isHfsPlus(const ImageIO& io, std::uint64_t offset) {
  if (offset > io.size() || io.size() - offset < kHeaderOffset + 2) return false;
  unsigned char sig[2];
  io.read(offset + kHeaderOffset, sig, 2);
  const std::uint16_t s = be16(sig);
  return s == kSignaturePlus || s == kSignatureX;
}

}  // namespace quorbel::imagetool::hfsplus
