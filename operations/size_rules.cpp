#include "operations/size_rules.h"

#include <algorithm>
#include <limits>

#include "core/tool_contract.h"

namespace quorbel {

std::string sizeArgument(std::string_view numberText, int unitIndex) {
  const char letter = unitIndex == 0 ? 'm' : unitIndex == 1 ? 'g' : 't';
  std::string text(numberText);
  text.push_back(letter);
  return text;
}

std::int64_t bandSizeSectors(std::int64_t n, int unitIndex) {
  const std::int64_t perUnit = unitIndex == 0 ? 2 * 1000 : 2 * 1000000;
  std::int64_t product = 0;
  if (__builtin_mul_overflow(n, perUnit, &product))
    product = n > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
  return std::clamp(product, tool::minBandSectors, tool::maxBandSectors);
}

std::string volumeName(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  if (const auto slash = path.rfind('/'); slash != std::string_view::npos) path.remove_prefix(slash + 1);
  return std::string(path.substr(0, path.find('.')));
}

}  // namespace quorbel
