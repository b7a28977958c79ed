#pragma once
// B-tree nodes as HFS Plus lays them out: a 14-byte descriptor, records, and record offsets stored
// backwards from the end of the node.

#include <cstdint>
#include <utility>
#include <vector>

namespace quorbel::imagetool::hfsplus::detail {

constexpr std::size_t kNodeDescriptorSize = 14;
constexpr std::size_t kHeaderRecordSize = 106;
constexpr std::size_t kUserDataRecordSize = 128;
constexpr std::uint32_t kBigKeys = 2;
constexpr std::uint32_t kVariableIndexKeys = 4;
constexpr std::uint8_t kCaseFolding = 0xCF;

enum class NodeKind : std::int8_t { leaf = -1, index = 0, header = 1, map = 2 };

// Builds one node: records appended in order, offsets kept at the end.
class NodeBuilder {
 public:
  NodeBuilder(std::uint32_t nodeSize, NodeKind kind, std::uint8_t height);
  void setForwardLink(std::uint32_t node);
  // Appends a record; throws std::length_error when it does not fit.
  void add(const std::vector<unsigned char>& record);
  const std::vector<unsigned char>& bytes();

 private:
  std::vector<unsigned char> node_;
  std::uint16_t records_ = 0;
  std::uint16_t freeStart_;
};

struct TreeShape {
  std::uint32_t nodeSize = 0;
  std::uint32_t totalNodes = 0;
  std::uint32_t clumpSize = 0;
  std::uint16_t maxKeyLength = 0;
  std::uint32_t attributes = 0;
  std::uint8_t compareType = 0;
  // Nodes 0 (header) .. usedNodes-1 are in use; node 1 is the root leaf when leafRecords > 0.
  std::uint32_t leafRecords = 0;
};

// The header node (node 0) and any map nodes a new tree needs, with their node numbers. When
// leafRecords > 0, node 1 is the tree's only (root) leaf, built by the caller; map nodes follow it.
// Every other node is free and left as zeros.
std::vector<std::pair<std::uint32_t, std::vector<unsigned char>>> headerAndMapNodes(const TreeShape& shape);

}  // namespace quorbel::imagetool::hfsplus::detail
