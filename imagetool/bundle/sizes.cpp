#include "imagetool/bundle/sizes.h"

#include <cstdio>

#include "imagetool/image_io.h"

namespace quorbel::imagetool {

namespace {
__extension__ typedef unsigned __int128 Wide;
// Sizes are kept to at most 2^62 bytes so that sums of offsets never overflow.
constexpr Wide maxImageBytes = static_cast<Wide>(1) << 62;
}  // namespace

std::uint64_t parseSizeText(const std::string& text) {
  const auto bad = [&text](const std::string& why) { return ToolError("invalid size \"" + text + "\": " + why); };
  if (text.size() < 2) throw bad("expected a number and a unit (b, k, m, g, t, p or e)");
  unsigned shift = 0;
  switch (text.back()) {
    case 'b':
    case 'B':
      shift = 9;
      break;
    case 'k':
    case 'K':
      shift = 10;
      break;
    case 'm':
    case 'M':
      shift = 20;
      break;
    case 'g':
    case 'G':
      shift = 30;
      break;
    case 't':
    case 'T':
      shift = 40;
      break;
    case 'p':
    case 'P':
      shift = 50;
      break;
    case 'e':
    case 'E':
      shift = 60;
      break;
    default:
      throw bad("expected a number and a unit (b, k, m, g, t, p or e)");
  }
  const std::string number = text.substr(0, text.size() - 1);
  const auto dot = number.find('.');
  const std::string whole = number.substr(0, dot);
  const std::string fraction = dot == std::string::npos ? std::string() : number.substr(dot + 1);
  if (whole.empty() && fraction.empty()) throw bad("no number");
  for (const std::string* part : {&whole, &fraction})
    for (char c : *part)
      if (c < '0' || c > '9') throw bad("not a decimal number");
  if (fraction.size() > 18) throw bad("too many decimal places");

  // Exact arithmetic: bytes = whole * unit + ceil(fraction * unit / 10^digits).
  Wide value = 0;
  for (char c : whole) {
    value = value * 10 + static_cast<unsigned>(c - '0');
    if (value > maxImageBytes) throw bad("too large");
  }
  value <<= shift;
  if (value > maxImageBytes) throw bad("too large");
  if (!fraction.empty()) {
    Wide numerator = 0, denominator = 1;
    for (char c : fraction) {
      numerator = numerator * 10 + static_cast<unsigned>(c - '0');
      denominator *= 10;
    }
    value += ((numerator << shift) + denominator - 1) / denominator;
  }
  value = (value + 511) / 512 * 512;
  if (value > maxImageBytes) throw bad("too large");
  if (value == 0) throw bad("the size must be greater than zero");
  return static_cast<std::uint64_t>(value);
}

std::string humanSize(std::uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
  static constexpr const char* units[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
  double value = static_cast<double>(bytes) / 1024.0;
  std::size_t unit = 0;
  while (value >= 1023.95 && unit + 1 < std::size(units)) {
    value /= 1024.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
  return text;
}

}  // namespace quorbel::imagetool
