#include "imagetool/attach/attached_image.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "imagetool/bundle/fs_util.h"

namespace quorbel::imagetool::attach {

namespace {
constexpr std::size_t pieceBytes = 1u << 20;
}

AttachedImage::AttachedImage(const Bundle& bundle, bool writable, const crypto::UnlockedBundle* unlocked)
    : size_(bundle.info().size),
      bandSize_(bundle.info().bandSize),
      writable_(writable),
      bands_(bundle.bandsFd(), bundle.bandsDir(), bandSize_, size_, writable) {
  if (unlocked == nullptr) return;
  plain_ = crypto::plainView(bands_, bundle.info(), *unlocked);
  for (const auto& entry : bundle.bands()) present_.insert(entry.first);
}

void AttachedImage::read(std::uint64_t offset, void* data, std::size_t length) {
  const std::lock_guard lock(mutex_);
  if (plain_) {
    readEncrypted(offset, static_cast<char*>(data), length);
  } else {
    bands_.read(offset, data, length);
  }
}

void AttachedImage::write(std::uint64_t offset, const void* data, std::size_t length) {
  const std::lock_guard lock(mutex_);
  if (plain_) {
    writeEncrypted(offset, static_cast<const char*>(data), length);
  } else {
    bands_.write(offset, data, length);  // creates bands as data reaches them, never for zeros
  }
}

void AttachedImage::sync() {
  const std::lock_guard lock(mutex_);
  if (writable_) bands_.sync();
}

// Calls `each(index, offset, pos, count)` for the part of [offset, offset + length) in every band.
template <typename Each>
static void forEachBand(std::uint64_t bandSize, std::uint64_t offset, std::size_t length, Each each) {
  std::size_t pos = 0;
  while (pos < length) {
    const std::uint64_t index = (offset + pos) / bandSize;
    const std::uint64_t within = (offset + pos) % bandSize;
    const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(length - pos, bandSize - within));
    each(index, offset + pos, pos, count);
    pos += count;
  }
}

void AttachedImage::readEncrypted(std::uint64_t offset, char* data, std::size_t length) {
  forEachBand(bandSize_, offset, length, [&](std::uint64_t index, std::uint64_t at, std::size_t pos, std::size_t n) {
    if (present_.count(index) != 0) {
      plain_->read(at, data + pos, n);
    } else {
      std::memset(data + pos, 0, n);
    }
  });
}

void AttachedImage::writeEncrypted(std::uint64_t offset, const char* data, std::size_t length) {
  forEachBand(bandSize_, offset, length, [&](std::uint64_t index, std::uint64_t at, std::size_t pos, std::size_t n) {
    if (present_.count(index) != 0) {
      plain_->write(at, data + pos, n);
    } else if (!isAllZero(data + pos, n)) {
      createEncryptedBand(index, at, data + pos, n);
    }
  });
}

// A new band holds encrypted zeros around the data, so that the whole band decrypts to what was
// written, read by this program or any other.
void AttachedImage::createEncryptedBand(std::uint64_t index, std::uint64_t offset, const char* data,
                                        std::size_t length) {
  const std::uint64_t start = index * bandSize_;
  const std::uint64_t end = std::min(size_, start + bandSize_);
  std::vector<char> piece(pieceBytes);
  for (std::uint64_t pos = start; pos < end;) {
    const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(pieceBytes, end - pos));
    std::fill(piece.begin(), piece.end(), 0);
    const std::uint64_t from = std::max(pos, offset), to = std::min(pos + count, offset + length);
    if (from < to)
      std::memcpy(piece.data() + (from - pos), data + (from - offset), static_cast<std::size_t>(to - from));
    plain_->write(pos, piece.data(), count);
    pos += count;
  }
  present_.insert(index);
}

}  // namespace quorbel::imagetool::attach
