#include "imagetool/bundle/fs_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>

#include "imagetool/image_io.h"
#include "imagetool/progress.h"

namespace quorbel::imagetool {

namespace {

volatile sig_atomic_t interrupted = 0;

extern "C" void onInterrupt(int) { interrupted = 1; }

void observe(const char* call, const std::string& what) {
  if (const auto& hook = fileSystemCalls().observe) hook(call, what);
}

// openat2 where the kernel has it; -1 with errno ENOSYS where it does not.
int openBeneath(int dirFd, const std::string& name, int flags, mode_t mode) {
  static bool unavailable = false;
  if (!unavailable) {
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags);
    how.mode = (flags & O_CREAT) != 0 ? mode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    for (;;) {
      const long fd = ::syscall(SYS_openat2, dirFd, name.c_str(), &how, sizeof how);
      if (fd >= 0) return static_cast<int>(fd);
      if (errno == EINTR) continue;
      if (errno != ENOSYS && errno != EPERM) return -1;  // EPERM: a seccomp filter refusing the call
      unavailable = true;
      break;
    }
  }
  if (name.find('/') != std::string::npos || name == "..") {
    errno = EXDEV;
    return -1;
  }
  for (;;) {
    const int fd = ::openat(dirFd, name.c_str(), flags | O_NOFOLLOW, mode);
    if (fd >= 0 || errno != EINTR) return fd;
  }
}

[[noreturn]] void refuseOpen(int error, const std::string& what) {
  if (error == ELOOP || error == EXDEV) throw ToolError(what + " is a symbolic link");
  errno = error;
  throwErrno("cannot open " + what);
}

}  // namespace

void installInterruptHandlers() {
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a wait in read, poll or waitpid returns EINTR, and the loop around it looks.
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

bool interruptRequested() { return interrupted != 0; }

void checkInterrupted() {
  if (interrupted) throw ToolError("interrupted; the image was left as it was or completed");
}

FileSystemCalls& fileSystemCalls() {
  static FileSystemCalls calls;
  return calls;
}

UniqueFd openFileAt(int dirFd, const std::string& name, int flags, const std::string& what, mode_t mode) {
  // A file made by this very open (O_CREAT | O_EXCL) is a new regular file: there is nothing to check,
  // which saves three calls per file where thousands of bands are made.
  const bool made = (flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL);
  UniqueFd fd(openBeneath(dirFd, name, flags | O_CLOEXEC | O_NOCTTY | (made ? 0 : O_NONBLOCK), mode));
  if (!fd) {
    if (errno == ENOENT && (flags & O_CREAT) == 0) return {};
    refuseOpen(errno, what);
  }
  if (made) return fd;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) throwErrno("cannot examine " + what);
  if (!S_ISREG(st.st_mode)) throw ToolError(what + " is not a regular file");
  // Regular files never block; the flag only guarded the open.
  ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
  return fd;
}

UniqueFd openFolderAt(int dirFd, const std::string& name, const std::string& what) {
  UniqueFd fd(openBeneath(dirFd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK, 0));
  if (!fd) {
    if (errno == ENOTDIR) throw ToolError(what + " is not a folder");
    refuseOpen(errno, what);
  }
  return fd;
}

UniqueFd openFolder(const std::string& path, const std::string& what) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) {
    if (errno == ENOTDIR) throw ToolError(what + " is not a folder");
    throwErrno("cannot open " + what);
  }
  return fd;
}

std::vector<std::string> listFolder(int dirFd, const std::string& what) {
  // fdopendir takes over the descriptor it is given, so it gets its own.
  const int copy = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (copy < 0) throwErrno("cannot list " + what);
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(copy), ::closedir);
  if (!dir) {
    ::close(copy);
    throwErrno("cannot list " + what);
  }
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const dirent* e = ::readdir(dir.get());
    if (e == nullptr) {
      if (errno != 0) throwErrno("cannot list " + what);
      break;
    }
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  return names;
}

std::string readSmallFileAt(int dirFd, const std::string& name, std::size_t limit, const std::string& what) {
  const UniqueFd fd = openFileAt(dirFd, name, O_RDONLY, what);
  if (!fd) {
    errno = ENOENT;
    throwErrno("cannot open " + what);
  }
  return readSmallFd(fd.get(), limit, what);
}

std::string readSmallFd(int fd, std::size_t limit, const std::string& what) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) throwErrno("cannot examine " + what);
  if (static_cast<std::uint64_t>(st.st_size) > limit) throw ToolError(what + " is unreasonably large");
  std::string content(static_cast<std::size_t>(st.st_size), '\0');
  content.resize(readUpTo(fd, content.data(), content.size(), 0, what));
  return content;
}

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

void throwErrno(const std::string& what) { throw ToolError(what + ": " + std::strerror(errno)); }

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
  const UniqueFd dir = openFolder(parentOf(path), "the folder of " + path);
  return readSmallFileAt(dir.get(), baseName(path), limit, path);
}

void fsyncFd(int fd, const std::string& what) {
  observe("fsync", what);
  // Some file systems (and folders on some) cannot sync; that is not a reason to fail the work.
  if (::fsync(fd) != 0 && errno != EINVAL && errno != EROFS) throwErrno("cannot flush " + what);
}

void fsyncPath(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!fd) throwErrno("cannot open " + path);
  fsyncFd(fd.get(), path);
}

void replaceFileAtomically(int dirFd, const std::string& name, const std::string& content, const std::string& what) {
  // The new file keeps the old one's permissions, whatever the umask.
  mode_t mode = 0644;
  struct stat old {};
  if (::fstatat(dirFd, name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(old.st_mode))
    mode = old.st_mode & 07777;
  UniqueFd fd;
  std::string temp;
  for (unsigned attempt = 0; !fd; ++attempt) {
    temp = "." + name + ".new-" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
    fd = UniqueFd(::openat(dirFd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd && (errno != EEXIST || attempt > 100)) throwErrno("cannot create a file beside " + what);
  }
  try {
    if (::fchmod(fd.get(), mode) != 0) throwErrno("cannot set the permissions of " + what);
    writeAll(fd.get(), content.data(), content.size(), 0, what);
    fsyncFd(fd.get(), what);
    fd.reset();
    observe("rename", what);
    if (::renameat(dirFd, temp.c_str(), dirFd, name.c_str()) != 0) throwErrno("cannot replace " + what);
  } catch (...) {
    ::unlinkat(dirFd, temp.c_str(), 0);
    throw;
  }
  fsyncFd(dirFd, "the folder of " + what);
}

void replaceFileAtomically(const std::string& path, const std::string& content) {
  const UniqueFd dir = openFolder(parentOf(path), "the folder of " + path);
  replaceFileAtomically(dir.get(), baseName(path), content, path);
}

void renameNoReplace(const std::string& from, const std::string& to) {
  observe("rename", to);
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

bool exchangePaths(const std::string& a, const std::string& b) {
  observe("exchange", b);
  if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0) return true;
  if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) return false;
  throwErrno("cannot put " + b + " in place");
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

// Whether syncfs on the file system holding `fd` waits until every file's data and metadata are on
// stable storage, as fsync of each would: local journalling and copy-on-write file systems, and NFS
// (whose inode write-back commits on the server). Elsewhere (SMB, FUSE and the rest) files are still
// flushed one by one, since their syncfs may stop short of the server's disk.
static bool syncfsIsDurable(int fd) {
  struct statfs fs {};
  if (::fstatfs(fd, &fs) != 0) return false;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case 0xEF53:      // ext2, ext3, ext4
    case 0x58465342:  // XFS
    case 0x9123683E:  // Btrfs
    case 0xF2F52010:  // F2FS
    case 0x6969:      // NFS
      return true;
    default:
      return false;
  }
}

void TemporarySibling::flushFileSystem() {
  const UniqueFd dir = openFolder(path_, "the new folder " + path_);
  observe("syncfs", path_);
  if (::syncfs(dir.get()) != 0) throwErrno("cannot flush the file system holding " + path_);
  flushed_ = syncfsIsDurable(dir.get());
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

bool lockDescriptor(int fd, LockMode mode, const std::string& what) {
  const int op = (mode == LockMode::exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
  while (::flock(fd, op) != 0) {
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) throw ToolError("the image is in use by another program (" + what + " is locked)");
    if (errno == ENOLCK || errno == EOPNOTSUPP || errno == EBADF) return false;
    throwErrno("cannot lock " + what);
  }
  return true;
}

UniqueFd lockFileAt(int dirFd, const std::string& name, LockMode mode, bool create, const std::string& what) {
  UniqueFd fd = openFileAt(dirFd, name, create ? O_RDWR | O_CREAT : O_RDONLY, what);
  if (fd) lockDescriptor(fd.get(), mode, what);
  return fd;
}

UniqueFd lockFile(const std::string& lockPath, LockMode mode, bool create) {
  const UniqueFd dir = openFolder(parentOf(lockPath), "the folder of " + lockPath);
  return lockFileAt(dir.get(), baseName(lockPath), mode, create, lockPath);
}

std::vector<ByteRange> dataRegions(int fd, std::uint64_t fileSize, std::uint64_t from) {
  std::vector<ByteRange> regions;
  std::uint64_t pos = from;
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

namespace quorbel::imagetool {

std::uint64_t copySparse(int fd, ByteRange range, std::vector<char>& buffer, const std::string& what,
                         const std::function<void(std::uint64_t offset, const char* data, std::size_t length)>& put) {
  for (const ByteRange& region : dataRegions(fd, range.end(), range.offset)) {
    for (std::uint64_t pos = region.offset; pos < region.end();) {
      checkInterrupted();
      const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), region.end() - pos));
      const std::size_t got = readUpTo(fd, buffer.data(), want, pos, what);
      if (got > 0) put(pos, buffer.data(), got);
      if (got < want) return pos + got;  // the file became shorter: the rest reads as zeros
      pos += got;
    }
  }
  return range.end();
}

void copySparse(int fd, std::uint64_t length, std::vector<char>& buffer, const std::string& what,
                const std::function<void(std::uint64_t offset, const char* data, std::size_t length)>& put) {
  copySparse(fd, ByteRange{0, length}, buffer, what, put);
}

void forEachNonZeroRun(std::uint64_t base, const char* data, std::size_t length,
                       const std::function<void(std::size_t pos, std::size_t count)>& put) {
  constexpr std::uint64_t block = 4096;
  std::size_t pos = 0;
  while (pos < length) {
    const auto blockEnd = [&](std::size_t at) {
      return static_cast<std::size_t>(std::min<std::uint64_t>(length, at + block - (base + at) % block));
    };
    if (isAllZero(data + pos, blockEnd(pos) - pos)) {
      pos = blockEnd(pos);
      continue;
    }
    std::size_t runEnd = blockEnd(pos);
    while (runEnd < length && !isAllZero(data + runEnd, blockEnd(runEnd) - runEnd)) runEnd = blockEnd(runEnd);
    put(pos, runEnd - pos);
    pos = runEnd;
  }
}

void copyNonZero(int fd, std::uint64_t length, ImageIO& image, std::uint64_t offset, const std::string& what) {
  std::vector<char> buffer(4u << 20);
  copySparse(fd, length, buffer, what, [&](std::uint64_t at, const char* data, std::size_t n) {
    forEachNonZeroRun(offset + at, data, n,
                      [&](std::size_t pos, std::size_t count) { image.write(offset + at + pos, data + pos, count); });
    progress::at(at + n, length);
  });
}

ProgramResult runProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const std::vector<std::string>& environment, std::size_t keepBytes) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) throwErrno("cannot run " + program);
  UniqueFd readEnd(pipeFds[0]), writeEnd(pipeFds[1]);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), 1);
  posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), 2);
  // The program gets default signal handling whatever this process set up.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t all;
  sigfillset(&all);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);

  std::vector<std::string> argv{program};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<std::string> env = environment;
  auto pointers = [](std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
  };
  std::vector<char*> argvPointers = pointers(argv), envPointers = pointers(env);
  pid_t pid = 0;
  const int error =
      ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argvPointers.data(), envPointers.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) {
    errno = error;
    throwErrno("cannot run " + program);
  }
  writeEnd.reset();

  // The interruption signals stay blocked except inside ppoll, so that one arriving at any moment
  // ends the wait at once; the program is then stopped and waited for.
  sigset_t interrupts, previous;
  sigemptyset(&interrupts);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&interrupts, signal);
  ::sigprocmask(SIG_BLOCK, &interrupts, &previous);
  ProgramResult result;
  char buffer[4096];
  bool stopped = false;
  for (;;) {
    if (interruptRequested() && !stopped) {
      ::kill(pid, SIGTERM);
      stopped = true;
    }
    pollfd ready{readEnd.get(), POLLIN, 0};
    if (::ppoll(&ready, 1, nullptr, &previous) < 0) continue;  // EINTR: look at the flag again
    const ssize_t got = ::read(readEnd.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    result.output.append(buffer, static_cast<std::size_t>(got));
    if (result.output.size() > 2 * keepBytes) result.output.erase(0, result.output.size() - keepBytes);
  }
  ::sigprocmask(SIG_SETMASK, &previous, nullptr);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throwErrno("lost track of " + program);
  }
  checkInterrupted();
  result.exited = WIFEXITED(status);
  result.status = result.exited ? WEXITSTATUS(status) : WTERMSIG(status);
  return result;
}

std::vector<ByteRange> mergedRanges(std::vector<ByteRange> ranges) {
  std::sort(ranges.begin(), ranges.end(), [](const ByteRange& a, const ByteRange& b) { return a.offset < b.offset; });
  std::vector<ByteRange> merged;
  for (const ByteRange& r : ranges) {
    if (r.length == 0) continue;
    if (!merged.empty() && r.offset <= merged.back().end()) {
      merged.back().length = std::max(merged.back().end(), r.end()) - merged.back().offset;
    } else {
      merged.push_back(r);
    }
  }
  return merged;
}

}  // namespace quorbel::imagetool
