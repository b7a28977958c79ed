#pragma once
// HFS Plus ("HFS+") and journaled HFS Plus ("HFS+J") volumes written, inspected and resized in place.
// Every function works on a volume that starts `offset` bytes into an image; all multi-byte fields on
// disk are big-endian.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "imagetool/image_io.h"

namespace quorbel::imagetool::hfsplus {

struct VolumeOptions {
  std::string name;        // UTF-8; stored decomposed, as HFS Plus requires. Empty: "untitled".
  bool journaled = false;  // HFS+J: a journal (sized as macOS sizes it) and the journaled attribute
};

// Writes an empty HFS Plus volume over [offset, offset + length) of `io`: volume header at byte 1024,
// alternate header 1024 bytes before the end, allocation file, extents overflow, catalog and attributes
// B-trees, and for a journaled volume the journal info block and its journal. The region must read as
// zeros (a fresh sparse image): only non-zero data is written, so the cost does not grow with the
// volume apart from a few bytes of the allocation file. Throws ToolError when the region is too small
// or too large for HFS Plus, or the name cannot be stored.
void formatVolume(ImageIO& io, std::uint64_t offset, std::uint64_t length, const VolumeOptions& options);

// The byte ranges (start relative to `io` as for formatVolume, length) whose content formatVolume
// defines, zeros included: the first and last allocation blocks with the volume headers, the whole
// allocation file, the B-tree files and the journal info block. formatVolume writes only the non-zero
// bytes of these; an image whose unwritten bytes do not read as zeros (an encrypted one) needs them
// written in full. The journal is not listed: its info block asks the first mount to initialise it.
std::vector<std::pair<std::uint64_t, std::uint64_t>> formattedRegions(std::uint64_t offset, std::uint64_t length,
                                                                      const VolumeOptions& options);

// True when an HFS Plus or HFSX volume header ("H+" or "HX") is at offset + 1024.
bool isHfsPlus(const ImageIO& io, std::uint64_t offset);

// What the volume header says, for reports.
struct VolumeSummary {
  std::string name;  // the root folder's name (UTF-8, as stored)
  std::uint32_t blockSize = 0;
  std::uint32_t totalBlocks = 0;
  std::uint32_t freeBlocks = 0;
  bool journaled = false;
  bool caseSensitive = false;  // HFSX
};
VolumeSummary describeVolume(const ImageIO& io, std::uint64_t offset);

// Byte ranges (start relative to `io`, length) of the allocation blocks that the allocation file marks
// free, merged where adjacent and in ascending order. Blocks holding the volume headers are never
// listed. Refuses (ToolError) a volume that was not cleanly unmounted or whose journal still holds
// transactions, since its allocation file may then be out of date.
std::vector<std::pair<std::uint64_t, std::uint64_t>> freeRanges(const ImageIO& io, std::uint64_t offset);

// Grows or shrinks the volume at `offset` from `oldLength` to `newLength` bytes (both multiples of 512).
// The image must already hold max(oldLength, newLength) bytes there: grow the partition before, shrink
// it after. Shrinking needs every allocation block past the new end to be free; otherwise, and for any
// other refusal, ToolError with the reason and nothing is changed. The volume header is the last write
// that matters, so an interrupted resize leaves the old volume or the new one.
// A shrink refused because blocks past the new end are in use: `minimum` is the smallest volume length
// that would work.
class VolumeTooSmall : public ToolError {
 public:
  VolumeTooSmall(const std::string& what, std::uint64_t minimum) : ToolError(what), minimum(minimum) {}
  std::uint64_t minimum;
};
void resizeVolume(ImageIO& io, std::uint64_t offset, std::uint64_t oldLength, std::uint64_t newLength);

}  // namespace quorbel::imagetool::hfsplus
