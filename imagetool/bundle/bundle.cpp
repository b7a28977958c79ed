#include "imagetool/bundle/bundle.h"

#include <dirent.h>
#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>

#include "imagetool/image_io.h"

namespace quorbel::imagetool {

namespace {

// Whether `name` is a replacement file that replaceFileAtomically names ".NAME.new-PID-N", for one of
// the files a bundle's writers replace.
bool isReplacementLeftover(const std::string& name) {
  for (const std::string target : {"token", "Info.plist", "Info.bckup"}) {
    const std::string prefix = "." + target + ".new-";
    if (name.rfind(prefix, 0) != 0) continue;
    const std::string rest = name.substr(prefix.size());
    const std::size_t dash = rest.find('-');
    if (dash == std::string::npos || dash == 0 || dash + 1 == rest.size()) return false;
    for (std::size_t i = 0; i < rest.size(); ++i)
      if (i != dash && (rest[i] < '0' || rest[i] > '9')) return false;
    return true;
  }
  return false;
}

// Removes the replacement files a killed writer left in the bundle's folder: regular files only,
// never what a link names. Called with the folder locked exclusively, so no writer is using one.
void removeReplacementLeftovers(int dirFd) {
  const int listFd = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listFd < 0) return;
  DIR* dir = ::fdopendir(listFd);
  if (dir == nullptr) {
    ::close(listFd);
    return;
  }
  std::vector<std::string> leftovers;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    struct stat st {};
    if (isReplacementLeftover(name) && ::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(st.st_mode))
      leftovers.push_back(name);
  }
  ::closedir(dir);
  for (const std::string& name : leftovers) ::unlinkat(dirFd, name.c_str(), 0);
}

struct PlistDeleter {
  void operator()(plist_t p) const { plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

std::int64_t integerKey(plist_t dict, const char* key, const std::string& source) {
  plist_t item = plist_dict_get_item(dict, key);
  if (item == nullptr) throw ToolError(source + " has no \"" + key + "\"");
  if (plist_get_node_type(item) != PLIST_UINT) throw ToolError(source + ": \"" + key + "\" is not an integer");
  std::uint64_t value = 0;
  plist_get_uint_val(item, &value);
  // libplist keeps integers as 64-bit patterns; a negative number comes back with the top bit set.
  return static_cast<std::int64_t>(value);
}

std::string stringKey(plist_t dict, const char* key) {
  plist_t item = plist_dict_get_item(dict, key);
  if (item == nullptr || plist_get_node_type(item) != PLIST_STRING) return {};
  std::uint64_t length = 0;
  const char* text = plist_get_string_ptr(item, &length);
  return text == nullptr ? std::string() : std::string(text, length);
}

}  // namespace

BundleInfo parseInfo(const std::string& plistBytes, const std::string& source) {
  plist_t raw = nullptr;
  if (!plistBytes.empty() && plistBytes.size() < 0xFFFFFFFFu)
    plist_from_memory(plistBytes.data(), static_cast<std::uint32_t>(plistBytes.size()), &raw);
  PlistPtr root(raw);
  if (!root || plist_get_node_type(root.get()) != PLIST_DICT)
    throw ToolError(source + " is not a readable property list");

  const std::string type = stringKey(root.get(), "diskimage-bundle-type");
  if (type != bundleTypeName) throw ToolError(source + ": not a sparse bundle (bundle type \"" + type + "\")");

  BundleInfo info;
  const std::int64_t version = integerKey(root.get(), "bundle-backingstore-version", source);
  if (version != 1 && version != 2)
    throw ToolError(source + ": unknown backing-store version " + std::to_string(version));
  info.backingStoreVersion = static_cast<std::uint64_t>(version);

  const std::int64_t bandSize = integerKey(root.get(), "band-size", source);
  if (bandSize <= 0 || static_cast<std::uint64_t>(bandSize) < minReadableBandBytes ||
      static_cast<std::uint64_t>(bandSize) > maxReadableBandBytes || bandSize % 512 != 0)
    throw ToolError(source + ": band size " + std::to_string(bandSize) + " is not usable");
  info.bandSize = static_cast<std::uint64_t>(bandSize);

  const std::int64_t size = integerKey(root.get(), "size", source);
  if (size < 0) throw ToolError(source + ": the size is negative");
  if (size % 512 != 0)
    throw ToolError(source + ": the size " + std::to_string(size) + " is not a whole number of sectors");
  info.size = static_cast<std::uint64_t>(size);

  if (info.backingStoreVersion == 2) info.uuid = stringKey(root.get(), "uuid");
  return info;
}

std::string infoToXml(const BundleInfo& info) {
  PlistPtr dict(plist_new_dict());
  plist_dict_set_item(dict.get(), "CFBundleInfoDictionaryVersion", plist_new_string("6.0"));
  plist_dict_set_item(dict.get(), "band-size", plist_new_uint(info.bandSize));
  plist_dict_set_item(dict.get(), "bundle-backingstore-version", plist_new_uint(info.backingStoreVersion));
  plist_dict_set_item(dict.get(), "diskimage-bundle-type", plist_new_string(bundleTypeName));
  plist_dict_set_item(dict.get(), "size", plist_new_uint(info.size));
  char* xml = nullptr;
  std::uint32_t length = 0;
  plist_to_xml(dict.get(), &xml, &length);
  if (xml == nullptr) throw ToolError("cannot write the image's property list");
  std::string text(xml, length);
  plist_to_xml_free(xml);
  return text;
}

std::string bandName(std::uint64_t index) {
  char name[24];
  std::snprintf(name, sizeof name, "%llx", static_cast<unsigned long long>(index));
  return name;
}

std::optional<std::uint64_t> bandIndex(const std::string& name) {
  if (name.empty() || name.size() > 16) return std::nullopt;
  if (name.size() > 1 && name[0] == '0') return std::nullopt;
  std::uint64_t value = 0;
  for (char c : name) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else {
      return std::nullopt;
    }
    value = value * 16 + static_cast<std::uint64_t>(digit);
  }
  return value;
}

void Bundle::refuseChangesUnless(bool allowEncrypted) const {
  if (info_.backingStoreVersion != 1)
    throw ToolError(path_ + " uses backing-store version " + std::to_string(info_.backingStoreVersion) +
                    ", whose band maps this tool cannot keep up to date; it is left unchanged");
  if (token_.encrypted && !allowEncrypted)
    throw ToolError(path_ + " is encrypted; this verb does not change encrypted images");
}

bool isFinderFile(const std::string& name) { return name == ".DS_Store" || name.rfind("._", 0) == 0; }

Bundle Bundle::open(const std::string& path, Access access, bool allowEncrypted) {
  Bundle bundle;
  bundle.path_ = path;
  bundle.dir_ = openFolder(path, path + " (not a sparse bundle)");
  // The lock comes first so that nothing changes under the checks that follow.
  bundle.lock(access);
  bundle.readInfo(access);
  bundle.readBands();
  if (access == Access::write || access == Access::resize) bundle.refuseChangesUnless(allowEncrypted);
  return bundle;
}

namespace {
bool unlockedWritingAllowed = false;
}

void Bundle::allowUnlockedWriting(bool allow) { unlockedWritingAllowed = allow; }

void Bundle::lock(Access access) {
  if (access == Access::inspect) return;
  const LockMode mode = access == Access::read ? LockMode::shared : LockMode::exclusive;
  bool locked = lockDescriptor(dir_.get(), mode, path_);
  lock_ = ownFile("lock");
  if (lock_) locked = lockDescriptor(lock_.get(), mode, joinPath(path_, "lock")) && locked;
  // A reader without a lock is safe: every writer refuses where it cannot lock.
  if (locked || mode == LockMode::shared) {
    if (locked && mode == LockMode::exclusive) removeReplacementLeftovers(dir_.get());
    return;
  }
  if (!unlockedWritingAllowed)
    throw ToolError("cannot lock the bundle on this file system (" + path_ +
                    "), so another program could change it at the same time; it is left as it is. Pass "
                    "-nolock to go on without a lock when nothing else uses it");
  std::cerr << "quorbel-imagetool: warning: the file system holding " << path_
            << " has no locks; going on without one (-nolock)\n";
}

UniqueFd Bundle::ownFile(const char* name) const {
  try {
    return openFileAt(dir_.get(), name, O_RDONLY, joinPath(path_, name));
  } catch (const ToolError& e) {
    throw ToolError(path_ + " is not a usable sparse bundle: " + e.what());
  }
}

void Bundle::readInfo(Access access) {
  const std::string plistPath = joinPath(path_, "Info.plist");
  const UniqueFd plist = ownFile("Info.plist");
  if (!plist) throw ToolError(path_ + " is not a usable sparse bundle: it has no Info.plist");
  info_ = parseInfo(readSmallFd(plist.get(), 1 << 20, plistPath), plistPath);

  const std::string backupPath = joinPath(path_, "Info.bckup");
  std::optional<BundleInfo> backup;
  if (const UniqueFd fd = ownFile("Info.bckup")) {
    try {
      backup = parseInfo(readSmallFd(fd.get(), 1 << 20, backupPath), backupPath);
    } catch (const ToolError&) {
    }
  }
  backupAgrees_ = backup && *backup == info_;
  // A resize cut short between the two files leaves them differing in the size alone; resize completes it.
  const bool sizeAlone =
      backup && backup->bandSize == info_.bandSize && backup->backingStoreVersion == info_.backingStoreVersion;
  if (!backupAgrees_ && access != Access::inspect && !(access == Access::resize && sizeAlone))
    throw ToolError(path_ +
                    ": Info.plist and Info.bckup disagree (or Info.bckup is missing); the image "
                    "is left as it is");

  if (const UniqueFd token = ownFile("token"))
    token_ = parseToken(readSmallFd(token.get(), 64u << 20, joinPath(path_, "token")));
  for (const char* name : {"Info.plist", "Info.bckup", "token", "lock"}) {
    struct stat st {};
    if (::fstatat(dir_.get(), name, &st, AT_SYMLINK_NOFOLLOW) == 0)
      bytesOnDisk_ += static_cast<std::uint64_t>(st.st_blocks) * 512;
  }
}

void Bundle::readBands() {
  try {
    bandsDir_ = openFolderAt(dir_.get(), "bands", joinPath(path_, "bands"));
  } catch (const ToolError& e) {
    throw ToolError(path_ + " is not a usable sparse bundle: " + e.what());
  }
  const std::string bands = bandsDir();
  for (const std::string& name : listFolder(bandsDir_.get(), bands)) {
    if (isFinderFile(name)) {
      ++finderFiles_;
      continue;
    }
    const auto index = bandIndex(name);
    if (!index) throw ToolError(path_ + ": \"bands/" + name + "\" is not a band name (lower-case hexadecimal)");
    struct stat st {};
    if (::fstatat(bandsDir_.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
      throwErrno("cannot examine " + joinPath(bands, name));
    if (S_ISLNK(st.st_mode)) throw ToolError(path_ + ": band \"" + name + "\" is a symbolic link");
    if (!S_ISREG(st.st_mode)) throw ToolError(path_ + ": band \"" + name + "\" is not a regular file");
    const auto length = static_cast<std::uint64_t>(st.st_size);
    if (length > info_.bandSize) throw ToolError(path_ + ": band \"" + name + "\" is longer than the band size");
    const auto allocated = static_cast<std::uint64_t>(st.st_blocks) * 512;
    bands_[*index] = Band{*index, length, allocated};
    bytesOnDisk_ += allocated;
  }
}

void writeNewBundleFiles(const std::string& dir, const BundleInfo& info) {
  // The folder is not yet visible under its final name, so plain writes do; it is flushed as a whole
  // before it is renamed into place.
  const std::string xml = infoToXml(info);
  for (const auto& [name, content] :
       {std::pair<const char*, std::string>{"Info.plist", xml}, {"Info.bckup", xml}, {"token", ""}}) {
    const std::string path = joinPath(dir, name);
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!fd) throwErrno("cannot create " + path);
    writeAll(fd.get(), content.data(), content.size(), 0, path);
  }
  const std::string bands = joinPath(dir, "bands");
  if (::mkdir(bands.c_str(), 0755) != 0) throwErrno("cannot create " + bands);
}

void writeInfoFiles(int dirFd, const BundleInfo& info) {
  const std::string xml = infoToXml(info);
  replaceFileAtomically(dirFd, "Info.plist", xml, "Info.plist");
  replaceFileAtomically(dirFd, "Info.bckup", xml, "Info.bckup");
}

void writeInfoFiles(const std::string& dir, const BundleInfo& info) {
  writeInfoFiles(openFolder(dir, dir).get(), info);
}

}  // namespace quorbel::imagetool
