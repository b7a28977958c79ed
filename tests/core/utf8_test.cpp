#include "core/utf8.h"

#include <gtest/gtest.h>

namespace quorbel::utf8 {
namespace {

const std::string fffd = "\xEF\xBF\xBD";

TEST(Utf8, ValidTextPassesUnchanged) {
  for (const std::string text : {"", "plain ASCII text long enough for the fast path", "é€😀", "\x7F\xC2\x80\xF4\x8F\xBF\xBF"}) {
    EXPECT_EQ(validPrefixLength(text), text.size()) << text;
    EXPECT_EQ(decodeLossy(text), text);
  }
}

TEST(Utf8, EachMaximalInvalidSubpartBecomesOneReplacement) {
  struct Case {
    std::string bytes, expected;
  };
  const Case cases[] = {
      {"a\xFF" "b", "a" + fffd + "b"},
      {"\xC0\x80", fffd + fffd},                    // overlong
      {"\xE0\x80\x80", fffd + fffd + fffd},         // overlong three-byte
      {"\xED\xA0\x80", fffd + fffd + fffd},         // surrogate
      {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},  // beyond U+10FFFF
      {"\xE2\x82" "A", fffd + "A"},                 // cut short by an ASCII letter
      {"\xF0\x9F\x98", fffd},                       // cut short by the end
      {std::string(20, 'x') + "\x80", std::string(20, 'x') + fffd},
  };
  for (const auto& c : cases) EXPECT_EQ(decodeLossy(c.bytes), c.expected);
}

TEST(Utf8, PrefixStopsAtTheFirstBadOrIncompleteSequence) {
  EXPECT_EQ(validPrefixLength("abc\xE2\x82"), 3u);
  EXPECT_EQ(validPrefixLength("abc\xFF" "def"), 3u);
  // Bytes already known valid are not examined again, and the rest is still repaired.
  EXPECT_EQ(decodeLossy("ok\xFF", 2), "ok" + fffd);
}

}  // namespace
}  // namespace quorbel::utf8
