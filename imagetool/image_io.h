#pragma once
// Random access to the bytes of a disk image, whatever holds them: a plain (sparse) file while an
// image is being made, or the bands of a sparse bundle.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace quorbel::imagetool {

// A failure the tool reports on standard error before it exits with status 1.
class ToolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ImageIO {
 public:
  virtual ~ImageIO() = default;
  virtual std::uint64_t size() const = 0;
  // Reads exactly `length` bytes at `offset`; bytes never written read as zeros. Throws ToolError.
  virtual void read(std::uint64_t offset, void* data, std::size_t length) const = 0;
  // Writes exactly `length` bytes at `offset`. Throws ToolError.
  virtual void write(std::uint64_t offset, const void* data, std::size_t length) = 0;
};

// An image held in one file, read and written with pread/pwrite. The descriptor stays the caller's.
class FileImageIO : public ImageIO {
 public:
  FileImageIO(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
  std::uint64_t size() const override { return size_; }
  void read(std::uint64_t offset, void* data, std::size_t length) const override;
  void write(std::uint64_t offset, const void* data, std::size_t length) override;

 private:
  int fd_;
  std::uint64_t size_;
};

// A window onto part of another image (a partition), with offsets relative to its start.
class SliceImageIO : public ImageIO {
 public:
  SliceImageIO(ImageIO& whole, std::uint64_t offset, std::uint64_t length)
      : whole_(whole), offset_(offset), length_(length) {}
  std::uint64_t size() const override { return length_; }
  void read(std::uint64_t offset, void* data, std::size_t length) const override;
  void write(std::uint64_t offset, const void* data, std::size_t length) override;

 private:
  void check(std::uint64_t offset, std::size_t length) const;
  ImageIO& whole_;
  std::uint64_t offset_;
  std::uint64_t length_;
};

}  // namespace quorbel::imagetool
