// The encryption layer against the macOS-made fixture and the independent reader: decryption of real
// bundles, writes at any offset, and the header's key records re-wrapped in place.

#include <gtest/gtest.h>
#include <malloc.h>

#include <cstdlib>
#include <cstring>

#include "encrypted_support.h"
#include "imagetool/bundle/band_store.h"
#include "imagetool/crypto/encrypted_io.h"
#include "imagetool/crypto/header.h"
#include "imagetool/crypto/keys.h"
#include "support.h"

// While `watching`, every block given back through delete[] is searched for `secretPattern`: a block
// freed while it still holds it is a secret left behind in the heap.
namespace {
bool watching = false;
int leftInFreedBlocks = 0;
constexpr char secretPattern[] = "s3cret-PATTERN";
}  // namespace

void operator delete[](void* block) noexcept {
  if (watching && block != nullptr &&
      ::memmem(block, ::malloc_usable_size(block), secretPattern, sizeof secretPattern - 1) != nullptr)
    ++leftInFreedBlocks;
  std::free(block);
}
void operator delete[](void* block, std::size_t) noexcept { operator delete[](block); }

namespace quorbel::imagetool::test {
namespace {

using crypto::EncryptedHeader;
using crypto::SecretBytes;

SecretBytes secret(const std::string& text) { return SecretBytes(text.data(), text.size()); }

// Tests of the macOS-made encrypted bundle (password "foo"), skipped where the fixtures are absent.
class MacFixture : public testing::Test {
 protected:
  void SetUp() override {
    if (bundle.empty()) GTEST_SKIP() << "the macOS fixtures (../shared/fixtures/macos) are absent";
  }
  const std::string bundle = fixture("Test1Enc.sparsebundle");
};

TEST_F(MacFixture, DecryptsLikeTheIndependentReader) {
  Scratch scratch;
  ASSERT_TRUE(decryptBundle(bundle, "foo", scratch / "reader.img"));
  EXPECT_FALSE(decryptBundle(bundle, "Foo", scratch / "wrong.img"));
  // The reader's result is the volume the fixture's README vouches for.
  EXPECT_TRUE(contains(shell("sha256sum " + quote(scratch / "reader.img")).out,
                       "3ee9ad51168c1502eef71d94a5d27bd2f6651e6fcbd68cbeacc84c812af68987"));

  const EncryptedHeader header = EncryptedHeader::decode(readFile(bundle + "/token"));
  EXPECT_EQ(header.keyBits(), 128u);
  EXPECT_EQ(header.chunkSize(), 512u);
  EXPECT_FALSE(crypto::unlock(header, secret("fo")).has_value());
  auto keys = crypto::unlock(header, secret("foo"));
  ASSERT_TRUE(keys.has_value());
  const std::uint64_t size = declaredSize(bundle);
  BandStore bands(bundle + "/bands", 1 << 20, size, false);
  crypto::EncryptedImageIO image(bands, 1 << 20, crypto::ChunkCipher(keys->keys, header.chunkSize()));
  std::string plain(size, '\0');
  image.read(0, plain.data(), plain.size());
  EXPECT_TRUE(plain == readFile(scratch / "reader.img"));
  // Reads that start and end inside chunks and cross a band boundary give the same bytes.
  std::string piece(3000, '\0');
  image.read((1 << 20) - 1234, piece.data(), piece.size());
  EXPECT_EQ(piece, plain.substr((1 << 20) - 1234, 3000));
}

TEST(EncryptionLayer, WritesAtAnyOffsetReadBackThroughTheReader) {
  for (const std::uint32_t bits : {128u, 256u}) {
    SCOPED_TRACE(bits);
    Scratch scratch;
    const std::string bundle = scratch / "w.sparsebundle";
    const std::uint64_t bandSize = 64 << 10, size = 5 * bandSize + 4096;  // a short last band
    makeBundle(bundle, bandSize, size, {});
    const crypto::ImageKeys keys = crypto::newKeys(bits);
    EncryptedHeader header = EncryptedHeader::fresh(bits, 512, {});
    header.setPassphrase(0, crypto::wrapKeys(keys, secret("pw"), 1000));
    writeFile(bundle + "/token", header.bytes());

    std::string model = randomBytes(size, bits);
    {
      BandStore bands(bundle + "/bands", bandSize, size, true);
      crypto::EncryptedImageIO image(bands, bandSize, crypto::ChunkCipher(keys, 512));
      image.write(0, model.data(), model.size());
      // Unaligned writes: inside one chunk, across chunks, across a band boundary, at the very end.
      for (const auto& [offset, length] : std::vector<std::pair<std::uint64_t, std::size_t>>{
               {1, 10}, {700, 2000}, {bandSize - 5, 11}, {3 * bandSize + 511, 1}, {size - 3, 3}, {0, 512}}) {
        const std::string data = randomBytes(length, static_cast<std::uint32_t>(offset));
        image.write(offset, data.data(), data.size());
        model.replace(offset, length, data);
      }
      bands.sync();
      std::string back(size, '\0');
      image.read(0, back.data(), back.size());
      EXPECT_TRUE(back == model);
    }
    std::string why;
    ASSERT_TRUE(decryptBundle(bundle, "pw", scratch / "plain.img", false, &why)) << why;
    EXPECT_TRUE(readFile(scratch / "plain.img") == model);
    // Nothing of the plain text reaches the bands.
    EXPECT_FALSE(contains(flatten(bundle), model.substr(5000, 64)));
  }
}

TEST_F(MacFixture, RewrappingKeepsKeysAndForeignRecords) {
  // The fixture's token with a second key record of an unknown type appended.
  std::string token = readFile(bundle + "/token");
  token.replace(0x800, 0x268, token.substr(0x60, 0x268));  // the passphrase record moves to 0x800
  token.replace(0x60, 0x268, std::string(0x268, '\0'));
  token[86] = 0x08;
  token[87] = 0;
  token[75] = 2;
  const std::string entry{0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 8};
  token.replace(96, entry.size(), entry);
  token.replace(0x1000, 8, "FOREIGN!");
  const EncryptedHeader before = EncryptedHeader::decode(token);
  ASSERT_EQ(before.records().size(), 2u);
  EXPECT_EQ(before.records()[1].type, 9u);
  const auto old = crypto::unlock(before, secret("foo"));
  ASSERT_TRUE(old.has_value());

  EncryptedHeader after = before;
  after.setPassphrase(old->record, crypto::wrapKeys(old->keys, secret("new secret"), 2000));
  const std::string bytes = after.bytes();
  ASSERT_EQ(bytes.size(), token.size());
  EXPECT_EQ(bytes.substr(0, 0x800), token.substr(0, 0x800));
  EXPECT_EQ(bytes.substr(0x800 + 0x268), token.substr(0x800 + 0x268));
  const EncryptedHeader reread = EncryptedHeader::decode(bytes);
  EXPECT_FALSE(crypto::unlock(reread, secret("foo")).has_value());
  const auto fresh = crypto::unlock(reread, secret("new secret"));
  ASSERT_TRUE(fresh.has_value());
  EXPECT_TRUE(fresh->keys.aes == old->keys.aes);
  EXPECT_TRUE(fresh->keys.hmac == old->keys.hmac);
  // A fresh salt: the same password wrapped twice never gives the same record.
  EXPECT_NE(crypto::wrapKeys(old->keys, secret("x"), 1000).salt, crypto::wrapKeys(old->keys, secret("x"), 1000).salt);
}

TEST_F(MacFixture, DamagedHeadersAreRefused) {
  const std::string good = readFile(bundle + "/token");
  const auto with = [&](std::size_t at, std::string bytes) {
    return good.substr(0, at) + bytes + good.substr(at + bytes.size());
  };
  for (const std::string& token : {good.substr(0, 60), with(0, "encrcdsb"), with(8, std::string("\0\0\0\1", 4)),
                                   with(24, std::string("\0\0\0\xC0", 4)), with(52, std::string("\0\0\0\x11", 4)),
                                   with(72, std::string("\xFF\0\0\0", 4)),              // too many records
                                   with(80, std::string("\0\0\0\0\0\x01\xff\xff", 8)),  // record outside
                                   good.substr(0, 0x100)}) {
    EXPECT_THROW(EncryptedHeader::decode(token), ToolError);
  }
  // A passphrase record claiming a salt longer than its field.
  EXPECT_THROW(EncryptedHeader::decode(with(0x6c, std::string("\0\0\0\x40", 4))).passphrase(0), ToolError);
}

// Growing moves the bytes to a bigger block and wipes the old one; shrinking wipes the cut tail in
// place; moves and assignments leave nothing behind.
TEST(SecretBytes, NoBlockIsFreedStillHoldingTheSecretAndACutTailIsWiped) {
  const std::size_t length = sizeof secretPattern - 1;
  watching = true;
  {
    SecretBytes grown(secretPattern, length);
    grown.resize(100);  // past its capacity, and again
    grown.resize(400);
    EXPECT_EQ(grown.view().substr(0, length), std::string_view(secretPattern, length));
    grown.resize(3);
    EXPECT_EQ(::memmem(grown.data(), 300, secretPattern + 3, length - 3), nullptr);
    SecretBytes moved(std::move(grown));
    SecretBytes assigned(secretPattern, length);
    assigned = std::move(moved);
    SecretBytes cleared(secretPattern, length);
    cleared.clear();
  }
  watching = false;
  EXPECT_EQ(leftInFreedBlocks, 0);
}

// About one wrong password in 256 unwraps to bytes whose PKCS#7 padding is valid by chance; only the
// marker after the keys tells the right password from those.
TEST(KeyWrapping, OnlyTheRightPasswordUnwrapsEvenWhereAWrongOneHappensToGiveValidPadding) {
  for (const std::uint32_t bits : {128u, 256u}) {
    const crypto::ImageKeys keys = crypto::newKeys(bits);
    const crypto::PassphraseRecord record = crypto::wrapKeys(keys, secret("right"), 1);
    int unwrapped = 0;
    for (int i = 0; i < 3000; ++i)
      unwrapped += crypto::unwrapKeys(record, secret("wrong " + std::to_string(i)), bits).has_value();
    EXPECT_EQ(unwrapped, 0) << bits;
    const auto back = crypto::unwrapKeys(record, secret("right"), bits);
    ASSERT_TRUE(back.has_value());
    EXPECT_TRUE(back->aes == keys.aes && back->hmac == keys.hmac);
  }
}

}  // namespace
}  // namespace quorbel::imagetool::test
