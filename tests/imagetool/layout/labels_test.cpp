#include "imagetool/layout/labels.h"

#include <gtest/gtest.h>

#include "imagetool/layout/sizes.h"

namespace quorbel::imagetool::layout {
namespace {

std::string repeat(const std::string& s, int times) {
  std::string out;
  while (times-- > 0) out += s;
  return out;
}

TEST(Labels, EachFileSystemGetsWholeCharactersWithinItsLimit) {
  using Label = std::string (*)(std::string_view);
  const Label udfVolume = [](std::string_view n) { return udfIdentifier(n, 30, 15); };
  const std::string alphabet = "abcdefghijklmnopqrstuvwxyz01234";  // 31 characters
  const struct {
    Label label;
    std::string name, expected;
  } cases[] = {
      {fatLabel, "my photos 2024 archive", "MY PHOTOS 2"},  // upper case, cut at 11
      {fatLabel, "a.b*c?d", "A_B_C_D"},                      // characters FAT forbids
      {fatLabel, "Fotos Müller", "FOTOS M_LLE"},             // one '_' per character outside ASCII
      {fatLabel, "  lead and trail  ", "LEAD AND TR"},
      {fatLabel, "ab   ", "AB"},
      {fatLabel, "   ", ""},
      {fatLabel, "tab\there", "TABHERE"},  // control characters dropped
      {exfatLabel, "Holiday Photos", "Holiday Pho"},
      {exfatLabel, "漢字かなカナ漢字かなカナ", "漢字かなカナ漢字かなカ"},
      {exfatLabel, "😀😀😀😀😀😀", "😀😀😀😀😀"},  // a sixth pair would need 12 units
      {exfatLabel, "a😀😀😀😀😀", "a😀😀😀😀😀"},
      {exfatLabel, "ab\xFF", "ab\xEF\xBF\xBD"},  // invalid UTF-8 becomes U+FFFD
      {udfVolume, alphabet, alphabet.substr(0, 30)},
      {udfVolume, "ÄÖÜ" + alphabet, "ÄÖÜ" + alphabet.substr(0, 27)},
      {udfVolume, "漢" + alphabet, "漢" + alphabet.substr(0, 14)},  // beyond Latin-1: 15 UTF-16 units
      {udfVolume, alphabet + "漢", alphabet.substr(0, 30)},
      {apfsLabel, std::string(300, 'x'), std::string(255, 'x')},
      {apfsLabel, "x" + repeat("€", 90), "x" + repeat("€", 84)},  // 253 bytes: no character split
  };
  for (const auto& c : cases) EXPECT_EQ(c.label(c.name), c.expected) << c.name;
  for (const Label label : {Label{fatLabel}, Label{exfatLabel}, udfVolume, Label{apfsLabel}}) EXPECT_EQ(label(""), "");
}

TEST(Labels, Utf16RoundTripsAndRepairsLoneSurrogates) {
  EXPECT_EQ(encodeUtf8(fromUtf16(toUtf16(decodeUtf8("a€😀")))), "a€😀");
  EXPECT_EQ(toUtf16(decodeUtf8("😀")).size(), 2u);
  EXPECT_EQ(encodeUtf8(fromUtf16(u"a\xD800" "b")), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(encodeUtf8(fromUtf16(u"\xDC00")), "\xEF\xBF\xBD");
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
