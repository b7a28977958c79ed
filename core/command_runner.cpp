#include "core/command_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
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
  return std::string(tool::failurePrefix) + "(the disk-image tool could not be run: " + launchPath + ": " +
         std::strerror(error) + ")\n";
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

// Standard error as it arrives: complete lines are sorted into progress lines, handed on, and the
// rest, of which only the last `errorCaptureLimit` bytes are kept. A line longer than the limit is
// kept as text, never taken for progress.
class ErrorCapture {
 public:
  explicit ErrorCapture(const std::function<void(double)>& onProgress) : onProgress_(onProgress) {}

  bool readAvailable(int fd) {
    char chunk[16384];
    for (;;) {
      const ssize_t got = ::read(fd, chunk, sizeof chunk);
      if (got > 0) {
        take(std::string_view(chunk, static_cast<std::size_t>(got)));
        continue;
      }
      if (got < 0 && errno == EINTR) continue;
      return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
  }

  std::string finish() && {
    keep(line_);
    line_.clear();
    std::size_t start = 0;
    // A cut at the front may have split a character: start at the next whole one.
    if (cut_)
      while (start < kept_.size() && start < 3 && (static_cast<unsigned char>(kept_[start]) & 0xC0) == 0x80) ++start;
    return utf8::decodeLossy(kept_.substr(start));
  }

 private:
  void take(std::string_view bytes) {
    while (!bytes.empty()) {
      const auto end = bytes.find('\n');
      if (end == std::string_view::npos) {
        line_.append(bytes);
        if (line_.size() > errorCaptureLimit) {  // no progress line is this long
          keep(line_);
          line_.clear();
        }
        return;
      }
      line_.append(bytes.substr(0, end + 1));
      bytes.remove_prefix(end + 1);
      const auto percent = progressFromLine(std::string_view(line_).substr(0, line_.size() - 1));
      if (percent && onProgress_) onProgress_(*percent);
      if (!percent) keep(line_);
      line_.clear();
    }
  }

  void keep(std::string_view text) {
    kept_.append(text);
    // Trim only when twice the limit is reached, so trimming costs little per byte.
    if (kept_.size() > 2 * errorCaptureLimit) {
      kept_.erase(0, kept_.size() - errorCaptureLimit);
      cut_ = true;
    }
  }

  const std::function<void(double)>& onProgress_;
  std::string line_;
  std::string kept_;
  bool cut_ = false;
};

Fd openProcessHandle([[maybe_unused]] pid_t pid) {
#if defined(__linux__) && defined(SYS_pidfd_open)
  return Fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
#else
  return Fd();
#endif
}

// Reaps the child exactly once, retrying EINTR; the status of a killed child is its signal.
int reap(pid_t pid, const WhileWaiting& whileWaiting, StopSwitch* stopSwitch, bool& interrupted) {
  int status = 0;
  if (whileWaiting || stopSwitch) {
    // Without a process handle to poll, wait in short naps so the callback keeps its rhythm and a
    // stop still arrives.
    WaitTicker ticker(whileWaiting);
    auto nap = std::chrono::microseconds(100);
    for (;;) {
      const pid_t done = ::waitpid(pid, &status, WNOHANG);
      if (done == pid || (done < 0 && errno != EINTR)) break;
      if (stopSwitch && stopSwitch->stopRequested() && !interrupted) {
        ::kill(pid, SIGINT);
        interrupted = true;
      }
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

// The inherited environment with `additions` put in; an addition replaces an entry of its name.
std::vector<char*> environmentWith(const std::vector<std::string>& additions) {
  std::vector<char*> result;
  for (char** entry = environ; entry && *entry; ++entry) {
    const std::string_view current(*entry);
    const bool replaced = std::any_of(additions.begin(), additions.end(), [&](const std::string& added) {
      const auto equals = added.find('=');
      return equals != std::string::npos && current.size() > equals &&
             current.substr(0, equals + 1) == std::string_view(added).substr(0, equals + 1);
    });
    if (!replaced) result.push_back(*entry);
  }
  for (const auto& added : additions) result.push_back(const_cast<char*>(added.c_str()));
  result.push_back(nullptr);
  return result;
}

// Spawns the child with stdout on `output`, stdin on `input` and stderr on `errors` when given,
// only 0, 1, 2 open, default signal dispositions and an empty signal mask.
int spawn(pid_t& pid, const ToolRun& run, const Pipe* input, const Pipe& output, const Pipe* errors) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (input) posix_spawn_file_actions_adddup2(&actions, input->read.get(), STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output.write.get(), STDOUT_FILENO);
  if (errors) posix_spawn_file_actions_adddup2(&actions, errors->write.get(), STDERR_FILENO);

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
  if (!errors) posix_spawn_file_actions_addinherit_np(&actions, STDERR_FILENO);
  if (!input) posix_spawn_file_actions_addinherit_np(&actions, STDIN_FILENO);
#else
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);  // descriptors others opened without O_CLOEXEC
#endif
  posix_spawnattr_setflags(&attributes, flags);

  std::vector<char*> argv;
  argv.reserve(run.arguments.size() + 2);
  argv.push_back(const_cast<char*>(run.launchPath.c_str()));
  for (const auto& argument : run.arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  std::vector<char*> envp;
  if (!run.environment.empty()) envp = environmentWith(run.environment);
  const int error = posix_spawn(&pid, run.launchPath.c_str(), &actions, &attributes, argv.data(),
                                envp.empty() ? environ : envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return error;
}

}  // namespace

std::string failureLine(int status) { return std::string(tool::failurePrefix) + std::to_string(status) + "\n"; }

std::optional<double> progressFromLine(std::string_view line) {
  if (!line.starts_with(tool::progressPrefix)) return std::nullopt;
  line.remove_prefix(tool::progressPrefix.size());
  if (line.empty() || line.size() > 16) return std::nullopt;
  for (char c : line)
    if (!(c == '.' || (c >= '0' && c <= '9'))) return std::nullopt;
  double value = 0;
  const auto [end, error] = std::from_chars(line.data(), line.data() + line.size(), value);
  if (error != std::errc() || end != line.data() + line.size() || !std::isfinite(value) || value > 100)
    return std::nullopt;
  return value;
}

StopSwitch::StopSwitch() {
#ifdef __APPLE__
  if (::pipe(fds_) == 0)
    for (int fd : fds_) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
#else
  if (::pipe2(fds_, O_CLOEXEC) != 0) fds_[0] = fds_[1] = -1;
#endif
  if (fds_[1] >= 0) setNonBlocking(fds_[1]);
}

StopSwitch::~StopSwitch() {
  for (int fd : fds_)
    if (fd >= 0) ::close(fd);
}

void StopSwitch::stop() {
  if (requested_.exchange(true)) return;
  const char byte = 1;
  if (fds_[1] >= 0) [[maybe_unused]]
    const ssize_t put = ::write(fds_[1], &byte, 1);
}

ToolOutcome runTool(const ToolRun& run) {
  ToolOutcome outcome;
  const auto cannotRun = [&](int error) {
    outcome.status = -1;
    outcome.text = cannotRunLine(run.launchPath, error);
    return outcome;
  };
  Pipe output, input, errors;
  if (!makePipe(output) || (run.input && !makePipe(input)) || (run.captureErrors && !makePipe(errors)))
    return cannotRun(errno);

  pid_t pid = -1;
  if (const int error = spawn(pid, run, run.input ? &input : nullptr, output, run.captureErrors ? &errors : nullptr))
    return cannotRun(error);

  // The child holds its own ends now; ours must go so that end-of-file can arrive.
  output.write.reset();
  input.read.reset();
  errors.write.reset();
  setNonBlocking(output.read.get());
  if (errors.read.valid()) setNonBlocking(errors.read.get());
  if (input.write.valid()) setNonBlocking(input.write.get());

  SigpipeGuard sigpipeGuard;
  OutputBuffer collected;
  ErrorCapture errorText(run.onProgress);
  InputFeeder feeder(std::move(input.write), run.input.value_or(std::string_view()));
  WaitTicker ticker(run.whileWaiting);
  Fd processHandle = openProcessHandle(pid);
  const int stopFd = run.stopSwitch ? run.stopSwitch->readyDescriptor() : -1;
  bool interrupted = false;

  // With a process handle the loop also waits for the exit itself, so the callback keeps running
  // while a child that has closed its output goes on working. Without one, a stop switch makes the
  // loop wake up often enough to see it.
  bool exited = false;
  while (output.read.valid() || errors.read.valid() || feeder.open() || (processHandle.valid() && !exited)) {
    pollfd fds[5];
    nfds_t count = 0;
    int outIndex = -1, errIndex = -1, inIndex = -1, exitIndex = -1, stopIndex = -1;
    const auto add = [&](int& index, int fd, short events) {
      index = static_cast<int>(count);
      fds[count++] = {fd, events, 0};
    };
    if (output.read.valid()) add(outIndex, output.read.get(), POLLIN);
    if (errors.read.valid()) add(errIndex, errors.read.get(), POLLIN);
    if (feeder.open()) add(inIndex, feeder.fd(), POLLOUT);
    if (processHandle.valid()) add(exitIndex, processHandle.get(), POLLIN);
    if (stopFd >= 0 && !interrupted) add(stopIndex, stopFd, POLLIN);

    int timeout = ticker.pollTimeoutMs();
    if (run.stopSwitch && !interrupted && stopFd < 0) timeout = timeout < 0 ? 50 : std::min(timeout, 50);
    const int ready = ::poll(fds, count, timeout);
    if (ready < 0 && errno != EINTR) break;
    ticker.tick();
    if (run.stopSwitch && !interrupted && run.stopSwitch->stopRequested()) {
      ::kill(pid, SIGINT);  // not reaped yet, so the number is still our child's
      interrupted = true;
    }
    if (ready <= 0) continue;

    if (outIndex >= 0 && fds[outIndex].revents != 0 && !collected.readAvailable(output.read.get())) output.read.reset();
    if (errIndex >= 0 && fds[errIndex].revents != 0 && !errorText.readAvailable(errors.read.get())) errors.read.reset();
    if (inIndex >= 0 && fds[inIndex].revents != 0) feeder.writeSome();
    if (exitIndex >= 0 && (fds[exitIndex].revents & POLLIN)) {
      // The child has ended: take what it left in the pipes and stop waiting for end-of-file,
      // which a background process of its own could otherwise hold back for ever.
      if (output.read.valid()) collected.readAvailable(output.read.get());
      if (errors.read.valid()) errorText.readAvailable(errors.read.get());
      exited = true;
      break;
    }
  }
  output.read.reset();
  errors.read.reset();
  feeder.close();

  outcome.status =
      reap(pid, exited ? WhileWaiting{} : run.whileWaiting, exited ? nullptr : run.stopSwitch, interrupted);
  outcome.stopped = interrupted;
  outcome.errors = std::move(errorText).finish();
  outcome.text = outcome.status != 0 ? failureLine(outcome.status) : std::move(collected).decode();
  return outcome;
}

}  // namespace quorbel
