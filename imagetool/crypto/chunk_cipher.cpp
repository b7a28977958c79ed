#include "imagetool/crypto/chunk_cipher.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>

#include "imagetool/image_io.h"

namespace quorbel::imagetool::crypto {

namespace {
// IVs of the first chunk numbers are kept (16 bytes each): the IV of a chunk depends only on its
// number, and numbers start again in every band, so bands up to this many chunks (32 MiB with 512-byte
// chunks) never compute one twice.
constexpr std::uint32_t cachedIvs = 65536;
}  // namespace

struct ChunkCipher::State {
  // IVs of chunks 0 to ivCount - 1; wiped on destruction like the keys they come from.
  SecretBytes ivs;
  std::uint32_t ivCount = 0;
  SecretBytes masks;  // per chunk of a decryption run: its IV ^ the ciphertext block before it
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
  const EVP_CIPHER* cipher = keys.aes.size() == 32   ? EVP_aes_256_cbc()
                             : keys.aes.size() == 16 ? EVP_aes_128_cbc()
                                                     : nullptr;
  if (cipher == nullptr || keys.hmac.size() != hmacKeyBytes) throw ToolError("the image keys have the wrong length");
  State& s = *state_;
  s.mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  s.hmac = s.mac ? EVP_MAC_CTX_new(s.mac) : nullptr;
  s.encrypt = EVP_CIPHER_CTX_new();
  s.decrypt = EVP_CIPHER_CTX_new();
  char digest[] = "SHA1";
  const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                               OSSL_PARAM_construct_end()};
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

namespace {

void computeIv(EVP_MAC_CTX* hmac, std::uint32_t number, unsigned char* iv) {
  const unsigned char be[4] = {static_cast<unsigned char>(number >> 24), static_cast<unsigned char>(number >> 16),
                               static_cast<unsigned char>(number >> 8), static_cast<unsigned char>(number)};
  unsigned char mac[EVP_MAX_MD_SIZE];
  std::size_t macLength = 0;
  // Initialising with no key keeps the key and its precomputed pads.
  if (EVP_MAC_init(hmac, nullptr, 0, nullptr) != 1 || EVP_MAC_update(hmac, be, sizeof be) != 1 ||
      EVP_MAC_final(hmac, mac, &macLength, sizeof mac) != 1 || macLength < 16)
    throw ToolError("HMAC-SHA1 failed");
  std::memcpy(iv, mac, 16);
  OPENSSL_cleanse(mac, sizeof mac);
}

}  // namespace

// Each chunk is AES-CBC with its own IV. Re-initialising the cipher for every chunk costs more than
// the chunk's AES, so the context keeps running and the IV is brought in through the first block:
// CBC feeds the previous ciphertext block (the context's state) into the next block, so XORing the
// first plain block with IV ^ state makes the context compute exactly AES-CBC(IV, chunk). Decryption
// needs no chunk-by-chunk order at all: the whole run is decrypted in one call and each chunk's first
// block is corrected afterwards.
void ChunkCipher::run(bool encrypt, std::uint32_t firstNumber, unsigned char* data, std::size_t count) {
  State& s = *state_;
  EVP_CIPHER_CTX* ctx = encrypt ? s.encrypt : s.decrypt;
  // Extend the table of IVs to cover this run, as far as it goes.
  const std::uint64_t last = std::uint64_t{firstNumber} + count;
  const auto wanted = static_cast<std::uint32_t>(std::min<std::uint64_t>(last, cachedIvs));
  if (wanted > s.ivCount) {
    s.ivs.resize(std::size_t{wanted} * 16);
    for (std::uint32_t n = s.ivCount; n < wanted; ++n) computeIv(s.hmac, n, s.ivs.data() + std::size_t{n} * 16);
    s.ivCount = wanted;
  }
  unsigned char computed[16];
  const auto ivOf = [&](std::uint32_t number) -> const unsigned char* {
    if (number < s.ivCount) return s.ivs.data() + std::size_t{number} * 16;
    computeIv(s.hmac, number, computed);
    return computed;
  };
  const unsigned char zeros[16] = {};
  unsigned char carry[16] = {};
  if (EVP_CipherInit_ex(ctx, nullptr, nullptr, nullptr, zeros, -1) != 1) throw ToolError("AES failed");
  constexpr std::size_t group = 1024;  // chunks per decryption call
  for (std::size_t start = 0; start < count; start += group) {
    const std::size_t n = std::min(group, count - start);
    unsigned char* first = data + start * chunkSize_;
    if (encrypt) {
      for (std::size_t i = 0; i < n; ++i) {
        unsigned char* chunk = first + i * chunkSize_;
        const unsigned char* iv = ivOf(firstNumber + static_cast<std::uint32_t>(start + i));
        const unsigned char* state = start + i == 0 ? zeros : chunk - 16;
        for (int b = 0; b < 16; ++b) chunk[b] ^= static_cast<unsigned char>(iv[b] ^ state[b]);
        int out = 0;
        if (EVP_CipherUpdate(ctx, chunk, &out, chunk, static_cast<int>(chunkSize_)) != 1 ||
            out != static_cast<int>(chunkSize_))
          throw ToolError("AES failed");
      }
    } else {
      s.masks.resize(n * 16);
      for (std::size_t i = 0; i < n; ++i) {
        const unsigned char* chunk = first + i * chunkSize_;
        const unsigned char* iv = ivOf(firstNumber + static_cast<std::uint32_t>(start + i));
        // Before the first chunk of a group the state is the last ciphertext block of the group before.
        const unsigned char* state = start + i == 0 ? zeros : i == 0 ? carry : chunk - 16;
        for (int b = 0; b < 16; ++b) s.masks.data()[i * 16 + static_cast<std::size_t>(b)] = iv[b] ^ state[b];
      }
      std::memcpy(carry, first + n * chunkSize_ - 16, 16);
      int out = 0;
      if (EVP_CipherUpdate(ctx, first, &out, first, static_cast<int>(n * chunkSize_)) != 1 ||
          out != static_cast<int>(n * chunkSize_))
        throw ToolError("AES failed");
      for (std::size_t i = 0; i < n; ++i)
        for (int b = 0; b < 16; ++b)
          first[i * chunkSize_ + static_cast<std::size_t>(b)] ^= s.masks.data()[i * 16 + static_cast<std::size_t>(b)];
    }
  }
  OPENSSL_cleanse(computed, sizeof computed);
}

}  // namespace quorbel::imagetool::crypto
