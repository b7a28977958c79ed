#include "imagetool/layout/sizes.h"

namespace quorbel::imagetool::layout::sizes {

__extension__ typedef unsigned __int128 Wide;

std::string describeSize(std::uint64_t bytes, bool roundUp) {
  static constexpr const char* units[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  std::size_t unit = 0;
  std::uint64_t scale = 1;
  while (unit + 1 < std::size(units) && bytes / scale >= 1024) {
    scale *= 1024;
    ++unit;
  }
  if (unit == 0) return std::to_string(bytes) + " bytes";
  // Hundredths of the unit, computed without overflow: whole part and remainder apart.
  const std::uint64_t whole = bytes / scale;
  const std::uint64_t rest = bytes % scale;
  const Wide scaled = static_cast<Wide>(rest) * 100;
  std::uint64_t hundredths = static_cast<std::uint64_t>(scaled / scale);
  if (roundUp && scaled % scale != 0) ++hundredths;
  std::uint64_t integral = whole + hundredths / 100;
  hundredths %= 100;
  std::string text = std::to_string(integral);
  if (hundredths != 0) {
    text += '.';
    text += static_cast<char>('0' + hundredths / 10);
    if (hundredths % 10 != 0) text += static_cast<char>('0' + hundredths % 10);
  }
  return text + " " + units[unit];
}

}  // namespace quorbel::imagetool::layout::sizes
