#include "core/utf8.h"

#include <gtest/gtest.h>

namespace quorbel::utf8 {
namespace {

TEST(Utf8, EachMaximalInvalidSubpartBecomesOneReplacement) {
  const std::string r = "\xEF\xBF\xBD";
  const std::pair<std::string, std::string> cases[] = {
      {"plain ASCII text long enough for the fast path", "plain ASCII text long enough for the fast path"},
      {"é€😀\x7F\xC2\x80\xF4\x8F\xBF\xBF", "é€😀\x7F\xC2\x80\xF4\x8F\xBF\xBF"},
      {"a\xFF"
       "b",
       "a" + r + "b"},
      {"\xC0\x80", r + r},                  // overlong
      {"\xE0\x80\x80", r + r + r},          // overlong three-byte
      {"\xED\xA0\x80", r + r + r},          // surrogate
      {"\xF4\x90\x80\x80", r + r + r + r},  // beyond U+10FFFF
      {"\xE2\x82"
       "A",
       r + "A"},            // cut short by an ASCII letter
      {"\xF0\x9F\x98", r},  // cut short by the end
      {std::string(20, 'x') + "\x80", std::string(20, 'x') + r},
  };
  for (const auto& [bytes, expected] : cases) EXPECT_EQ(decodeLossy(bytes), expected);
  EXPECT_EQ(validPrefixLength("abc\xE2\x82"), 3u);
  EXPECT_EQ(decodeLossy("ok\xFF", 2), "ok" + r);  // a known-valid prefix is skipped, the rest repaired
}

}  // namespace
}  // namespace quorbel::utf8
