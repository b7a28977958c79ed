#pragma once
// The free space of the file systems in an image, as compaction reclaims it.

#include <functional>
#include <string>
#include <vector>

#include "imagetool/bundle/fs_util.h"
#include "imagetool/image_io.h"

namespace quorbel::imagetool {

// Byte ranges of `image` that its file systems mark free: HFS Plus and HFSX by their allocation
// file, APFS containers by their space manager's bitmaps, exFAT by its allocation bitmap, each found
// in a partition of the map or, without a map, over
// the whole image. Ranges never reach outside the partition that holds them. A volume that cannot be
// read safely (not cleanly unmounted, damaged) contributes nothing, and `note` is told why; other file
// systems contribute nothing.
std::vector<ByteRange> volumeFreeRanges(const ImageIO& image, const std::function<void(const std::string&)>& note);

}  // namespace quorbel::imagetool
