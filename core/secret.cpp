#include "core/secret.h"

#include <cstring>
#include <utility>

namespace quorbel {

void wipeBytes(void* data, std::size_t size) {
  if (!data || size == 0) return;
  // Writes through a volatile pointer are side effects the optimiser must keep.
  auto* bytes = static_cast<volatile unsigned char*>(data);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = 0;
}

SecretBytes::SecretBytes(std::string_view bytes) : data_(std::make_unique<char[]>(bytes.size() + 1)), size_(bytes.size()) {
  std::memcpy(data_.get(), bytes.data(), bytes.size());
}

SecretBytes::SecretBytes(SecretBytes&& other) noexcept
    : data_(std::move(other.data_)), size_(std::exchange(other.size_, 0)) {}

SecretBytes& SecretBytes::operator=(SecretBytes&& other) noexcept {
  if (this != &other) {
    wipe();
    data_ = std::move(other.data_);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

void SecretBytes::wipe() {
  if (data_) wipeBytes(data_.get(), size_ + 1);
  data_.reset();
  size_ = 0;
}

}  // namespace quorbel
