// A small child program whose behaviour the command runner's tests choose by its arguments.
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t put = write(fd, data, size);
    if (put <= 0) std::exit(90);
    data += put;
    size -= static_cast<std::size_t>(put);
  }
}
void out(const std::string& text) { writeAll(1, text.data(), text.size()); }

std::string readStdin() {
  std::string all;
  char buffer[65536];
  ssize_t got;
  while ((got = read(0, buffer, sizeof buffer)) > 0) all.append(buffer, static_cast<std::size_t>(got));
  return all;
}

int hexValue(char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; }

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const std::string mode = args.empty() ? "" : args[0];

  if (mode == "print") {  // print TEXT [EXIT]: TEXT on stdout, "noise" on stderr
    out(args.at(1));
    writeAll(2, "noise\n", 6);
    return args.size() > 2 ? std::atoi(args[2].c_str()) : 0;
  }
  if (mode == "hex") {  // hex BYTES: raw bytes on stdout
    std::string bytes;
    for (std::size_t i = 0; i + 1 < args.at(1).size(); i += 2)
      bytes.push_back(static_cast<char>(hexValue(args[1][i]) * 16 + hexValue(args[1][i + 1])));
    out(bytes);
    return 0;
  }
  if (mode == "args") {  // each argument after the mode, one per line in brackets
    for (std::size_t i = 1; i < args.size(); ++i) out("[" + args[i] + "]\n");
    return 0;
  }
  if (mode == "repeat") {  // repeat TEXT N: TEXT N times
    const int times = std::atoi(args.at(2).c_str());
    std::string all;
    for (int i = 0; i < times; ++i) all += args[1];
    out(all);
    return 0;
  }
  if (mode == "stdin") {  // copies standard input to standard output
    out(readStdin());
    return 0;
  }
  if (mode == "stdin-identity") {  // device and inode of standard input
    struct stat st {};
    if (fstat(0, &st) != 0) return 3;
    out(std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + "\n");
    return 0;
  }
  if (mode == "bytes") {  // bytes N: N bytes of 'x'; also reads its input to the end first
    if (args.size() > 2) readStdin();
    long long left = std::atoll(args.at(1).c_str());
    const std::string block(1 << 16, 'x');
    while (left > 0) {
      const auto n = static_cast<std::size_t>(std::min<long long>(left, static_cast<long long>(block.size())));
      writeAll(1, block.data(), n);
      left -= static_cast<long long>(n);
    }
    return 0;
  }
  if (mode == "fds") {  // the open descriptors, one per line
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return 4;
    const int own = dirfd(dir);
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      if (std::atoi(entry->d_name) == own) continue;
      out(std::string(entry->d_name) + "\n");
    }
    closedir(dir);
    return 0;
  }
  if (mode == "signals") {  // the blocked and ignored signal masks as the kernel reports them
    FILE* status = fopen("/proc/self/status", "r");
    if (!status) return 5;
    char line[256];
    while (fgets(line, sizeof line, status))
      if (!strncmp(line, "SigBlk:", 7) || !strncmp(line, "SigIgn:", 7)) out(line);
    fclose(status);
    return 0;
  }
  if (mode == "kill") {  // kill SIGNAL: dies by that signal
    out("partial output\n");
    signal(std::atoi(args.at(1).c_str()), SIG_DFL);
    raise(std::atoi(args.at(1).c_str()));
    return 0;
  }
  if (mode == "no-read") return 0;  // exits without reading its input
  // Modes a test stops say that they are under way with a progress line on standard error.
  if (mode == "sleep") {  // sleep MS then print "done"
    writeAll(2, "PERCENT:1\n", 10);
    usleep(static_cast<useconds_t>(std::atoi(args.at(1).c_str())) * 1000);
    out("done\n");
    return 0;
  }
  if (mode == "stderr-hex") {  // stderr-hex BYTES [EXIT]: raw bytes on standard error, "out" on stdout
    std::string bytes;
    for (std::size_t i = 0; i + 1 < args.at(1).size(); i += 2)
      bytes.push_back(static_cast<char>(hexValue(args[1][i]) * 16 + hexValue(args[1][i + 1])));
    writeAll(2, bytes.data(), bytes.size());
    out("out\n");
    return args.size() > 2 ? std::atoi(args[2].c_str()) : 0;
  }
  if (mode == "stderr-bytes") {  // stderr-bytes N EXIT: N bytes of lines "line K" on stderr, then "last words"
    long long left = std::atoll(args.at(1).c_str());
    for (long long k = 0; left > 0; ++k) {
      const std::string line = "line " + std::to_string(k) + "\n";
      writeAll(2, line.data(), line.size());
      left -= static_cast<long long>(line.size());
    }
    writeAll(2, "last words\n", 11);
    out("out\n");
    return std::atoi(args.at(2).c_str());
  }
  if (mode == "endless-stderr") {  // writes to standard error until a signal ends it
    writeAll(2, "PERCENT:1\n", 10);
    const std::string block(4096, 'e');
    for (;;) writeAll(2, block.data(), block.size());
  }
  if (mode == "interleaved") {  // progress lines, text and report mixed, in small writes
    for (int i = 0; i <= 100; i += 25) {
      const std::string progress = "PERCENT:" + std::to_string(i) + ".5\n";
      for (char c : progress) writeAll(2, &c, 1);  // one byte at a time: lines cross reads
      out("report " + std::to_string(i) + "\n");
      writeAll(2, "note\n", 5);
    }
    writeAll(2, "PERCENT:101\nPERCENT:-1\nPERCENT:5x\n", 34);
    return args.size() > 1 ? std::atoi(args[1].c_str()) : 0;
  }
  if (mode == "close-stderr") {  // closes standard error early, then works on and reports
    writeAll(2, "before closing\n", 15);
    close(2);
    usleep(200 * 1000);
    out("after\n");
    return 3;
  }
  if (mode == "env") {  // env NAME...: each variable's value, or "-" when unset
    for (std::size_t i = 1; i < args.size(); ++i) {
      const char* value = getenv(args[i].c_str());
      out(std::string(value ? value : "-") + "\n");
    }
    return 0;
  }
  if (mode == "ignore-int") {  // ignores SIGINT for MS milliseconds, then restores it and sleeps on
    signal(SIGINT, SIG_IGN);
    writeAll(2, "PERCENT:1\n", 10);
    usleep(static_cast<useconds_t>(std::atoi(args.at(1).c_str())) * 1000);
    out("survived\n");
    return 0;
  }
  if (mode == "background") {  // leaves a grandchild holding standard output open
    if (fork() == 0) {
      close(0);
      close(2);
      sleep(20);
      _exit(0);
    }
    out("parent done\n");
    return 0;
  }
  return 64;
}
