// The bundle's pieces: size texts, band names, Info.plist, token, and the band store against a plain
// in-memory image.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <set>

#include "imagetool/bundle/band_store.h"
#include "imagetool/bundle/bundle.h"
#include "imagetool/bundle/fs_util.h"
#include "imagetool/bundle/sizes.h"
#include "support.h"

namespace quorbel::imagetool {
namespace {

using test::MiB;
using test::Scratch;

TEST(SizeText, UnitsFractionsRoundingUpAndRefusals) {
  const std::pair<const char*, std::uint64_t> good[] = {
      {"1b", 512},          {"1k", 1024},         {"1.1k", 1536},  // 1126.4 bytes: three sectors
      {"1.5t", 3ull << 39}, {".25M", 1ull << 18}, {"4e", 4ull << 60}, {"0.000001k", 512}};
  for (const auto& [text, bytes] : good) EXPECT_EQ(parseSizeText(text), bytes) << text;
  for (const char* text : {"", "m", "10", "10x", "-5m", "1.2.3m", "0m", "0.0g", "5e", "99999999999999999999t", "1,5g",
                           " 1g", "1.0000000000000000001g"})
    EXPECT_THROW(parseSizeText(text), ToolError) << text;
  EXPECT_EQ(humanSize(1023), "1023 bytes");
  EXPECT_EQ(humanSize(3ull << 29), "1.5 GB");
  EXPECT_EQ(humanSize((1ull << 20) - 1), "1.0 MB");  // not "1024.0 KB"
}

TEST(BandNames, LowerCaseHexWithoutLeadingZeros) {
  EXPECT_EQ(bandName(0x1a2b3c), "1a2b3c");
  for (std::uint64_t i : {0ull, 10ull, 0xffffffffffull}) EXPECT_EQ(bandIndex(bandName(i)), i);
  for (const char* bad : {"", "00", "0a", "A", "g", "-1", " 1", ".DS_Store", "12345678901234567"})
    EXPECT_FALSE(bandIndex(bad).has_value()) << bad;
}

// Version 2 from the Mac's own token; version 1 (no Mac-made sample) written out from the format: a
// trailer at the token's end, the uuid and the block size first and the signature last.
TEST(Token, EncryptedHeaderDecodedAnythingElseButEmptyRefused) {
  EXPECT_FALSE(parseToken("").encrypted);
  std::string v1(0x600, '\0');
  v1.replace(0x104, 16, "\xa0\xa1\xa2\xa3\xa4\xa5\xa6\xa7\xa8\xa9\xaa\xab\xac\xad\xae\xaf");
  v1[0x104 + 18] = 0x02;  // block size 512
  v1.replace(0x600 - 8, 8, "cdsaencr");
  for (const std::string& trailer : {v1, v1.substr(0x600 - 0x4FC)}) {  // after other bytes, or alone
    const TokenInfo old = parseToken(trailer);
    EXPECT_TRUE(old.encrypted && old.headerVersion == 1u && old.blockSize == 512u);
    EXPECT_EQ(old.uuid, "A0A1A2A3-A4A5-A6A7-A8A9-AAABACADAEAF");
  }
  for (const std::string& bad : {std::string("garbage"), v1.substr(0, 0x4FB)}) EXPECT_THROW(parseToken(bad), ToolError);
  const std::string mac = test::fixture("Test1Enc.sparsebundle");
  if (mac.empty()) GTEST_SKIP() << "the macOS fixtures (../shared/fixtures/macos) are absent";
  std::string header = test::readFile(mac + "/token");
  const TokenInfo token = parseToken(header);
  EXPECT_TRUE(token.encrypted && token.headerVersion == 2u && token.blockSize == 512u && token.keyBits == 128u);
  EXPECT_EQ(token.uuid, "C55617C6-16DB-45E1-88C8-76E6863131E1");
  header[11] = 7;  // version 7
  for (const std::string& bad : {header.substr(0, 40), header}) EXPECT_THROW(parseToken(bad), ToolError);
}

// A replaced file (token, Info.plist) is whole before its new name is published, and the name lasts.
TEST(ReplaceFile, TheNewContentIsFlushedBeforeTheRenameAndTheFolderAfterIt) {
  Scratch dir;
  test::writeFile(dir / "token", "old");
  std::vector<std::string> calls;
  fileSystemCalls().observe = [&](const char* call, const std::string& what) { calls.push_back(call + (" " + what)); };
  replaceFileAtomically(dir / "token", "new");
  fileSystemCalls().observe = nullptr;
  EXPECT_EQ(calls, (std::vector<std::string>{"fsync " + dir / "token", "rename " + dir / "token",
                                             "fsync the folder of " + dir / "token"}));
  EXPECT_EQ(test::readFile(dir / "token"), "new");
  EXPECT_EQ(test::listDir(dir.path()), std::vector<std::string>{"token"});
}

constexpr std::uint64_t band = 64 * 1024;

TEST(BandStore, RandomWritesAcrossBandsMatchAPlainImage) {
  Scratch dir;
  const std::uint64_t size = 5 * band + 3 * 512;  // the last band is short
  const std::string bundle = dir / "a.sparsebundle";
  ASSERT_EQ(::mkdir(bundle.c_str(), 0755), 0);
  writeNewBundleFiles(bundle, BundleInfo{band, size, 1, {}});
  std::string reference(size, '\0');
  std::mt19937 engine(7);
  {
    BandStore store(bundle + "/bands", band, size, true);
    for (int i = 0; i < 200; ++i) {
      const std::uint64_t offset = engine() % size;
      const std::size_t length = std::min<std::uint64_t>(engine() % (3 * band), size - offset);
      // Some writes are zeros, so zero-skipping and overwriting both happen.
      const std::string data = (i % 4 == 0) ? std::string(length, '\0') : test::randomBytes(length, engine());
      store.write(offset, data.data(), data.size());
      reference.replace(offset, length, data);
    }
    // Every band written is flushed before sync returns.
    std::set<std::string> flushed;
    fileSystemCalls().observe = [&](const char* call, const std::string& what) {
      if (call == std::string("fsync")) flushed.insert(what);
    };
    store.sync();
    fileSystemCalls().observe = nullptr;
    for (const auto& name : test::listDir(bundle + "/bands")) EXPECT_TRUE(flushed.count("band " + name)) << name;
  }
  const BandStore again(bundle + "/bands", band, size, false);
  std::string back(size, 'x');
  again.read(0, back.data(), size);
  EXPECT_EQ(back, reference);
  // Reads that start on a band's last byte.
  for (std::uint64_t edge = band - 1; edge + 2 <= size; edge += band) {
    again.read(edge, back.data(), 2);
    EXPECT_EQ(back.substr(0, 2), reference.substr(edge, 2)) << edge;
  }
  EXPECT_EQ(test::flatten(bundle), reference);
  for (const auto& name : test::listDir(bundle + "/bands")) {
    struct stat st {};
    ::stat((bundle + "/bands/" + name).c_str(), &st);
    EXPECT_LE(static_cast<std::uint64_t>(st.st_size), name == "5" ? 3 * 512 : band) << name;
  }
}

TEST(BandStore, MissingAndShortBandsReadAsZerosZerosCreateNoBandAndNothingReachesOutside) {
  Scratch dir;
  const std::string bundle = dir / "b.sparsebundle";
  test::makeBundle(bundle, band, 4 * band, {{1, std::string(100, 'a')}, {3, std::string(band, 'c')}});
  BandStore store(bundle + "/bands", band, 4 * band, true);
  std::string piece(3 * band, 'x');
  store.read(band - 10, piece.data(), piece.size());
  EXPECT_EQ(piece, std::string(10, '\0') + std::string(100, 'a') + std::string(2 * band - 100, '\0') +
                       std::string(band - 10, 'c'));
  // Zeros into a missing band or past a short band's end change no file; zeros over data do.
  const std::string zeros(band, '\0');
  store.write(2 * band, zeros.data(), zeros.size());
  store.write(band + 200, zeros.data(), 1000);
  store.write(band + 50, zeros.data(), 10);
  store.sync();
  EXPECT_FALSE(test::exists(bundle + "/bands/2"));
  EXPECT_EQ(test::readFile(bundle + "/bands/1"), std::string(50, 'a') + std::string(10, '\0') + std::string(40, 'a'));
  // Nothing past the end, no writes when read-only, and a band that is a symbolic link is never followed.
  char byte = 1;
  EXPECT_THROW(store.write(4 * band, &byte, 1), ToolError);
  EXPECT_THROW(store.read(4 * band - 1, &byte, 2), ToolError);
  BandStore readOnly(bundle + "/bands", band, 4 * band, false);
  EXPECT_THROW(readOnly.write(0, &byte, 1), ToolError);
  test::writeFile(dir / "elsewhere", "zz");
  ASSERT_EQ(::symlink((dir / "elsewhere").c_str(), (bundle + "/bands/0").c_str()), 0);
  EXPECT_THROW(readOnly.read(0, &byte, 1), ToolError);
  EXPECT_THROW(store.write(0, &byte, 1), ToolError);
  EXPECT_EQ(test::readFile(dir / "elsewhere"), "zz");
}

}  // namespace
}  // namespace quorbel::imagetool
