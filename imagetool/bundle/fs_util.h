#pragma once
// File-system helpers for changes that must survive a kill at any moment: owned descriptors, files
// replaced by write + fsync + rename, folders built under a temporary name and renamed into place,
// advisory locks, and the data regions of sparse files.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quorbel::imagetool {

// A file descriptor closed when it goes out of scope.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd();

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release();
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// "what: strerror(errno)" as a ToolError; errno is read when called.
[[noreturn]] void throwErrno(const std::string& what);

std::string joinPath(const std::string& dir, const std::string& name);
std::string parentOf(const std::string& path);
std::string baseName(const std::string& path);

// Writes all bytes at `offset` (pwrite, retried on EINTR and short writes).
void writeAll(int fd, const void* data, std::size_t length, std::uint64_t offset, const std::string& what);
// Reads up to `length` bytes at `offset`; returns how many were read (less only at end of file).
std::size_t readUpTo(int fd, void* data, std::size_t length, std::uint64_t offset, const std::string& what);
// The whole content of a small regular file (not following a symbolic link).
std::string readSmallFile(const std::string& path, std::size_t limit);

void fsyncPath(const std::string& path);
void fsyncFd(int fd, const std::string& what);

// Replaces `path` with `content` atomically: a temporary sibling is written and fsynced, renamed over
// `path`, and the folder is fsynced. A kill leaves either the old or the new content.
void replaceFileAtomically(const std::string& path, const std::string& content);

// Renames `from` to `to`, failing instead of replacing anything that exists at `to`.
void renameNoReplace(const std::string& from, const std::string& to);

// Removes a tree without following symbolic links; errors are ignored (best effort cleanup).
void removeTree(const std::string& path);

// A folder made beside its final path under a hidden temporary name. Unless committed, it is removed
// when this object goes away. While it exists its `lock` file is held, so that a later run can tell an
// abandoned one (left by a killed process) from one still being built.
class TemporarySibling {
 public:
  explicit TemporarySibling(const std::string& finalPath);
  TemporarySibling(const TemporarySibling&) = delete;
  TemporarySibling& operator=(const TemporarySibling&) = delete;
  ~TemporarySibling();

  const std::string& path() const { return path_; }
  // Flushes the whole file system holding the folder (syncfs): one journal commit for everything
  // written so far, where flushing file by file costs a commit or a disk cache flush each. commit()
  // then flushes nothing inside the folder again; whatever is written after this must not be.
  void flushFileSystem();
  // Syncs the folder tree (unless flushFileSystem() did), renames it to the final path (never over an
  // existing one), syncs the parent.
  void commit();

 private:
  std::string finalPath_;
  std::string path_;
  UniqueFd lock_;
  bool committed_ = false;
  bool flushed_ = false;
};

// Removes temporary siblings of `finalPath` left behind by killed processes (their lock is free).
void removeAbandonedSiblings(const std::string& finalPath);

enum class LockMode { shared, exclusive };
// Takes the advisory lock on `lockPath` without waiting. Throws a ToolError saying the image is in use
// when another process holds a conflicting lock. `create` makes the lock file when it is missing; a
// reader on a read-only bundle without one gets an empty descriptor and no lock.
UniqueFd lockFile(const std::string& lockPath, LockMode mode, bool create);

// A byte range [offset, offset + length).
struct ByteRange {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  std::uint64_t end() const { return offset + length; }
  bool operator==(const ByteRange&) const = default;
};

// The ranges of a file that may hold data (SEEK_DATA / SEEK_HOLE); the rest reads as zeros. On file
// systems without hole reporting the whole file is one range.
std::vector<ByteRange> dataRegions(int fd, std::uint64_t fileSize);

bool isAllZero(const void* data, std::size_t length);

}  // namespace quorbel::imagetool
