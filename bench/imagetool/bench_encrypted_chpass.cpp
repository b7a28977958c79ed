// chpass re-wraps the same keys: its cost does not depend on the image size. A 2 GiB encrypted bundle
// against a 20 MiB one, median of five (target: ratio at most 1.2). The work is two key derivations,
// all CPU, so the CPU time of the tool is compared: on a shared machine wall-clock time would measure
// the other work running.

#include <sys/resource.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench_support.h"

using namespace quorbel::imagetool::bench;

namespace {

double childCpuSeconds() {
  struct rusage usage {};
  ::getrusage(RUSAGE_CHILDREN, &usage);
  const auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double chpassSeconds(const Scratch& dir, const std::string& size) {
  const std::string path = dir / ("b" + size + ".sparsebundle");
  const Measured made = run({"/bin/sh", "-c",
                             "printf a | \"$0\" create -size \"$1\" -type SPARSEBUNDLE -encryption AES-128 -stdinpass "
                             "-fs HFS+J -volname Bench \"$2\"",
                             QUORBEL_IMAGETOOL, size, path});
  if (made.status != 0) return -1;
  std::vector<double> times;
  for (int round = 0; round < 5; ++round) {
    // a -> b, then b -> a: every round checks the current password and wraps for a new one.
    const std::string input = round % 2 == 0 ? "a\\0b" : "b\\0a";
    const double before = childCpuSeconds();
    const Measured m =
        run({"/bin/sh", "-c", "printf '" + input + "' | \"$0\" chpass \"$1\" -oldstdinpass -newstdinpass",
             QUORBEL_IMAGETOOL, path});
    if (m.status != 0) return -1;
    times.push_back(childCpuSeconds() - before);
  }
  return median(times);
}

}  // namespace

int main() {
  Scratch dir;
  const double small = chpassSeconds(dir, "20m"), large = chpassSeconds(dir, "2g");
  if (small < 0 || large < 0) {
    std::printf("chpass failed\n");
    return 1;
  }
  std::printf("chpass: 20 MiB bundle %.3f s, 2 GiB bundle %.3f s of CPU time\n", small, large);
  return report("chpass time, 2 GiB / 20 MiB", large / small, "<=", 1.2) ? 0 : 1;
}
