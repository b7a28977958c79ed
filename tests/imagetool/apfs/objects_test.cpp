// The APFS decoders fed bytes laid out by hand from the published format (offsets written here, not
// taken from the code): the checksum, the container superblock, the checkpoint map, the space manager,
// chunk-info blocks and B-tree nodes, each with the hostile counts that must be refused.

#include <gtest/gtest.h>

#include <functional>

#include "imagetool/apfs/objects.h"

namespace quorbel::imagetool::apfs::detail {
namespace {

using Bytes = std::vector<unsigned char>;

void put(Bytes& b, std::size_t at, std::uint64_t v, int width) {
  for (int i = 0; i < width; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

Refusal refusalOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const ContainerRefused& e) {
    return e.kind;
  }
  ADD_FAILURE() << "not refused";
  return Refusal::unsupported;
}

TEST(ApfsDecode, Fletcher64MatchesAnIndependentComputationAndSealsSo) {
  Bytes object(24);
  for (std::size_t i = 0; i < object.size(); ++i) object[i] = static_cast<unsigned char>(i + 1);
  EXPECT_EQ(fletcher64(object.data() + 8, 16), 0xa0968c8217253341ull);
  EXPECT_FALSE(checksumOk(object.data(), object.size()));
  seal(object.data(), object.size());
  EXPECT_TRUE(checksumOk(object.data(), object.size()));
  EXPECT_EQ(object[0], 0x41);  // stored little-endian
}

TEST(ApfsDecode, SuperblockFieldsComeFromTheirOffsets) {
  Bytes b(4096);
  b[0x20] = 'N', b[0x21] = 'X', b[0x22] = 'S', b[0x23] = 'B';
  const struct {
    std::size_t at;
    int width;
    std::uint64_t value;
    std::function<std::uint64_t(const Superblock&)> get;
  } fields[] = {
      {0x10, 8, 77, [](const Superblock& s) { return s.header.xid; }},
      {0x24, 4, 4096, [](const Superblock& s) { return s.blockSize; }},
      {0x28, 8, 0x123456789, [](const Superblock& s) { return s.blockCount; }},
      {0x40, 8, 0x100, [](const Superblock& s) { return s.incompatible; }},
      {0x60, 8, 78, [](const Superblock& s) { return s.nextXid; }},
      {0x68, 4, 8, [](const Superblock& s) { return s.descBlocks; }},
      {0x6C, 4, 52, [](const Superblock& s) { return s.dataBlocks; }},
      {0x70, 8, 1, [](const Superblock& s) { return s.descBase; }},
      {0x78, 8, 9, [](const Superblock& s) { return s.dataBase; }},
      {0x80, 4, 5, [](const Superblock& s) { return s.descNext; }},
      {0x84, 4, 6, [](const Superblock& s) { return s.dataNext; }},
      {0x88, 4, 3, [](const Superblock& s) { return s.descIndex; }},
      {0x8C, 4, 2, [](const Superblock& s) { return s.descLen; }},
      {0x90, 4, 4, [](const Superblock& s) { return s.dataIndex; }},
      {0x94, 4, 7, [](const Superblock& s) { return s.dataLen; }},
      {0x98, 8, 1024, [](const Superblock& s) { return s.spacemanOid; }},
      {0xA0, 8, 20000, [](const Superblock& s) { return s.omapOid; }},
      {0xB4, 4, 2, [](const Superblock& s) { return s.maxFileSystems; }},
      {0x4E0, 8, 3, [](const Superblock& s) { return s.blockedOutCount; }},
      {0x4F8, 8, 31, [](const Superblock& s) { return s.efiJumpstart; }},
      {0x518, 8, 2, [](const Superblock& s) { return s.keylockerBlocks; }},
      {0x578, 8, 1, [](const Superblock& s) { return s.mediaKeylockerBlocks; }},
  };
  for (const auto& f : fields) put(b, f.at, f.value, f.width);
  put(b, 0xB8 + 8 * 5, 1026, 8);  // the sixth volume slot only
  const Superblock s = Superblock::decode(b.data());
  EXPECT_TRUE(s.magicOk);
  for (const auto& f : fields) EXPECT_EQ(f.get(s), f.value) << "offset " << f.at;
  EXPECT_EQ(s.volumeOids, std::vector<std::uint64_t>{1026});
}

TEST(ApfsDecode, CheckpointMapEntriesAndAnOverfullCount) {
  Bytes b(4096);
  put(b, 0x20, 1, 4);  // last
  put(b, 0x24, 2, 4);
  put(b, 0x28 + 40 + 0, 0x80000005, 4);
  put(b, 0x28 + 40 + 8, 4096, 4);
  put(b, 0x28 + 40 + 24, 1024, 8);
  put(b, 0x28 + 40 + 32, 12, 8);
  const CheckpointMap m = CheckpointMap::decode(b.data(), 4096);
  EXPECT_TRUE(m.last);
  ASSERT_EQ(m.mappings.size(), 2u);
  EXPECT_EQ(m.mappings[1].type, 0x80000005u);
  EXPECT_EQ(m.mappings[1].size, 4096u);
  EXPECT_EQ(m.mappings[1].oid, 1024u);
  EXPECT_EQ(m.mappings[1].paddr, 12u);
  put(b, 0x24, 102, 4);  // 0x28 + 102 * 40 > 4096
  EXPECT_EQ(refusalOf([&] { CheckpointMap::decode(b.data(), 4096); }), Refusal::damaged);
}

TEST(ApfsDecode, SpaceManagerAndItsChunkInfoAddressesWithinIt) {
  Bytes b(4096);
  put(b, 0x20, 4096, 4);
  put(b, 0x24, 32768, 4);
  put(b, 0x30 + 8, 3, 8);       // chunks
  put(b, 0x30 + 16, 2, 4);      // chunk-info blocks
  put(b, 0x30 + 24, 99, 8);     // free
  put(b, 0x30 + 32, 0x150, 4);  // address offset
  put(b, 0xB0, 21016, 8);       // pool base
  put(b, 0xC8, 5, 8);           // pool free queue count
  put(b, 0x150, 21017, 8);
  put(b, 0x158, 21018, 8);
  const Spaceman s = Spaceman::decode(b.data(), b.size());
  EXPECT_EQ(s.blocksPerChunk, 32768u);
  EXPECT_EQ(s.chunkCount, 3u);
  EXPECT_EQ(s.freeCount, 99u);
  EXPECT_EQ(s.ipBase, 21016u);
  EXPECT_EQ(s.ipQueueCount, 5u);
  EXPECT_EQ(s.addresses, (std::vector<std::uint64_t>{21017, 21018}));
  for (const auto& [field, value] :
       {std::pair{0x30 + 16, std::uint64_t{0x7FFFFFFF}}, {0x30 + 32, 4092}, {0x30 + 32, 0x10}}) {
    Bytes hostile = b;
    put(hostile, field, value, 4);
    EXPECT_EQ(refusalOf([&] { Spaceman::decode(hostile.data(), hostile.size()); }), Refusal::damaged) << field;
  }
}

TEST(ApfsDecode, ChunkInfoBlockMasksItsCountsAndRefusesImpossibleOnes) {
  Bytes b(4096);
  put(b, 0x20, 4, 4);
  put(b, 0x24, 1, 4);
  put(b, 0x28 + 8, 32768 * 4, 8);
  put(b, 0x28 + 16, 0xFFF08000, 4);  // upper bits are flags
  put(b, 0x28 + 20, 0x00000010, 4);
  put(b, 0x28 + 24, 21020, 8);
  const ChunkInfoBlock c = ChunkInfoBlock::decode(b.data(), 4096);
  EXPECT_EQ(c.index, 4u);
  ASSERT_EQ(c.chunks.size(), 1u);
  EXPECT_EQ(c.chunks[0].blockCount, 0x8000u);
  EXPECT_EQ(c.chunks[0].freeCount, 16u);
  EXPECT_EQ(c.chunks[0].bitmapAddr, 21020u);
  for (const std::uint32_t count : {0u, 127u}) {
    put(b, 0x24, count, 4);
    EXPECT_EQ(refusalOf([&] { ChunkInfoBlock::decode(b.data(), 4096); }), Refusal::damaged) << count;
  }
}

// A root leaf with fixed-size entries (an object map's) and an index node with variable ones.
TEST(ApfsDecode, BtreeNodeEntriesLieWhereTheirTableSaysAndNoEntryLeavesTheNode) {
  Bytes leaf(4096);
  put(leaf, 0x20, 1 | 2 | 4, 2);
  put(leaf, 0x24, 2, 4);
  put(leaf, 0x28, 0, 2);
  put(leaf, 0x2A, 8, 2);                                   // table: two 4-byte entries
  put(leaf, 0x38 + 2, 16, 2);                              // first: key 0, value 16
  put(leaf, 0x38 + 4, 16, 2), put(leaf, 0x38 + 6, 32, 2);  // second: key 16, value 32
  const BtreeNode l = BtreeNode::decode(leaf.data(), leaf.size(), 16, 16);
  ASSERT_EQ(l.entries.size(), 2u);
  EXPECT_TRUE(l.leaf());
  EXPECT_EQ(l.entries[1].first.at, 0x38u + 8 + 16);
  EXPECT_EQ(l.entries[1].second.at, 4096u - 40 - 32);
  EXPECT_EQ(l.entries[1].second.length, 16u);

  Bytes index(4096);
  put(index, 0x22, 1, 2);
  put(index, 0x24, 1, 4);
  put(index, 0x2A, 8, 2);
  put(index, 0x38 + 0, 0, 2), put(index, 0x38 + 2, 8, 2), put(index, 0x38 + 4, 8, 2), put(index, 0x38 + 6, 8, 2);
  const BtreeNode n = BtreeNode::decode(index.data(), index.size(), 0, 0);
  ASSERT_EQ(n.entries.size(), 1u);
  EXPECT_FALSE(n.leaf());
  EXPECT_EQ(n.entries[0].second.at, 4096u - 8);

  put(index, 0x38 + 4, 5000, 2);  // value offset past the node
  EXPECT_EQ(refusalOf([&] { BtreeNode::decode(index.data(), index.size(), 0, 0); }), Refusal::damaged);
  put(leaf, 0x24, 3, 4);  // more entries than the table holds
  EXPECT_EQ(refusalOf([&] { BtreeNode::decode(leaf.data(), leaf.size(), 16, 16); }), Refusal::damaged);
}

}  // namespace
}  // namespace quorbel::imagetool::apfs::detail
