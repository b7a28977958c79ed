#include "imagetool/attach/mounts.h"

#include <dirent.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "imagetool/bundle/fs_util.h"

namespace quorbel::imagetool::attach {

namespace {

std::string unescape(std::string_view field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    const auto octal = [&](std::size_t k) { return field[k] >= '0' && field[k] <= '7'; };
    if (field[i] == '\\' && i + 3 < field.size() && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
      out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

std::optional<MountEntry> parseLine(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> fields;
  for (std::string f; in >> f;) fields.push_back(f);
  std::size_t dash = 6;
  while (dash < fields.size() && fields[dash] != "-") ++dash;
  if (fields.size() < 7 || dash + 2 >= fields.size()) return std::nullopt;
  const std::size_t colon = fields[2].find(':');
  if (colon == std::string::npos) return std::nullopt;
  MountEntry entry{unescape(fields[4]), unescape(fields[dash + 1]), unescape(fields[dash + 2]), 0};
  entry.devMinor = static_cast<unsigned>(std::strtoul(fields[2].c_str() + colon + 1, nullptr, 10));
  return entry;
}

std::string realPathOf(const std::string& path) {
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
}

// Files of /proc and /sys, whose sizes say nothing; empty when unreadable.
std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

}  // namespace

std::vector<MountEntry> parseMountInfo(std::string_view text) {
  std::vector<MountEntry> entries;
  std::istringstream in{std::string(text)};
  for (std::string line; std::getline(in, line);)
    if (auto entry = parseLine(line)) entries.push_back(*entry);
  return entries;
}

std::vector<MountEntry> attachedBundles() {
  std::vector<MountEntry> ours;
  for (MountEntry& e : parseMountInfo(readText("/proc/self/mountinfo")))
    if (e.fsType == std::string("fuse.") + mountSubtype) ours.push_back(std::move(e));
  return ours;
}

std::optional<MountEntry> attachmentOfBundle(const std::string& bundleRealPath) {
  for (const MountEntry& e : attachedBundles())
    if (e.source == bundleRealPath) return e;
  return std::nullopt;
}

std::optional<MountEntry> findAttachment(const std::string& path) {
  const std::string absolute = absolutePath(path);
  const std::string real = realPathOf(path);
  for (const MountEntry& e : attachedBundles()) {
    if (e.mountPoint == absolute || parentOf(absolute) == e.mountPoint) return e;
    if (!real.empty() && (e.source == real || e.mountPoint == real)) return e;
  }
  return std::nullopt;
}

bool isDeadMount(const std::string& path) {
  // statfs always reaches the daemon, where stat may be answered from cached attributes.
  struct statfs st {};
  return ::statfs(path.c_str(), &st) != 0 && errno == ENOTCONN;
}

void cleanDeadMount(const std::string& mountPoint, bool remove) {
  if (::umount2(mountPoint.c_str(), MNT_DETACH) != 0 && errno != EINVAL)
    throwErrno("cannot unmount the abandoned mount " + mountPoint);
  if (remove) ::rmdir(mountPoint.c_str());
}

std::vector<std::string> loopDevicesOf(const std::string& file) {
  std::vector<std::string> devices;
  DIR* dir = ::opendir("/sys/block");
  if (dir == nullptr) return devices;
  std::vector<std::string> names;
  while (const dirent* e = ::readdir(dir))
    if (std::string_view(e->d_name).starts_with("loop")) names.emplace_back(e->d_name);
  ::closedir(dir);
  for (const std::string& name : names) {
    if (trimmed(readText("/sys/block/" + name + "/loop/backing_file")) == file) devices.push_back("/dev/" + name);
  }
  return devices;
}

std::string fuseOptionValue(std::string_view value) {
  std::string out;
  for (char c : value) {
    if (c == ',' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

std::string runtimeFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  const char* tmp = std::getenv("TMPDIR");
  const std::string folder =
      runtime != nullptr && *runtime != '\0'
          ? joinPath(runtime, "quorbel")
          : joinPath(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp", "quorbel-" + std::to_string(::getuid()));
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) throwErrno("cannot make " + folder);
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0) throwErrno("cannot examine " + folder);
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid() || (st.st_mode & 077) != 0)
    throw ToolError(folder + " is not a private folder of this user; no mount point was made there");
  return folder;
}

std::string imageFileName(const std::string& bundlePath) {
  std::string name = baseName(bundlePath);
  const std::string suffix = ".sparsebundle";
  if (name.size() > suffix.size() && name.ends_with(suffix)) name.resize(name.size() - suffix.size());
  return (name.empty() ? std::string("image") : name) + ".img";
}

std::string absolutePath(const std::string& path) {
  std::string trimmedPath = path;
  while (trimmedPath.size() > 1 && trimmedPath.back() == '/') trimmedPath.pop_back();
  const std::string parent = realPathOf(parentOf(trimmedPath));
  const std::string name = baseName(trimmedPath);
  if (parent.empty() || name == "." || name == "..") return realPathOf(trimmedPath);
  return joinPath(parent, name);
}

}  // namespace quorbel::imagetool::attach
