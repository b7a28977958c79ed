// The operations' pure rules against the worked lists and tables.
#include <gtest/gtest.h>

#include <limits>

#include "operations/argument_lists.h"
#include "operations/size_rules.h"

namespace quorbel {
namespace {

using List = std::vector<std::string>;

TEST(CreateArguments, TheFourWorkedLists) {
  EXPECT_EQ(createArguments({"1m", std::nullopt, std::nullopt, "HFS+", "Backup", "/Volumes/Data/Backup.sparsebundle"}),
            (List{"create", "-size", "1m", "-type", "SPARSEBUNDLE", "-fs", "HFS+", "-volname", "Backup",
                  "/Volumes/Data/Backup.sparsebundle"}));
  EXPECT_EQ(createArguments({"500m", std::nullopt, bandSizeSectors(16, 1), "exFAT", "Share",
                             "/Volumes/Data/Share.sparsebundle"}),
            (List{"create", "-size", "500m", "-type", "SPARSEBUNDLE", "-imagekey", "sparse-band-size=16777216", "-fs",
                  "exFAT", "-volname", "Share", "/Volumes/Data/Share.sparsebundle"}));
  EXPECT_EQ(createArguments({"2t", encryptionAlgorithm(1), std::nullopt, "Case-sensitive APFS",
                             volumeName("/Volumes/Data/Media.Library.sparsebundle"),
                             "/Volumes/Data/Media.Library.sparsebundle"}),
            (List{"create", "-size", "2t", "-type", "SPARSEBUNDLE", "-encryption", "AES-128", "-stdinpass", "-fs",
                  "Case-sensitive APFS", "-volname", "Media", "/Volumes/Data/Media.Library.sparsebundle"}));
  EXPECT_EQ(createArguments({"100g", encryptionAlgorithm(2), bandSizeSectors(64, 0), "APFS", "Vault",
                             "/Volumes/Data/Vault.sparsebundle"}),
            (List{"create", "-size", "100g", "-type", "SPARSEBUNDLE", "-encryption", "AES-256", "-stdinpass",
                  "-imagekey", "sparse-band-size=128000", "-fs", "APFS", "-volname", "Vault",
                  "/Volumes/Data/Vault.sparsebundle"}));
  // The templates are copied, never grown.
  EXPECT_EQ(createCommand, (List{"create", "-size"}));
}

TEST(CreateArguments, EncryptionIndexOneIsAes128AndEveryOtherIndexAes256) {
  EXPECT_EQ(encryptionAlgorithm(1), "AES-128");
  for (int index : {2, 0, -1, 7}) EXPECT_EQ(encryptionAlgorithm(index), "AES-256") << index;
}

TEST(OtherArguments, ResizeCompactConvertInfoAndChangePassword) {
  const std::string bundle = "/Volumes/Data/Backup.sparsebundle";
  EXPECT_EQ(resizeArguments(sizeArgument("20", 1), bundle), (List{"resize", "-size", "20g", bundle}));
  EXPECT_EQ(compactArguments(false, bundle), (List{"compact", bundle}));
  EXPECT_EQ(compactArguments(true, bundle), (List{"compact", "-batteryallowed", bundle}));
  EXPECT_EQ(convertArguments("/a/Old.sparsebundle", "/b/New.sparsebundle", bandSizeSectors(8, 0)),
            (List{"convert", "/a/Old.sparsebundle", "-format", "UDSB", "-o", "/b/New.sparsebundle", "-imagekey",
                  "sparse-band-size=16000"}));
  EXPECT_EQ(isEncryptedArguments(bundle), (List{"isencrypted", bundle}));
  EXPECT_EQ(imageInfoArguments(bundle), (List{"imageinfo", bundle}));
  EXPECT_EQ(changePasswordArguments(bundle), (List{"chpass", bundle, "-newstdinpass"}));
  EXPECT_EQ(resizeArguments("1m", bundle), resizeArguments("1m", bundle));
}

TEST(SizeArgument, UnitLetterByIndex) {
  EXPECT_EQ(sizeArgument("100", 0), "100m");
  EXPECT_EQ(sizeArgument("2", 1), "2g");
  EXPECT_EQ(sizeArgument("1.5", 2), "1.5t");
  EXPECT_EQ(sizeArgument("3", -1), "3t");
}

struct BandCase {
  std::int64_t n;
  int unit;
  std::int64_t sectors;
};

TEST(BandSizeSectors, TablesOfTheOperations) {
  const std::int64_t huge = std::numeric_limits<std::int64_t>::max();
  const BandCase cases[] = {
      {1, 0, 2048},         {4, 0, 8000},          {8, 0, 16000},         {64, 0, 128000},
      {8388, 0, 16776000},  {8389, 0, 16777216},   {1, 1, 2000000},       {8, 1, 16000000},
      {9, 1, 16777216},     {16, 1, 16777216},     {2, 0, 4000},          {1, 5, 2000000},
      // Products beyond the signed 64-bit range clamp like any other large value.
      {huge / 2000 + 1, 0, 16777216}, {huge, 0, 16777216}, {huge / 2000000 + 1, 1, 16777216}, {huge, 1, 16777216},
      {0, 0, 2048},         {-5, 1, 2048},         {std::numeric_limits<std::int64_t>::min(), 1, 2048},
  };
  for (const auto& c : cases) EXPECT_EQ(bandSizeSectors(c.n, c.unit), c.sectors) << c.n << " unit " << c.unit;
}

TEST(VolumeName, FirstPartOfTheFileName) {
  EXPECT_EQ(volumeName("/Volumes/Data/Backup.sparsebundle"), "Backup");
  EXPECT_EQ(volumeName("/Volumes/Data/Media.Library.sparsebundle"), "Media");
  EXPECT_EQ(volumeName("/Volumes/Data/.Vault.sparsebundle"), "");
  EXPECT_EQ(volumeName("/Volumes/My.Data/Two Words.sparsebundle"), "Two Words");
  EXPECT_EQ(volumeName("/Volumes/Data/Backup.sparsebundle/"), "Backup");
}

TEST(ReportSearches, EncryptionMarkerAndCompactHintAreExactAndCaseSensitive) {
  EXPECT_TRUE(reportsEncrypted("path: x\nencrypted: YES\n"));
  EXPECT_FALSE(reportsEncrypted("encrypted: yes\n"));
  EXPECT_FALSE(reportsEncrypted("encrypted: NO\n"));
  EXPECT_FALSE(reportsEncrypted("\xE2\x9A\xA0\xEF\xB8\x8F error 1\n"));

  for (const char* hint : {"Compact:\nterror\n", "Compact:\nErrors found\n", "Compact:\nsomething failed\n",
                           "Compact:\n\xE2\x9A\xA0\xEF\xB8\x8F error 1\n"})
    EXPECT_TRUE(compactNeedsBatteryHint(hint)) << hint;
  for (const char* none : {"Compact:\n", "Compact:\nERROR FAILED\n", "Compact:\nreclaimed 10 MB\n", "Compact:\nFailed\n"})
    EXPECT_FALSE(compactNeedsBatteryHint(none)) << none;
}

}  // namespace
}  // namespace quorbel
