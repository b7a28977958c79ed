#pragma once
// The sparse bundle on disk: NAME.sparsebundle/ with Info.plist and its identical copy Info.bckup,
// `token` (empty unless encrypted), `lock`, and bands/ where band N is the file named by N in
// lower-case hexadecimal. A missing band, and the part past a short band's end, read as zeros.
// Finder's own files (.DS_Store, AppleDouble "._" files) may appear in bands/; they are not bands.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "imagetool/bundle/fs_util.h"
#include "imagetool/crypto/header.h"
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
// Files Finder leaves in folders it shows (.DS_Store, AppleDouble "._NAME"): never bands, never ours
// to count or remove.
bool isFinderFile(const std::string& name);

using crypto::parseToken;
using crypto::TokenInfo;

enum class Access {
  inspect,  // report only: no lock, and Info.bckup may disagree (the report says so)
  read,     // a source to copy from: the bundle locked shared
  write,    // to change in place: the bundle locked exclusively, version 1 only
  resize,   // as write, and Info.bckup may differ from Info.plist in the size alone (a resize cut short)
};

// An opened and checked bundle: the one place that decides what a bundle is and what is refused.
// Its folder stays open and everything below it is opened relative to it, never through a symbolic
// link. A bundle whose own entries are not what they should be (bands/ not a folder, a property list,
// token or lock file not a regular file, a band that is not a regular file) is refused as malformed.
// Readers lock the bundle shared and writers exclusively: the lock is taken on the bundle's folder
// itself, so bundles without a `lock` file are covered without making one, and on the `lock` file
// too where it exists, for other programs that go by it. A conflicting holder gives an "in use" error.
class Bundle {
 public:
  struct Band {
    std::uint64_t index;
    std::uint64_t length;     // bytes in the file
    std::uint64_t allocated;  // bytes the file occupies on disk
  };

  // Opening for writing refuses version 2 bundles, and encrypted ones unless `allowEncrypted`.
  static Bundle open(const std::string& path, Access access, bool allowEncrypted = false);
  // Where the file system has no locks (flock fails with ENOLCK or EOPNOTSUPP: some FUSE and network
  // mounts), writers refuse the bundle unless this was called with true: the user then said nothing
  // else uses it, and a warning on standard error says the work goes on without a lock.
  static void allowUnlockedWriting(bool allow);

  const std::string& path() const { return path_; }
  // The bundle's folder and its bands/ folder, open for the bundle's lifetime.
  int dirFd() const { return dir_.get(); }
  int bandsFd() const { return bandsDir_.get(); }
  // Whether the bundle has a `lock` file (what was found must be left so).
  bool hasLockFile() const { return static_cast<bool>(lock_); }
  const BundleInfo& info() const { return info_; }
  // False when Info.bckup is missing or differs from Info.plist (then only reading is allowed).
  bool backupAgrees() const { return backupAgrees_; }
  // Finder files found in bands/, which are neither counted nor touched.
  std::size_t finderFiles() const { return finderFiles_; }
  const TokenInfo& token() const { return token_; }
  // Bands present, by index.
  const std::map<std::uint64_t, Band>& bands() const { return bands_; }
  std::string bandsDir() const { return joinPath(path_, "bands"); }
  std::string bandPath(std::uint64_t index) const { return joinPath(bandsDir(), bandName(index)); }
  // Bytes the bundle's files occupy on disk.
  std::uint64_t bytesOnDisk() const { return bytesOnDisk_; }

 private:
  void lock(Access access);
  // The bundle's own file `name` (empty when absent); anything but a regular file is refused.
  UniqueFd ownFile(const char* name) const;
  void readInfo(Access access);
  void readBands();
  void refuseChangesUnless(bool allowEncrypted) const;

  std::string path_;
  UniqueFd dir_;
  UniqueFd bandsDir_;
  BundleInfo info_;
  bool backupAgrees_ = true;
  TokenInfo token_;
  std::map<std::uint64_t, Band> bands_;
  std::uint64_t bytesOnDisk_ = 0;
  std::size_t finderFiles_ = 0;
  UniqueFd lock_;  // the `lock` file, when there is one
};

// Writes a new, empty version 1 bundle's files into the (empty) folder `dir`: Info.plist, Info.bckup,
// an empty token and bands/, without flushing them. The lock file and the flush are the caller's (see
// TemporarySibling).
void writeNewBundleFiles(const std::string& dir, const BundleInfo& info);

// Replaces Info.plist and then Info.bckup, each by write, fsync and rename, keeping their permissions.
void writeInfoFiles(int dirFd, const BundleInfo& info);
void writeInfoFiles(const std::string& dir, const BundleInfo& info);

}  // namespace quorbel::imagetool
