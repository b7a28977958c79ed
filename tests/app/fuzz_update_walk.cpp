// libFuzzer target: arbitrary bytes as a downloaded update list. Aborts when the walk's result breaks
// one of its invariants; crashes and leaks are found by the sanitizers.

#include "tests/app/walk_invariants.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string broken = quorbel::update::brokenWalkInvariant(
      QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));
  if (!broken.empty()) {
    std::fprintf(stderr, "walk invariant broken: %s\n", broken.c_str());
    std::abort();
  }
  return 0;
}
