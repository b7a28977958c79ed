// libFuzzer target: arbitrary bytes as an encrypted bundle's token, wrapped keys or password program
// output (see crypto/encrypted_invariants.h). Aborts when an invariant breaks.

#include <cstdio>
#include <cstdlib>

#include "crypto/encrypted_invariants.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string broken =
      quorbel::imagetool::fuzz::brokenEncryptedInvariant(std::string(reinterpret_cast<const char*>(data), size));
  if (!broken.empty()) {
    std::fprintf(stderr, "encrypted-reader invariant broken: %s\n", broken.c_str());
    std::abort();
  }
  return 0;
}
