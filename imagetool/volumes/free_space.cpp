#include "imagetool/volumes/free_space.h"

#include <algorithm>

#include "imagetool/apfs/apfs.h"
#include "imagetool/hfsplus/hfsplus.h"
#include "imagetool/layout/layout.h"
#include "imagetool/volumes/exfat.h"

namespace quorbel::imagetool {

namespace {

struct Region {
  std::uint64_t offset;
  std::uint64_t length;
  std::string fileSystem;
  std::string where;  // for notes: "partition 1" or "the image"
};

}  // namespace

std::vector<ByteRange> volumeFreeRanges(const ImageIO& image, const std::function<void(const std::string&)>& note) {
  const LayoutInfo layout = describeImage(image);
  std::vector<Region> regions;
  if (layout.scheme.empty()) {
    regions.push_back({0, image.size(), layout.fileSystem, "the image"});
  } else {
    int number = 0;
    for (const PartitionInfo& p : layout.partitions) {
      ++number;
      const std::uint64_t start = p.firstSector * 512;
      if (start >= image.size()) continue;
      const std::uint64_t length = std::min(p.sectorCount * 512, image.size() - start);
      regions.push_back({start, length, p.fileSystem, "partition " + std::to_string(number)});
    }
  }

  std::vector<ByteRange> free;
  for (const Region& r : regions) {
    std::vector<ByteRange> found;
    try {
      if (isHfsFamily(r.fileSystem)) {
        for (const auto& [start, length] : hfsplus::freeRanges(image, r.offset)) found.push_back({start, length});
      } else if (r.fileSystem == "APFS") {
        for (const auto& [start, length] : apfs::freeRanges(image, r.offset, r.length))
          found.push_back({start, length});
      } else if (r.fileSystem == "exFAT") {
        found = exfat::freeRanges(image, r.offset, r.length);
      } else {
        continue;
      }
    } catch (const ToolError& e) {
      if (note)
        note("The " + r.fileSystem + " volume in " + r.where + " was not searched for free blocks (" + e.what() +
             "); only blocks of zeros are reclaimed there.");
      continue;
    }
    // Clipped to the partition, so that a volume claiming more than its partition cannot hand out
    // the partition map or a neighbour.
    for (ByteRange range : found) {
      const std::uint64_t start = std::max(range.offset, r.offset);
      const std::uint64_t end = std::min(range.end(), r.offset + r.length);
      if (start < end) free.push_back({start, end - start});
    }
  }
  return free;
}

}  // namespace quorbel::imagetool
