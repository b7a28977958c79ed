// Replacement files a killed writer leaves in a bundle (".token.new-PID-N" and the like) are removed by
// the next writer; anything else with a similar name, and whatever a link points to, stays.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "imagetool/bundle/bundle.h"
#include "support.h"

namespace quorbel::imagetool::test {
namespace {

TEST(ReplacementLeftovers, OnlyOursAreRemovedAndOnlyByAWriter) {
  struct Entry {
    const char* name;
    enum { file, folder, link } kind;
    bool removed;
  };
  const Entry entries[] = {
      {".token.new-4242-0", Entry::file, true},      {".Info.plist.new-17-103", Entry::file, true},
      {".Info.bckup.new-1-1", Entry::file, true},    {".token.new-12", Entry::file, false},  // no attempt number
      {".token.new--1", Entry::file, false},                                                 // no process number
      {".token.new-1-", Entry::file, false},         {".token.new-12-3x", Entry::file, false},
      {"token.new-1-1", Entry::file, false},          // no leading dot
      {".notes.new-1-1", Entry::file, false},         // not a file the tool replaces
      {".token.new-7-7", Entry::link, false},         // a link is not ours, nor what it names
      {".Info.plist.new-5-5", Entry::folder, false},  // nor a folder
  };
  for (const bool writer : {false, true}) {
    SCOPED_TRACE(writer ? "opened for writing" : "opened for reading");
    Scratch dir;
    const std::string bundle = dir / "B.sparsebundle";
    makeBundle(bundle, MiB, 4 * MiB, {{0, "data"}});
    writeFile(dir / "outside", "kept");
    for (const Entry& e : entries) {
      const std::string path = bundle + "/" + e.name;
      if (e.kind == Entry::file) writeFile(path, "partial");
      if (e.kind == Entry::folder) std::filesystem::create_directory(path);
      if (e.kind == Entry::link) std::filesystem::create_symlink(dir / "outside", path);
    }
    { const Bundle opened = Bundle::open(bundle, writer ? Access::write : Access::read); }
    for (const Entry& e : entries) {
      SCOPED_TRACE(e.name);
      EXPECT_EQ(std::filesystem::symlink_status(bundle + "/" + e.name).type() == std::filesystem::file_type::not_found,
                writer && e.removed);
    }
    EXPECT_EQ(readFile(dir / "outside"), "kept");
    EXPECT_EQ(readFile(bundle + "/bands/0"), "data");
  }
}

}  // namespace
}  // namespace quorbel::imagetool::test
