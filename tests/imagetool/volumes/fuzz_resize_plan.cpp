// libFuzzer target: arbitrary bytes as an APFS container or HFS Plus volume to resize (see
// resize_invariants.h). Aborts when an invariant breaks; crashes, hangs and leaks are found by
// libFuzzer and the sanitizers.

#include <cstdio>
#include <cstdlib>

#include "resize_invariants.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string broken =
      quorbel::imagetool::fuzz::brokenResizeInvariant(std::string(reinterpret_cast<const char*>(data), size));
  if (!broken.empty()) {
    std::fprintf(stderr, "resize invariant broken: %s\n", broken.c_str());
    std::abort();
  }
  return 0;
}
