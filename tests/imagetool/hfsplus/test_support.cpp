#include "test_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace quorbel::imagetool::hfsplus::hfstest {

ScratchDir::ScratchDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "hfsplus-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

ImageFile::ImageFile(const std::filesystem::path& path, std::uint64_t size) : path_(path) {
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT, 0644);
  if (fd_ < 0) throw std::runtime_error("cannot open " + path.string());
  if (size != 0 && ::ftruncate(fd_, static_cast<off_t>(size)) != 0) throw std::runtime_error("ftruncate failed");
  io_ = std::make_unique<FileImageIO>(fd_, std::filesystem::file_size(path));
}

ImageFile::~ImageFile() {
  if (fd_ >= 0) ::close(fd_);
}

void ImageFile::resize(std::uint64_t size) {
  if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) throw std::runtime_error("ftruncate failed");
  io_ = std::make_unique<FileImageIO>(fd_, size);
}

std::vector<unsigned char> ImageFile::read(std::uint64_t offset, std::size_t length) const {
  std::vector<unsigned char> out(length);
  io_->read(offset, out.data(), length);
  return out;
}

void ImageFile::write(std::uint64_t offset, const std::vector<unsigned char>& data) {
  io_->write(offset, data.data(), data.size());
}

Outcome run(const std::string& command) {
  Outcome r;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return r;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) r.output.append(buf, n);
  const int status = ::pclose(pipe);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

std::string quote(const std::filesystem::path& path) {
  std::string out = "'";
  for (char c : path.string()) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

bool haveProgram(const std::string& name) { return run("command -v " + name).status == 0; }

std::filesystem::path fixtureVolume(const std::filesystem::path& to) {
  const std::filesystem::path bands = std::filesystem::path(QUORBEL_FIXTURES) / "macos/Test1.sparsebundle/bands";
  if (!std::filesystem::exists(bands / "0")) return {};
  std::ofstream out(to, std::ios::binary);
  for (int band = 0; band < 5; ++band) {
    std::ifstream in(bands / std::to_string(band), std::ios::binary);
    out << in.rdbuf();
  }
  out.close();
  std::filesystem::permissions(to, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  return to;
}

std::vector<FileContents> readAllFiles(const std::filesystem::path& image) {
  std::vector<FileContents> files;
  const Outcome list = run("fls -f hfs -r -F -p " + quote(image));
  if (list.status != 0) throw std::runtime_error("fls failed: " + list.output);
  // Lines look like "r/r 32:\tfolder/name.txt".
  static const std::regex line(R"(^r/r (\d+):\t(.*)$)");
  std::istringstream in(list.output);
  for (std::string text; std::getline(in, text);) {
    std::smatch m;
    if (!std::regex_match(text, m, line) || m[2].str().starts_with("$")) continue;  // not the special files
    const Outcome cat = run("icat -f hfs " + quote(image) + " " + m[1].str());
    if (cat.status != 0) throw std::runtime_error("icat failed for " + m[2].str() + ": " + cat.output);
    files.push_back({m[1].str(), m[2].str(), cat.output});
  }
  return files;
}

std::uint64_t allocatedBytes(const std::filesystem::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) throw std::runtime_error("stat failed");
  return static_cast<std::uint64_t>(st.st_blocks) * 512;
}

}  // namespace quorbel::imagetool::hfsplus::hfstest
