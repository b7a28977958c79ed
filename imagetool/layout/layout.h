#pragma once
// How a new disk image is laid out (partition map and file system) and how an existing one is
// recognised: the partition scheme, its partitions and the file system found by its signature.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "imagetool/image_io.h"

namespace quorbel::imagetool {

// The file-system names `layOutImage` accepts: the application's list, in its order.
const std::vector<std::string>& supportedFileSystems();

// Lays out `image`, `size` bytes that read as zeros where nothing was written:
// - "HFS+", "HFS+J", "APFS", "Case-sensitive APFS", "exFAT": a GUID partition map with one
//   partition named "disk image" from sector 40, formatted with that file system;
// - "MS-DOS": an MBR with one FAT32 partition (FAT16 or FAT12 when too small for FAT32);
// - "UDF": a UDF volume over the whole image, no partition map.
// HFS Plus is written straight onto the image; the other formatters work on a sparse scratch file in
// `scratchFolder` (APFS at most 1.32 TiB of it, grown in place past that), carried into the image.
// `volumeName` becomes the volume label, shortened to what the file system can hold. With
// `zerosWritten`, every byte the formatters define is written, zeros included: for an image whose
// unwritten bytes do not read as zeros (an encrypted one). Throws ToolError for an unknown file system,
// a size it cannot hold, or a formatter's failure.
void layOutImage(ImageIO& image, const std::string& scratchFolder, const std::string& fileSystem,
                 const std::string& volumeName, bool zerosWritten = false);
// The same on an image file of exactly `size` bytes, all zeros; scratch files go beside it.
void layOutImage(const std::string& imagePath, std::uint64_t size, const std::string& fileSystem,
                 const std::string& volumeName);

struct PartitionInfo {
  std::string name;      // GPT partition name (UTF-8); empty for MBR entries
  std::string type;      // GPT: type GUID in upper case; MBR: "0x0C" and the like
  std::string typeName;  // readable: "Apple_HFS", "Apple_APFS", "Microsoft Basic Data", "DOS_FAT_32"…
  std::uint64_t firstSector = 0;
  std::uint64_t sectorCount = 0;
  std::string fileSystem;  // found by its signature inside the partition
};

struct LayoutInfo {
  std::string scheme;  // "GUID", "MBR", or empty when the image has no partition map
  std::vector<PartitionInfo> partitions;
  // The file system of the first partition that holds a known one, or of the whole image when
  // there is no map: "HFS+", "HFS+J" (journaled), "HFSX", "HFSX (journaled)", "HFS", "APFS",
  // "exFAT", "FAT12", "FAT16", "FAT32", "NTFS", "UDF", or "unknown".
  std::string fileSystem;
};

// Reads the partition map and file-system signatures. Only I/O failures throw (ToolError);
// damaged or foreign contents are reported as what they look like.
LayoutInfo describeImage(const ImageIO& image);

// The file system whose signature starts at `offset` (a partition or the whole image), one of
// the names listed at LayoutInfo::fileSystem.
std::string detectFileSystem(const ImageIO& image, std::uint64_t offset, std::uint64_t length);

// HFS Plus in any of its variants: the file systems the tool reads free blocks of and resizes.
bool isHfsFamily(const std::string& fileSystem);

// Moves the partition map of an image whose size changes to `newSize` bytes: the backup GPT
// goes to the new end and the one partition's end follows it (MBR: the partition's length).
// `image` must be readable and writable up to max(old size, new size); the old size is taken
// from the map itself. An image without a map is left alone. Throws ToolError when the map is
// not one this tool can move, or the partition would not fit.
void resizePartitionMap(ImageIO& image, std::uint64_t newSize);

}  // namespace quorbel::imagetool
