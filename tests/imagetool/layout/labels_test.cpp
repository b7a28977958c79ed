// Label rules the formatters' own readers do not show in the layout tests: forbidden and control
// characters, spaces, surrogate pairs, invalid UTF-8 and the byte and unit limits.

#include "imagetool/layout/labels.h"

#include <gtest/gtest.h>

#include "imagetool/layout/sizes.h"

namespace quorbel::imagetool::layout {
namespace {

TEST(Labels, EachFileSystemGetsWholeCharactersWithinItsLimit) {
  using Label = std::string (*)(std::string_view);
  const Label udfVolume = [](std::string_view n) { return udfIdentifier(n, 30, 15); };
  const std::string alphabet = "abcdefghijklmnopqrstuvwxyz01234", euros = "€€€€€€€€€€€€€€€€€€€€€€€€€€€€€€";
  const struct {
    Label label;
    std::string name, expected;
  } cases[] = {
      {fatLabel, "a.b*c?d", "A_B_C_D"},  // characters FAT forbids
      {fatLabel, "  lead and trail  ", "LEAD AND TR"},
      {fatLabel, "ab \t  ", "AB"},  // control characters dropped, trailing spaces too
      {fatLabel, "   ", ""},
      {exfatLabel, "😀😀😀😀😀😀", "😀😀😀😀😀"},  // a sixth pair would need 12 UTF-16 units
      {exfatLabel, "a😀😀😀😀😀", "a😀😀😀😀😀"},
      {exfatLabel, "ab\xFF", "ab\xEF\xBF\xBD"},                       // invalid UTF-8 becomes U+FFFD
      {udfVolume, "ÄÖÜ" + alphabet, "ÄÖÜ" + alphabet.substr(0, 27)},  // Latin-1: 30 characters
      {udfVolume, alphabet + "漢", alphabet.substr(0, 30)},           // a wide character past them is cut
      {apfsLabel, std::string(300, 'x'), std::string(255, 'x')},
      {apfsLabel, "x" + euros + euros + euros, "x" + euros + euros + euros.substr(0, 72)},  // 253 bytes
  };
  for (const auto& c : cases) EXPECT_EQ(c.label(c.name), c.expected) << c.name;
  for (const Label label : {Label{fatLabel}, Label{exfatLabel}, udfVolume, Label{apfsLabel}}) EXPECT_EQ(label(""), "");
  // GPT partition names are UTF-16: lone surrogates read from a disk become U+FFFD.
  EXPECT_EQ(encodeUtf8(fromUtf16(u"a\xD800"
                                 "b\xDC00")),
            "a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD");
}

TEST(Sizes, DescribedInBinaryUnitsRoundedTheAskedWay) {
  using sizes::describeSize;
  EXPECT_EQ(describeSize(512, true), "512 bytes");
  EXPECT_EQ(describeSize(2560 * 1024, false), "2.5 MiB");
  EXPECT_EQ(describeSize(1024 * 1024 + 1, true), "1.01 MiB");
  EXPECT_EQ(describeSize(1024 * 1024 + 1, false), "1 MiB");
  EXPECT_EQ(describeSize(~0ull, false), "15.99 EiB");
  EXPECT_EQ(describeSize(1023ull * 1024 * 1024 + 1023 * 1024, true), "1024 MiB");  // the carry reaches the whole part
}

}  // namespace
}  // namespace quorbel::imagetool::layout
