#include "imagetool/crypto/encrypted_io.h"

#include <algorithm>
#include <cstring>

namespace quorbel::imagetool::crypto {

namespace {
constexpr std::size_t bufferBytes = 1u << 20;
}

EncryptedImageIO::EncryptedImageIO(ImageIO& cipherText, std::uint64_t bandSize, ChunkCipher cipher)
    : EncryptedImageIO(static_cast<const ImageIO&>(cipherText), bandSize, std::move(cipher)) {
  writable_ = &cipherText;
}

EncryptedImageIO::EncryptedImageIO(const ImageIO& cipherText, std::uint64_t bandSize, ChunkCipher cipher)
    : under_(cipherText), writable_(nullptr), bandSize_(bandSize), cipher_(std::move(cipher)) {
  const std::uint32_t chunk = cipher_.chunkSize();
  if (bandSize_ == 0 || bandSize_ % chunk != 0 || bufferBytes % chunk != 0)
    throw ToolError("the band size is not a whole number of the image's " + std::to_string(chunk) + "-byte chunks");
  if (under_.size() % chunk != 0)
    throw ToolError("the image size is not a whole number of its " + std::to_string(chunk) + "-byte chunks");
  if (bandSize_ / chunk > 0x100000000ULL) throw ToolError("the bands hold too many chunks to number");
}

void EncryptedImageIO::crypt(bool encrypt, std::uint64_t offset, unsigned char* data, std::size_t length) const {
  const std::uint32_t chunk = cipher_.chunkSize();
  while (length > 0) {
    // Chunk numbers run on only up to the end of the band.
    const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(length, bandSize_ - offset % bandSize_));
    if (encrypt) {
      cipher_.encrypt(chunkNumber(offset), data, piece / chunk);
    } else {
      cipher_.decrypt(chunkNumber(offset), data, piece / chunk);
    }
    data += piece;
    offset += piece;
    length -= piece;
  }
}

void EncryptedImageIO::read(std::uint64_t offset, void* data, std::size_t length) const {
  if (offset > size() || length > size() - offset) throw ToolError("access beyond the end of the image");
  const std::uint32_t chunk = cipher_.chunkSize();
  auto* out = static_cast<unsigned char*>(data);
  std::uint64_t pos = offset / chunk * chunk;
  const std::uint64_t end = offset + length;
  while (pos < end) {
    const std::uint64_t pieceEnd = std::min<std::uint64_t>((end + chunk - 1) / chunk * chunk, pos + bufferBytes);
    const auto piece = static_cast<std::size_t>(pieceEnd - pos);
    const std::uint64_t from = std::max(pos, offset), to = std::min(pieceEnd, end);
    if (pos == from && pieceEnd == to) {
      // Whole chunks land straight in the caller's buffer.
      under_.read(pos, out + (pos - offset), piece);
      crypt(false, pos, out + (pos - offset), piece);
    } else {
      buffer_.resize(bufferBytes);
      under_.read(pos, buffer_.data(), piece);
      crypt(false, pos, buffer_.data(), piece);
      std::memcpy(out + (from - offset), buffer_.data() + (from - pos), static_cast<std::size_t>(to - from));
    }
    pos = pieceEnd;
  }
}

void EncryptedImageIO::write(std::uint64_t offset, const void* data, std::size_t length) {
  if (writable_ == nullptr) throw ToolError("the image is open for reading only");
  if (offset > size() || length > size() - offset) throw ToolError("access beyond the end of the image");
  const std::uint32_t chunk = cipher_.chunkSize();
  const auto* in = static_cast<const unsigned char*>(data);
  std::uint64_t pos = offset / chunk * chunk;
  const std::uint64_t end = offset + length;
  buffer_.resize(bufferBytes);
  while (pos < end) {
    const std::uint64_t pieceEnd = std::min<std::uint64_t>((end + chunk - 1) / chunk * chunk, pos + bufferBytes);
    const auto piece = static_cast<std::size_t>(pieceEnd - pos);
    const std::uint64_t from = std::max(pos, offset), to = std::min(pieceEnd, end);
    // Part of a chunk at either end: the rest of that chunk keeps its present content.
    if (from != pos) read(pos, buffer_.data(), chunk);
    if (to != pieceEnd && (from == pos || pieceEnd - pos > chunk))
      read(pieceEnd - chunk, buffer_.data() + piece - chunk, chunk);
    std::memcpy(buffer_.data() + (from - pos), in + (from - offset), static_cast<std::size_t>(to - from));
    crypt(true, pos, buffer_.data(), piece);
    writable_->write(pos, buffer_.data(), piece);
    pos = pieceEnd;
  }
}

}  // namespace quorbel::imagetool::crypto
