#pragma once
// Changing the size of a sparse bundle together with its partition map and HFS Plus volume or APFS
// container.

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "imagetool/image_io.h"

namespace quorbel::imagetool {

// Called before every change that reaches the disk (an image write, an Info.plist or Info.bckup
// replacement, a band removed or shortened); tests stop the work there to stand in for a kill.
using ChangeHook = std::function<void()>;

// Sets the bundle at `path` to `newSize` bytes (whole sectors): Info.plist and Info.bckup, the GUID or
// MBR partition map (backup table and partition end moved), and the HFS Plus volume or APFS container
// in the partition that ends last, or filling the image when there is no map. Shrinking needs every
// block past the new end to be free (an APFS refusal names the smallest size that works). Anything it
// refuses (other file systems, a shrink over used blocks, version 2, encrypted or locked bundles)
// throws ToolError before anything is changed. The resized bundle is built beside the old one
// (unchanged bands shared by hard links) and swapped in whole, so a kill leaves the old bundle or the
// new one. Where the file system cannot do that, the steps run in place, each leaving a consistent
// image, and running the same resize again completes them. Prints the new size.
enum class ResizeMethod {
  swapFolders,  // build beside and swap in whole; in place where the file system cannot
  inPlace,      // in place, step by step (what file systems without hard links or folder swaps get)
};
// For an encrypted bundle, `plain` gives the plain image over its bands (the decrypting layer), and the
// resize works on that; a plain bundle passes nothing.
using PlainImage = std::function<std::unique_ptr<ImageIO>(ImageIO& bands)>;
void resizeBundle(const std::string& path, std::uint64_t newSize, std::ostream& out,
                  const ChangeHook& beforeChange = {}, ResizeMethod method = ResizeMethod::swapFolders,
                  const PlainImage& plain = {});

}  // namespace quorbel::imagetool
