#include "imagetool/layout/formatter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "imagetool/bundle/fs_util.h"

extern char** environ;

namespace quorbel::imagetool::layout {

namespace {

std::string errorText(int error) { return std::strerror(error); }

// The caller's environment with the locale set to UTF-8, so that formatters take labels given
// in UTF-8 as such whatever the user's locale is.
std::vector<std::string> childEnvironment() {
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e) {
    const std::string_view entry(*e);
    if (entry.starts_with("LC_") || entry.starts_with("LANG=") || entry.starts_with("LANGUAGE=")) continue;
    env.emplace_back(entry);
  }
  env.emplace_back("LC_ALL=C.UTF-8");
  return env;
}

// The last few non-empty lines of a program's output, joined for one error message.
std::string lastLines(const std::string& output) {
  std::vector<std::string> lines;
  std::istringstream in(output);
  for (std::string line; std::getline(in, line);) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (!line.empty()) lines.push_back(line);
  }
  const std::size_t keep = std::min<std::size_t>(lines.size(), 4);
  std::string text;
  for (std::size_t i = lines.size() - keep; i < lines.size(); ++i) {
    if (!text.empty()) text += "; ";
    text += lines[i];
  }
  return text;
}

}  // namespace

ScratchFile::ScratchFile(const std::string& folder, std::uint64_t length, const std::string& program)
    : length_(length) {
  // An absolute path, so that the formatter cannot take it for an option ("-…").
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(folder, error);
  if (error) throw ToolError("cannot find the folder " + folder + ": " + error.message());
  std::string pattern = (absolute / ".quorbel-format-XXXXXX").string();
  fd_ = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd_ < 0) throw ToolError("cannot create a scratch file in " + absolute.string() + ": " + errorText(errno));
  path_ = pattern;
  if (::ftruncate(fd_, static_cast<off_t>(length)) != 0) {
    const int error = errno;
    ::close(fd_);
    ::unlink(path_.c_str());
    if (error == EFBIG)
      throw ToolError(program + " formats a file as large as the volume, and the file system holding " +
                      absolute.parent_path().string() + " cannot hold a file of " + std::to_string(length) +
                      " bytes; choose a smaller size, or make the image on a file system that holds larger files");
    throw ToolError("cannot size the scratch file " + path_ + ": " + errorText(error));
  }
}

ScratchFile::~ScratchFile() {
  ::close(fd_);
  ::unlink(path_.c_str());
}

std::string findProgram(const std::string& program) {
  std::vector<std::string> folders;
  if (const char* path = std::getenv("PATH")) {
    std::istringstream in(path);
    for (std::string folder; std::getline(in, folder, ':');)
      if (!folder.empty()) folders.push_back(folder);
  }
  for (const char* folder : {"/usr/local/sbin", "/usr/sbin", "/sbin", "/usr/bin", "/bin"}) folders.emplace_back(folder);
  for (const auto& folder : folders) {
    const std::string candidate = folder + "/" + program;
    struct stat st {};
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
      return candidate;
  }
  return {};
}

void runFormatter(const std::string& program, const std::vector<std::string>& arguments,
                  const std::string& packageHint) {
  const std::string path = findProgram(program);
  if (path.empty())
    throw ToolError(program + " is not installed (it comes with the Debian package " + packageHint + ")");
  const ProgramResult result = runProgram(path, arguments, childEnvironment());
  if (result.exited && result.status == 0) return;
  const std::string reason =
      result.exited ? "exit status " + std::to_string(result.status) : "signal " + std::to_string(result.status);
  const std::string said = lastLines(result.output);
  throw ToolError(program + " failed (" + reason + ")" + (said.empty() ? "" : ": " + said));
}

}  // namespace quorbel::imagetool::layout
