// Replays the encrypted readers' fuzz corpus (scripts/fuzz grows it) as a normal test.

#include <gtest/gtest.h>

#include <filesystem>

#include "encrypted_invariants.h"
#include "support.h"

namespace quorbel::imagetool::test {
namespace {

TEST(EncryptedFuzzCorpus, EveryInputKeepsTheInvariants) {
  int inputs = 0;
  for (const auto& entry : std::filesystem::directory_iterator(QUORBEL_ENCRYPTED_CORPUS)) {
    EXPECT_EQ(fuzz::brokenEncryptedInvariant(readFile(entry.path())), "") << entry.path();
    ++inputs;
  }
  EXPECT_GE(inputs, 4);
}

}  // namespace
}  // namespace quorbel::imagetool::test
