#pragma once
// Running a system formatter on a scratch file, and carrying what it wrote into the image.

#include <cstdint>
#include <string>
#include <vector>

#include "imagetool/image_io.h"

namespace quorbel::imagetool::layout {

// A sparse scratch file of a given length in a folder, removed when this goes away.
class ScratchFile {
 public:
  // Creates "<folder>/.quorbel-format-XXXXXX" (an absolute path) of `length` bytes, all holes, for
  // `program`; says so clearly when the folder's file system cannot hold a file that large.
  ScratchFile(const std::string& folder, std::uint64_t length, const std::string& program);
  ~ScratchFile();
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  const std::string& path() const { return path_; }
  int fd() const { return fd_; }
  std::uint64_t length() const { return length_; }

 private:
  std::string path_;
  int fd_ = -1;
  std::uint64_t length_;
};

// Finds `program` in PATH and the system folders (/usr/sbin, /sbin, …), where formatters live
// even when PATH leaves them out. Empty when it is nowhere.
std::string findProgram(const std::string& program);

// Runs `program` with `arguments` (no shell), standard input from /dev/null, standard output
// and error captured together, in a UTF-8 locale. Throws ToolError naming the program, its
// exit status and the last lines it printed when it cannot be run or does not exit with 0.
// `packageHint` names the Debian package to install when the program is missing.
void runFormatter(const std::string& program, const std::vector<std::string>& arguments,
                  const std::string& packageHint);

}  // namespace quorbel::imagetool::layout
