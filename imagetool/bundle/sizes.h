#pragma once
// Size texts as the tool reads and prints them.

#include <cstdint>
#include <string>

#include "imagetool/image_io.h"

namespace quorbel::imagetool {

// "1.5t", "100m", "2048b": a decimal number (a fraction allowed) and a unit b (512-byte sectors), k,
// m, g, t, p or e (binary multiples), in bytes rounded up to whole sectors. Throws ToolError for text
// of any other form, zero, or a size beyond what a sparse bundle can describe.
std::uint64_t parseSizeText(const std::string& text);

// "0 bytes", "512 bytes", "1.5 MB" (binary multiples, one decimal) for reports.
std::string humanSize(std::uint64_t bytes);

}  // namespace quorbel::imagetool
