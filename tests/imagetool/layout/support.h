#pragma once
// Scratch folders, sparse files and the independent checkers the layout tests judge by.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "imagetool/image_io.h"

namespace quorbel::imagetool::test {

namespace fs = std::filesystem;

// A fresh folder under the system's temporary folder, removed with everything in it.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (fs::temp_directory_path() / "quorbel-layout-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) std::abort();
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  fs::path operator/(const std::string& name) const { return path_ / name; }
  const fs::path& path() const { return path_; }
  // Names of the entries in the folder, to see that nothing was left behind.
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(path_)) names.push_back(e.path().filename().string());
    return names;
  }

 private:
  fs::path path_;
};

inline void makeSparseFile(const fs::path& path, std::uint64_t size) {
  const int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
  if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(size)) != 0) std::abort();
  ::close(fd);
}

// Bytes the file really occupies on disk.
inline std::uint64_t allocatedBytes(const fs::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 0;
  return static_cast<std::uint64_t>(st.st_blocks) * 512;
}

// Copies bytes [offset, offset + length) of `from` into a new sparse file, holes left as holes.
inline void extract(const fs::path& from, std::uint64_t offset, std::uint64_t length, const fs::path& to) {
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  const int out = ::open(to.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
  if (in < 0 || out < 0 || ::ftruncate(out, static_cast<off_t>(length)) != 0) std::abort();
  std::vector<char> buffer(1 << 20);
  off_t at = static_cast<off_t>(offset);
  const off_t end = static_cast<off_t>(offset + length);
  while (at < end) {
    const off_t data = ::lseek(in, at, SEEK_DATA);
    if (data < 0 || data >= end) break;
    off_t hole = ::lseek(in, data, SEEK_HOLE);
    if (hole > end) hole = end;
    for (off_t p = data; p < hole;) {
      const auto n = static_cast<std::size_t>(std::min<off_t>(hole - p, static_cast<off_t>(buffer.size())));
      if (::pread(in, buffer.data(), n, p) != static_cast<ssize_t>(n)) std::abort();
      if (::pwrite(out, buffer.data(), n, p - static_cast<off_t>(offset)) != static_cast<ssize_t>(n)) std::abort();
      p += static_cast<off_t>(n);
    }
    at = hole;
  }
  ::close(in);
  ::close(out);
}

struct Run {
  int status = -1;
  std::string output;  // standard output and error together
};

inline std::string quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Runs a checker (found in PATH or the system folders) and collects what it prints.
inline Run run(const std::vector<std::string>& argv) {
  std::string command = "PATH=\"$PATH:/usr/sbin:/sbin\" LC_ALL=C.UTF-8";
  for (const auto& a : argv) command += " " + quote(a);
  command += " 2>&1";
  Run result;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return result;
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, got);
  const int status = ::pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

// An image held in memory, for contents assembled by a test.
class MemoryImage : public ImageIO {
 public:
  explicit MemoryImage(std::uint64_t size) : bytes_(size, 0) {}
  explicit MemoryImage(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
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

// An image file opened for reading and writing for the length of a test.
class OpenImage {
 public:
  explicit OpenImage(const fs::path& path)
      : fd_(::open(path.c_str(), O_RDWR | O_CLOEXEC)), io_(fd_, fs::file_size(path)) {}
  ~OpenImage() { ::close(fd_); }
  FileImageIO& io() { return io_; }

 private:
  int fd_;
  FileImageIO io_;
};

}  // namespace quorbel::imagetool::test
