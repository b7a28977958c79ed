#include "imagetool/hfsplus/names.h"

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>

#include "imagetool/image_io.h"

namespace quorbel::imagetool::hfsplus::detail {

namespace {

bool keptComposed(UChar32 c) {
  return (c >= 0x2000 && c <= 0x2FFF) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0x2F800 && c <= 0x2FAFF);
}

}  // namespace

std::u16string catalogName(const std::string& utf8) {
  UErrorCode status = U_ZERO_ERROR;
  int32_t units = 0;
  u_strFromUTF8(nullptr, 0, &units, utf8.data(), static_cast<int32_t>(utf8.size()), &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) throw ToolError("the volume name is not valid UTF-8");
  status = U_ZERO_ERROR;
  const icu::UnicodeString input = icu::UnicodeString::fromUTF8(utf8);

  const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
  if (U_FAILURE(status)) throw ToolError("the Unicode decomposition data is unavailable");

  // Decompose the runs between characters HFS Plus keeps composed; those are copied unchanged.
  icu::UnicodeString out;
  int32_t runStart = 0;
  auto flush = [&](int32_t end) {
    if (end > runStart) {
      icu::UnicodeString run(input, runStart, end - runStart);
      out.append(nfd->normalize(run, status));
    }
  };
  for (int32_t i = 0; i < input.length();) {
    const UChar32 c = input.char32At(i);
    const int32_t next = i + U16_LENGTH(c);
    if (keptComposed(c)) {
      flush(i);
      out.append(c);
      runStart = next;
    }
    i = next;
  }
  flush(input.length());
  if (U_FAILURE(status)) throw ToolError("the volume name cannot be decomposed");

  std::u16string name(reinterpret_cast<const char16_t*>(out.getBuffer()), static_cast<std::size_t>(out.length()));
  for (char16_t& c : name)  // ":" cannot appear in a catalog name; macOS's formatter stores it as "/"
    if (c == u':') c = u'/';
  if (name.size() > 255) throw ToolError("the volume name is too long for HFS Plus (at most 255 UTF-16 units)");
  return name;
}

std::string displayName(const std::u16string& name) {
  std::string utf8;
  icu::UnicodeString(reinterpret_cast<const UChar*>(name.data()), static_cast<int32_t>(name.size())).toUTF8String(utf8);
  return utf8;
}

}  // namespace quorbel::imagetool::hfsplus::detail
