#pragma once
// A password's bytes in one owner that wipes them: no copies, only moves; the memory is zeroed when
// the owner is wiped, moved from or destroyed.

#include <cstddef>
#include <memory>
#include <string_view>

namespace quorbel {

// Zeroes `size` bytes at `data` in a way the compiler may not drop.
void wipeBytes(void* data, std::size_t size);

class SecretBytes {
 public:
  SecretBytes() = default;
  // Copies the bytes; the caller wipes its own copy.
  explicit SecretBytes(std::string_view bytes);
  SecretBytes(SecretBytes&& other) noexcept;
  SecretBytes& operator=(SecretBytes&& other) noexcept;
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;
  ~SecretBytes() { wipe(); }

  std::string_view view() const { return {data_.get(), size_}; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // Zeroes the bytes and releases them; the secret is then empty.
  void wipe();

 private:
  std::unique_ptr<char[]> data_;
  std::size_t size_ = 0;
};

}  // namespace quorbel
