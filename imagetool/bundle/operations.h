#pragma once
// The work behind the tool's verbs, on paths and plain values; the command line lives in main.cpp.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "imagetool/bundle/fs_util.h"
#include "imagetool/image_io.h"

namespace quorbel::imagetool {

// Writes the partition map and file system into the image file at `imagePath`, which exists and is
// `size` bytes long (sparse).
// Lays a new image out on `image` (the bands, or an encrypting view of them); scratch files, if it
// needs any, go in `scratchFolder`.
using LayoutFunction = std::function<void(ImageIO& image, const std::string& scratchFolder)>;

struct CreateRequest {
  std::string path;
  std::uint64_t size = 0;      // bytes, whole sectors
  std::uint64_t bandSize = 0;  // bytes
};
// An encrypted image: the token's content, and what carries the laid-out image file (its descriptor)
// into the bands in place of the plain copy.
struct EncryptedCreation {
  std::string token;
  // The encrypting view the new image is laid out on.
  std::function<std::unique_ptr<ImageIO>(ImageIO& bands)> view;
};
// Lays the image out straight onto the bands of a temporary sibling bundle (whatever is not written
// stays absent) and renames it to `path`. Prints "created: PATH".
void createBundle(const CreateRequest& request, const LayoutFunction& layOut, std::ostream& out,
                  const EncryptedCreation* encryption = nullptr);

// A new bundle at `destination` with the data and size of `source` and the given band size; absent and
// zero regions stay absent. Memory stays bounded whatever the band sizes. Prints "created: DST".
void convertBundle(const std::string& source, const std::string& destination, std::uint64_t bandSize,
                   std::ostream& out);

// The byte ranges of the image that its file system reports free (their content does not matter).
using FreeSpaceFunction = std::function<std::vector<ByteRange>(const ImageIO& image)>;

struct CompactResult {
  std::uint64_t reclaimed = 0;  // bytes the bundle no longer occupies on disk
  std::uint64_t possible = 0;   // bytes occupied by zeros or free space before compaction
  std::size_t planMemory = 0;   // bytes the plans of all bands took: at most a bit per 4 KiB of band data
};
// Removes bands that hold only zeros (or free space), punches holes in such runs inside the other
// bands and cuts them off at the end. Every band is examined first, changing nothing (a stop then leaves
// the bundle as it was); then the plans are carried out without stopping, each step leaving a valid
// bundle, so a stopped compaction leaves it as it was or wholly compacted. Progress lines and the final
// "Reclaimed X out of Y possible." go to `out`.
// An encrypted bundle is compacted only when `encrypted` says the caller can read it (`freeSpace`
// then decrypts): zero blocks are then zero ciphertext, never written.
CompactResult compactBundle(const std::string& path, const FreeSpaceFunction& freeSpace, std::ostream& out,
                            bool encrypted = false);

// True when the power-supply status folder (the environment variable QUORBEL_POWER_SUPPLY_ROOT, else
// /sys/class/power_supply) shows a battery that is discharging.
bool runningOnBattery();

// Reports the partition map and file system of an unencrypted image.
using DescribeFunction = std::function<void(const ImageIO& image, std::ostream& out)>;
void imageInfo(const std::string& path, const DescribeFunction& describe, std::ostream& out);
void isEncrypted(const std::string& path, std::ostream& out);

}  // namespace quorbel::imagetool
