#include "imagetool/layout/labels.h"

#include <string>

#include "core/utf8.h"

namespace quorbel::imagetool::layout {

namespace {

constexpr char32_t replacement = 0xFFFD;

bool isControl(char32_t c) { return c < 0x20 || (c >= 0x7F && c < 0xA0); }

std::u32string withoutControls(std::string_view name) {
  std::u32string text = decodeUtf8(name);
  std::erase_if(text, isControl);
  return text;
}

std::size_t utf16Units(char32_t c) { return c > 0xFFFF ? 2 : 1; }

// The longest prefix of `text` whose UTF-16 form has at most `limit` units.
std::u32string utf16Prefix(const std::u32string& text, std::size_t limit) {
  std::u32string out;
  std::size_t units = 0;
  for (char32_t c : text) {
    if (units + utf16Units(c) > limit) break;
    units += utf16Units(c);
    out += c;
  }
  return out;
}

}  // namespace

std::u32string decodeUtf8(std::string_view text) {
  const std::string valid = utf8::decodeLossy(std::string(text));
  std::u32string out;
  out.reserve(valid.size());
  for (std::size_t i = 0; i < valid.size();) {
    const auto b = static_cast<unsigned char>(valid[i]);
    const std::size_t length = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    char32_t c = length == 1 ? b : length == 2 ? (b & 0x1F) : length == 3 ? (b & 0x0F) : (b & 0x07);
    for (std::size_t k = 1; k < length; ++k) c = (c << 6) | (static_cast<unsigned char>(valid[i + k]) & 0x3F);
    out += c;
    i += length;
  }
  return out;
}

std::string encodeUtf8(std::u32string_view text) {
  std::string out;
  for (char32_t c : text) {
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = replacement;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::u16string toUtf16(std::u32string_view text) {
  std::u16string out;
  for (char32_t c : text) {
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = replacement;
    if (c > 0xFFFF) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

std::u32string fromUtf16(std::u16string_view text) {
  std::u32string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t u = text[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      out += static_cast<char32_t>(0x10000 + ((u - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      out += replacement;
    } else {
      out += u;
    }
  }
  return out;
}

std::string fatLabel(std::string_view name) {
  static constexpr std::string_view forbidden = "\"*+,./:;<=>?[\\]|";
  std::string label;
  for (char32_t c : withoutControls(name)) {
    if (label.size() == 11) break;
    if (c >= 'a' && c <= 'z') c = c - 'a' + 'A';
    if (c >= 0x80 || forbidden.find(static_cast<char>(c)) != std::string_view::npos) c = '_';
    if (c == ' ' && label.empty()) continue;  // a label may not begin with a space
    label += static_cast<char>(c);
  }
  while (!label.empty() && label.back() == ' ') label.pop_back();
  return label;
}

std::string exfatLabel(std::string_view name) { return encodeUtf8(utf16Prefix(withoutControls(name), 11)); }

std::string udfIdentifier(std::string_view name, std::size_t latin1Limit, std::size_t utf16Limit) {
  // The longest prefix that fits: once a prefix does not fit, no longer one does.
  std::u32string label;
  bool latin1 = true;
  std::size_t units = 0;
  for (char32_t c : withoutControls(name)) {
    const bool nextLatin1 = latin1 && c <= 0xFF;
    const std::size_t nextUnits = units + utf16Units(c);
    if (!(nextLatin1 && label.size() + 1 <= latin1Limit) && nextUnits > utf16Limit) break;
    latin1 = nextLatin1;
    units = nextUnits;
    label += c;
  }
  return encodeUtf8(label);
}

std::string apfsLabel(std::string_view name) {
  std::string label;
  for (char32_t c : withoutControls(name)) {
    const std::string bytes = encodeUtf8(std::u32string(1, c));
    if (label.size() + bytes.size() > 255) break;
    label += bytes;
  }
  return label;
}

}  // namespace quorbel::imagetool::layout
