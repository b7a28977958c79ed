// The operations' pure rules against the worked lists and tables, and the number fields' formatter.
#include <gtest/gtest.h>

#include <limits>

#include "operations/argument_lists.h"
#include "operations/size_rules.h"
#include "ui/number_formatter.h"

namespace quorbel {
namespace {

using List = std::vector<std::string>;

TEST(Builders, TheWorkedListsOfEveryOperation) {
  EXPECT_EQ(createArguments({"1m", std::nullopt, std::nullopt, "HFS+", "Backup", "/V/Backup.sparsebundle"}),
            (List{"create", "-size", "1m", "-type", "SPARSEBUNDLE", "-fs", "HFS+", "-volname", "Backup",
                  "/V/Backup.sparsebundle"}));
  EXPECT_EQ(createArguments({"500m", std::nullopt, bandSizeSectors(16, 1), "exFAT", "Share", "/V/Share.sparsebundle"}),
            (List{"create", "-size", "500m", "-type", "SPARSEBUNDLE", "-imagekey", "sparse-band-size=16777216", "-fs",
                  "exFAT", "-volname", "Share", "/V/Share.sparsebundle"}));
  EXPECT_EQ(createArguments({"2t", encryptionAlgorithm(1), std::nullopt, "Case-sensitive APFS",
                             volumeName("/V/Media.Library.sparsebundle"), "/V/Media.Library.sparsebundle"}),
            (List{"create", "-size", "2t", "-type", "SPARSEBUNDLE", "-encryption", "AES-128", "-stdinpass", "-fs",
                  "Case-sensitive APFS", "-volname", "Media", "/V/Media.Library.sparsebundle"}));
  EXPECT_EQ(createArguments({"100g", encryptionAlgorithm(2), bandSizeSectors(64, 0), "APFS", "Vault", "/V/Vault.sparsebundle"}),
            (List{"create", "-size", "100g", "-type", "SPARSEBUNDLE", "-encryption", "AES-256", "-stdinpass",
                  "-imagekey", "sparse-band-size=128000", "-fs", "APFS", "-volname", "Vault", "/V/Vault.sparsebundle"}));
  EXPECT_EQ(encryptionAlgorithm(0), "AES-256");  // only index 1 is AES-128
  EXPECT_EQ(resizeArguments(sizeArgument("20", 1), "/V/B.sparsebundle"), (List{"resize", "-size", "20g", "/V/B.sparsebundle"}));
  EXPECT_EQ(compactArguments(false, "/V/B.sparsebundle"), (List{"compact", "/V/B.sparsebundle"}));
  EXPECT_EQ(compactArguments(true, "/V/B.sparsebundle"), (List{"compact", "-batteryallowed", "/V/B.sparsebundle"}));
  EXPECT_EQ(convertArguments("/a/Old.sparsebundle", "/b/New.sparsebundle", bandSizeSectors(8, 0)),
            (List{"convert", "/a/Old.sparsebundle", "-format", "UDSB", "-o", "/b/New.sparsebundle", "-imagekey",
                  "sparse-band-size=16000"}));
  EXPECT_EQ(changePasswordArguments("/V/B.sparsebundle"), (List{"chpass", "/V/B.sparsebundle", "-newstdinpass"}));
  EXPECT_EQ(createCommand, (List{"create", "-size"}));  // templates are copied, never grown
}

TEST(SizeRules, SizeArgumentBandSectorsAndVolumeName) {
  EXPECT_EQ(sizeArgument("100", 0) + sizeArgument("1.5", 2) + sizeArgument("3", -1), "100m1.5t3t");
  const std::int64_t huge = std::numeric_limits<std::int64_t>::max();
  const std::tuple<std::int64_t, int, std::int64_t> bands[] = {
      {1, 0, 2048},      {4, 0, 8000},     {8, 0, 16000},         {8388, 0, 16776000},   {8389, 0, 16777216},
      {1, 1, 2000000},   {8, 1, 16000000}, {9, 1, 16777216},      {2, 0, 4000},          {1, 5, 2000000},
      {huge / 2000 + 1, 0, 16777216},      {huge, 1, 16777216},   {0, 0, 2048},          {-5, 1, 2048}};
  for (const auto& [n, unit, sectors] : bands) EXPECT_EQ(bandSizeSectors(n, unit), sectors) << n << " unit " << unit;
  EXPECT_EQ(volumeName("/V/Media.Library.sparsebundle"), "Media");
  EXPECT_EQ(volumeName("/V/.Vault.sparsebundle"), "");
  EXPECT_EQ(volumeName("/My.Data/Two Words.sparsebundle"), "Two Words");
}

TEST(ReportSearches, EncryptionMarkerAndCompactHintAreExactAndCaseSensitive) {
  EXPECT_TRUE(reportsEncrypted("path: x\nencrypted: YES\n"));
  EXPECT_FALSE(reportsEncrypted("encrypted: yes\n"));
  for (const char* hinted : {"terror", "3 Errors", "it failed", "\xE2\x9A\xA0\xEF\xB8\x8F error 1\n"})
    EXPECT_TRUE(compactNeedsBatteryHint(hinted)) << hinted;
  for (const char* plain : {"Compact:\n", "ERROR FAILED", "Failed"}) EXPECT_FALSE(compactNeedsBatteryHint(plain)) << plain;
}

TEST(NumberFormatter, PlainDecimalTextWholePartAndWhatIsRefused) {
  const NumberFormatter size(NumberFormatter::Minimum::AboveZero, QLocale::c());
  const std::tuple<const char*, std::string, std::int64_t> accepted[] = {
      {" 2.50 ", "2.5", 2}, {"007", "7", 7}, {"1.0", "1", 1}, {".5", "0.5", 0}, {"5.", "5", 5},
      {"99999999999999999999", "99999999999999999999", std::numeric_limits<std::int64_t>::max()}};
  for (const auto& [text, description, integer] : accepted) {
    const auto number = size.numberFromString(text);
    ASSERT_TRUE(number) << text;
    EXPECT_EQ(number->description, description);
    EXPECT_EQ(number->integerValue, integer);
  }
  for (const char* refused : {"", "abc", "1e3", "-1", "+1", "1.2.3", "0", "0.0", "1,000", "."})
    EXPECT_FALSE(size.numberFromString(refused)) << refused;
  const NumberFormatter band(NumberFormatter::Minimum::ZeroOrMore, QLocale::c());
  EXPECT_EQ(band.numberFromString("0")->integerValue, 0);
  EXPECT_FALSE(band.numberFromString("-1"));
}

TEST(NumberFormatter, CommaLocaleGivesAPointInTheSizeArgument) {
  const NumberFormatter german(NumberFormatter::Minimum::AboveZero, QLocale(QLocale::German, QLocale::Germany));
  EXPECT_EQ(sizeArgument(german.numberFromString("1,5")->description, 2), "1.5t");
  EXPECT_FALSE(german.numberFromString("1.5"));  // "." groups thousands there
  const NumberFormatter french(NumberFormatter::Minimum::AboveZero, QLocale(QLocale::French, QLocale::France));
  EXPECT_EQ(french.numberFromString("1,25")->description, "1.25");
  EXPECT_EQ(french.numberFromString("1.25")->description, "1.25");
  const NumberFormatter english(NumberFormatter::Minimum::AboveZero, QLocale(QLocale::English, QLocale::UnitedStates));
  EXPECT_FALSE(english.numberFromString("1,5"));
}

}  // namespace
}  // namespace quorbel
