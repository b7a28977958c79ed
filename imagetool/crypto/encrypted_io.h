#pragma once
// The plain bytes of an encrypted image, over the image of its ciphertext (the bands). Chunk numbers
// start again at 0 in every band: a chunk's number is its offset inside its band divided by the
// chunk size. A chunk that was never written holds zero ciphertext and so reads as noise, never as
// zeros: whatever a file system needs to read as zeros must be written through this layer.

#include <cstdint>
#include <vector>

#include "imagetool/crypto/chunk_cipher.h"
#include "imagetool/image_io.h"

namespace quorbel::imagetool::crypto {

class EncryptedImageIO : public ImageIO {
 public:
  // `cipherText` stays the caller's; its size and `bandSize` must be whole chunks.
  EncryptedImageIO(ImageIO& cipherText, std::uint64_t bandSize, ChunkCipher cipher);
  // A view for reading only: writes throw.
  EncryptedImageIO(const ImageIO& cipherText, std::uint64_t bandSize, ChunkCipher cipher);

  std::uint64_t size() const override { return under_.size(); }
  void read(std::uint64_t offset, void* data, std::size_t length) const override;
  // Writes whole chunks; a write covering part of a chunk reads, decrypts and re-encrypts it.
  void write(std::uint64_t offset, const void* data, std::size_t length) override;
  std::uint32_t chunkSize() const { return cipher_.chunkSize(); }

 private:
  // The number of the chunk at image offset `offset` (a chunk boundary).
  std::uint32_t chunkNumber(std::uint64_t offset) const {
    return static_cast<std::uint32_t>(offset % bandSize_ / cipher_.chunkSize());
  }
  // Decrypts or encrypts `length` bytes (whole chunks) at image offset `offset` in place.
  void crypt(bool encrypt, std::uint64_t offset, unsigned char* data, std::size_t length) const;

  const ImageIO& under_;
  ImageIO* writable_;
  std::uint64_t bandSize_;
  mutable ChunkCipher cipher_;
  mutable std::vector<unsigned char> buffer_;
};

}  // namespace quorbel::imagetool::crypto
