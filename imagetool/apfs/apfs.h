#pragma once
// APFS containers inside an image: which blocks they leave free, and changing their size. Every
// function works on a container that starts `offset` bytes into an image. Only the container layer is
// written (superblock, checkpoints, space manager); volumes are read only to check what they use, and
// their files are never touched.

#include <cstdint>
#include <utility>
#include <vector>

#include "imagetool/image_io.h"

namespace quorbel::imagetool::apfs {

// True when an APFS container superblock ("NXSB") is at `offset`.
bool isContainer(const ImageIO& io, std::uint64_t offset);

// The container's size in bytes (block count times block size) as block zero records it: after a
// resize cut short the newest checkpoint may already have the new size, which resizing to it again
// completes.
std::uint64_t containerLength(const ImageIO& io, std::uint64_t offset);

// Byte ranges (start relative to `io`, length) of the blocks the container's space manager holds free,
// merged where adjacent and in ascending order, never reaching past `limit` bytes from `offset`.
// Refuses (ToolError, with the reason) a container that is not cleanly checkpointed (block zero is not
// the newest valid checkpoint, a newer checkpoint is torn), any structure read that fails its
// Fletcher-64 checksum, lies outside the container or disagrees with another, a space manager that
// marks free a block the object maps, their trees, the volumes or the checkpoint areas use, and
// layouts this reader does not know (Fusion).
std::vector<std::pair<std::uint64_t, std::uint64_t>> freeRanges(const ImageIO& io, std::uint64_t offset,
                                                                std::uint64_t limit);

// A shrink refused because blocks past the new end are in use; `minimumLength` is the smallest
// container size, in bytes, that the same resize would accept.
class ShrinkRefused : public ToolError {
 public:
  ShrinkRefused(const std::string& what, std::uint64_t minimumLength) : ToolError(what), minimumLength(minimumLength) {}
  std::uint64_t minimumLength;
};

// Sets the container at `offset` to `newLength` bytes (rounded down to whole blocks): block count,
// space manager (chunks, chunk-info blocks, bitmaps, internal pool), all written as one new checkpoint
// with the next transaction id; the checkpoint's superblock and then block zero are the last writes,
// and nothing the previous checkpoint uses is overwritten before them. The image must already hold
// max(old, new) bytes there. Refuses (ToolError, nothing written) what `freeRanges` refuses, a shrink
// over used blocks (ShrinkRefused), containers under 128 MB and space-manager layouts it does not
// rewrite. Blocks waiting in the internal pool's free queue are released (the queue is emptied): the
// new checkpoint supersedes the ones they were kept for.
void resizeContainer(ImageIO& io, std::uint64_t offset, std::uint64_t newLength);

}  // namespace quorbel::imagetool::apfs
