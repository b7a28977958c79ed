// What a consistent reading of an APFS container uses, checked against its space manager's bitmaps:
// a bitmap that marks free a block the object maps, their trees, a volume or the container's own
// areas use has been damaged or forged, and nothing it says free can be trusted.

#include <algorithm>
#include <map>
#include <set>

#include "imagetool/apfs/container.h"

namespace quorbel::imagetool::apfs::detail {

namespace {

constexpr std::size_t kOmapKeySize = 16, kOmapValueSize = 16;
constexpr std::uint64_t kObjIdMask = 0x0FFFFFFFFFFFFFFFull;

struct Use {
  std::uint64_t first = 0, count = 0;
  const char* what = "";
};

class UsageWalk {
 public:
  explicit UsageWalk(const Container& c) : c_(c) {}

  void add(std::uint64_t first, std::uint64_t count, const char* what) {
    if (count == 0) return;
    if (first >= c_.blockCount || count > c_.blockCount - first)
      damaged(std::string("its ") + what + " lies past the end of the container (block " + std::to_string(first) + ")");
    uses_.push_back({first, count, what});
  }

  // Every node of the physical B-tree rooted at `root`, each marked used; `leaf` sees each leaf entry.
  template <typename Leaf>
  void walkTree(std::uint64_t root, std::size_t keySize, std::size_t valueSize, const char* what, const Leaf& leaf) {
    std::vector<std::uint64_t> pending{root};
    while (!pending.empty()) {
      const std::uint64_t at = pending.back();
      pending.pop_back();
      if (!visited_.insert(at).second) damaged(std::string("its ") + what + " reaches one node twice");
      const auto bytes = readNode(at, at == root, what);
      add(at, 1, what);
      const BtreeNode node = BtreeNode::decode(bytes.data(), bytes.size(), keySize, valueSize);
      for (const auto& [key, value] : node.entries) {
        if (node.leaf()) {
          leaf(bytes.data() + key.at, key.length, bytes.data() + value.at, value.length);
        } else {
          if (value.length < 8) damaged(std::string("its ") + what + " has an index entry without a child");
          pending.push_back(le64(bytes.data() + value.at));
        }
      }
    }
  }

  // The object map at `oid` and its tree; every live mapping's blocks are used. Returns the latest
  // address of each object id at or before the checkpoint.
  std::map<std::uint64_t, std::uint64_t> walkObjectMap(std::uint64_t oid, const char* what) {
    const auto omap = readObject(c_, oid, c_.blockSize, kTypeOmap, what);
    add(oid, 1, what);
    std::map<std::uint64_t, std::pair<std::uint64_t, std::uint64_t>> latest;  // oid -> xid, paddr
    walkTree(le64(omap.data() + kOmapTreeOid), kOmapKeySize, kOmapValueSize, what,
             [&](const unsigned char* key, std::size_t keyLength, const unsigned char* value, std::size_t valueLength) {
               if (keyLength < kOmapKeySize || valueLength < kOmapValueSize)
                 damaged("an object map entry is cut short");
               const OmapValue v{le32(value), le32(value + 4), le64(value + 8)};
               if ((v.flags & kOmapValueDeleted) != 0) return;
               add(v.paddr, std::max<std::uint64_t>(1, (v.size + c_.blockSize - 1) / c_.blockSize), what);
               const std::uint64_t object = le64(key), xid = le64(key + 8);
               auto& slot = latest[object];
               if (xid <= c_.xid && xid >= slot.first) slot = {xid, v.paddr};
             });
    std::map<std::uint64_t, std::uint64_t> addresses;
    for (const auto& [object, found] : latest) addresses[object] = found.second;
    return addresses;
  }

  // A volume: its superblock, object map, and the physical trees it roots with the extents they list.
  void walkVolume(std::uint64_t at) {
    const auto bytes = readObject(c_, at, c_.blockSize, kTypeVolume, "volume superblock");
    add(at, 1, "volume superblock");
    const VolumeSuperblock volume = VolumeSuperblock::decode(bytes.data());
    if (!volume.magicOk) damaged("a volume superblock has no signature");
    walkObjectMap(volume.omapOid, "volume object map");
    if (volume.extentRefTreeOid != 0 && volume.extentRefTreePhysical)
      walkTree(
          volume.extentRefTreeOid, 0, 0, "extent reference tree",
          [&](const unsigned char* key, std::size_t keyLength, const unsigned char* value, std::size_t valueLength) {
            if (keyLength < 8 || valueLength < 8) damaged("an extent reference is cut short");
            add(le64(key) & kObjIdMask, le64(value) & kObjIdMask, "file data");
          });
    if (volume.snapMetaTreeOid != 0 && volume.snapMetaTreePhysical)
      walkTree(volume.snapMetaTreeOid, 0, 0, "snapshot tree", [](auto...) {});
  }

  // The first block marked free that a use covers, as a reason; empty when all agree.
  std::string firstDisagreement() const;

 private:
  std::vector<unsigned char> readNode(std::uint64_t at, bool root, const char* what) {
    auto bytes = c_.block(at);
    if (!checksumOk(bytes.data(), bytes.size()))
      damaged(std::string("its ") + what + " fails its checksum (block " + std::to_string(at) + ")");
    const std::uint32_t type = le32(bytes.data() + kType) & kTypeMask;
    if (type != (root ? kTypeBtree : kTypeBtreeNode))
      damaged(std::string("its ") + what + " has a node of the wrong type (block " + std::to_string(at) + ")");
    return bytes;
  }

  const Container& c_;
  std::vector<Use> uses_;
  std::set<std::uint64_t> visited_;
};

std::string UsageWalk::firstDisagreement() const {
  const std::uint64_t bpc = c_.blockSize * 8ull;
  std::size_t loaded = SIZE_MAX;
  std::vector<unsigned char> bits;
  for (const Use& use : uses_) {
    for (std::uint64_t b = use.first; b < use.first + use.count;) {
      const std::size_t index = b / bpc;
      const Chunk& chunk = c_.chunks[index];
      const std::uint64_t end = std::min(use.first + use.count, chunk.addr + chunk.blockCount);
      if (chunk.freeCount != 0) {
        if (loaded != index) bits = c_.bitmap(chunk), loaded = index;
        for (; b < end; ++b)
          if (((bits[(b - chunk.addr) / 8] >> ((b - chunk.addr) % 8)) & 1) == 0)
            return "its space manager marks block " + std::to_string(b) + " free, which its " + use.what + " uses";
      }
      b = end;
    }
  }
  return {};
}

}  // namespace

void crossCheckUsage(const Container& c) {
  UsageWalk walk(c);
  walk.add(0, 1, "superblock");
  walk.add(c.descBase, c.descBlocks, "checkpoint descriptor area");
  walk.add(c.dataBase, c.dataBlocks, "checkpoint data area");
  walk.add(c.ipBase, c.ipBlockCount, "internal pool");
  walk.add(c.ipBmBase, c.ipBmBlockCount, "internal pool bitmaps");
  for (const std::uint64_t at : c.cibAddrs) walk.add(at, 1, "chunk-info block");
  for (const std::uint64_t at : c.cabAddrs) walk.add(at, 1, "chunk-info address block");
  for (const Chunk& chunk : c.chunks)
    if (chunk.bitmapAddr != 0) walk.add(chunk.bitmapAddr, 1, "allocation bitmap");
  if (c.sb.efiJumpstart != 0) walk.add(c.sb.efiJumpstart, 1, "boot loader information");
  walk.add(c.sb.keylockerStart, c.sb.keylockerBlocks, "key bag");
  walk.add(c.sb.mediaKeylockerStart, c.sb.mediaKeylockerBlocks, "media key bag");
  const auto volumes = walk.walkObjectMap(c.sb.omapOid, "container object map");
  for (const std::uint64_t oid : c.sb.volumeOids) {
    const auto found = volumes.find(oid);
    if (found == volumes.end()) damaged("its object map does not hold volume " + std::to_string(oid));
    walk.walkVolume(found->second);
  }
  if (const std::string why = walk.firstDisagreement(); !why.empty()) damaged(why);
}

}  // namespace quorbel::imagetool::apfs::detail
