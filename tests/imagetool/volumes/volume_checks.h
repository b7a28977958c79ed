#pragma once
// Judging the images inside bundles with independent programs: sfdisk for the partition map, The
// Sleuth Kit for HFS Plus and exFAT, fsck.exfat, 7-Zip.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace quorbel::imagetool::test {

struct Shell {
  int status = -1;
  std::string output;  // standard output and standard error together
};
Shell shell(const std::string& command);
std::string quoted(const std::string& text);
bool haveProgram(const std::string& name);

// The bundle's image written out to `file`; returns its size.
std::uint64_t flattenTo(const std::string& bundle, const std::string& file);

// "NAME: value" from a report, or "" when absent.
std::string field(const std::string& report, const std::string& name);

// What The Sleuth Kit's fsstat says of the HFS Plus volume at `sectorOffset` of `image`.
struct HfsStat {
  bool ok = false;
  std::string report;
  std::uint64_t blocks = 0;  // from "Block Range: 0 - N"
  std::uint64_t blockSize = 0;
  std::uint64_t freeBlocks = 0;
};
HfsStat hfsStat(const std::string& image, std::uint64_t sectorOffset);

// Units The Sleuth Kit's blkls lists as unallocated, as byte ranges of the image.
std::vector<std::pair<std::uint64_t, std::uint64_t>> unallocated(const std::string& image, const std::string& type,
                                                                 std::uint64_t sectorOffset, std::uint64_t unitBytes);

// Every regular file of the HFS Plus volume (name -> content), read with fls and icat.
std::map<std::string, std::string> hfsFiles(const std::string& image, std::uint64_t sectorOffset);

// The one partition of a GUID map, by sfdisk: start and size in sectors; ok false when sfdisk
// complains.
struct GptCheck {
  bool ok = false;
  bool readable = false;  // the primary table reads, whatever sfdisk says of the backup's place
  std::string report;
  std::uint64_t lastLba = 0;
  std::uint64_t start = 0;
  std::uint64_t sectors = 0;
};
GptCheck gptCheck(const std::string& image);

// Writes `data` into the bundle's image at `offset` (through its bands).
void writeIntoBundle(const std::string& bundle, std::uint64_t offset, const std::string& data);

// The size a bundle's Info.plist and Info.bckup declare.
std::uint64_t declaredSize(const std::string& bundle, const std::string& file = "Info.plist");

}  // namespace quorbel::imagetool::test
