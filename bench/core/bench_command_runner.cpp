// Measures the command runner against the bare system calls it wraps, side by side:
//  1. overhead: running a tiny program as the window does (standard output and standard error on
//     pipes, progress asked for, a stop switch), vs posix_spawn + waitpid with the same two pipes;
//  2. the same for a plain run (standard error inherited), vs posix_spawn + waitpid without pipes;
//  3. throughput: 64 MiB of child output, vs the same output read raw from a pipe into a buffer.
// Runs are interleaved so that both sides see the same machine load; each ratio is of medians. Each
// comparison runs for a time budget (argument 1, seconds; default 4), so the whole takes well under
// a minute.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "core/command_runner.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double seconds(const std::function<void()>& work) {
  const auto start = Clock::now();
  work();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

int spawnAndWait(const std::string& path, std::vector<std::string> args, int stdoutFd, int stderrFd = -1) {
  std::vector<char*> argv{const_cast<char*>(path.c_str())};
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (stdoutFd >= 0) posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
  if (stderrFd >= 0) posix_spawn_file_actions_adddup2(&actions, stderrFd, 2);
  pid_t pid;
  if (posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ) != 0) std::exit(2);
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// The plain way: spawn with a pipe, read everything into a growing buffer, wait.
std::size_t rawPipeRead(const std::string& path, const std::string& bytes) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) std::exit(2);
  const pid_t pid = spawnAndWait(path, {bytes}, fds[1]);
  close(fds[1]);
  std::vector<char> buffer;
  std::size_t used = 0;
  for (;;) {
    if (buffer.size() - used < 65536) buffer.resize(std::max<std::size_t>(buffer.size() * 2, 1 << 20));
    const ssize_t got = read(fds[0], buffer.data() + used, buffer.size() - used);
    if (got <= 0) break;
    used += static_cast<std::size_t>(got);
  }
  close(fds[0]);
  int status;
  waitpid(pid, &status, 0);
  return used;
}

// The plain way with both pipes: spawn, drain standard output and standard error, wait.
void rawBothPipes(const std::string& path) {
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) std::exit(2);
  const pid_t pid = spawnAndWait(path, {}, out[1], err[1]);
  close(out[1]);
  close(err[1]);
  char buffer[4096];
  while (read(out[0], buffer, sizeof buffer) > 0) {
  }
  while (read(err[0], buffer, sizeof buffer) > 0) {
  }
  close(out[0]);
  close(err[0]);
  int status;
  waitpid(pid, &status, 0);
}

struct Result {
  double ratio;
  double oursMs, baseMs;
};

Result compare(double budgetSeconds, int& runs, const std::function<void()>& ours, const std::function<void()>& base) {
  std::vector<double> a, b;
  const auto start = Clock::now();
  for (int i = 0; i < 5 || (i < 2000 && std::chrono::duration<double>(Clock::now() - start).count() < budgetSeconds);
       ++i) {
    runs = i + 1;
    // Alternate which side goes first, so neither always gets the warmer cache.
    if (i % 2 == 0) {
      a.push_back(seconds(ours));
      b.push_back(seconds(base));
    } else {
      b.push_back(seconds(base));
      a.push_back(seconds(ours));
    }
  }
  return {median(a) / median(b), median(a) * 1e3, median(b) * 1e3};
}

// A run as the plainest caller makes it: no input, standard error inherited; returns the report.
std::string plainRun(const std::string& path, std::vector<std::string> args) {
  quorbel::ToolRun run;
  run.launchPath = path;
  run.arguments = std::move(args);
  run.captureErrors = false;
  return quorbel::runTool(run).text;
}

}  // namespace

int main(int argc, char** argv) {
  const double budget = argc > 1 ? std::atof(argv[1]) : 4.0;
  const std::string child = (std::filesystem::path(argv[0]).parent_path() / "output_child").string();
  const std::string tiny = "/bin/true";
  bool ok = true;
  int runs = 0;

  quorbel::ToolRun windowRun;
  windowRun.launchPath = tiny;
  windowRun.environment = {"QUORBEL_PROGRESS=1"};
  const Result window = compare(
      budget, runs,
      [&] {
        quorbel::StopSwitch stopSwitch;
        windowRun.stopSwitch = &stopSwitch;
        quorbel::runTool(windowRun);
      },
      [&] { rawBothPipes(tiny); });
  std::printf(
      "overhead, as the window runs the tool: runTool %.3f ms vs posix_spawn+waitpid with both pipes %.3f ms "
      "(medians of %d): ratio %.3f (target <= 1.15)\n",
      window.oursMs, window.baseMs, runs, window.ratio);
  ok = ok && window.ratio <= 1.15;

  const Result overhead = compare(
      budget, runs, [&] { plainRun(tiny, {}); },
      [&] {
        int status;
        waitpid(spawnAndWait(tiny, {}, -1), &status, 0);
      });
  std::printf(
      "overhead, plain: runTool %.3f ms vs posix_spawn+waitpid %.3f ms (medians of %d): ratio %.3f "
      "(target <= 1.15)\n",
      overhead.oursMs, overhead.baseMs, runs, overhead.ratio);
  ok = ok && overhead.ratio <= 1.15;

  constexpr long long size = 64LL << 20;
  const std::string bytes = std::to_string(size);
  std::size_t received = 0;
  const Result throughput = compare(
      budget, runs, [&] { received = plainRun(child, {bytes}).size(); }, [&] { rawPipeRead(child, bytes); });
  if (received != static_cast<std::size_t>(size)) {
    std::printf("throughput: wrong size %zu\n", received);
    return 1;
  }
  // Throughput is the inverse of time: ours / raw = raw time / our time.
  const double throughputRatio = 1.0 / throughput.ratio;
  std::printf(
      "throughput: runTool %.1f ms vs raw pipe %.1f ms for 64 MiB (medians of %d): ratio %.3f "
      "(target >= 0.9)\n",
      throughput.oursMs, throughput.baseMs, runs, throughputRatio);
  ok = ok && throughputRatio >= 0.9;
  return ok ? 0 : 1;
}
