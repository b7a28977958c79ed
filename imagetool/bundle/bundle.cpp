#include "imagetool/bundle/bundle.h"

#include <dirent.h>
#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "imagetool/image_io.h"

namespace quorbel::imagetool {

namespace {

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

std::uint32_t bigEndian32(const std::string& bytes, std::size_t at) {
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(bytes[at + i]);
  return v;
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
  if (type != bundleTypeName)
    throw ToolError(source + ": not a sparse bundle (bundle type \"" + type + "\")");

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

TokenInfo parseToken(const std::string& token) {
  TokenInfo info;
  if (token.empty()) return info;
  static constexpr char signature[] = "encrcdsa";
  if (token.size() < 8 || token.compare(0, 8, signature) != 0)
    throw ToolError("the token holds something other than an encrypted-image header");
  // Version 2 header: signature, version, IV size, three words, key bits, two words, uuid (16 bytes),
  // block size; all big-endian.
  if (token.size() < 56) throw ToolError("the encrypted-image header in the token is truncated");
  if (bigEndian32(token, 8) != 2)
    throw ToolError("the encrypted-image header has unknown version " + std::to_string(bigEndian32(token, 8)));
  info.encrypted = true;
  info.keyBits = bigEndian32(token, 24);
  static constexpr char hex[] = "0123456789ABCDEF";
  for (std::size_t i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) info.uuid += '-';
    const auto byte = static_cast<unsigned char>(token[36 + i]);
    info.uuid += hex[byte >> 4];
    info.uuid += hex[byte & 15];
  }
  info.blockSize = bigEndian32(token, 52);
  return info;
}

void Bundle::refuseChangesUnless(bool allowEncrypted) const {
  if (info_.backingStoreVersion != 1)
    throw ToolError(path_ + " uses backing-store version " + std::to_string(info_.backingStoreVersion) +
                    ", whose band maps this tool cannot keep up to date; it is left unchanged");
  if (token_.encrypted && !allowEncrypted)
    throw ToolError(path_ + " is encrypted; this tool cannot change encrypted images yet");
}

Bundle Bundle::open(const std::string& path, Access access, bool allowEncrypted) {
  Bundle bundle;
  bundle.path_ = path;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) throwErrno("cannot open " + path);
  if (!S_ISDIR(st.st_mode)) throw ToolError(path + " is not a sparse bundle (not a folder)");

  // The lock comes first so that nothing changes under the checks that follow. A writer makes a
  // missing lock file only once the bundle has passed the checks, so a refused bundle stays untouched.
  const std::string lockPath = joinPath(path, "lock");
  if (access == Access::write) {
    bundle.lock_ = lockFile(lockPath, LockMode::exclusive, false);
    if (!bundle.lock_) {
      open(path, Access::read).refuseChangesUnless(allowEncrypted);
      bundle.lock_ = lockFile(lockPath, LockMode::exclusive, true);
    }
  } else if (access == Access::read) {
    bundle.lock_ = lockFile(lockPath, LockMode::shared, false);
  }

  const std::string plistPath = joinPath(path, "Info.plist");
  std::string plist;
  try {
    plist = readSmallFile(plistPath, 1 << 20);
  } catch (const ToolError& e) {
    throw ToolError(path + " is not a usable sparse bundle: " + e.what());
  }
  bundle.info_ = parseInfo(plist, plistPath);

  const std::string backupPath = joinPath(path, "Info.bckup");
  try {
    bundle.backupAgrees_ = parseInfo(readSmallFile(backupPath, 1 << 20), backupPath) == bundle.info_;
  } catch (const ToolError&) {
    bundle.backupAgrees_ = false;
  }
  if (!bundle.backupAgrees_ && access != Access::inspect)
    throw ToolError(path + ": Info.plist and Info.bckup disagree (or Info.bckup is missing); the image "
                           "is left as it is");
  const std::string tokenPath = joinPath(path, "token");
  struct stat tst {};
  if (::lstat(tokenPath.c_str(), &tst) == 0) {
    bundle.token_ = parseToken(readSmallFile(tokenPath, 64u << 20));
    bundle.bytesOnDisk_ += static_cast<std::uint64_t>(tst.st_blocks) * 512;
  }
  for (const char* name : {"Info.plist", "Info.bckup", "lock"}) {
    struct stat fst {};
    if (::lstat(joinPath(path, name).c_str(), &fst) == 0)
      bundle.bytesOnDisk_ += static_cast<std::uint64_t>(fst.st_blocks) * 512;
  }

  const std::string bands = bundle.bandsDir();
  DIR* dir = ::opendir(bands.c_str());
  if (dir == nullptr) throwErrno(path + " is not a usable sparse bundle: cannot list its bands");
  std::unique_ptr<DIR, int (*)(DIR*)> closer(dir, ::closedir);
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (entry == nullptr) {
      if (errno != 0) throwErrno("cannot list " + bands);
      break;
    }
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const auto index = bandIndex(name);
    if (!index) throw ToolError(path + ": \"bands/" + name + "\" is not a band name (lower-case hexadecimal)");
    struct stat bst {};
    const std::string bandPath = joinPath(bands, name);
    if (::lstat(bandPath.c_str(), &bst) != 0) throwErrno("cannot examine " + bandPath);
    if (S_ISLNK(bst.st_mode)) throw ToolError(path + ": band \"" + name + "\" is a symbolic link");
    if (!S_ISREG(bst.st_mode)) throw ToolError(path + ": band \"" + name + "\" is not a regular file");
    const auto length = static_cast<std::uint64_t>(bst.st_size);
    if (length > bundle.info_.bandSize)
      throw ToolError(path + ": band \"" + name + "\" is longer than the band size");
    const auto allocated = static_cast<std::uint64_t>(bst.st_blocks) * 512;
    bundle.bands_[*index] = Band{*index, length, allocated};
    bundle.bytesOnDisk_ += allocated;
  }
  if (access == Access::write) bundle.refuseChangesUnless(allowEncrypted);
  return bundle;
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

void writeInfoFiles(const std::string& dir, const BundleInfo& info) {
  const std::string xml = infoToXml(info);
  replaceFileAtomically(joinPath(dir, "Info.plist"), xml);
  replaceFileAtomically(joinPath(dir, "Info.bckup"), xml);
}

}  // namespace quorbel::imagetool
