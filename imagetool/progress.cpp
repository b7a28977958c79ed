#include "imagetool/progress.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "core/tool_contract.h"

namespace quorbel::imagetool::progress {

namespace {

using Clock = std::chrono::steady_clock;
constexpr double minStep = 0.5;
constexpr auto minInterval = std::chrono::milliseconds(100);
// Only `finish` says 100: a verb can still fail after its last report.
constexpr double highestBeforeFinish = 99.9;

struct State {
  bool enabled = false;
  bool begun = false;
  double spanBegin = 0, spanEnd = 0;
  double reached = 0;  // the highest figure reported, written or not
  double shown = -1;   // the last figure written
  Clock::time_point shownAt{};
};

State& state() {
  static State s = [] {
    State initial;
    const char* value = std::getenv(tool::progressVariable);
    initial.enabled = value != nullptr && std::strcmp(value, "1") == 0;
    return initial;
  }();
  return s;
}

// Writes one line with a single write, so that it never interleaves with other output on standard
// error. A reader that has gone away gives EPIPE here, not a SIGPIPE that would end the work midway.
void writeLine(double value) {
  char line[32];
  const int n = std::snprintf(line, sizeof line, "%.*s%.1f\n", static_cast<int>(tool::progressPrefix.size()),
                              tool::progressPrefix.data(), value);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof line) return;
  sigset_t pipeSet, previous, pending;
  sigemptyset(&pipeSet);
  sigaddset(&pipeSet, SIGPIPE);
  ::pthread_sigmask(SIG_BLOCK, &pipeSet, &previous);
  sigpending(&pending);
  const bool wasPending = sigismember(&pending, SIGPIPE) == 1;
  ssize_t written;
  do {
    written = ::write(STDERR_FILENO, line, static_cast<std::size_t>(n));
  } while (written < 0 && errno == EINTR);
  sigpending(&pending);
  if (!wasPending && sigismember(&pending, SIGPIPE) == 1) {
    const timespec none{0, 0};
    ::sigtimedwait(&pipeSet, nullptr, &none);
  }
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void report(double value) {
  State& s = state();
  s.begun = true;
  value = std::min(value, highestBeforeFinish);
  s.reached = std::max(s.reached, value);
  if (!s.enabled) return;
  if (s.shown >= 0 && s.reached < s.shown + minStep) return;
  const Clock::time_point now = Clock::now();
  if (s.shown >= 0 && now - s.shownAt < minInterval) return;
  s.shown = s.reached;
  s.shownAt = now;
  writeLine(s.shown);
}

}  // namespace

bool enabled() { return state().enabled; }

void span(double begin, double end) {
  State& s = state();
  s.spanBegin = std::clamp(begin, 0.0, 100.0);
  s.spanEnd = std::clamp(end, s.spanBegin, 100.0);
  report(s.spanBegin);
}

void at(std::uint64_t done, std::uint64_t total) {
  State& s = state();
  const double fraction = total == 0 ? 1.0 : static_cast<double>(std::min(done, total)) / static_cast<double>(total);
  report(s.spanBegin + (s.spanEnd - s.spanBegin) * fraction);
}

void finish() {
  State& s = state();
  if (!s.begun || !s.enabled || s.shown >= 100) return;
  s.shown = s.reached = 100;
  writeLine(100);
}

}  // namespace quorbel::imagetool::progress
