#include "imagetool/layout/formatter.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

extern char** environ;

namespace quorbel::imagetool::layout {

namespace {

std::string errorText(int error) { return std::strerror(error); }

// Closes a descriptor when it goes out of scope.
struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

// The caller's environment with the locale set to UTF-8, so that formatters take labels given
// in UTF-8 as such whatever the user's locale is.
std::vector<std::string> childEnvironment() {
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e) {
    const std::string_view entry(*e);
    if (entry.starts_with("LC_") || entry.starts_with("LANG=") || entry.starts_with("LANGUAGE="))
      continue;
    env.emplace_back(entry);
  }
  env.emplace_back("LC_ALL=C.UTF-8");
  return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
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

bool isZero(const char* data, std::size_t length) {
  // The first byte compared with the rest of the range, which it overlaps.
  return length == 0 || (data[0] == 0 && std::memcmp(data, data + 1, length - 1) == 0);
}

}  // namespace

ScratchFile::ScratchFile(const std::string& besidePath, std::uint64_t length) : length_(length) {
  // An absolute path, so that the formatter cannot take it for an option ("-…").
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(besidePath, error);
  if (error) throw ToolError("cannot find the folder of " + besidePath + ": " + error.message());
  const std::string folder = absolute.parent_path().string();
  std::string pattern = (absolute.parent_path() / ".quorbel-format-XXXXXX").string();
  fd_ = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd_ < 0) throw ToolError("cannot create a scratch file in " + folder + ": " + errorText(errno));
  path_ = pattern;
  if (::ftruncate(fd_, static_cast<off_t>(length)) != 0) {
    const int error = errno;
    ::close(fd_);
    ::unlink(path_.c_str());
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
  for (const char* folder : {"/usr/local/sbin", "/usr/sbin", "/sbin", "/usr/bin", "/bin"})
    folders.emplace_back(folder);
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

  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw ToolError("cannot run " + program + ": " + errorText(errno));
  Fd readEnd{pipeFds[0]};
  Fd writeEnd{pipeFds[1]};

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, writeEnd.fd, 1);
  posix_spawn_file_actions_adddup2(&actions, writeEnd.fd, 2);

  std::vector<std::string> argv{program};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<std::string> env = childEnvironment();
  std::vector<char*> argvPointers = pointers(argv);
  std::vector<char*> envPointers = pointers(env);

  pid_t pid = 0;
  const int spawnError =
      ::posix_spawn(&pid, path.c_str(), &actions, nullptr, argvPointers.data(), envPointers.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawnError != 0) throw ToolError("cannot run " + path + ": " + errorText(spawnError));
  ::close(writeEnd.fd);
  writeEnd.fd = -1;

  // Keep the output's end: that is where formatters say what went wrong.
  constexpr std::size_t keep = 16384;
  std::string output;
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(readEnd.fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    output.append(buffer, static_cast<std::size_t>(got));
    if (output.size() > 2 * keep) output.erase(0, output.size() - keep);
  }

  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw ToolError("lost track of " + program + ": " + errorText(errno));
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return;
  std::string reason = WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                         : "signal " + std::to_string(WTERMSIG(status));
  const std::string said = lastLines(output);
  throw ToolError(program + " failed (" + reason + ")" + (said.empty() ? "" : ": " + said));
}

std::uint64_t copyNonZero(int fd, std::uint64_t length, ImageIO& image, std::uint64_t offset) {
  constexpr std::size_t block = 4096;
  constexpr std::size_t chunk = 1 << 20;
  std::vector<char> buffer(chunk);
  std::uint64_t written = 0;
  std::uint64_t position = 0;
  while (position < length) {
    // The next region holding data; a file system without SEEK_DATA has data everywhere.
    off_t dataStart = ::lseek(fd, static_cast<off_t>(position), SEEK_DATA);
    if (dataStart < 0 && errno == ENXIO) break;
    off_t dataEnd;
    if (dataStart < 0 && errno == EINVAL) {
      dataStart = static_cast<off_t>(position);
      dataEnd = static_cast<off_t>(length);
    } else if (dataStart < 0) {
      throw ToolError("cannot read the scratch file: " + errorText(errno));
    } else {
      dataEnd = ::lseek(fd, dataStart, SEEK_HOLE);
      if (dataEnd < 0) throw ToolError("cannot read the scratch file: " + errorText(errno));
    }
    const std::uint64_t end = std::min<std::uint64_t>(static_cast<std::uint64_t>(dataEnd), length);
    for (std::uint64_t at = static_cast<std::uint64_t>(dataStart); at < end;) {
      const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(chunk, end - at));
      std::size_t have = 0;
      while (have < want) {
        const ssize_t got = ::pread(fd, buffer.data() + have, want - have, static_cast<off_t>(at + have));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw ToolError("cannot read the scratch file: " + errorText(errno));
        if (got == 0) {  // the file is shorter than it claims: the rest reads as zeros
          std::memset(buffer.data() + have, 0, want - have);
          break;
        }
        have += static_cast<std::size_t>(got);
      }
      // Write each run of non-zero blocks in one piece.
      for (std::size_t i = 0; i < want;) {
        const std::size_t n = std::min(block, want - i);
        if (isZero(buffer.data() + i, n)) {
          i += n;
          continue;
        }
        std::size_t runEnd = i + n;
        while (runEnd < want) {
          const std::size_t m = std::min(block, want - runEnd);
          if (isZero(buffer.data() + runEnd, m)) break;
          runEnd += m;
        }
        image.write(offset + at + i, buffer.data() + i, runEnd - i);
        written += runEnd - i;
        i = runEnd;
      }
      at += want;
    }
    position = end;
  }
  return written;
}

}  // namespace quorbel::imagetool::layout
