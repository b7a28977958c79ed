#include "imagetool/crypto/chunk_cipher.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>

#include "imagetool/image_io.h"

namespace quorbel::imagetool::crypto {

struct ChunkCipher::State {
  EVP_MAC* mac = nullptr;
  EVP_MAC_CTX* hmac = nullptr;
  EVP_CIPHER_CTX* encrypt = nullptr;
  EVP_CIPHER_CTX* decrypt = nullptr;
  ~State() {
    EVP_CIPHER_CTX_free(decrypt);
    EVP_CIPHER_CTX_free(encrypt);
    EVP_MAC_CTX_free(hmac);
    EVP_MAC_free(mac);
  }
};

ChunkCipher::ChunkCipher(const ImageKeys& keys, std::uint32_t chunkSize)
    : chunkSize_(chunkSize), state_(std::make_unique<State>()) {
  if (chunkSize_ == 0 || chunkSize_ % 16 != 0) throw ToolError("the chunk size is not a whole number of AES blocks");
  const EVP_CIPHER* cipher = keys.aes.size() == 32 ? EVP_aes_256_cbc() : keys.aes.size() == 16 ? EVP_aes_128_cbc() : nullptr;
  if (cipher == nullptr || keys.hmac.size() != hmacKeyBytes) throw ToolError("the image keys have the wrong length");
  State& s = *state_;
  s.mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  s.hmac = s.mac ? EVP_MAC_CTX_new(s.mac) : nullptr;
  s.encrypt = EVP_CIPHER_CTX_new();
  s.decrypt = EVP_CIPHER_CTX_new();
  char digest[] = "SHA1";
  const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0), OSSL_PARAM_construct_end()};
  if (s.hmac == nullptr || s.encrypt == nullptr || s.decrypt == nullptr ||
      EVP_MAC_init(s.hmac, keys.hmac.data(), keys.hmac.size(), params) != 1 ||
      EVP_CipherInit_ex(s.encrypt, cipher, nullptr, keys.aes.data(), nullptr, 1) != 1 ||
      EVP_CipherInit_ex(s.decrypt, cipher, nullptr, keys.aes.data(), nullptr, 0) != 1)
    throw ToolError("cannot set up AES and HMAC-SHA1");
  EVP_CIPHER_CTX_set_padding(s.encrypt, 0);
  EVP_CIPHER_CTX_set_padding(s.decrypt, 0);
}

ChunkCipher::~ChunkCipher() = default;
ChunkCipher::ChunkCipher(ChunkCipher&&) noexcept = default;

void ChunkCipher::run(bool encrypt, std::uint32_t firstNumber, unsigned char* data, std::size_t count) {
  State& s = *state_;
  EVP_CIPHER_CTX* ctx = encrypt ? s.encrypt : s.decrypt;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t number = firstNumber + static_cast<std::uint32_t>(i);
    const unsigned char be[4] = {static_cast<unsigned char>(number >> 24), static_cast<unsigned char>(number >> 16),
                                 static_cast<unsigned char>(number >> 8), static_cast<unsigned char>(number)};
    unsigned char mac[EVP_MAX_MD_SIZE];
    std::size_t macLength = 0;
    // Initialising with no key keeps the key and its precomputed pads.
    if (EVP_MAC_init(s.hmac, nullptr, 0, nullptr) != 1 || EVP_MAC_update(s.hmac, be, sizeof be) != 1 ||
        EVP_MAC_final(s.hmac, mac, &macLength, sizeof mac) != 1 || macLength < 16)
      throw ToolError("HMAC-SHA1 failed");
    unsigned char* chunk = data + i * chunkSize_;
    int n = 0;
    if (EVP_CipherInit_ex(ctx, nullptr, nullptr, nullptr, mac, -1) != 1 ||
        EVP_CipherUpdate(ctx, chunk, &n, chunk, static_cast<int>(chunkSize_)) != 1 ||
        n != static_cast<int>(chunkSize_))
      throw ToolError("AES failed");
  }
}

}  // namespace quorbel::imagetool::crypto
