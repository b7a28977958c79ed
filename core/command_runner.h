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

// One run of `launchPath` with `arguments` (the path itself is not one of them), waited for to its end.
struct ToolRun {
  std::string launchPath;
  std::vector<std::string> arguments;
  // The password's bytes (UTF-8, nothing added) on a pipe, then end-of-file; absent: standard input
  // is inherited. A child that ignores its input cannot hurt the caller.
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
  // Exit status 0: the child's standard output, decoded as UTF-8 (bad bytes become U+FFFD). Any
  // other status, or death by a signal (its number counts as the status): "⚠️ error " + status + "\n".
  // A tool that cannot be run: one line with the same prefix naming the path and the reason.
  std::string text;
  std::string errors;    // standard error without its progress lines: at most its last 64 KiB, UTF-8
  int status = 0;        // exit status, or the signal's number
  bool stopped = false;  // a stop was asked and the child interrupted
};

inline constexpr std::size_t errorCaptureLimit = 64 * 1024;

// Collects standard output, standard error and the exit status in one poll loop; standard error is
// always drained, so a tool that writes endlessly there never stalls. Runs on the calling thread.
ToolOutcome runTool(const ToolRun& run);

// The percentage of one standard-error line when it is a progress line ("PERCENT:37.5"), else nothing.
std::optional<double> progressFromLine(std::string_view line);

}  // namespace quorbel
