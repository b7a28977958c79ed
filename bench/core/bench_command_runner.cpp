// Measures the command runner against the bare system calls it wraps, side by side:
//  1. overhead: running a tiny program, vs posix_spawn + waitpid of the same program;
//  2. throughput: 256 MiB of child output, vs the same output read raw from a pipe into a buffer.
// Runs are interleaved so that both sides see the same machine load; each ratio is of medians.
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

int spawnAndWait(const std::string& path, std::vector<std::string> args, int stdoutFd) {
  std::vector<char*> argv{const_cast<char*>(path.c_str())};
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (stdoutFd >= 0) posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
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

struct Result {
  double ratio;
  double oursMs, baseMs;
};

Result compare(int runs, const std::function<void()>& ours, const std::function<void()>& base) {
  std::vector<double> a, b;
  for (int i = 0; i < runs; ++i) {
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

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 200;
  const std::string child = (std::filesystem::path(argv[0]).parent_path() / "output_child").string();
  const std::string tiny = "/bin/true";
  bool ok = true;

  const Result overhead = compare(
      runs, [&] { quorbel::CommandRunner(tiny, {}, std::nullopt); },
      [&] {
        int status;
        waitpid(spawnAndWait(tiny, {}, -1), &status, 0);
      });
  std::printf("overhead: CommandRunner %.3f ms vs posix_spawn+waitpid %.3f ms (medians of %d): ratio %.3f (target <= 1.15)\n",
              overhead.oursMs, overhead.baseMs, runs, overhead.ratio);
  ok = ok && overhead.ratio <= 1.15;

  const std::string bytes = std::to_string(256LL << 20);
  std::size_t received = 0;
  const Result throughput = compare(
      runs, [&] { received = quorbel::CommandRunner(child, {bytes}, std::nullopt).size(); },
      [&] { rawPipeRead(child, bytes); });
  if (received != (256u << 20)) {
    std::printf("throughput: wrong size %zu\n", received);
    return 1;
  }
  // Throughput is the inverse of time: ours / raw = raw time / our time.
  const double throughputRatio = 1.0 / throughput.ratio;
  std::printf("throughput: CommandRunner %.1f ms vs raw pipe %.1f ms for 256 MiB (medians of %d): ratio %.3f (target >= 0.9)\n",
              throughput.oursMs, throughput.baseMs, runs, throughputRatio);
  ok = ok && throughputRatio >= 0.9;
  return ok ? 0 : 1;
}
