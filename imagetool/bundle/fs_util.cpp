#include "imagetool/bundle/fs_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "imagetool/image_io.h"

namespace quorbel::imagetool {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

UniqueFd::~UniqueFd() { reset(); }

int UniqueFd::release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

void throwErrno(const std::string& what) {
  throw ToolError(what + ": " + std::strerror(errno));
}

std::string joinPath(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  if (dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

static std::string withoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string parentOf(const std::string& path) {
  const std::string p = withoutTrailingSlashes(path);
  const auto slash = p.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return p.substr(0, slash);
}

std::string baseName(const std::string& path) {
  const std::string p = withoutTrailingSlashes(path);
  const auto slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

void writeAll(int fd, const void* data, std::size_t length, std::uint64_t offset, const std::string& what) {
  const auto* in = static_cast<const char*>(data);
  while (length > 0) {
    const ssize_t put = ::pwrite(fd, in, length, static_cast<off_t>(offset));
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) throwErrno("cannot write " + what);
    if (put == 0) throw ToolError("cannot write " + what + ": no progress");
    in += put;
    offset += static_cast<std::uint64_t>(put);
    length -= static_cast<std::size_t>(put);
  }
}

std::size_t readUpTo(int fd, void* data, std::size_t length, std::uint64_t offset, const std::string& what) {
  auto* out = static_cast<char*>(data);
  std::size_t done = 0;
  while (done < length) {
    const ssize_t got = ::pread(fd, out + done, length - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throwErrno("cannot read " + what);
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

std::string readSmallFile(const std::string& path, std::size_t limit) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd) throwErrno("cannot open " + path);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) throwErrno("cannot examine " + path);
  if (!S_ISREG(st.st_mode)) throw ToolError(path + " is not a regular file");
  if (static_cast<std::uint64_t>(st.st_size) > limit) throw ToolError(path + " is unreasonably large");
  std::string content(static_cast<std::size_t>(st.st_size), '\0');
  content.resize(readUpTo(fd.get(), content.data(), content.size(), 0, path));
  return content;
}

void fsyncFd(int fd, const std::string& what) {
  // Some file systems (and folders on some) cannot sync; that is not a reason to fail the work.
  if (::fsync(fd) != 0 && errno != EINVAL && errno != EROFS) throwErrno("cannot flush " + what);
}

void fsyncPath(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd) throwErrno("cannot open " + path);
  fsyncFd(fd.get(), path);
}

void replaceFileAtomically(const std::string& path, const std::string& content) {
  const std::string dir = parentOf(path);
  std::string temp = joinPath(dir, std::string(".").append(baseName(path)).append(".new-XXXXXX"));
  UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (!fd) throwErrno("cannot create a file beside " + path);
  try {
    if (::fchmod(fd.get(), 0644) != 0) throwErrno("cannot set the permissions of " + temp);
    writeAll(fd.get(), content.data(), content.size(), 0, temp);
    fsyncFd(fd.get(), temp);
    fd.reset();
    if (::rename(temp.c_str(), path.c_str()) != 0) throwErrno("cannot replace " + path);
  } catch (...) {
    ::unlink(temp.c_str());
    throw;
  }
  fsyncPath(dir);
}

void renameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return;
  if (errno != EINVAL && errno != ENOSYS) throwErrno("cannot move the new image to " + to);
  // The file system cannot promise "no replace": check first. A plain rename would still replace an
  // empty folder, so refuse whatever is there.
  struct stat st {};
  if (::lstat(to.c_str(), &st) == 0) {
    errno = EEXIST;
    throwErrno("cannot move the new image to " + to);
  }
  if (::rename(from.c_str(), to.c_str()) != 0) throwErrno("cannot move the new image to " + to);
}

void removeTree(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

static std::string siblingPrefix(const std::string& finalPath) {
  return std::string(".").append(baseName(finalPath)).append(".partial-");
}

TemporarySibling::TemporarySibling(const std::string& finalPath) : finalPath_(finalPath) {
  std::string temp = joinPath(parentOf(finalPath), siblingPrefix(finalPath) + "XXXXXX");
  if (::mkdtemp(temp.data()) == nullptr) throwErrno("cannot create a folder beside " + finalPath);
  path_ = temp;
  try {
    // mkdtemp makes the folder private; the finished bundle gets the permissions of any new folder.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (::chmod(path_.c_str(), 0777 & ~mask) != 0) throwErrno("cannot set the permissions of " + path_);
    lock_ = lockFile(joinPath(path_, "lock"), LockMode::exclusive, true);
  } catch (...) {
    removeTree(path_);
    throw;
  }
}

TemporarySibling::~TemporarySibling() {
  if (!committed_) removeTree(path_);
}

static void syncTree(const std::string& dir) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) throwErrno("cannot list " + dir);
  std::vector<std::string> names;
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(d);
  for (const auto& name : names) {
    const std::string path = joinPath(dir, name);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) throwErrno("cannot examine " + path);
    if (S_ISDIR(st.st_mode)) {
      syncTree(path);
    } else if (S_ISREG(st.st_mode)) {
      fsyncPath(path);
    }
  }
  fsyncPath(dir);
}

void TemporarySibling::flushFileSystem() {
  UniqueFd dir(::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
  if (!dir || ::syncfs(dir.get()) != 0) throwErrno("cannot flush the file system holding " + path_);
  flushed_ = true;
}

void TemporarySibling::commit() {
  if (!flushed_) syncTree(path_);
  renameNoReplace(path_, finalPath_);
  committed_ = true;
  fsyncPath(parentOf(finalPath_));
  lock_.reset();
}

void removeAbandonedSiblings(const std::string& finalPath) {
  const std::string dir = parentOf(finalPath);
  const std::string prefix = siblingPrefix(finalPath);
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return;
  std::vector<std::string> candidates;
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0)
      candidates.push_back(joinPath(dir, name));
  }
  ::closedir(d);
  for (const auto& path : candidates) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
    const std::string lock = joinPath(path, "lock");
    UniqueFd fd(::open(lock.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW));
    if (fd) {
      if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) continue;  // still being built
      // The lock goes last, so that a run killed while cleaning up leaves it for the next one.
      std::error_code ignored;
      for (const auto& entry : std::filesystem::directory_iterator(path, ignored))
        if (entry.path().filename() != "lock") std::filesystem::remove_all(entry.path(), ignored);
    } else {
      // Killed before its lock was made, it is still empty; a non-empty one without a lock is not
      // ours to judge until it is old.
      if (::rmdir(path.c_str()) == 0 || std::time(nullptr) - st.st_mtime < 600) continue;
    }
    removeTree(path);
  }
}

UniqueFd lockFile(const std::string& lockPath, LockMode mode, bool create) {
  int flags = O_CLOEXEC | O_NOFOLLOW | (create ? O_RDWR | O_CREAT : O_RDONLY);
  UniqueFd fd(::open(lockPath.c_str(), flags, 0644));
  if (!fd) {
    if (!create && errno == ENOENT) return {};
    throwErrno("cannot open the lock file " + lockPath);
  }
  const int op = (mode == LockMode::exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
  while (::flock(fd.get(), op) != 0) {
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK)
      throw ToolError("the image is in use by another program (" + lockPath + " is locked)");
    throwErrno("cannot lock " + lockPath);
  }
  return fd;
}

std::vector<ByteRange> dataRegions(int fd, std::uint64_t fileSize) {
  std::vector<ByteRange> regions;
  std::uint64_t pos = 0;
  while (pos < fileSize) {
    const off_t data = ::lseek(fd, static_cast<off_t>(pos), SEEK_DATA);
    if (data < 0) {
      if (errno == ENXIO) break;  // only a hole remains
      if (errno == EINVAL || errno == EOPNOTSUPP) {
        regions.push_back({pos, fileSize - pos});
        break;
      }
      throwErrno("cannot find the data of a file");
    }
    off_t hole = ::lseek(fd, data, SEEK_HOLE);
    if (hole < 0) throwErrno("cannot find the holes of a file");
    const auto start = static_cast<std::uint64_t>(data);
    const auto end = std::min<std::uint64_t>(static_cast<std::uint64_t>(hole), fileSize);
    if (start >= fileSize) break;
    if (end > start) regions.push_back({start, end - start});
    pos = end;
  }
  return regions;
}

bool isAllZero(const void* data, std::size_t length) {
  const auto* p = static_cast<const unsigned char*>(data);
  // Word-at-a-time for the bulk; memcpy keeps the loads free of alignment assumptions.
  std::size_t i = 0;
  for (; i + 64 <= length; i += 64) {
    std::uint64_t w[8];
    std::memcpy(w, p + i, sizeof w);
    if ((w[0] | w[1] | w[2] | w[3] | w[4] | w[5] | w[6] | w[7]) != 0) return false;
  }
  for (; i < length; ++i)
    if (p[i] != 0) return false;
  return true;
}

}  // namespace quorbel::imagetool
