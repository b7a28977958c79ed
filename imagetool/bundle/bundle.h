#pragma once
// The sparse bundle on disk: NAME.sparsebundle/ with Info.plist and its identical copy Info.bckup,
// `token` (empty unless encrypted), `lock`, and bands/ where band N is the file named by N in
// lower-case hexadecimal. A missing band, and the part past a short band's end, read as zeros.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "imagetool/bundle/fs_util.h"
#include "imagetool/image_io.h"

namespace quorbel::imagetool {

inline constexpr const char* bundleTypeName = "com.apple.diskimage.sparsebundle";
inline constexpr std::uint64_t defaultBandSectors = 16384;
inline constexpr std::uint64_t sectorBytes = 512;
// What a bundle may declare as its band size when we read it: 4 KiB to 8 GiB, whole sectors.
inline constexpr std::uint64_t minReadableBandBytes = 4096;
inline constexpr std::uint64_t maxReadableBandBytes = 16777216ULL * 512;

struct BundleInfo {
  std::uint64_t bandSize = 0;  // bytes
  std::uint64_t size = 0;      // bytes
  std::uint64_t backingStoreVersion = 1;
  std::string uuid;  // version 2 only

  std::uint64_t bandCount() const { return size == 0 ? 0 : (size - 1) / bandSize + 1; }
  bool operator==(const BundleInfo&) const = default;
};

// Parses Info.plist text (XML or binary). Throws ToolError naming what is wrong.
BundleInfo parseInfo(const std::string& plistBytes, const std::string& source);
// The XML property list macOS writes for `info` (version 1 keys).
std::string infoToXml(const BundleInfo& info);

// The band file name for band `index`: lower-case hexadecimal without leading zeros.
std::string bandName(std::uint64_t index);
// The band index named by `name`, or nothing when `name` is not such a name.
std::optional<std::uint64_t> bandIndex(const std::string& name);

// What the token holds.
struct TokenInfo {
  bool encrypted = false;
  std::string uuid;  // of the encrypted-image header, upper-case with dashes
  std::uint32_t blockSize = 0;
  std::uint32_t keyBits = 0;
};
// Decodes the token's content. Throws when it is neither empty nor an encrypted-image header.
TokenInfo parseToken(const std::string& token);

enum class Access {
  inspect,  // report only: no lock, and Info.bckup may disagree (the report says so)
  read,     // a source to copy from: lock taken shared where the lock file exists
  write,    // to change in place: lock taken exclusively, version 1 only
};

// An opened and checked bundle. Opening for writing takes the bundle's lock exclusively (a second
// writer gets an "in use" error) and refuses bundles we cannot change safely.
class Bundle {
 public:
  struct Band {
    std::uint64_t index;
    std::uint64_t length;     // bytes in the file
    std::uint64_t allocated;  // bytes the file occupies on disk
  };

  // Opening for writing refuses version 2 bundles, and encrypted ones unless `allowEncrypted`.
  static Bundle open(const std::string& path, Access access, bool allowEncrypted = false);

  const std::string& path() const { return path_; }
  const BundleInfo& info() const { return info_; }
  // False when Info.bckup is missing or differs from Info.plist (then only reading is allowed).
  bool backupAgrees() const { return backupAgrees_; }
  const TokenInfo& token() const { return token_; }
  // Bands present, by index.
  const std::map<std::uint64_t, Band>& bands() const { return bands_; }
  std::string bandsDir() const { return joinPath(path_, "bands"); }
  std::string bandPath(std::uint64_t index) const { return joinPath(bandsDir(), bandName(index)); }
  // Bytes the bundle's files occupy on disk.
  std::uint64_t bytesOnDisk() const { return bytesOnDisk_; }

 private:
  void refuseChangesUnless(bool allowEncrypted) const;

  std::string path_;
  BundleInfo info_;
  bool backupAgrees_ = true;
  TokenInfo token_;
  std::map<std::uint64_t, Band> bands_;
  std::uint64_t bytesOnDisk_ = 0;
  UniqueFd lock_;
};

// Writes a new, empty version 1 bundle's files into the (empty) folder `dir`: Info.plist, Info.bckup,
// an empty token and bands/, without flushing them. The lock file and the flush are the caller's (see
// TemporarySibling).
void writeNewBundleFiles(const std::string& dir, const BundleInfo& info);

// Replaces Info.plist and then Info.bckup, each by write, fsync and rename.
void writeInfoFiles(const std::string& dir, const BundleInfo& info);

}  // namespace quorbel::imagetool
