#include "imagetool/layout/labels.h"

#include <gtest/gtest.h>

#include "imagetool/layout/sizes.h"

namespace quorbel::imagetool::layout {
namespace {

TEST(Labels, FatLabelsAreShortUpperCaseAscii) {
  const struct {
    std::string name, label;
  } cases[] = {
      {"Backup", "BACKUP"},
      {"my photos 2024 archive", "MY PHOTOS 2"},  // cut at 11
      {"a.b*c?d", "A_B_C_D"},                      // characters FAT forbids
      {"Fotos Müller", "FOTOS M_LLE"},             // outside ASCII
      {"  lead and trail  ", "LEAD AND TR"},
      {"ab   ", "AB"},
      {"tab\there", "TABHERE"},                    // control characters dropped
      {"", ""},
      {"   ", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(fatLabel(c.name), c.label) << c.name;
}

TEST(Labels, ExfatLabelsHoldElevenUtf16UnitsOfWholeCharacters) {
  EXPECT_EQ(exfatLabel("Holiday Photos"), "Holiday Pho");
  EXPECT_EQ(exfatLabel("漢字かなカナ漢字かなカナ"), "漢字かなカナ漢字かなカ");
  // Five emoji take ten units; a sixth would need two more than the one left.
  EXPECT_EQ(exfatLabel("😀😀😀😀😀😀"), "😀😀😀😀😀");
  EXPECT_EQ(exfatLabel("a😀😀😀😀😀"), "a😀😀😀😀😀");
  // Invalid UTF-8 becomes U+FFFD rather than passing bytes the formatter would refuse.
  EXPECT_EQ(exfatLabel("ab\xFF"), "ab\xEF\xBF\xBD");
}

TEST(Labels, UdfIdentifiersUseLatin1OrUtf16Limits) {
  const std::string thirtyOne = "abcdefghijklmnopqrstuvwxyz01234";
  EXPECT_EQ(udfIdentifier(thirtyOne, 30, 15), thirtyOne.substr(0, 30));
  EXPECT_EQ(udfIdentifier("ÄÖÜ" + thirtyOne, 30, 15), "ÄÖÜ" + thirtyOne.substr(0, 27));
  // One character beyond Latin-1 switches the whole identifier to 15 UTF-16 units.
  EXPECT_EQ(udfIdentifier("漢" + thirtyOne, 30, 15), "漢" + thirtyOne.substr(0, 14));
  // …but a wide character past the Latin-1 limit is simply cut off.
  EXPECT_EQ(udfIdentifier(thirtyOne + "漢", 30, 15), thirtyOne.substr(0, 30));
  EXPECT_EQ(udfIdentifier("", 126, 63), "");
}

TEST(Labels, ApfsLabelsHold255BytesOfWholeCharacters) {
  const std::string ascii(300, 'x');
  EXPECT_EQ(apfsLabel(ascii), std::string(255, 'x'));
  std::string euros;
  for (int i = 0; i < 90; ++i) euros += "€";  // three bytes each
  EXPECT_EQ(apfsLabel(euros).size(), 255u);
  EXPECT_EQ(apfsLabel("x" + euros).size(), 253u);  // 1 + 84 × 3: no character is split
}

TEST(Labels, Utf16RoundTripsAndRepairsLoneSurrogates) {
  const std::string text = "a€😀";
  EXPECT_EQ(encodeUtf8(fromUtf16(toUtf16(decodeUtf8(text)))), text);
  EXPECT_EQ(toUtf16(decodeUtf8("😀")).size(), 2u);
  EXPECT_EQ(encodeUtf8(fromUtf16(u"a\xD800" "b")), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(encodeUtf8(fromUtf16(u"\xDC00")), "\xEF\xBF\xBD");
}

TEST(Sizes, DescribedInBinaryUnitsRoundedTheAskedWay) {
  using sizes::describeSize;
  EXPECT_EQ(describeSize(512, true), "512 bytes");
  EXPECT_EQ(describeSize(1024 * 1024, true), "1 MiB");
  EXPECT_EQ(describeSize(2560 * 1024, false), "2.5 MiB");
  EXPECT_EQ(describeSize(1024 * 1024 + 1, true), "1.01 MiB");
  EXPECT_EQ(describeSize(1024 * 1024 + 1, false), "1 MiB");
  EXPECT_EQ(describeSize(sizes::apfsMaximum, false), "1.32 TiB");
  EXPECT_EQ(describeSize(~0ull, false), "15.99 EiB");
  EXPECT_EQ(describeSize(1023ull * 1024 * 1024 + 1023 * 1024, true), "1024 MiB");  // the carry reaches the whole part
}

}  // namespace
}  // namespace quorbel::imagetool::layout
