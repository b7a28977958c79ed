#pragma once
// Bytes that must not outlive their use: passwords and keys. The memory is wiped with OPENSSL_cleanse
// when the buffer goes away or is resized, and a buffer is never copied implicitly.

#include <openssl/crypto.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

namespace quorbel::imagetool::crypto {

class SecretBytes {
 public:
  SecretBytes() = default;
  explicit SecretBytes(std::size_t size) { resize(size); }
  SecretBytes(const void* data, std::size_t size) {
    resize(size);
    if (size > 0) std::memcpy(data_.get(), data, size);
  }
  SecretBytes(SecretBytes&& other) noexcept
      : data_(std::move(other.data_)), size_(other.size_), capacity_(other.capacity_) {
    other.size_ = other.capacity_ = 0;
  }
  SecretBytes& operator=(SecretBytes&& other) noexcept {
    if (this != &other) {
      wipe();
      data_ = std::move(other.data_);
      size_ = other.size_;
      capacity_ = other.capacity_;
      other.size_ = other.capacity_ = 0;
    }
    return *this;
  }
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;
  ~SecretBytes() { wipe(); }

  // An explicit copy, for the rare place that needs one.
  SecretBytes clone() const { return SecretBytes(data(), size()); }

  unsigned char* data() { return data_.get(); }
  const unsigned char* data() const { return data_.get(); }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::string_view view() const { return {reinterpret_cast<const char*>(data_.get()), size_}; }

  // Grows or shrinks; new bytes are zero. Growing moves the content to a new block and wipes the old.
  void resize(std::size_t size) {
    if (size > capacity_) {
      const std::size_t capacity = size < 64 ? 64 : size * 2;
      std::unique_ptr<unsigned char[]> bigger(new unsigned char[capacity]());
      if (size_ > 0) std::memcpy(bigger.get(), data_.get(), size_);
      wipe();
      data_ = std::move(bigger);
      capacity_ = capacity;
    } else if (size < size_) {
      OPENSSL_cleanse(data_.get() + size, size_ - size);
    }
    size_ = size;
  }
  void push_back(unsigned char byte) {
    resize(size_ + 1);
    data_[size_ - 1] = byte;
  }
  void clear() { resize(0); }

  bool operator==(const SecretBytes& other) const {
    return size_ == other.size_ && (size_ == 0 || CRYPTO_memcmp(data_.get(), other.data_.get(), size_) == 0);
  }

 private:
  void wipe() {
    if (data_) OPENSSL_cleanse(data_.get(), capacity_);
  }
  std::unique_ptr<unsigned char[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace quorbel::imagetool::crypto
