#include "imagetool/crypto/keys.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "imagetool/bundle/fs_util.h"
#include "imagetool/image_io.h"

namespace quorbel::imagetool::crypto {

namespace {

// The wrapped keys end with this marker and its terminating NUL, as macOS writes them.
constexpr char marker[] = "CKIE";
constexpr std::size_t markerBytes = sizeof marker;
constexpr std::size_t wrapKeyBytes = 24;  // 3DES-EDE: three 64-bit keys
constexpr std::size_t wrapIvBytes = 8;
constexpr std::size_t saltBytes = 20;

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

struct DigestCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
using DigestCtx = std::unique_ptr<EVP_MD_CTX, DigestCtxFree>;

DigestCtx newDigest() {
  DigestCtx ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha1(), nullptr) != 1) throw ToolError("cannot set up SHA-1");
  return ctx;
}

// HMAC-SHA1 with the key's inner and outer pads absorbed once, so that each of the many HMACs of
// PBKDF2 costs two compressions and two context copies.
class HmacSha1 {
 public:
  static constexpr std::size_t bytes = 20;
  explicit HmacSha1(const SecretBytes& key) : inner_(newDigest()), outer_(newDigest()), work_(newDigest()) {
    constexpr std::size_t block = 64;
    SecretBytes padded(block);
    if (key.size() > block) {
      unsigned int n = 0;
      if (EVP_DigestUpdate(inner_.get(), key.data(), key.size()) != 1 ||
          EVP_DigestFinal_ex(inner_.get(), padded.data(), &n) != 1 ||
          EVP_DigestInit_ex(inner_.get(), EVP_sha1(), nullptr) != 1)
        throw ToolError("cannot run SHA-1");
    } else if (!key.empty()) {
      std::memcpy(padded.data(), key.data(), key.size());
    }
    SecretBytes pad(block);
    for (std::size_t i = 0; i < block; ++i) pad.data()[i] = padded.data()[i] ^ 0x36;
    absorb(inner_.get(), pad.data(), block);
    for (std::size_t i = 0; i < block; ++i) pad.data()[i] = padded.data()[i] ^ 0x5c;
    absorb(outer_.get(), pad.data(), block);
  }
  // out = HMAC(key, in); `out` may be `in`.
  void mac(const unsigned char* in, std::size_t length, unsigned char* out) {
    unsigned int n = 0;
    if (EVP_MD_CTX_copy_ex(work_.get(), inner_.get()) != 1 || EVP_DigestUpdate(work_.get(), in, length) != 1 ||
        EVP_DigestFinal_ex(work_.get(), out, &n) != 1 || EVP_MD_CTX_copy_ex(work_.get(), outer_.get()) != 1 ||
        EVP_DigestUpdate(work_.get(), out, bytes) != 1 || EVP_DigestFinal_ex(work_.get(), out, &n) != 1)
      throw ToolError("cannot run HMAC-SHA1");
  }

 private:
  static void absorb(EVP_MD_CTX* ctx, const unsigned char* data, std::size_t length) {
    if (EVP_DigestUpdate(ctx, data, length) != 1) throw ToolError("cannot run SHA-1");
  }
  DigestCtx inner_, outer_, work_;
};

// Iterations between two looks at the interruption flag: a few milliseconds of work.
constexpr std::uint32_t iterationsPerLook = 4096;

}  // namespace

SecretBytes pbkdf2HmacSha1(const SecretBytes& password, const std::vector<std::uint8_t>& salt, std::uint32_t iterations,
                           std::size_t length) {
  if (iterations == 0 || iterations > maxIterations)
    throw ToolError("cannot derive a key with " + std::to_string(iterations) + " iterations");
  HmacSha1 hmac(password);
  SecretBytes key(length);
  SecretBytes first(salt.size() + 4), u(HmacSha1::bytes), sum(HmacSha1::bytes);
  if (!salt.empty()) std::memcpy(first.data(), salt.data(), salt.size());
  for (std::uint32_t block = 1; (block - 1) * HmacSha1::bytes < length; ++block) {
    for (int i = 0; i < 4; ++i)
      first.data()[salt.size() + static_cast<std::size_t>(i)] = static_cast<unsigned char>(block >> (24 - 8 * i));
    hmac.mac(first.data(), first.size(), u.data());
    std::memcpy(sum.data(), u.data(), HmacSha1::bytes);
    for (std::uint32_t i = 1; i < iterations; ++i) {
      if (i % iterationsPerLook == 0) checkInterrupted();
      hmac.mac(u.data(), HmacSha1::bytes, u.data());
      for (std::size_t b = 0; b < HmacSha1::bytes; ++b) sum.data()[b] ^= u.data()[b];
    }
    const std::size_t at = (block - 1) * HmacSha1::bytes;
    std::memcpy(key.data() + at, sum.data(), std::min(HmacSha1::bytes, length - at));
  }
  return key;
}

namespace {

SecretBytes wrappingKey(const SecretBytes& password, const std::vector<std::uint8_t>& salt, std::uint32_t iterations) {
  return pbkdf2HmacSha1(password, salt, iterations, wrapKeyBytes);
}

// 3DES-EDE-CBC with PKCS#7 padding; nothing when decryption finds bad padding (a wrong password).
std::optional<SecretBytes> tripleDes(bool encrypt, const SecretBytes& key, const std::vector<std::uint8_t>& iv,
                                     const unsigned char* in, std::size_t length) {
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx || EVP_CipherInit_ex(ctx.get(), EVP_des_ede3_cbc(), nullptr, key.data(), iv.data(), encrypt ? 1 : 0) != 1)
    throw ToolError("cannot set up 3DES");
  SecretBytes out(length + 16);
  int n = 0, tail = 0;
  if (EVP_CipherUpdate(ctx.get(), out.data(), &n, in, static_cast<int>(length)) != 1)
    throw ToolError("cannot run 3DES");
  if (EVP_CipherFinal_ex(ctx.get(), out.data() + n, &tail) != 1) {
    if (!encrypt) return std::nullopt;
    throw ToolError("cannot run 3DES");
  }
  out.resize(static_cast<std::size_t>(n + tail));
  return out;
}

}  // namespace

void randomFill(void* data, std::size_t length) {
  if (RAND_bytes(static_cast<unsigned char*>(data), static_cast<int>(length)) != 1)
    throw ToolError("the system's random generator failed");
}

ImageKeys newKeys(std::uint32_t keyBits) {
  ImageKeys keys{SecretBytes(keyBits / 8), SecretBytes(hmacKeyBytes)};
  randomFill(keys.aes.data(), keys.aes.size());
  randomFill(keys.hmac.data(), keys.hmac.size());
  return keys;
}

void checkRecord(const PassphraseRecord& record) {
  if (record.kdfAlgorithm != kdfPbkdf2HmacSha1)
    throw ToolError("the image's password record uses a key derivation this tool cannot read (" +
                    std::to_string(record.kdfAlgorithm) + ")");
  if (record.iterations == 0 || record.iterations > maxIterations)
    throw ToolError("the image's password record asks for " + std::to_string(record.iterations) +
                    " key derivation iterations; this tool accepts 1 to " + std::to_string(maxIterations));
  if (record.blobKeyBits != 192 || record.blobAlgorithm != 17 || record.blobPadding != 7 || record.blobMode != 6 ||
      record.blobIv.size() != wrapIvBytes || record.blob.empty() || record.blob.size() % 8 != 0)
    throw ToolError("the image's password record uses a key wrapping this tool cannot read");
}

std::vector<std::size_t> passphraseRecords(const EncryptedHeader& header) {
  std::vector<std::size_t> found;
  for (std::size_t i = 0; i < header.records().size(); ++i) {
    if (header.records()[i].type != passphraseRecordType) continue;
    if (found.size() == maxPassphraseRecords)
      throw ToolError("the image lists more than " + std::to_string(maxPassphraseRecords) +
                      " password records; this tool tries no more than that");
    checkRecord(header.passphrase(i));
    found.push_back(i);
  }
  return found;
}

std::optional<ImageKeys> unwrapKeys(const PassphraseRecord& record, const SecretBytes& password,
                                    std::uint32_t keyBits) {
  checkRecord(record);
  const SecretBytes key = wrappingKey(password, record.salt, record.iterations);
  std::optional<SecretBytes> plain = tripleDes(false, key, record.blobIv, record.blob.data(), record.blob.size());
  const std::size_t aesBytes = keyBits / 8;
  if (!plain || plain->size() < aesBytes + hmacKeyBytes + 4 ||
      plain->view().substr(aesBytes + hmacKeyBytes, 4) != "CKIE")
    return std::nullopt;
  return ImageKeys{SecretBytes(plain->data(), aesBytes), SecretBytes(plain->data() + aesBytes, hmacKeyBytes)};
}

PassphraseRecord wrapKeys(const ImageKeys& keys, const SecretBytes& password, std::uint32_t iterations) {
  PassphraseRecord record;
  record.iterations = iterations;
  record.salt.resize(saltBytes);
  randomFill(record.salt.data(), record.salt.size());
  record.blobIv.resize(wrapIvBytes);
  randomFill(record.blobIv.data(), record.blobIv.size());
  SecretBytes plain(keys.aes.size() + keys.hmac.size() + markerBytes);
  std::memcpy(plain.data(), keys.aes.data(), keys.aes.size());
  std::memcpy(plain.data() + keys.aes.size(), keys.hmac.data(), keys.hmac.size());
  std::memcpy(plain.data() + keys.aes.size() + keys.hmac.size(), marker, markerBytes);
  const SecretBytes key = wrappingKey(password, record.salt, iterations);
  const std::optional<SecretBytes> wrapped = tripleDes(true, key, record.blobIv, plain.data(), plain.size());
  record.blob.assign(wrapped->data(), wrapped->data() + wrapped->size());
  return record;
}

std::optional<UnlockedKeys> unlock(const EncryptedHeader& header, const SecretBytes& password) {
  for (const std::size_t i : passphraseRecords(header)) {
    if (auto keys = unwrapKeys(header.passphrase(i), password, header.keyBits()))
      return UnlockedKeys{std::move(*keys), i};
  }
  return std::nullopt;
}

}  // namespace quorbel::imagetool::crypto
