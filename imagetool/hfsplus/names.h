#pragma once
// File and volume names as HFS Plus stores them: UTF-16, fully decomposed.

#include <string>

namespace quorbel::imagetool::hfsplus::detail {

// UTF-8 to the UTF-16 form a catalog key holds: canonical decomposition (Unicode NFD) except for the
// ranges HFS Plus leaves composed (U+2000..U+2FFF, U+F900..U+FAFF, U+2F800..U+2FAFF), and ":" stored
// as "/" as macOS does. Throws ToolError for invalid UTF-8 or a name over 255 UTF-16 units.
std::u16string catalogName(const std::string& utf8);

// A stored name in UTF-8, as the Finder shows it.
std::string displayName(const std::u16string& name);

}  // namespace quorbel::imagetool::hfsplus::detail
