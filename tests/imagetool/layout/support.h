#pragma once
// Scratch folders, image files and the independent checkers the layout and HFS Plus tests judge by.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "imagetool/image_io.h"

namespace quorbel::imagetool::test {

namespace fs = std::filesystem;

// A fresh folder under the system's temporary folder, removed with everything in it.
struct ScratchDir {
  fs::path path = [] {
    std::string pattern = (fs::temp_directory_path() / "quorbel-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) std::abort();
    return fs::path(pattern);
  }();
  ~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
  fs::path operator/(const std::string& name) const { return path / name; }
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(path)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
};

// Bytes the file really occupies on disk.
inline std::uint64_t allocatedBytes(const fs::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_blocks) * 512 : 0;
}

// A file opened for reading and writing (made anew, all holes, when `size` is not zero).
class ImageFile {
 public:
  explicit ImageFile(const fs::path& path, std::uint64_t size = 0) : path_(path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | (size != 0 ? O_TRUNC : 0), 0644);
    if (fd_ < 0 || (size != 0 && ::ftruncate(fd_, static_cast<off_t>(size)) != 0)) std::abort();
    io_ = std::make_unique<FileImageIO>(fd_, fs::file_size(path));
  }
  ~ImageFile() { ::close(fd_); }
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;
  ImageIO& io() { return *io_; }
  int fd() const { return fd_; }
  const fs::path& path() const { return path_; }
  void resize(std::uint64_t size) {
    if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) std::abort();
    io_ = std::make_unique<FileImageIO>(fd_, size);
  }
  std::vector<unsigned char> read(std::uint64_t offset, std::size_t length) const {
    std::vector<unsigned char> out(length);
    io_->read(offset, out.data(), length);
    return out;
  }
  void write(std::uint64_t offset, const std::vector<unsigned char>& data) {
    io_->write(offset, data.data(), data.size());
  }

 private:
  fs::path path_;
  int fd_ = -1;
  std::unique_ptr<FileImageIO> io_;
};

// Copies bytes [offset, offset + length) of `from` into a new sparse file, holes left as holes.
inline void extract(const fs::path& from, std::uint64_t offset, std::uint64_t length, const fs::path& to) {
  const ImageFile in(from);
  ImageFile out(to, length);
  for (off_t at = static_cast<off_t>(offset), end = static_cast<off_t>(offset + length); at < end;) {
    const off_t data = ::lseek(in.fd(), at, SEEK_DATA);
    if (data < 0 || data >= end) break;
    const off_t hole = std::min(::lseek(in.fd(), data, SEEK_HOLE), end);
    for (off_t p = data; p < hole; p += 1 << 20) {
      const auto n = static_cast<std::size_t>(std::min<off_t>(hole - p, 1 << 20));
      out.write(static_cast<std::uint64_t>(p) - offset, in.read(static_cast<std::uint64_t>(p), n));
    }
    at = hole;
  }
}

struct Run {
  int status = -1;
  std::string output;  // standard output and error together
};

// Runs a checker (found in PATH or the system folders) and collects what it prints.
inline Run run(const std::vector<std::string>& argv) {
  std::string command = "PATH=\"$PATH:/usr/sbin:/sbin\" LC_ALL=C.UTF-8";
  for (const auto& a : argv) {
    command += " '";
    for (char c : a) command += c == '\'' ? std::string("'\\''") : std::string(1, c);
    command += "'";
  }
  Run result;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return result;
  char buffer[4096];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) result.output.append(buffer, got);
  const int status = ::pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

// An image held in memory, for contents assembled by a test; reads and writes past the end throw.
class MemoryImage : public ImageIO {
 public:
  explicit MemoryImage(std::uint64_t size) : bytes_(size, 0) {}
  std::uint64_t size() const override { return bytes_.size(); }
  void read(std::uint64_t offset, void* data, std::size_t length) const override {
    if (offset > bytes_.size() || length > bytes_.size() - offset) throw ToolError("read beyond the end");
    std::memcpy(data, bytes_.data() + offset, length);
  }
  void write(std::uint64_t offset, const void* data, std::size_t length) override {
    if (offset > bytes_.size() || length > bytes_.size() - offset) throw ToolError("write beyond the end");
    std::memcpy(bytes_.data() + offset, data, length);
  }
  std::vector<std::uint8_t>& bytes() { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

// Expects `action` to throw a ToolError whose message holds `reason`; returns the message.
template <class Action>
std::string expectError(const Action& action, const std::string& reason) {
  std::string message = "(no error)";
  try {
    action();
  } catch (const ToolError& e) {
    message = e.what();
  }
  EXPECT_NE(message.find(reason), std::string::npos) << message;
  return message;
}

// Stores `value` little-endian in `width` bytes.
inline void putLe(std::uint8_t* p, std::uint64_t value, int width) {
  for (int i = 0; i < width; ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace quorbel::imagetool::test
