#pragma once
// exFAT volumes as far as compaction needs them: which clusters the allocation bitmap marks free.

#include <cstdint>
#include <vector>

#include "imagetool/bundle/fs_util.h"
#include "imagetool/image_io.h"

namespace quorbel::imagetool::exfat {

// True when an exFAT boot sector ("EXFAT   " and the 0x55AA signature) is at `offset`.
bool isExfat(const ImageIO& io, std::uint64_t offset);

// Byte ranges (relative to `io`) of the clusters that the exFAT volume at `offset`, `length` bytes
// long, marks free in its active allocation bitmap; ascending and merged. Throws ToolError for a
// damaged volume or one not cleanly unmounted (its bitmap may then be out of date).
std::vector<ByteRange> freeRanges(const ImageIO& io, std::uint64_t offset, std::uint64_t length);

}  // namespace quorbel::imagetool::exfat
