#include "imagetool/crypto/keys.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstring>
#include <memory>

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

SecretBytes wrappingKey(const SecretBytes& password, const std::vector<std::uint8_t>& salt, std::uint32_t iterations) {
  SecretBytes key(wrapKeyBytes);
  if (iterations == 0 ||
      PKCS5_PBKDF2_HMAC_SHA1(reinterpret_cast<const char*>(password.data()), static_cast<int>(password.size()),
                             salt.data(), static_cast<int>(salt.size()), static_cast<int>(iterations),
                             static_cast<int>(key.size()), key.data()) != 1)
    throw ToolError("cannot derive the key from the password");
  return key;
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

std::optional<ImageKeys> unwrapKeys(const PassphraseRecord& record, const SecretBytes& password,
                                    std::uint32_t keyBits) {
  if (record.kdfAlgorithm != kdfPbkdf2HmacSha1)
    throw ToolError("the image's password record uses a key derivation this tool cannot read (" +
                    std::to_string(record.kdfAlgorithm) + ")");
  if (record.blobKeyBits != 192 || record.blobIv.size() != wrapIvBytes || record.blob.empty() ||
      record.blob.size() % 8 != 0)
    throw ToolError("the image's password record uses a key wrapping this tool cannot read");
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
  for (std::size_t i = 0; i < header.records().size(); ++i) {
    if (header.records()[i].type != passphraseRecordType) continue;
    if (auto keys = unwrapKeys(header.passphrase(i), password, header.keyBits()))
      return UnlockedKeys{std::move(*keys), i};
  }
  return std::nullopt;
}

}  // namespace quorbel::imagetool::crypto
