#include "core/command_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

#ifdef __linux__
#include <sys/syscall.h>
#endif

#include "core/tool_contract.h"
#include "core/utf8.h"

extern char** environ;

namespace quorbel {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto waitingInterval = std::chrono::milliseconds(50);
constexpr std::size_t readChunk = 256 * 1024;

// An owned file descriptor, closed once.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // close() is not retried on EINTR: the descriptor is released either way.
  void reset() {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  }

 private:
  int fd_ = -1;
};

struct Pipe {
  Fd read, write;
};

// Moves a close-on-exec descriptor above 2, so that dup2 in the child always clears the flag.
bool liftAboveStandard(Fd& fd) {
  if (fd.get() > 2) return true;
  const int lifted = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, 3);
  if (lifted < 0) return false;
  fd = Fd(lifted);
  return true;
}

bool makePipe(Pipe& pipe) {
  int fds[2];
#ifdef __APPLE__
  if (::pipe(fds) != 0) return false;
  for (int fd : fds) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
#else
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
#endif
  pipe.read = Fd(fds[0]);
  pipe.write = Fd(fds[1]);
  return liftAboveStandard(pipe.read) && liftAboveStandard(pipe.write);
}

void setNonBlocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

std::string cannotRunLine(const std::string& launchPath, int error) {
  return std::string(tool::failurePrefix) + "(the disk-image tool could not be run: " + launchPath +
         ": " + std::strerror(error) + ")\n";
}

// Keeps SIGPIPE blocked on this thread while the password is written, so that a child that
// exits without reading its input gives EPIPE instead of killing the application. A SIGPIPE
// raised by our own write is consumed before the old mask comes back.
class SigpipeGuard {
 public:
  SigpipeGuard() {
    sigemptyset(&pipeSet_);
    sigaddset(&pipeSet_, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSet_, &oldMask_);
    sigset_t pending;
    sigpending(&pending);
    wasPending_ = sigismember(&pending, SIGPIPE) == 1;
  }
  ~SigpipeGuard() {
    sigset_t pending;
    sigpending(&pending);
    if (!wasPending_ && sigismember(&pending, SIGPIPE) == 1) {
      int signal = 0;
      while (sigwait(&pipeSet_, &signal) == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &oldMask_, nullptr);
  }
  SigpipeGuard(const SigpipeGuard&) = delete;
  SigpipeGuard& operator=(const SigpipeGuard&) = delete;

 private:
  sigset_t pipeSet_{};
  sigset_t oldMask_{};
  bool wasPending_ = false;
};

// Standard output collected as it arrives; its UTF-8 is checked while the bytes are still in
// the cache, so the decoding at end-of-file only repairs what is broken.
class OutputBuffer {
 public:
  // Reads what the descriptor has now. Returns false at end-of-file or on an error.
  bool readAvailable(int fd) {
    for (;;) {
      if (bytes_.size() - used_ < readChunk) bytes_.resize(std::max(bytes_.size() * 2, used_ + readChunk));
      const ssize_t got = ::read(fd, bytes_.data() + used_, bytes_.size() - used_);
      if (got > 0) {
        used_ += static_cast<std::size_t>(got);
        checkNewBytes();
        continue;
      }
      if (got < 0 && errno == EINTR) continue;
      if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
      return false;
    }
  }

  std::string decode() && {
    bytes_.resize(used_);
    return utf8::decodeLossy(std::move(bytes_), valid_);
  }

 private:
  void checkNewBytes() {
    if (broken_) return;
    valid_ += utf8::validPrefixLength(std::string_view(bytes_.data() + valid_, used_ - valid_));
    // A sequence can only still be incomplete within the last three bytes.
    if (used_ - valid_ > 3) broken_ = true;
  }

  std::string bytes_;
  std::size_t used_ = 0;
  std::size_t valid_ = 0;
  bool broken_ = false;
};

// Writes the password in pieces as the child reads it.
class InputFeeder {
 public:
  InputFeeder(Fd fd, std::string_view bytes) : fd_(std::move(fd)), bytes_(bytes) {
    if (bytes_.empty()) fd_.reset();  // end-of-file at once
  }
  bool open() const { return fd_.valid(); }
  int fd() const { return fd_.get(); }
  void close() { fd_.reset(); }

  void writeSome() {
    while (fd_.valid()) {
      const ssize_t put = ::write(fd_.get(), bytes_.data() + written_, bytes_.size() - written_);
      if (put < 0 && errno == EINTR) continue;
      if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      if (put < 0) {  // EPIPE: the child is not reading; its loss, not ours
        fd_.reset();
        return;
      }
      written_ += static_cast<std::size_t>(put);
      if (written_ == bytes_.size()) fd_.reset();
    }
  }

 private:
  Fd fd_;
  std::string_view bytes_;
  std::size_t written_ = 0;
};

// Calls the "while waiting" callback at most every 50 ms and tells poll how long to sleep.
class WaitTicker {
 public:
  explicit WaitTicker(const WhileWaiting& callback) : callback_(callback), last_(Clock::now()) {}
  int pollTimeoutMs() const {
    if (!callback_) return -1;
    const auto left = waitingInterval - (Clock::now() - last_);
    return std::max<int>(0, static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count()));
  }
  void tick() {
    if (!callback_ || Clock::now() - last_ < waitingInterval) return;
    callback_();
    last_ = Clock::now();
  }

 private:
  const WhileWaiting& callback_;
  Clock::time_point last_;
};

Fd openProcessHandle([[maybe_unused]] pid_t pid) {
#if defined(__linux__) && defined(SYS_pidfd_open)
  return Fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
#else
  return Fd();
#endif
}

// Reaps the child exactly once, retrying EINTR; the status of a killed child is its signal.
int reap(pid_t pid, const WhileWaiting& whileWaiting) {
  int status = 0;
  if (whileWaiting) {
    // Without a process handle to poll, wait in short naps so the callback keeps its rhythm.
    WaitTicker ticker(whileWaiting);
    auto nap = std::chrono::microseconds(100);
    for (;;) {
      const pid_t done = ::waitpid(pid, &status, WNOHANG);
      if (done == pid || (done < 0 && errno != EINTR)) break;
      ticker.tick();
      std::this_thread::sleep_for(nap);
      nap = std::min<std::chrono::microseconds>(nap * 2, waitingInterval);
    }
  } else {
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return WTERMSIG(status);
  return status;
}

// Spawns the child with stdout on `output`, stdin on `input` when given, only 0, 1, 2 open,
// default signal dispositions and an empty signal mask.
int spawn(pid_t& pid, const std::string& launchPath, const std::vector<std::string>& arguments,
          const Pipe* input, const Pipe& output) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (input) posix_spawn_file_actions_adddup2(&actions, input->read.get(), STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output.write.get(), STDOUT_FILENO);

  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults, emptyMask;
  sigfillset(&defaults);
  sigdelset(&defaults, SIGKILL);
  sigdelset(&defaults, SIGSTOP);
  sigemptyset(&emptyMask);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &emptyMask);
  short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
#ifdef __APPLE__
  flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;  // every descriptor not named above is closed
  posix_spawn_file_actions_addinherit_np(&actions, STDERR_FILENO);
  if (!input) posix_spawn_file_actions_addinherit_np(&actions, STDIN_FILENO);
#else
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);  // descriptors others opened without O_CLOEXEC
#endif
  posix_spawnattr_setflags(&attributes, flags);

  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  argv.push_back(const_cast<char*>(launchPath.c_str()));
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  const int error = posix_spawn(&pid, launchPath.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return error;
}

}  // namespace

std::string failureLine(int status) {
  return std::string(tool::failurePrefix) + std::to_string(status) + "\n";
}

std::string CommandRunner(const std::string& launchPath, const std::vector<std::string>& arguments,
                          const std::optional<std::string>& password, const WhileWaiting& whileWaiting) {
  Pipe output, input;
  if (!makePipe(output) || (password && !makePipe(input))) return cannotRunLine(launchPath, errno);

  pid_t pid = -1;
  if (const int error = spawn(pid, launchPath, arguments, password ? &input : nullptr, output))
    return cannotRunLine(launchPath, error);

  // The child holds its own ends now; ours must go so that end-of-file can arrive.
  output.write.reset();
  input.read.reset();
  setNonBlocking(output.read.get());
  if (input.write.valid()) setNonBlocking(input.write.get());

  SigpipeGuard sigpipeGuard;
  OutputBuffer collected;
  InputFeeder feeder(std::move(input.write), password ? std::string_view(*password) : std::string_view());
  WaitTicker ticker(whileWaiting);
  Fd processHandle = openProcessHandle(pid);

  // With a process handle the loop also waits for the exit itself, so the callback keeps running
  // while a child that has closed its output goes on working.
  bool exited = false;
  while (output.read.valid() || feeder.open() || (processHandle.valid() && !exited)) {
    pollfd fds[3];
    nfds_t count = 0;
    int outIndex = -1, inIndex = -1, exitIndex = -1;
    if (output.read.valid()) { outIndex = static_cast<int>(count); fds[count++] = {output.read.get(), POLLIN, 0}; }
    if (feeder.open()) { inIndex = static_cast<int>(count); fds[count++] = {feeder.fd(), POLLOUT, 0}; }
    if (processHandle.valid()) { exitIndex = static_cast<int>(count); fds[count++] = {processHandle.get(), POLLIN, 0}; }

    const int ready = ::poll(fds, count, ticker.pollTimeoutMs());
    if (ready < 0 && errno != EINTR) break;
    ticker.tick();
    if (ready <= 0) continue;

    if (outIndex >= 0 && fds[outIndex].revents != 0 && !collected.readAvailable(output.read.get()))
      output.read.reset();
    if (inIndex >= 0 && fds[inIndex].revents != 0) feeder.writeSome();
    if (exitIndex >= 0 && (fds[exitIndex].revents & POLLIN)) {
      // The child has ended: take what it left in the pipe and stop waiting for end-of-file,
      // which a background process of its own could otherwise hold back for ever.
      if (output.read.valid()) collected.readAvailable(output.read.get());
      exited = true;
      break;
    }
  }
  output.read.reset();
  feeder.close();

  const int status = reap(pid, exited ? WhileWaiting{} : whileWaiting);
  if (status != 0) return failureLine(status);
  return std::move(collected).decode();
}

}  // namespace quorbel
