#pragma once
// The size rules shared by Create, Resize and Change band size: plain functions over plain values.

#include <cstdint>
#include <string>
#include <string_view>

namespace quorbel {

// The maximum size as the tool's size text: the number's plain decimal text followed by "m", "g" or
// "t" for unit index 0, 1 or any other index (2, or -1 for no selection).
std::string sizeArgument(std::string_view numberText, int unitIndex);

// The band size as a count of 512-byte sectors: n × 2000 for unit index 0 (MB), n × 2000000 for any
// other index (GB), clamped to 2048..16777216. A product beyond the signed 64-bit range clamps the
// same way as any other value on its side of the range.
std::int64_t bandSizeSectors(std::int64_t n, int unitIndex);

// The volume name of a new image: the last path component up to its first ".".
// "/a/Media.Library.sparsebundle" gives "Media"; "/a/.Vault.sparsebundle" gives "".
std::string volumeName(std::string_view path);

}  // namespace quorbel
