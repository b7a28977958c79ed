#pragma once
// Scratch images and the independent programs (The Sleuth Kit, 7-Zip) the HFS Plus tests judge by.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "imagetool/image_io.h"

namespace quorbel::imagetool::hfsplus::hfstest {

// A temporary folder removed with everything in it.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// A file opened for reading and writing, seen through FileImageIO.
class ImageFile {
 public:
  // Opens `path`, creating it as a sparse file of `size` bytes when size is non-zero.
  explicit ImageFile(const std::filesystem::path& path, std::uint64_t size = 0);
  ~ImageFile();
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;
  ImageIO& io() { return *io_; }
  const std::filesystem::path& path() const { return path_; }
  void resize(std::uint64_t size);  // truncates or extends the file and the view
  std::vector<unsigned char> read(std::uint64_t offset, std::size_t length) const;
  void write(std::uint64_t offset, const std::vector<unsigned char>& data);

 private:
  std::filesystem::path path_;
  int fd_ = -1;
  std::unique_ptr<FileImageIO> io_;
};

struct Outcome {
  int status = -1;
  std::string output;  // standard output and standard error together
};
Outcome run(const std::string& command);
std::string quote(const std::filesystem::path& path);
bool haveProgram(const std::string& name);

// The macOS-made reference volume (bands of Test1.sparsebundle joined), copied to `to`; empty when the
// fixtures are absent.
std::filesystem::path fixtureVolume(const std::filesystem::path& to);

// Every regular file of an HFS Plus image (by The Sleuth Kit): inode number and contents.
struct FileContents {
  std::string inode;
  std::string name;
  std::string bytes;
};
std::vector<FileContents> readAllFiles(const std::filesystem::path& image);

// Bytes the file occupies on disk (its sparse allocation).
std::uint64_t allocatedBytes(const std::filesystem::path& path);

}  // namespace quorbel::imagetool::hfsplus::hfstest
