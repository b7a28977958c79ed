// The fuzz targets' corpora replayed: every input keeps the invariants.

#include <gtest/gtest.h>

#include <filesystem>

#include "read_invariants.h"
#include "resize_invariants.h"
#include "support.h"

namespace quorbel::imagetool {
namespace {

TEST(FuzzCorpus, EveryInputKeepsTheInvariantsOfItsTarget) {
  const struct {
    const char* corpus;
    std::string (*broken)(const std::string&);
    std::size_t atLeast;
  } targets[] = {{QUORBEL_READ_CORPUS, fuzz::brokenReadInvariant, 4},
                 {QUORBEL_RESIZE_CORPUS, fuzz::brokenResizeInvariant, 3}};
  for (const auto& target : targets) {
    std::size_t inputs = 0;
    for (const auto& entry : std::filesystem::directory_iterator(target.corpus)) {
      ++inputs;
      EXPECT_EQ(target.broken(test::readFile(entry.path())), "") << entry.path();
    }
    EXPECT_GE(inputs, target.atLeast) << target.corpus;
  }
}

}  // namespace
}  // namespace quorbel::imagetool
