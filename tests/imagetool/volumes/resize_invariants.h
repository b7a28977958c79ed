#pragma once
// Resizing an APFS container or an HFS Plus volume, fed arbitrary bytes. Shared by the libFuzzer target
// and the test that replays its corpus. Input: the image size and the new size in 512-byte sectors
// (32-bit each), then pieces of the image as (32-bit sector, 16-bit length, bytes); everything else reads
// as zeros. Integers little-endian. The volume starts at byte 0.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>

#include "imagetool/apfs/apfs.h"
#include "imagetool/hfsplus/hfsplus.h"

namespace quorbel::imagetool::fuzz {

// A sparse image in memory, written in 4 KiB pages.
class PagedImage : public ImageIO {
 public:
  explicit PagedImage(std::uint64_t size) : size_(size) {}
  std::uint64_t size() const override { return size_; }
  void read(std::uint64_t offset, void* data, std::size_t length) const override {
    forPages(offset, length, [&](std::uint64_t page, std::size_t within, std::size_t done, std::size_t n) {
      const auto found = pages_.find(page);
      if (found == pages_.end())
        std::memset(static_cast<char*>(data) + done, 0, n);
      else
        std::memcpy(static_cast<char*>(data) + done, found->second.data() + within, n);
    });
  }
  void write(std::uint64_t offset, const void* data, std::size_t length) override {
    forPages(offset, length, [&](std::uint64_t page, std::size_t within, std::size_t done, std::size_t n) {
      auto [found, added] = pages_.try_emplace(page);
      if (added) found->second.fill(0);
      std::memcpy(found->second.data() + within, static_cast<const char*>(data) + done, n);
    });
  }

 private:
  static constexpr std::uint64_t kPage = 4096;
  template <typename Visit>
  void forPages(std::uint64_t offset, std::size_t length, const Visit& visit) const {
    if (offset > size_ || length > size_ - offset) throw ToolError("past the end of the image");
    for (std::size_t done = 0; done < length;) {
      const std::uint64_t at = offset + done, within = at % kPage;
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(length - done, kPage - within));
      visit(at / kPage, static_cast<std::size_t>(within), done, n);
      done += n;
    }
  }
  std::uint64_t size_;
  std::map<std::uint64_t, std::array<unsigned char, kPage>> pages_;
};

// The first invariant a resize breaks, or "" when none: refusals are ToolErrors, and a resize that
// succeeds leaves a volume of the new size that reads back and reports free space inside the image.
inline std::string brokenResizeInvariant(const std::string& input) {
  std::size_t at = 0;
  const auto number = [&](std::size_t width) {
    std::uint64_t v = 0;
    for (std::size_t i = std::min(input.size(), at + width); i-- > std::min(input.size(), at);)
      v = v << 8 | static_cast<unsigned char>(input[i]);
    at += width;
    return v;
  };
  // Up to 2 TiB each, past where APFS needs chunk-info address blocks.
  const std::uint64_t imageSize = number(4) * 512, newSize = number(4) * 512;
  PagedImage image(std::max(imageSize, newSize));
  while (at < input.size()) {
    const std::uint64_t sector = number(4), length = number(2);
    const std::string bytes = input.substr(std::min(at, input.size()), length);
    at += length;
    if (sector * 512 < image.size())
      image.write(sector * 512, bytes.data(), std::min<std::uint64_t>(bytes.size(), image.size() - sector * 512));
  }
  const auto inside = [&](const auto& ranges) {
    return std::all_of(ranges.begin(), ranges.end(), [&](const auto& r) {
      return r.second > 0 && r.first <= image.size() && r.second <= image.size() - r.first;
    });
  };
  if (apfs::isContainer(image, 0)) {
    try {
      apfs::resizeContainer(image, 0, newSize);
    } catch (const ToolError&) {
      return "";
    }
    try {
      if (newSize % 65536 == 0 && apfs::containerLength(image, 0) != newSize)
        return "the container's length is not the new size";
      if (!inside(apfs::freeRanges(image, 0, image.size()))) return "an APFS free range outside the image";
    } catch (const ToolError& e) {
      return std::string("the resized container does not read back: ") + e.what();
    }
    return "";
  }
  try {
    hfsplus::resizeVolume(image, 0, imageSize, newSize);
  } catch (const ToolError&) {
    return "";
  }
  try {
    const hfsplus::VolumeSummary s = hfsplus::describeVolume(image, 0);
    if (std::uint64_t{s.totalBlocks} * s.blockSize > newSize) return "the HFS+ volume reaches past its new size";
    if (!inside(hfsplus::freeRanges(image, 0))) return "an HFS+ free range outside the image";
  } catch (const ToolError& e) {
    return std::string("the resized HFS+ volume does not read back: ") + e.what();
  }
  return "";
}

}  // namespace quorbel::imagetool::fuzz
