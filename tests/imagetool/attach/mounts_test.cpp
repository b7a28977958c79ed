// The mount table decoder and the names attach derives: byte-level cases, no FUSE needed.
#include <gtest/gtest.h>

#include "imagetool/attach/mounts.h"

namespace qa = quorbel::imagetool::attach;

TEST(MountInfo, DecodesFieldsEscapesAndOptionalTags) {
  const std::string text =
      "36 35 98:0 / /mnt/a rw,noatime master:1 - ext4 /dev/sda1 rw\n"
      "40 35 0:53 / /run/q/My\\040Disk rw,nosuid shared:7 unbindable - fuse.quorbel /b/My\\040Disk,\\134x.sparsebundle "
      "rw\n"
      "41 35 0:54 / /x rw - fuse /dev/fuse rw\n"
      "garbage line\n"
      "42 35 0:55 / /y rw master:2\n";  // no separator: skipped
  const std::vector<qa::MountEntry> expected{
      {"/mnt/a", "ext4", "/dev/sda1", 0},
      {"/run/q/My Disk", "fuse.quorbel", "/b/My Disk,\\x.sparsebundle", 53},
      {"/x", "fuse", "/dev/fuse", 54},
  };
  EXPECT_EQ(qa::parseMountInfo(text), expected);
}

TEST(MountInfo, NamesAndOptionEscapes) {
  const std::pair<std::string, std::string> images[] = {
      {"/a/Archive.sparsebundle", "Archive.img"},
      {"/a/Été 2024.sparsebundle/", "Été 2024.img"},
      {"/a/plain", "plain.img"},
      {"/a/.sparsebundle", ".sparsebundle.img"},
  };
  for (const auto& [bundle, image] : images) EXPECT_EQ(qa::imageFileName(bundle), image) << bundle;
  EXPECT_EQ(qa::fuseOptionValue("/a,b\\c"), "/a\\,b\\\\c");
}
