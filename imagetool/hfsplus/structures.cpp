#include "imagetool/hfsplus/structures.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

namespace quorbel::imagetool::hfsplus::detail {

void Fork::write(unsigned char* p) const {
  putBe64(p, logicalSize);
  putBe32(p + 8, clumpSize);
  putBe32(p + 12, totalBlocks);
  for (std::size_t i = 0; i < extents.size(); ++i) {
    putBe32(p + 16 + 8 * i, extents[i].startBlock);
    putBe32(p + 20 + 8 * i, extents[i].blockCount);
  }
}

Fork Fork::read(const unsigned char* p) {
  Fork f;
  f.logicalSize = be64(p);
  f.clumpSize = be32(p + 8);
  f.totalBlocks = be32(p + 12);
  for (std::size_t i = 0; i < f.extents.size(); ++i) f.extents[i] = {be32(p + 16 + 8 * i), be32(p + 20 + 8 * i)};
  return f;
}

std::uint64_t Fork::blocksInRecord() const {
  std::uint64_t sum = 0;
  for (const Extent& e : extents) sum += e.blockCount;
  return sum;
}

std::array<unsigned char, kHeaderSize> VolumeHeader::encode() const {
  std::array<unsigned char, kHeaderSize> b{};
  unsigned char* p = b.data();
  putBe16(p, signature);
  putBe16(p + 2, version);
  putBe32(p + 4, attributes);
  putBe32(p + 8, lastMountedVersion);
  putBe32(p + 12, journalInfoBlock);
  putBe32(p + 16, createDate);
  putBe32(p + 20, modifyDate);
  putBe32(p + 24, backupDate);
  putBe32(p + 28, checkedDate);
  putBe32(p + 32, fileCount);
  putBe32(p + 36, folderCount);
  putBe32(p + 40, blockSize);
  putBe32(p + 44, totalBlocks);
  putBe32(p + 48, freeBlocks);
  putBe32(p + 52, nextAllocation);
  putBe32(p + 56, rsrcClumpSize);
  putBe32(p + 60, dataClumpSize);
  putBe32(p + 64, nextCatalogID);
  putBe32(p + 68, writeCount);
  putBe64(p + 72, encodingsBitmap);
  std::memcpy(p + 80, finderInfo.data(), finderInfo.size());
  allocationFile.write(p + 112);
  extentsFile.write(p + 192);
  catalogFile.write(p + 272);
  attributesFile.write(p + 352);
  startupFile.write(p + 432);
  return b;
}

VolumeHeader VolumeHeader::decode(const unsigned char* p) {
  VolumeHeader h;
  h.signature = be16(p);
  h.version = be16(p + 2);
  h.attributes = be32(p + 4);
  h.lastMountedVersion = be32(p + 8);
  h.journalInfoBlock = be32(p + 12);
  h.createDate = be32(p + 16);
  h.modifyDate = be32(p + 20);
  h.backupDate = be32(p + 24);
  h.checkedDate = be32(p + 28);
  h.fileCount = be32(p + 32);
  h.folderCount = be32(p + 36);
  h.blockSize = be32(p + 40);
  h.totalBlocks = be32(p + 44);
  h.freeBlocks = be32(p + 48);
  h.nextAllocation = be32(p + 52);
  h.rsrcClumpSize = be32(p + 56);
  h.dataClumpSize = be32(p + 60);
  h.nextCatalogID = be32(p + 64);
  h.writeCount = be32(p + 68);
  h.encodingsBitmap = be64(p + 72);
  std::memcpy(h.finderInfo.data(), p + 80, h.finderInfo.size());
  h.allocationFile = Fork::read(p + 112);
  h.extentsFile = Fork::read(p + 192);
  h.catalogFile = Fork::read(p + 272);
  h.attributesFile = Fork::read(p + 352);
  h.startupFile = Fork::read(p + 432);
  return h;
}

VolumeHeader readHeader(const ImageIO& io, std::uint64_t offset) {
  if (io.size() < offset || io.size() - offset < kHeaderOffset + kHeaderSize)
    throw ToolError("no HFS Plus volume: the partition is too small to hold a volume header");
  unsigned char raw[kHeaderSize];
  io.read(offset + kHeaderOffset, raw, sizeof raw);
  VolumeHeader h = VolumeHeader::decode(raw);
  if (h.signature != kSignaturePlus && h.signature != kSignatureX)
    throw ToolError("no HFS Plus volume: the volume header has no \"H+\" or \"HX\" signature");
  if ((h.signature == kSignaturePlus && h.version != 4) || (h.signature == kSignatureX && h.version != 5))
    throw ToolError("unsupported HFS Plus volume version " + std::to_string(h.version));
  if (h.blockSize < 512 || (h.blockSize & (h.blockSize - 1)) != 0)
    throw ToolError("damaged HFS Plus volume: invalid allocation block size " + std::to_string(h.blockSize));
  if (h.totalBlocks < 2 || h.freeBlocks > h.totalBlocks)
    throw ToolError("damaged HFS Plus volume: invalid block counts in the volume header");
  if (std::uint64_t{h.totalBlocks} * h.blockSize > io.size() - offset)
    throw ToolError("damaged HFS Plus volume: it claims more blocks than its partition holds");
  return h;
}

namespace {

constexpr std::uint32_t kJournalInFS = 1;
constexpr std::uint32_t kJournalNeedsInit = 4;
constexpr std::uint32_t kJournalMagic = 0x4A4E4C78;  // "JNLx"
constexpr std::uint32_t kJournalEndian = 0x12345678;

std::uint32_t swap32(std::uint32_t v) { return __builtin_bswap32(v); }
std::uint64_t swap64(std::uint64_t v) { return __builtin_bswap64(v); }

}  // namespace

void requireQuiescent(const ImageIO& io, std::uint64_t offset, const VolumeHeader& h, const std::string& action) {
  const std::string refuse = "cannot " + action + ": ";
  if ((h.attributes & kAttrUnmounted) == 0)
    throw ToolError(refuse + "the HFS Plus volume was not cleanly unmounted; repair it on a Mac first");
  if ((h.attributes & kAttrInconsistent) != 0)
    throw ToolError(refuse + "the HFS Plus volume is marked inconsistent; repair it on a Mac first");
  if ((h.attributes & kAttrJournaled) == 0 || h.journalInfoBlock == 0) return;
  if (h.journalInfoBlock >= h.totalBlocks) throw ToolError(refuse + "the journal info block lies outside the volume");

  unsigned char jib[52];
  io.read(offset + std::uint64_t{h.journalInfoBlock} * h.blockSize, jib, sizeof jib);
  const std::uint32_t flags = be32(jib);
  if ((flags & kJournalNeedsInit) != 0) return;  // never used: nothing to replay
  if ((flags & kJournalInFS) == 0)
    throw ToolError(refuse + "the volume's journal is on another device and cannot be checked");
  const std::uint64_t journalOffset = be64(jib + 36);
  const std::uint64_t journalSize = be64(jib + 44);
  const std::uint64_t volumeBytes = std::uint64_t{h.totalBlocks} * h.blockSize;
  if (journalOffset >= volumeBytes || journalSize > volumeBytes - journalOffset)
    throw ToolError(refuse + "the journal info block points outside the volume");

  // The journal header is written in the byte order of the machine that wrote it.
  unsigned char jh[24];
  io.read(offset + journalOffset, jh, sizeof jh);
  std::uint32_t magic = be32(jh);
  std::uint32_t endian = be32(jh + 4);
  std::uint64_t start = be64(jh + 8);
  std::uint64_t end = be64(jh + 16);
  if (endian == swap32(kJournalEndian)) {
    magic = swap32(magic);
    start = swap64(start);
    end = swap64(end);
  } else if (endian != kJournalEndian) {
    magic = 0;
  }
  if (magic != kJournalMagic) throw ToolError(refuse + "the volume's journal header is unreadable");
  if (start != end)
    throw ToolError(refuse +
                    "the volume's journal holds transactions that were never replayed; "
                    "mount the volume on a Mac first");
}

std::vector<Extent> forkExtents(const ImageIO& io, std::uint64_t offset, const VolumeHeader& h, const Fork& fork,
                                std::uint32_t fileID) {
  std::vector<Extent> out;
  std::uint64_t blocks = 0;
  for (const Extent& e : fork.extents) {
    if (e.blockCount == 0) break;
    out.push_back(e);
    blocks += e.blockCount;
  }
  if (blocks < fork.totalBlocks) {
    if (fileID == kExtentsFileID)
      throw ToolError("damaged HFS Plus volume: the extents overflow file has overflow extents");
    // The rest of the fork is described by the extents overflow B-tree: leaf records keyed by
    // (fork type, file ID, first block in the file), walked in key order through the leaf chain.
    const std::vector<Extent> tree = forkExtents(io, offset, h, h.extentsFile, kExtentsFileID);
    unsigned char header[256];
    readFile(io, offset, h.blockSize, tree, 0, header, sizeof header);
    const std::uint32_t nodeSize = be16(header + 32);
    const std::uint32_t totalNodes = be32(header + 36);
    if (nodeSize < 512 || (nodeSize & (nodeSize - 1)) != 0)
      throw ToolError("damaged HFS Plus volume: invalid extents overflow node size");
    // The walk is bounded by the nodes the tree's file really holds, whatever its header claims, and a
    // node seen twice is a loop.
    std::uint64_t treeBytes = 0;
    for (const Extent& e : tree) treeBytes += std::uint64_t{e.blockCount} * h.blockSize;
    const std::uint64_t fileNodes = std::min<std::uint64_t>({totalNodes, treeBytes / nodeSize, io.size() / nodeSize});
    std::unordered_set<std::uint32_t> seen;
    std::vector<unsigned char> node(nodeSize);
    std::uint32_t current = be32(header + 24);  // first leaf node
    while (current != 0 && blocks < fork.totalBlocks) {
      if (current >= fileNodes || !seen.insert(current).second)
        throw ToolError("damaged HFS Plus volume: the extents overflow leaf chain is broken");
      readFile(io, offset, h.blockSize, tree, std::uint64_t{current} * nodeSize, node.data(), nodeSize);
      if (static_cast<std::int8_t>(node[8]) != -1)
        throw ToolError("damaged HFS Plus volume: the extents overflow leaf chain is broken");
      const std::uint16_t records = be16(node.data() + 10);
      for (std::uint16_t r = 0; r < records; ++r) {
        const std::uint16_t at = be16(node.data() + nodeSize - 2 * (r + 1));
        if (at + 12u + 64u > nodeSize)
          throw ToolError("damaged HFS Plus volume: an extents overflow record is out of bounds");
        const unsigned char* rec = node.data() + at;
        if (be16(rec) != 10 || rec[2] != 0 || be32(rec + 4) != fileID) continue;
        if (be32(rec + 8) != blocks)
          throw ToolError("damaged HFS Plus volume: the extents overflow records of a file do not follow on");
        for (int i = 0; i < 8; ++i) {
          const Extent e{be32(rec + 12 + 8 * i), be32(rec + 16 + 8 * i)};
          if (e.blockCount == 0) break;
          out.push_back(e);
          blocks += e.blockCount;
        }
      }
      current = be32(node.data());
    }
  }
  if (blocks != fork.totalBlocks)
    throw ToolError("damaged HFS Plus volume: a special file's extents do not match its size");
  for (const Extent& e : out)
    if (std::uint64_t{e.startBlock} + e.blockCount > h.totalBlocks)
      throw ToolError("damaged HFS Plus volume: a special file lies outside the volume");
  if (fork.logicalSize > blocks * h.blockSize)
    throw ToolError("damaged HFS Plus volume: a special file is larger than its extents");
  return out;
}

namespace {

template <typename Visit>
void walkFile(std::uint32_t blockSize, const std::vector<Extent>& extents, std::uint64_t position, std::size_t length,
              Visit visit) {
  std::uint64_t fileStart = 0;
  for (const Extent& e : extents) {
    const std::uint64_t bytes = std::uint64_t{e.blockCount} * blockSize;
    if (length > 0 && position < fileStart + bytes) {
      const std::uint64_t within = position - fileStart;
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(bytes - within, length));
      visit(std::uint64_t{e.startBlock} * blockSize + within, n);
      position += n;
      length -= n;
    }
    fileStart += bytes;
  }
  if (length > 0) throw ToolError("damaged HFS Plus volume: access beyond the end of a special file");
}

}  // namespace

void readFile(const ImageIO& io, std::uint64_t offset, std::uint32_t blockSize, const std::vector<Extent>& extents,
              std::uint64_t position, unsigned char* out, std::size_t length) {
  walkFile(blockSize, extents, position, length, [&](std::uint64_t at, std::size_t n) {
    io.read(offset + at, out, n);
    out += n;
  });
}

void writeFile(ImageIO& io, std::uint64_t offset, std::uint32_t blockSize, const std::vector<Extent>& extents,
               std::uint64_t position, const unsigned char* data, std::size_t length) {
  walkFile(blockSize, extents, position, length, [&](std::uint64_t at, std::size_t n) {
    io.write(offset + at, data, n);
    data += n;
  });
}

}  // namespace quorbel::imagetool::hfsplus::detail
