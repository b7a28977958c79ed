#include "imagetool/image_io.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quorbel::imagetool {

void FileImageIO::read(std::uint64_t offset, void* data, std::size_t length) const {
  auto* out = static_cast<char*>(data);
  while (length > 0) {
    const ssize_t got = ::pread(fd_, out, length, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw ToolError(std::string("cannot read the image: ") + std::strerror(errno));
    if (got == 0) {  // past the end of the file: zeros, as in a sparse image
      std::memset(out, 0, length);
      return;
    }
    out += got;
    offset += static_cast<std::uint64_t>(got);
    length -= static_cast<std::size_t>(got);
  }
}

void FileImageIO::write(std::uint64_t offset, const void* data, std::size_t length) {
  const auto* in = static_cast<const char*>(data);
  while (length > 0) {
    const ssize_t put = ::pwrite(fd_, in, length, static_cast<off_t>(offset));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) throw ToolError(std::string("cannot write the image: ") + std::strerror(errno));
    in += put;
    offset += static_cast<std::uint64_t>(put);
    length -= static_cast<std::size_t>(put);
  }
}

void SliceImageIO::check(std::uint64_t offset, std::size_t length) const {
  if (offset > length_ || length > length_ - offset) throw ToolError("access beyond the end of the partition");
}

void SliceImageIO::read(std::uint64_t offset, void* data, std::size_t length) const {
  check(offset, length);
  whole_.read(offset_ + offset, data, length);
}

void SliceImageIO::write(std::uint64_t offset, const void* data, std::size_t length) {
  check(offset, length);
  whole_.write(offset_ + offset, data, length);
}

}  // namespace quorbel::imagetool
