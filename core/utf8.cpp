#include "core/utf8.h"

#include <cstdint>
#include <cstring>

namespace quorbel::utf8 {
namespace {

// Examines the sequence at p (n bytes available). Returns its length when it is a complete,
// valid sequence, else 0 and sets `subpart` to the length of its maximal invalid subpart
// (0 when it is valid so far but cut off by the end of the input).
std::size_t sequenceAt(const unsigned char* p, std::size_t n, std::size_t& subpart) {
  const unsigned char b0 = p[0];
  std::size_t length = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // the allowed range of the second byte
  if (b0 < 0x80) return 1;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    subpart = 1;
    return 0;
  }
  for (std::size_t i = 1; i < length; ++i) {
    if (i >= n) {
      subpart = 0;  // incomplete at the end of the input
      return 0;
    }
    const unsigned char b = p[i];
    const bool ok = (i == 1) ? (b >= lo && b <= hi) : (b >= 0x80 && b <= 0xBF);
    if (!ok) {
      subpart = i;
      return 0;
    }
  }
  return length;
}

bool eightAscii(const unsigned char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return (word & 0x8080808080808080ULL) == 0;
}

}  // namespace

std::size_t validPrefixLength(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    if (i + 16 <= n && eightAscii(p + i) && eightAscii(p + i + 8)) {
      i += 16;
      continue;
    }
    std::size_t subpart = 0;
    const std::size_t length = sequenceAt(p + i, n - i, subpart);
    if (length == 0) return i;
    i += length;
  }
  return i;
}

std::string decodeLossy(std::string bytes, std::size_t alreadyValid) {
  std::size_t i = alreadyValid + validPrefixLength(std::string_view(bytes).substr(alreadyValid));
  if (i == bytes.size()) return bytes;

  static constexpr std::string_view replacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(bytes.size() + 16);
  out.append(bytes, 0, i);
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  while (i < n) {
    std::size_t subpart = 0;
    const std::size_t length = sequenceAt(p + i, n - i, subpart);
    if (length > 0) {
      out.append(bytes, i, length);
      i += length;
    } else {
      out.append(replacement);
      i += subpart == 0 ? n - i : subpart;  // an incomplete tail is one subpart
    }
  }
  return out;
}

}  // namespace quorbel::utf8
