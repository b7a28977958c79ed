#pragma once
// Runs the disk-image tool as a child process and returns its report as one text.

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorbel {

// Called about every 50 ms while the child runs.
using WhileWaiting = std::function<void()>;

// Runs `launchPath` with `arguments` (the path itself is not one of them) and waits for its end.
// - `password` absent: the child inherits standard input. Present (even empty): its UTF-8 bytes,
//   nothing added, then end-of-file on a pipe.
// - Exit status 0: the child's standard output, decoded as UTF-8 (bad bytes become U+FFFD).
// - Any other status, or death by a signal (its number counts as the status):
//   "⚠️ error " + status + "\n". Standard error is inherited, never part of the result.
// - A tool that cannot be run: one line with the same prefix naming the path and the reason.
// Never throws; never leaves a zombie; a child that ignores its input cannot hurt the caller.
std::string CommandRunner(const std::string& launchPath,
                          const std::vector<std::string>& arguments,
                          const std::optional<std::string>& password,
                          const WhileWaiting& whileWaiting = {});

// The failure line for a non-zero exit status.
std::string failureLine(int status);

// Asks a run, from any thread, to interrupt its child: the run sends SIGINT once, as Ctrl-C in a
// terminal would, and goes on collecting until the child ends. A stop asked before the child starts
// reaches it as soon as it has started. One switch serves one run.
class StopSwitch {
 public:
  StopSwitch();
  ~StopSwitch();
  StopSwitch(const StopSwitch&) = delete;
  StopSwitch& operator=(const StopSwitch&) = delete;

  void stop();
  bool stopRequested() const { return requested_.load(); }
  // Readable once stop() was called (for the run's poll loop).
  int readyDescriptor() const { return fds_[0]; }

 private:
  int fds_[2] = {-1, -1};
  std::atomic<bool> requested_{false};
};

// One run with everything the window needs around CommandRunner's contract.
struct ToolRun {
  std::string launchPath;
  std::vector<std::string> arguments;
  // The password's bytes for standard input; absent: standard input is inherited.
  std::optional<std::string_view> input;
  // NAME=VALUE entries added to the inherited environment (an entry replaces one of the same name).
  std::vector<std::string> environment;
  // Gather standard error (bounded) instead of letting the child inherit it.
  bool captureErrors = true;
  // Called on the running thread for each progress line of standard error, with its percentage.
  std::function<void(double percent)> onProgress;
  StopSwitch* stopSwitch = nullptr;
  WhileWaiting whileWaiting;
};

struct ToolOutcome {
  std::string text;    // exactly what CommandRunner returns for the same run
  std::string errors;  // standard error without its progress lines: at most its last 64 KiB, UTF-8
  int status = 0;      // exit status, or the signal's number
  bool stopped = false;  // a stop was asked and the child interrupted
};

inline constexpr std::size_t errorCaptureLimit = 64 * 1024;

// Collects standard output, standard error and the exit status in one poll loop; standard error is
// always drained, so a tool that writes endlessly there never stalls. Runs on the calling thread.
ToolOutcome runTool(const ToolRun& run);

// The percentage of one standard-error line when it is a progress line ("PERCENT:37.5"), else nothing.
std::optional<double> progressFromLine(std::string_view line);

}  // namespace quorbel
