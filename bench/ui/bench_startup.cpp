// Start-up of the application against a bare Qt window: the time from starting the program to its
// window being mapped on the X server, and the program's resident memory at that moment. The two
// programs are started alternately under one X server (Xvfb; the benchmark starts one with
// xvfb-run when there is no display), each run watched through the root window's MapNotify events.
// Figures are medians of RUNS runs of each (argument 1, default 9); target: both ratios <= 1.3.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Sample {
  double milliseconds = 0;
  double mebibytes = 0;
};

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double residentMebibytes(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
  return 0;
}

// Starts `program` and waits for the first top-level window mapped on the server.
bool measure(xcb_connection_t* connection, const std::string& program, const std::vector<char*>& environment,
             Sample& sample) {
  while (xcb_generic_event_t* stale = xcb_poll_for_event(connection)) std::free(stale);
  char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
  pid_t pid = 0;
  const auto start = Clock::now();
  if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, const_cast<char**>(environment.data())) != 0)
    return false;
  bool mapped = false;
  const int fd = xcb_get_file_descriptor(connection);
  while (!mapped && Clock::now() - start < std::chrono::seconds(20)) {
    pollfd watch{fd, POLLIN, 0};
    if (poll(&watch, 1, 100) <= 0) continue;
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection)) {
      if ((event->response_type & 0x7F) == XCB_MAP_NOTIFY) mapped = true;
      std::free(event);
    }
  }
  sample.milliseconds = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  sample.mebibytes = residentMebibytes(pid);
  kill(pid, SIGKILL);
  int status;
  waitpid(pid, &status, 0);
  return mapped;
}

}  // namespace

int main(int argc, char** argv) {
  if (!std::getenv("DISPLAY")) {
    // No X server: run again under a fresh Xvfb.
    std::vector<char*> again{const_cast<char*>("xvfb-run"), const_cast<char*>("-a"), const_cast<char*>("-s"),
                             const_cast<char*>("-screen 0 1280x1024x24")};
    for (int i = 0; i < argc; ++i) again.push_back(argv[i]);
    again.push_back(nullptr);
    execvp("xvfb-run", again.data());
    std::perror("xvfb-run");
    return 2;
  }
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
  const auto folder = std::filesystem::canonical("/proc/self/exe").parent_path();
  const std::string application = (folder / "quorbel").string(), bare = (folder / "startup_reference_window").string();

  for (const auto& program : {application, bare})
    if (access(program.c_str(), X_OK) != 0) {
      std::fprintf(stderr, "%s: not built (build the targets quorbel and startup_reference_window)\n", program.c_str());
      return 2;
    }

  // Both programs see the same environment: the X platform, and settings in a scratch folder.
  char scratch[] = "/tmp/quorbel-startup-XXXXXX";
  if (!mkdtemp(scratch)) return 2;
  std::vector<std::string> owned{"QT_QPA_PLATFORM=xcb", std::string("XDG_CONFIG_HOME=") + scratch};
  std::vector<char*> environment;
  for (char** entry = environ; *entry; ++entry)
    if (std::string_view(*entry).rfind("QT_QPA_PLATFORM=", 0) != 0 &&
        std::string_view(*entry).rfind("XDG_CONFIG_HOME=", 0) != 0)
      environment.push_back(*entry);
  for (auto& entry : owned) environment.push_back(entry.data());
  environment.push_back(nullptr);

  xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(connection)) {
    std::fprintf(stderr, "cannot reach the X server\n");
    return 2;
  }
  xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
  const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
  xcb_change_window_attributes(connection, screen->root, XCB_CW_EVENT_MASK, &mask);
  xcb_flush(connection);

  std::vector<double> appTime, appMemory, bareTime, bareMemory;
  Sample sample;
  for (int i = 0; i < runs * 2 + 2; ++i) {
    // The first pair warms the file cache and is not counted; then the order alternates.
    const bool applicationTurn = (i % 2 == 0) == ((i / 2) % 2 == 0);
    if (!measure(connection, applicationTurn ? application : bare, environment, sample)) {
      std::fprintf(stderr, "%s: no window was mapped\n", (applicationTurn ? application : bare).c_str());
      return 1;
    }
    if (i < 2) continue;
    (applicationTurn ? appTime : bareTime).push_back(sample.milliseconds);
    (applicationTurn ? appMemory : bareMemory).push_back(sample.mebibytes);
  }
  xcb_disconnect(connection);
  std::filesystem::remove_all(scratch);

  const double timeRatio = median(appTime) / median(bareTime), memoryRatio = median(appMemory) / median(bareMemory);
  std::printf(
      "start-up to mapped window: application %.1f ms vs bare Qt window %.1f ms (medians of %d; best %.1f vs "
      "%.1f): ratio %.3f (target <= 1.3)\n",
      median(appTime), median(bareTime), runs, *std::min_element(appTime.begin(), appTime.end()),
      *std::min_element(bareTime.begin(), bareTime.end()), timeRatio);
  std::printf("resident memory then: application %.1f MiB vs bare Qt window %.1f MiB: ratio %.3f (target <= 1.3)\n",
              median(appMemory), median(bareMemory), memoryRatio);
  return timeRatio <= 1.3 && memoryRatio <= 1.3 ? 0 : 1;
}
