#include "imagetool/hfsplus/btree.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "imagetool/hfsplus/structures.h"

namespace quorbel::imagetool::hfsplus::detail {

NodeBuilder::NodeBuilder(std::uint32_t nodeSize, NodeKind kind, std::uint8_t height)
    : node_(nodeSize, 0), freeStart_(kNodeDescriptorSize) {
  node_[8] = static_cast<unsigned char>(kind);
  node_[9] = height;
  putBe16(node_.data() + nodeSize - 2, freeStart_);
}

void NodeBuilder::setForwardLink(std::uint32_t node) { putBe32(node_.data(), node); }

void NodeBuilder::add(const std::vector<unsigned char>& record) {
  const std::size_t offsetsEnd = node_.size() - 2u * (records_ + 2u);  // after adding one more offset
  if (freeStart_ + record.size() > offsetsEnd) throw std::length_error("B-tree record does not fit its node");
  std::memcpy(node_.data() + freeStart_, record.data(), record.size());
  freeStart_ = static_cast<std::uint16_t>(freeStart_ + record.size());
  ++records_;
  putBe16(node_.data() + 10, records_);
  putBe16(node_.data() + node_.size() - 2u * (records_ + 1u), freeStart_);
}

const std::vector<unsigned char>& NodeBuilder::bytes() { return node_; }

std::vector<std::pair<std::uint32_t, std::vector<unsigned char>>> headerAndMapNodes(const TreeShape& s) {
  const std::uint32_t headerMapBytes = s.nodeSize - 256;  // after descriptor, header and user records
  const std::uint32_t mapNodeBytes = s.nodeSize - 20;     // one record, two offsets, two spare bytes
  const std::uint32_t leafNodes = s.leafRecords > 0 ? 1 : 0;
  std::uint32_t mapNodes = 0;
  if (s.totalNodes > headerMapBytes * 8u)
    mapNodes = (s.totalNodes - headerMapBytes * 8u + mapNodeBytes * 8u - 1) / (mapNodeBytes * 8u);
  const std::uint32_t used = 1 + leafNodes + mapNodes;
  if (used > s.totalNodes) throw std::length_error("B-tree too small for its own header");

  // The node bitmap runs through the header's map record, then each map node's record.
  std::vector<unsigned char> bits((used + 7) / 8, 0);
  for (std::uint32_t n = 0; n < used; ++n) bits[n / 8] |= static_cast<unsigned char>(0x80u >> (n % 8));
  auto copyBits = [&](unsigned char* to, std::size_t from, std::size_t capacity) {
    if (from < bits.size()) std::memcpy(to, bits.data() + from, std::min(capacity, bits.size() - from));
  };

  std::vector<std::pair<std::uint32_t, std::vector<unsigned char>>> nodes;
  std::vector<unsigned char> header(s.nodeSize, 0);
  unsigned char* h = header.data();
  header[8] = static_cast<unsigned char>(NodeKind::header);
  putBe16(h + 10, 3);
  if (mapNodes > 0) putBe32(h, 1 + leafNodes);
  unsigned char* r = h + kNodeDescriptorSize;
  putBe16(r + 0, leafNodes ? 1 : 0);  // depth
  putBe32(r + 2, leafNodes ? 1 : 0);  // root
  putBe32(r + 6, s.leafRecords);
  putBe32(r + 10, leafNodes ? 1 : 0);  // first leaf
  putBe32(r + 14, leafNodes ? 1 : 0);  // last leaf
  putBe16(r + 18, static_cast<std::uint16_t>(s.nodeSize));
  putBe16(r + 20, s.maxKeyLength);
  putBe32(r + 22, s.totalNodes);
  putBe32(r + 26, s.totalNodes - used);
  putBe32(r + 32, s.clumpSize);
  r[37] = s.compareType;
  putBe32(r + 38, s.attributes);
  copyBits(h + 248, 0, headerMapBytes);
  putBe16(h + s.nodeSize - 2, 14);
  putBe16(h + s.nodeSize - 4, 120);
  putBe16(h + s.nodeSize - 6, 248);
  putBe16(h + s.nodeSize - 8, static_cast<std::uint16_t>(s.nodeSize - 8));
  nodes.emplace_back(0, std::move(header));

  for (std::uint32_t m = 0; m < mapNodes; ++m) {
    const std::uint32_t number = 1 + leafNodes + m;
    std::vector<unsigned char> node(s.nodeSize, 0);
    if (m + 1 < mapNodes) putBe32(node.data(), number + 1);
    node[8] = static_cast<unsigned char>(NodeKind::map);
    putBe16(node.data() + 10, 1);
    copyBits(node.data() + kNodeDescriptorSize, headerMapBytes + std::size_t{m} * mapNodeBytes, mapNodeBytes);
    putBe16(node.data() + s.nodeSize - 2, kNodeDescriptorSize);
    putBe16(node.data() + s.nodeSize - 4, static_cast<std::uint16_t>(kNodeDescriptorSize + mapNodeBytes));
    nodes.emplace_back(number, std::move(node));
  }
  return nodes;
}

}  // namespace quorbel::imagetool::hfsplus::detail
