#pragma once
// What the tool reads from a bundle, fed arbitrary bytes: Info.plist, the token, and an image (its
// partition map and HFS Plus and exFAT structures) described and searched for free space. Shared by the
// libFuzzer target and the test that replays its corpus. Input: a 16-bit length and the property list,
// a 16-bit length and the token, a 32-bit image size in sectors, then pieces of the image as (32-bit
// sector, 16-bit length, bytes); everything else in the image reads as zeros. Integers little-endian.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>

#include "imagetool/bundle/bundle.h"
#include "imagetool/hfsplus/hfsplus.h"
#include "imagetool/layout/layout.h"
#include "imagetool/layout/partition_map.h"
#include "imagetool/volumes/exfat.h"
#include "imagetool/volumes/free_space.h"

namespace quorbel::imagetool::fuzz {

// A sparse image in memory: the pieces given, zeros elsewhere.
class PieceImage : public ImageIO {
 public:
  explicit PieceImage(std::uint64_t size) : size_(size) {}
  std::uint64_t size() const override { return size_; }
  void read(std::uint64_t offset, void* data, std::size_t length) const override {
    if (offset > size_ || length > size_ - offset) throw ToolError("read past the end of the image");
    auto* out = static_cast<unsigned char*>(data);
    std::memset(out, 0, length);
    for (const auto& [at, bytes] : pieces_) {
      const std::uint64_t start = std::max(at, offset), end = std::min(at + bytes.size(), offset + length);
      if (start < end) std::memcpy(out + (start - offset), bytes.data() + (start - at), end - start);
    }
  }
  void write(std::uint64_t, const void*, std::size_t) override { throw ToolError("read-only"); }
  void put(std::uint64_t at, std::string bytes) {
    if (at >= size_) return;
    bytes.resize(static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), size_ - at)));
    pieces_[at] = std::move(bytes);
  }

 private:
  std::uint64_t size_;
  std::map<std::uint64_t, std::string> pieces_;
};

// The first invariant the reading breaks, or "" when none: refusals are ToolErrors, and whatever is
// reported free lies inside the image.
inline std::string brokenReadInvariant(const std::string& input) {
  std::size_t at = 0;
  const auto take = [&](std::size_t n) {
    const std::string part = input.substr(std::min(at, input.size()), n);
    at += n;
    return part;
  };
  const auto number = [&](std::size_t width) {
    const std::string bytes = take(width);
    std::uint64_t v = 0;
    for (std::size_t i = bytes.size(); i-- > 0;) v = v << 8 | static_cast<unsigned char>(bytes[i]);
    return v;
  };
  const std::string plist = take(number(2)), token = take(number(2));
  // Up to 4 TiB, so that sizes near the formats' limits are reachable.
  PieceImage image(std::min<std::uint64_t>(number(4), 1ull << 33) * 512);
  while (at < input.size()) {
    const std::uint64_t sector = number(4);
    image.put(sector * 512, take(number(2)));
  }
  const auto inside = [&](std::uint64_t offset, std::uint64_t length) {
    return length > 0 && offset <= image.size() && length <= image.size() - offset;
  };
  try {
    const BundleInfo info = parseInfo(plist, "Info.plist");
    if (info.bandSize < minReadableBandBytes || info.bandSize > maxReadableBandBytes || info.size % 512 != 0)
      return "parseInfo accepted an unusable band size or size";
  } catch (const ToolError&) {
  }
  try {
    const TokenInfo t = parseToken(token);
    if (t.encrypted != (t.headerVersion == 1 || t.headerVersion == 2)) return "token version and flag disagree";
  } catch (const ToolError&) {
  }
  try {
    const LayoutInfo layout = describeImage(image);
    for (const PartitionInfo& p : layout.partitions)
      if (p.firstSector > image.size() / 512 + (1ull << 32)) return "a partition start beyond any image";
  } catch (const ToolError&) {
  }
  try {
    for (const ByteRange& r : volumeFreeRanges(image, {}))
      if (!inside(r.offset, r.length)) return "a free range outside the image";
  } catch (const ToolError&) {
  }
  for (const std::uint64_t offset : {0ull, 40ull * 512}) {
    try {
      hfsplus::describeVolume(image, offset);
      for (const auto& [start, length] : hfsplus::freeRanges(image, offset))
        if (!inside(start, length)) return "an HFS+ free range outside the image";
    } catch (const ToolError&) {
    }
    try {
      for (const ByteRange& r : exfat::freeRanges(image, offset, image.size() - std::min(offset, image.size())))
        if (!inside(r.offset, r.length)) return "an exFAT free range outside the image";
    } catch (const ToolError&) {
    }
  }
  return "";
}

}  // namespace quorbel::imagetool::fuzz
