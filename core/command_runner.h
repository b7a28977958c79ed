#pragma once
// Runs the disk-image tool as a child process and returns its report as one text.

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quorbel {

// Called about every 50 ms while the child runs, so that a window can keep painting.
using WhileWaiting = std::function<void()>;

// Runs `launchPath` with `arguments` (the path itself is not one of them) and waits for its end.
// - `password` absent: the child inherits standard input. Present (even empty): its UTF-8 bytes,
//   nothing added, then end-of-file on a pipe.
// - Exit status 0: the child's standard output, decoded as UTF-8 (bad bytes become U+FFFD).
// - Any other status, or death by a signal (its number counts as the status):
//   "⚠️ error " + status + "\n". Standard error is never captured.
// - A tool that cannot be run: one line with the same prefix naming the path and the reason.
// Never throws; never leaves a zombie; a child that ignores its input cannot hurt the caller.
std::string CommandRunner(const std::string& launchPath,
                          const std::vector<std::string>& arguments,
                          const std::optional<std::string>& password,
                          const WhileWaiting& whileWaiting = {});

// The failure line for a non-zero exit status.
std::string failureLine(int status);

}  // namespace quorbel
