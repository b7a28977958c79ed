// The bundle-reading fuzz target's corpus replayed: every input keeps the invariants.

#include <gtest/gtest.h>

#include <filesystem>

#include "read_invariants.h"
#include "support.h"

namespace quorbel::imagetool {
namespace {

TEST(FuzzCorpus, WhatTheToolReadsFromABundleKeepsItsInvariants) {
  std::size_t inputs = 0;
  for (const auto& entry : std::filesystem::directory_iterator(QUORBEL_READ_CORPUS)) {
    ++inputs;
    EXPECT_EQ(fuzz::brokenReadInvariant(test::readFile(entry.path())), "") << entry.path();
  }
  EXPECT_GE(inputs, 4u);
}

}  // namespace
}  // namespace quorbel::imagetool
