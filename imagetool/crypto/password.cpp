#include "imagetool/crypto/password.h"

#include "imagetool/bundle/fs_util.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/tool_contract.h"

extern char** environ;

namespace quorbel::imagetool::crypto {

namespace {

constexpr std::size_t maxPassword = 64u << 10;

// Appends bytes read from `fd` to `out` until end-of-file, a NUL byte (when `stopAtNul`) or a line
// feed (when `stopAtNewline`). Reads one byte at a time so that nothing past the terminator is used
// up. Returns false at end-of-file.
bool readUntil(int fd, SecretBytes& out, bool stopAtNul, bool stopAtNewline, const char* what) {
  for (;;) {
    unsigned char c = 0;
    const ssize_t got = ::read(fd, &c, 1);
    if (got < 0 && errno == EINTR) throw ToolError("interrupted while reading " + std::string(what));
    if (got < 0) throw ToolError(std::string("cannot read ") + what + ": " + std::strerror(errno));
    if (got == 0) return false;
    if ((stopAtNul && c == 0) || (stopAtNewline && c == '\n')) return true;
    if (out.size() >= maxPassword) throw ToolError(std::string(what) + " is too long");
    out.push_back(c);
  }
}

// Ends the password program and everything it started (its process group): asked first, then forced
// when it has not ended within a quarter of a second.
void endGroup(pid_t child) {
  ::kill(-child, SIGTERM);
  for (int waited = 0; waited < 12; ++waited) {
    if (::waitpid(child, nullptr, WNOHANG) == child) {
      ::kill(-child, SIGKILL);  // what it left behind
      return;
    }
    ::usleep(20000);
  }
  ::kill(-child, SIGKILL);
  while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// Moves what is waiting in the (non-blocking) `fd` into `out`; false once end-of-file was read.
bool drain(int fd, PasswordOutput& out) {
  unsigned char block[256];
  struct Wipe {
    unsigned char* data;
    ~Wipe() { OPENSSL_cleanse(data, 256); }
  } wipe{block};
  for (;;) {
    const ssize_t got = ::read(fd, block, sizeof block);
    if (got > 0) {
      out.append(block, static_cast<std::size_t>(got));
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    return got < 0;  // EAGAIN: nothing more for now
  }
}

// Waits for the password program `child` to exit, gathering what it prints to `fd`. Its exit ends
// the wait, even while a program it started still holds its output open; an interruption ends the
// program's whole group within a second, whatever it does. Returns the wait status.
int awaitProgram(pid_t child, int fd, PasswordOutput& out) {
  bool open = true;
  for (;;) {
    if (interruptRequested()) {
      endGroup(child);
      throw ToolError("interrupted while waiting for the password");
    }
    // Waits in short steps, so that an interrupt that came just before the wait is seen too.
    pollfd ready{fd, POLLIN, 0};
    ::poll(&ready, open ? 1 : 0, 100);
    try {
      if (open) open = drain(fd, out);
    } catch (...) {
      endGroup(child);
      throw;
    }
    int status = 0;
    if (::waitpid(child, &status, WNOHANG) == child) {
      if (open) drain(fd, out);  // what it printed just before it exited
      return status;
    }
  }
}

SecretBytes fromAskpass(const std::string& program, const std::string& prompt) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw ToolError("cannot run the password program");
  const UniqueFd readEnd(pipeFds[0]);
  ::fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  // Its own process group, so that a stop ends whatever it started too.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  std::string arg0 = program, arg1 = prompt;
  char* argv[] = {arg0.data(), arg1.data(), nullptr};
  pid_t pid = 0;
  const int spawned = ::posix_spawnp(&pid, program.c_str(), &actions, &attributes, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(pipeFds[1]);
  if (spawned != 0)
    throw ToolError("cannot run the password program " + program + " (QUORBEL_ASKPASS): " + std::strerror(spawned));
  PasswordOutput output;
  const int status = awaitProgram(pid, readEnd.get(), output);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw Cancelled();
  return output.finish();
}

SecretBytes fromTerminal(int tty, const std::string& prompt) {
  termios saved{};
  const bool isTerminal = ::tcgetattr(tty, &saved) == 0;
  const std::string line = prompt + " ";
  if (::write(tty, line.data(), line.size()) < 0) throw ToolError("cannot write to the terminal");
  if (isTerminal) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(tty, TCSAFLUSH, &quiet);
  }
  SecretBytes password;
  bool ended = false;
  try {
    ended = readUntil(tty, password, false, true, "the password");
  } catch (...) {
    if (isTerminal) ::tcsetattr(tty, TCSAFLUSH, &saved);
    (void)!::write(tty, "\n", 1);
    throw;
  }
  if (isTerminal) ::tcsetattr(tty, TCSAFLUSH, &saved);
  (void)!::write(tty, "\n", 1);
  if (!ended) throw Cancelled();  // end-of-file (Control-D) at the prompt
  return password;
}

}  // namespace

void PasswordOutput::append(const unsigned char* data, std::size_t length) {
  if (length > maxPassword - bytes_.size()) throw ToolError("the password program printed too much");
  const std::size_t at = bytes_.size();
  bytes_.resize(at + length);
  if (length > 0) std::memcpy(bytes_.data() + at, data, length);
}

SecretBytes PasswordOutput::finish() {
  if (!bytes_.empty() && bytes_.data()[bytes_.size() - 1] == '\n') bytes_.resize(bytes_.size() - 1);
  return std::move(bytes_);
}

SecretBytes readPasswordFromStdin() {
  SecretBytes password;
  readUntil(0, password, true, false, "the password from standard input");
  return password;
}

std::pair<SecretBytes, SecretBytes> readTwoPasswordsFromStdin() {
  SecretBytes current, next;
  if (!readUntil(0, current, true, false, "the current password from standard input"))
    throw ToolError(
        "standard input holds only one password; the current and the new one must be separated "
        "by a NUL byte");
  readUntil(0, next, true, false, "the new password from standard input");
  return {std::move(current), std::move(next)};
}

SecretBytes askPassword(const std::string& prompt) {
  const char* askpass = std::getenv(quorbel::tool::askpassVariable);
  if (askpass != nullptr && *askpass != '\0') return fromAskpass(askpass, prompt);
  const int tty = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (tty >= 0) {
    struct Closer {
      int fd;
      ~Closer() { ::close(fd); }
    } closer{tty};
    return fromTerminal(tty, prompt);
  }
  throw ToolError(
      "a password is needed and there is no terminal to ask for it: pass it on standard input "
      "(-stdinpass) or set QUORBEL_ASKPASS to a program that prints it");
}

}  // namespace quorbel::imagetool::crypto
