// An attached image against a plain file on the same disk: sequential 1 GiB write then read (O_DIRECT,
// 1 MiB requests; targets 0.7 for a plain bundle, and 0.5 of `openssl speed -evp aes-128-cbc` on one
// core for an encrypted one), random 4 KiB reads and writes at queue depth 8 with fio (target 0.3), and
// attach and detach of a 2 TiB bundle (each under 1 s, the daemon under 64 MiB). Needs root and
// /dev/fuse; says SKIPPED otherwise. Wall-clock times: on a loaded machine the ratios come out low.

#include <fcntl.h>
#include <unistd.h>

#include <dirent.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench_support.h"

using namespace quorbel::imagetool::bench;

namespace {

constexpr std::uint64_t seqBytes = 1ull << 30, request = 1u << 20;
const std::string tool = QUORBEL_IMAGETOOL;

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

std::string shell(const std::string& command) {
  std::string text;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
    ::pclose(pipe);
  }
  return text;
}

// Bytes per second of a 1 GiB sequential write (flushed) and then read, O_DIRECT.
std::pair<double, double> sequential(const std::string& path) {
  void* raw = nullptr;
  if (::posix_memalign(&raw, 4096, request) != 0) std::abort();
  std::unique_ptr<char, decltype(&std::free)> buffer(static_cast<char*>(raw), &std::free);
  for (std::size_t i = 0; i < request; ++i) buffer.get()[i] = static_cast<char>(i * 131 + 7);
  const int fd = ::open(path.c_str(), O_RDWR | O_DIRECT | O_CREAT, 0600);
  double start = now();
  for (std::uint64_t at = 0; at < seqBytes; at += request)
    if (::pwrite(fd, buffer.get(), request, static_cast<off_t>(at)) != static_cast<ssize_t>(request)) std::abort();
  ::fdatasync(fd);
  const double write = seqBytes / (now() - start);
  start = now();
  for (std::uint64_t at = 0; at < seqBytes; at += request)
    if (::pread(fd, buffer.get(), request, static_cast<off_t>(at)) != static_cast<ssize_t>(request)) std::abort();
  const double read = seqBytes / (now() - start);
  ::close(fd);
  return {read, write};
}

// Read plus write IOPS of 10 s of random 4 KiB requests at queue depth 8 over the first 256 MiB.
double randomIops(const std::string& path) {
  const std::string terse = shell("fio --name=r --filename='" + path +
                                  "' --rw=randrw --bs=4k --iodepth=8 --ioengine=libaio --direct=1 --size=256m "
                                  "--runtime=10 --time_based --minimal 2>/dev/null");
  std::vector<std::string> fields;
  std::stringstream in(terse);
  for (std::string f; std::getline(in, f, ';');) fields.push_back(f);
  return fields.size() > 49 ? std::atof(fields[7].c_str()) + std::atof(fields[48].c_str()) : 0;
}

// Attaches (password `pw` on standard input when not empty); returns the image path.
std::string attach(const std::string& bundle, const std::string& mountPoint, const std::string& pw = "") {
  const std::string out = shell((pw.empty() ? "" : "printf " + pw + " | ") + tool + " attach -stdinpass -mountpoint '" +
                                mountPoint + "' '" + bundle + "'");
  const auto at = out.find("image: ");
  return at == std::string::npos ? "" : out.substr(at + 7, out.find('\n', at) - at - 7);
}

double opensslSpeed() {
  const std::string text = shell("openssl speed -seconds 2 -evp aes-128-cbc 2>/dev/null");
  const auto at = text.rfind("AES-128-CBC");
  if (at == std::string::npos) return -1;
  std::istringstream line(text.substr(at + 11));
  std::string column, last;
  while (line >> column && column.back() == 'k') last = column;
  return last.empty() ? -1 : std::stod(last) * 1000;
}

// The peak memory of the process holding `bundle` open (the daemon), in bytes.
std::uint64_t daemonPeakBytes(const std::string& bundle) {
  DIR* proc = ::opendir("/proc");
  std::uint64_t peak = 0;
  while (const dirent* e = proc ? ::readdir(proc) : nullptr) {
    const std::string pid = e->d_name;
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    if (shell("readlink /proc/" + pid + "/fd/* 2>/dev/null").find(bundle + "\n") == std::string::npos) continue;
    std::ifstream status("/proc/" + pid + "/status");
    for (std::string line; std::getline(status, line);)
      if (line.rfind("VmHWM:", 0) == 0) peak = std::strtoull(line.c_str() + 6, nullptr, 10) * 1024;
  }
  if (proc) ::closedir(proc);
  return peak;
}

bool throughput(const Scratch& dir) {
  const auto [plainRead, plainWrite] = sequential(dir / "plain.img");
  const std::string bundle = dir / "plain.sparsebundle", mp = dir / "mp";
  run({tool, "create", "-size", "2g", "-type", "SPARSEBUNDLE", "-fs", "exFAT", "-volname", "B", bundle});
  const std::string image = attach(bundle, mp);
  const auto [read, write] = sequential(image);
  std::printf("plain file: write %.0f MB/s, read %.0f MB/s; attached: write %.0f MB/s, read %.0f MB/s\n",
              plainWrite / 1e6, plainRead / 1e6, write / 1e6, read / 1e6);
  bool ok = report("attached plain bundle, sequential write / plain file", write / plainWrite, ">=", 0.7);
  ok &= report("attached plain bundle, sequential read / plain file", read / plainRead, ">=", 0.7);
  const double fileIops = randomIops(dir / "plain.img"), attachedIops = randomIops(image);
  std::printf("random 4 KiB qd8: plain file %.0f IOPS, attached %.0f IOPS\n", fileIops, attachedIops);
  ok &= report("attached plain bundle, random 4 KiB qd8 / plain file", attachedIops / fileIops, ">=", 0.3);
  run({tool, "detach", mp});

  const std::string encrypted = dir / "aes.sparsebundle";
  shell("printf pw | " + tool +
        " create -size 2g -type SPARSEBUNDLE -encryption AES-128 -stdinpass -fs exFAT -volname B '" + encrypted + "'");
  const auto [encRead, encWrite] = sequential(attach(encrypted, mp, "pw"));
  run({tool, "detach", mp});
  const double openssl = opensslSpeed();
  std::printf("openssl aes-128-cbc %.0f MB/s; attached AES-128: write %.0f MB/s, read %.0f MB/s\n", openssl / 1e6,
              encWrite / 1e6, encRead / 1e6);
  ok &= report("attached AES-128 bundle, sequential write / openssl", encWrite / openssl, ">=", 0.5);
  ok &= report("attached AES-128 bundle, sequential read / openssl", encRead / openssl, ">=", 0.5);
  return ok;
}

bool largeBundle(const Scratch& dir) {
  const std::string bundle = dir / "large.sparsebundle", mp = dir / "mp";
  run({tool, "create", "-size", "2t", "-type", "SPARSEBUNDLE", "-fs", "exFAT", "-volname", "L", bundle});
  const Measured attached = run({tool, "attach", "-mountpoint", mp, bundle});
  const std::uint64_t daemon = daemonPeakBytes(bundle);
  const Measured detached = run({tool, "detach", mp});
  std::printf("2 TiB bundle: attach %.3f s (%d), detach %.3f s (%d), daemon peak %.1f MiB\n", attached.seconds,
              attached.status, detached.seconds, detached.status, static_cast<double>(daemon) / (1 << 20));
  bool ok = report("attach of a 2 TiB bundle, seconds", attached.seconds, "<=", 1.0);
  ok &= report("detach of a 2 TiB bundle, seconds", detached.seconds, "<=", 1.0);
  ok &= report("daemon of a 2 TiB bundle, peak MiB", static_cast<double>(daemon) / (1 << 20), "<=", 64);
  return ok && attached.status == 0 && detached.status == 0 && daemon > 0;
}

}  // namespace

int main() {
  if (::getuid() != 0 || ::access("/dev/fuse", R_OK | W_OK) != 0) {
    std::printf("attach: SKIPPED (needs root and /dev/fuse)\n");
    return 0;
  }
  Scratch dir;
  const bool large = largeBundle(dir);
  const bool fast = throughput(dir);
  return large && fast ? 0 : 1;
}
