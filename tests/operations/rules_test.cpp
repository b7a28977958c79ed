// The operations' pure rules against the worked tables, and the number fields' formatter. The worked
// argument lists go through the window in the flow tests.
#include <gtest/gtest.h>

#include <limits>

#include "operations/argument_lists.h"
#include "operations/change_band_size.h"
#include "operations/number_formatter.h"
#include "operations/size_rules.h"

namespace quorbel {
namespace {

constexpr std::int64_t huge = std::numeric_limits<std::int64_t>::max();

TEST(Rules, SizesBandSectorsAndVolumeNames) {
  EXPECT_EQ(sizeArgument("100", 0) + sizeArgument("1.5", 2) + sizeArgument("20", 1) + sizeArgument("3", -1),
            "100m1.5t20g3t");
  // MB (0) and GB (1): 1 MB, 8 MB, 8388 MB, 8389 MB, 9 GB, 1.9 MB and 2.9 MB as their whole parts, overflow.
  const std::tuple<std::int64_t, int, std::int64_t> bands[] = {
      {1, 0, 2048},        {8, 0, 16000},   {8388, 0, 16776000},
      {8389, 0, 16777216}, {1, 1, 2000000}, {9, 1, 16777216},
      {2, 0, 4000},        {0, 0, 2048},    {huge / 2000 + 1, 0, 16777216},
      {huge, 1, 16777216}};
  for (const auto& [n, unit, sectors] : bands) EXPECT_EQ(bandSizeSectors(n, unit), sectors) << n << " unit " << unit;
  EXPECT_EQ(volumeName("/V/Media.Library.sparsebundle"), "Media");
  EXPECT_EQ(volumeName("/V/.Vault.sparsebundle"), "");
  EXPECT_EQ(volumeName("/My.Data/Two Words.sparsebundle"), "Two Words");
}

TEST(Rules, CompactHintWordsAreCaseSensitive) {
  for (const char* hinted : {"terror", "3 Errors", "it failed"}) EXPECT_TRUE(compactNeedsBatteryHint(hinted)) << hinted;
  for (const char* plain : {"Compact:\n", "ERROR FAILED", "Failed"})
    EXPECT_FALSE(compactNeedsBatteryHint(plain)) << plain;
}

// Where a bundle is, seen from a path inside it; and the name the save panel offers for a conversion.
TEST(Rules, EnclosingBundlesAndProposedConversionNames) {
  const std::pair<const char*, const char*> inside[] = {{"/V/A.sparsebundle", "/V/A.sparsebundle"},
                                                        {"/V/A.sparsebundle/bands/0", "/V/A.sparsebundle"},
                                                        {"/V/A.sparsebundle/B.sparsebundle/", "/V/A.sparsebundle"},
                                                        {"/V/A.sparsebundle.old/x", ""},
                                                        {"/V/Plain", ""}};
  for (const auto& [path, bundle] : inside) EXPECT_EQ(enclosingBundle(path), bundle) << path;
  const std::tuple<const char*, int, const char*> names[] = {{"8", 0, "/V/My Disk (8 MB bands).sparsebundle"},
                                                             {"2.9", 1, "/V/My Disk (2 GB bands).sparsebundle"},
                                                             {"0", 0, "/V/My Disk copy.sparsebundle"},
                                                             {"zehn", 1, "/V/My Disk copy.sparsebundle"}};
  for (const auto& [band, unit, proposed] : names)
    EXPECT_EQ(proposedConversionPath("/V/My Disk.sparsebundle", ControlValues{"1", 0, band, unit, 0, 0, false}),
              proposed);
  // Only the tool's own last word counts as the user's cancel.
  const std::tuple<int, const char*, bool> ends[] = {{1, "quorbel-imagetool: compact: cancelled\n", true},
                                                     {1, "x: cancelled\ny: no room\n", false},
                                                     {0, "quorbel-imagetool: compact: cancelled\n", false},
                                                     {1, "", false}};
  for (const auto& [status, errors, cancelled] : ends)
    EXPECT_EQ(cancelledByUser(ToolOutcome{{}, errors, status, false}), cancelled) << errors;
}

TEST(NumberFormatter, PlainDecimalTextWholePartAndWhatIsRefused) {
  const NumberFormatter size(NumberFormatter::Minimum::AboveZero, QLocale::c());
  const std::tuple<const char*, std::string, std::int64_t> accepted[] = {
      {" 2.50 ", "2.5", 2}, {"007", "7", 7}, {"1.0", "1", 1},
      {".5", "0.5", 0},     {"5.", "5", 5},  {"99999999999999999999", "99999999999999999999", huge}};
  for (const auto& [text, description, integer] : accepted) {
    const auto number = size.numberFromString(text);
    ASSERT_TRUE(number) << text;
    EXPECT_EQ(number->description, description);
    EXPECT_EQ(number->integerValue, integer);
  }
  for (const char* refused : {"", "abc", "1e3", "-1", "+1", "1.2.3", "0", "0.0", "1,000", "."})
    EXPECT_FALSE(size.numberFromString(refused)) << refused;
  EXPECT_EQ(NumberFormatter(NumberFormatter::Minimum::ZeroOrMore, QLocale::c()).numberFromString("0.0")->description,
            "0");
}

TEST(NumberFormatter, CommaLocaleGivesAPointInTheSizeArgument) {
  const NumberFormatter german(NumberFormatter::Minimum::AboveZero, QLocale(QLocale::German, QLocale::Germany));
  EXPECT_EQ(sizeArgument(german.numberFromString("1,5")->description, 2), "1.5t");
  EXPECT_FALSE(german.numberFromString("1.5"));  // "." groups thousands there
  const NumberFormatter french(NumberFormatter::Minimum::AboveZero, QLocale(QLocale::French, QLocale::France));
  EXPECT_EQ(french.numberFromString("1.25")->description, "1.25");  // "." is no grouping there
}

}  // namespace
}  // namespace quorbel
