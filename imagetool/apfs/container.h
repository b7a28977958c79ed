#pragma once
// The latest checkpoint of an APFS container as the free-space reader and the resizer use it: read,
// decoded and checked against itself and against what the container's trees use.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "imagetool/apfs/objects.h"
#include "imagetool/byte_order.h"
#include "imagetool/image_io.h"

namespace quorbel::imagetool::apfs::detail {

using namespace bytes;

// Everything of the latest checkpoint that free space and resizing need, checked on reading.
struct Container {
  const ImageIO* io = nullptr;
  std::uint64_t offset = 0;
  std::uint32_t blockSize = 0;
  std::uint64_t blockCount = 0;
  std::uint64_t xid = 0;
  std::vector<unsigned char> super;  // the latest checkpoint's superblock, one block
  Superblock sb;                     // and decoded
  std::uint64_t descBase = 0, dataBase = 0;
  std::uint32_t descBlocks = 0, dataBlocks = 0, descIndex = 0, descLen = 0, dataIndex = 0, dataLen = 0;
  std::vector<Mapping> mappings;
  std::size_t spacemanMapping = 0;      // index into mappings
  std::vector<unsigned char> spaceman;  // the whole object
  Spaceman sm;                          // and decoded
  std::vector<Chunk> chunks;
  std::vector<std::uint64_t> cibAddrs, cabAddrs;
  std::uint64_t ipBase = 0, ipBlockCount = 0, ipBmBase = 0;
  std::uint32_t ipBmBlockCount = 0, ipBmSizeInBlocks = 0;
  std::uint64_t freeCount = 0;
  bool staleBlockZero = false;

  // Reads `count` blocks; damaged when they reach past the container.
  void readBlocks(std::uint64_t block, void* out, std::size_t count) const;
  std::vector<unsigned char> block(std::uint64_t number) const;
  // The chunk's bitmap (zeros when it has none): bit i set means block chunk.addr + i is in use.
  std::vector<unsigned char> bitmap(const Chunk& chunk) const;
};

// A physical or ephemeral object of `length` bytes at `block`, checked for its checksum and type, its
// extent checked against the container before anything is allocated.
std::vector<unsigned char> readObject(const Container& c, std::uint64_t block, std::size_t length, std::uint32_t type,
                                      const char* what);

// Refuses (damaged) a container whose space manager marks free a block that its object maps, their
// trees, the volume superblocks, the volumes' extent-reference and snapshot trees or the container's
// own areas use: a bitmap that disagrees with them cannot be trusted for anything.
void crossCheckUsage(const Container& c);

// Reads and checks the latest checkpoint; ContainerRefused with the reason when it is not safe to go by.
// With `requireClean` false, block zero may lag behind the newest valid checkpoint (which is what a
// Mac mounts): `staleBlockZero` tells.
Container readContainer(const ImageIO& io, std::uint64_t offset, bool requireClean = true);

}  // namespace quorbel::imagetool::apfs::detail
