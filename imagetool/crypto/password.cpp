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

// Reads what the child `child` writes to `fd` until end-of-file, in blocks. An interrupt (Stop in
// the window, Control-C) ends the child, so that its dialog goes away instead of holding the tool;
// `stopped` says so.
SecretBytes readAll(int fd, pid_t child, bool& stopped) {
  SecretBytes out;
  unsigned char block[256];
  for (;;) {
    if (interruptRequested() && !stopped) {
      ::kill(child, SIGTERM);
      stopped = true;
    }
    // Waits in short steps, so that an interrupt that came just before the wait is seen too.
    pollfd ready{fd, POLLIN, 0};
    const int polled = ::poll(&ready, 1, 200);
    if (polled == 0 || (polled < 0 && errno == EINTR)) continue;
    const ssize_t got = ::read(fd, block, sizeof block);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    const std::size_t at = out.size();
    if (at + static_cast<std::size_t>(got) > maxPassword) {
      OPENSSL_cleanse(block, sizeof block);
      throw ToolError("the password program printed too much");
    }
    out.resize(at + static_cast<std::size_t>(got));
    std::memcpy(out.data() + at, block, static_cast<std::size_t>(got));
  }
  OPENSSL_cleanse(block, sizeof block);
  return out;
}

SecretBytes fromAskpass(const std::string& program, const std::string& prompt) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw ToolError("cannot run the password program");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  std::string arg0 = program, arg1 = prompt;
  char* argv[] = {arg0.data(), arg1.data(), nullptr};
  pid_t pid = 0;
  const int spawned = ::posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  if (spawned != 0) {
    ::close(pipeFds[0]);
    throw ToolError("cannot run the password program " + program + " (QUORBEL_ASKPASS): " + std::strerror(spawned));
  }
  bool stopped = false;
  SecretBytes password = readAll(pipeFds[0], pid, stopped);
  ::close(pipeFds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (stopped || interruptRequested()) throw ToolError("interrupted while waiting for the password");
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw Cancelled();
  if (!password.empty() && password.data()[password.size() - 1] == '\n') password.resize(password.size() - 1);
  return password;
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
