// The bundle's words on disk and on the command line: size texts, band names, Info.plist, token.

#include <gtest/gtest.h>

#include "imagetool/bundle/bundle.h"
#include "imagetool/bundle/sizes.h"
#include "support.h"

namespace quorbel::imagetool {
namespace {

constexpr std::uint64_t MiB = 1 << 20;

TEST(SizeText, UnitsFractionsAndRoundingUpToSectors) {
  const struct {
    const char* text;
    std::uint64_t bytes;
  } cases[] = {
      {"1b", 512},
      {"2048b", 1048576},
      {"1k", 1024},
      {"1.1k", 1536},  // 1126.4 bytes, rounded up to three sectors
      {"100m", 100ull << 20},
      {"1.5t", 3ull << 39},
      {"0.5g", 1ull << 29},
      {".25M", 1ull << 18},
      {"2e", 2ull << 60},
      {"4e", 4ull << 60},
      {"0.000001k", 512},  // any fraction of a sector is a whole sector
  };
  for (const auto& c : cases) EXPECT_EQ(parseSizeText(c.text), c.bytes) << c.text;
}

TEST(SizeText, RefusesWhatIsNotASize) {
  for (const char* text : {"", "m", "10", "10x", "-5m", "1.2.3m", "0m", "0.0g", "5e", "99999999999999999999t",
                           "1,5g", " 1g", "1.0000000000000000001g"})
    EXPECT_THROW(parseSizeText(text), ToolError) << text;
}

TEST(SizeText, HumanUnits) {
  EXPECT_EQ(humanSize(0), "0 bytes");
  EXPECT_EQ(humanSize(1023), "1023 bytes");
  EXPECT_EQ(humanSize(1024), "1.0 KB");
  EXPECT_EQ(humanSize(3ull << 29), "1.5 GB");
  EXPECT_EQ(humanSize((1ull << 20) - 1), "1.0 MB");  // not "1024.0 KB"
}

TEST(BandNames, LowerCaseHexWithoutLeadingZeros) {
  EXPECT_EQ(bandName(0), "0");
  EXPECT_EQ(bandName(255), "ff");
  EXPECT_EQ(bandName(0x1a2b3c), "1a2b3c");
  for (std::uint64_t i : {0ull, 9ull, 10ull, 4095ull, 0xffffffffffull}) EXPECT_EQ(bandIndex(bandName(i)), i);
  for (const char* bad : {"", "00", "0a", "A", "1F", "g", "-1", " 1", ".DS_Store", "12345678901234567"})
    EXPECT_FALSE(bandIndex(bad).has_value()) << bad;
}

TEST(InfoPlist, WrittenAsMacOSWritesItAndReadBack) {
  const BundleInfo info{8388608, 2ull << 40, 1, {}};
  const std::string xml = infoToXml(info);
  EXPECT_EQ(xml, test::infoPlist(8388608, 2ll << 40));
  EXPECT_EQ(parseInfo(xml, "Info.plist"), info);
}

TEST(InfoPlist, BothCopiesReplacedWithoutLeavingTemporaryFiles) {
  test::Scratch dir;
  writeInfoFiles(dir.path(), BundleInfo{MiB, 4 * MiB, 1, {}});
  writeInfoFiles(dir.path(), BundleInfo{MiB, 8 * MiB, 1, {}});
  EXPECT_EQ(test::readFile(dir / "Info.plist"), test::infoPlist(MiB, 8 * MiB));
  EXPECT_EQ(test::readFile(dir / "Info.bckup"), test::infoPlist(MiB, 8 * MiB));
  EXPECT_EQ(test::listDir(dir.path()), (std::vector<std::string>{"Info.bckup", "Info.plist"}));
}

TEST(Token, EmptyPlainEncryptedHeaderDecodedOtherwiseRefused) {
  EXPECT_FALSE(parseToken("").encrypted);
  std::string header(64, '\0');
  header.replace(0, 8, "encrcdsa");
  header[11] = 2;                          // version 2
  header[27] = static_cast<char>(0x80);    // 128-bit keys
  for (int i = 0; i < 16; ++i) header[36 + i] = static_cast<char>(0xa0 + i);
  header[54] = 0x02;                       // block size 512
  const TokenInfo token = parseToken(header);
  EXPECT_TRUE(token.encrypted);
  EXPECT_EQ(token.uuid, "A0A1A2A3-A4A5-A6A7-A8A9-AAABACADAEAF");
  EXPECT_EQ(token.blockSize, 512u);
  EXPECT_EQ(token.keyBits, 128u);
  EXPECT_THROW(parseToken("garbage"), ToolError);
  EXPECT_THROW(parseToken(header.substr(0, 40)), ToolError);
  header[11] = 7;
  EXPECT_THROW(parseToken(header), ToolError);
}

}  // namespace
}  // namespace quorbel::imagetool
