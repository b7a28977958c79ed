#pragma once
// A small HFS Plus consistency checker of the tests' own, independent of the tool's code: the volume
// header's free count against the allocation file, and each B-tree's header against its file's size and
// its node map (header map record and map nodes). The Sleuth Kit does not look at these.

#include <cstdint>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace quorbel::imagetool::test {

// Complaints about the HFS Plus volume `offset` bytes into the file `image`; empty when consistent.
// `leakAllowed` blocks may be in use that the header counts free (what an interrupted resize may leave,
// and a file-system check gives back).
inline std::string hfsConsistency(const std::string& image, std::uint64_t offset, std::uint64_t leakAllowed = 0) {
  std::ifstream in(image, std::ios::binary);
  const auto bytes = [&](std::uint64_t at, std::size_t n) {
    std::vector<unsigned char> b(n, 0);
    in.clear();
    in.seekg(static_cast<std::streamoff>(offset + at));
    in.read(reinterpret_cast<char*>(b.data()), static_cast<std::streamsize>(n));
    return b;
  };
  const auto be = [](const std::vector<unsigned char>& b, std::size_t at, int width) {
    std::uint64_t v = 0;
    for (int i = 0; i < width; ++i) v = v << 8 | b.at(at + i);
    return v;
  };
  const auto header = bytes(1024, 512);
  if (header[0] != 'H' || (header[1] != '+' && header[1] != 'X')) return "no HFS Plus volume header";
  const std::uint64_t blockSize = be(header, 40, 4), totalBlocks = be(header, 44, 4), freeBlocks = be(header, 48, 4);
  std::string complaints;
  // A fork's content, read through the extents in its record; empty when it continues in the
  // extents overflow file (not followed here).
  const auto fork = [&](std::size_t at, std::uint64_t limit) {
    std::vector<unsigned char> data;
    std::uint64_t blocks = 0;
    for (int i = 0; i < 8; ++i) {
      const std::uint64_t start = be(header, at + 16 + 8 * i, 4), count = be(header, at + 20 + 8 * i, 4);
      if (start + count > totalBlocks) complaints += "a special file lies outside the volume; ";
      blocks += count;
      if (data.size() < limit) {
        const auto piece = bytes(start * blockSize, static_cast<std::size_t>(count * blockSize));
        data.insert(data.end(), piece.begin(), piece.end());
      }
    }
    if (blocks > be(header, at + 12, 4)) complaints += "a special file's extents exceed its block count; ";
    if (blocks != be(header, at + 12, 4)) return std::vector<unsigned char>{};
    if (be(header, at, 8) > blocks * blockSize) complaints += "a special file is larger than its blocks; ";
    data.resize(std::min<std::uint64_t>(data.size(), be(header, at, 8)));
    return data;
  };
  const auto bit = [](const std::vector<unsigned char>& map, std::uint64_t n) {
    return n / 8 < map.size() && (map[n / 8] & (0x80u >> (n % 8))) != 0;
  };

  const auto allocation = fork(112, UINT64_MAX);
  if (!allocation.empty()) {
    std::uint64_t free = 0;
    for (std::uint64_t b = 0; b < totalBlocks; ++b) free += bit(allocation, b) ? 0 : 1;
    if (allocation.size() * 8 < totalBlocks) complaints += "the allocation file is shorter than the volume; ";
    if (free > freeBlocks || freeBlocks - free > leakAllowed)
      complaints +=
          "free blocks: header " + std::to_string(freeBlocks) + ", allocation file " + std::to_string(free) + "; ";
  }
  for (const auto& [name, at] :
       {std::pair<const char*, std::size_t>{"extents", 192}, {"catalog", 272}, {"attributes", 352}}) {
    if (be(header, at, 8) == 0) continue;  // no such tree
    const auto tree = fork(at, 64u << 20);
    if (tree.size() < 512) continue;
    const std::string where = std::string(name) + " B-tree: ";
    const std::uint64_t nodeSize = be(tree, 32, 2), totalNodes = be(tree, 36, 4), freeNodes = be(tree, 40, 4);
    if (tree[8] != 1 || nodeSize < 512 || (nodeSize & (nodeSize - 1)) != 0 || nodeSize > tree.size()) {
      complaints += where + "unreadable header node; ";
      continue;
    }
    if (totalNodes * nodeSize != be(header, at, 8)) complaints += where + "node count disagrees with the file size; ";
    // The map: the header node's third record, then each map node's only record, along forward links.
    const auto record = [&](std::uint64_t node, int index) {
      const std::uint64_t base = node * nodeSize;
      const std::uint64_t from = be(tree, base + nodeSize - 2 * (index + 1), 2),
                          to = be(tree, base + nodeSize - 2 * (index + 2), 2);
      return std::vector<unsigned char>(tree.begin() + static_cast<std::ptrdiff_t>(base + from),
                                        tree.begin() + static_cast<std::ptrdiff_t>(base + std::max(from, to)));
    };
    std::vector<unsigned char> map = record(0, 2);
    std::set<std::uint64_t> seen{0};
    for (std::uint64_t next = be(tree, 0, 4); next != 0; next = be(tree, next * nodeSize, 4)) {
      if (next >= totalNodes || (next + 1) * nodeSize > tree.size() || !seen.insert(next).second ||
          tree[next * nodeSize + 8] != 2) {
        complaints += where + "broken map node chain; ";
        break;
      }
      const auto more = record(next, 0);
      map.insert(map.end(), more.begin(), more.end());
    }
    std::uint64_t used = 0;
    for (std::uint64_t n = 0; n < totalNodes; ++n) used += bit(map, n) ? 1 : 0;
    if (map.size() * 8 < totalNodes) complaints += where + "the map is shorter than the tree; ";
    if (totalNodes - used != freeNodes)
      complaints += where + "free nodes: header " + std::to_string(freeNodes) + ", map " +
                    std::to_string(totalNodes - used) + "; ";
    for (const std::size_t field : {16u, 24u, 28u})  // root, first leaf, last leaf
      if (const std::uint64_t node = be(tree, field, 4); node != 0 && (node >= totalNodes || !bit(map, node)))
        complaints += where + "a node the header names is not in use; ";
  }
  return complaints;
}

}  // namespace quorbel::imagetool::test
