#pragma once
// The cipher of an encrypted image: each chunk is AES-CBC encrypted on its own, with the IV taken
// from the first 16 bytes of HMAC-SHA1(hmac key, chunk number as a big-endian 32-bit integer).

#include <cstddef>
#include <cstdint>
#include <memory>

#include "imagetool/crypto/keys.h"

namespace quorbel::imagetool::crypto {

class ChunkCipher {
 public:
  ChunkCipher(const ImageKeys& keys, std::uint32_t chunkSize);
  ~ChunkCipher();
  ChunkCipher(ChunkCipher&&) noexcept;
  ChunkCipher(const ChunkCipher&) = delete;
  ChunkCipher& operator=(const ChunkCipher&) = delete;
  ChunkCipher& operator=(ChunkCipher&&) = delete;

  std::uint32_t chunkSize() const { return chunkSize_; }
  // Encrypts or decrypts `count` consecutive chunks in place, the first numbered `firstNumber`.
  void encrypt(std::uint32_t firstNumber, unsigned char* data, std::size_t count) {
    run(true, firstNumber, data, count);
  }
  void decrypt(std::uint32_t firstNumber, unsigned char* data, std::size_t count) {
    run(false, firstNumber, data, count);
  }

 private:
  struct State;
  void run(bool encrypt, std::uint32_t firstNumber, unsigned char* data, std::size_t count);
  std::uint32_t chunkSize_;
  std::unique_ptr<State> state_;
};

}  // namespace quorbel::imagetool::crypto
