#pragma once
// The tool's one file-system layer: owned descriptors, opens relative to a folder that never leave it
// nor follow a symbolic link nor block on a FIFO, files replaced by write + fsync + rename, folders
// built under a temporary name and renamed into place, advisory locks, sparse copies, running other
// programs, and the interruption flag every long wait checks.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "imagetool/image_io.h"

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

// Makes SIGINT, SIGTERM and SIGHUP end long work at the next safe point with a ToolError, so that
// temporary files are removed and nothing is left half done.
void installInterruptHandlers();
// Throws ToolError("interrupted…") once one of those signals has arrived.
void checkInterrupted();
bool interruptRequested();

// "what: strerror(errno)" as a ToolError; errno is read when called.
[[noreturn]] void throwErrno(const std::string& what);

std::string joinPath(const std::string& dir, const std::string& name);
std::string parentOf(const std::string& path);
std::string baseName(const std::string& path);

// Writes all bytes at `offset` (pwrite, retried on EINTR and short writes).
void writeAll(int fd, const void* data, std::size_t length, std::uint64_t offset, const std::string& what);
// Reads up to `length` bytes at `offset`; returns how many were read (less only at end of file).
std::size_t readUpTo(int fd, void* data, std::size_t length, std::uint64_t offset, const std::string& what);
// Opens the single-component `name` inside the folder `dirFd` (AT_FDCWD for the working folder)
// without following a symbolic link and without blocking on a FIFO or device (openat2 with
// RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS where the kernel has it, else O_NOFOLLOW). Anything but a
// regular file is refused with a ToolError naming `what`. Returns an empty descriptor when `name`
// does not exist and `flags` has no O_CREAT.
UniqueFd openFileAt(int dirFd, const std::string& name, int flags, const std::string& what, mode_t mode = 0644);
// The same for a folder; a symbolic link, or anything but a folder, is refused.
UniqueFd openFolderAt(int dirFd, const std::string& name, const std::string& what);
// A folder named by a path the user gave (a symbolic link to it is fine: the user named it).
UniqueFd openFolder(const std::string& path, const std::string& what);
// The names in a folder, without "." and "..".
std::vector<std::string> listFolder(int dirFd, const std::string& what);
// The whole content of a small regular file.
std::string readSmallFd(int fd, std::size_t limit, const std::string& what);
std::string readSmallFileAt(int dirFd, const std::string& name, std::size_t limit, const std::string& what);
std::string readSmallFile(const std::string& path, std::size_t limit);

void fsyncPath(const std::string& path);
void fsyncFd(int fd, const std::string& what);

// Every fsync, rename and unlink of the tool goes through these, so that tests can record their order.
struct FileSystemCalls {
  std::function<void(const char* call, const std::string& what)> observe;
};
FileSystemCalls& fileSystemCalls();

// Replaces `name` in the folder `dirFd` with `content` atomically, keeping the old file's permissions
// (0644 for a new one): a temporary sibling is written and fsynced, renamed over `name`, and the folder
// is fsynced. A kill leaves either the old or the new content.
void replaceFileAtomically(int dirFd, const std::string& name, const std::string& content, const std::string& what);
void replaceFileAtomically(const std::string& path, const std::string& content);

// Renames `from` to `to`, failing instead of replacing anything that exists at `to`.
void renameNoReplace(const std::string& from, const std::string& to);

// Swaps what `a` and `b` name in one step; false where the file system cannot.
bool exchangePaths(const std::string& a, const std::string& b);

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
  // written so far, where flushing file by file costs a commit or a disk cache flush each. Where that
  // flush is known to reach stable storage, commit() then flushes nothing inside the folder again
  // (whatever is written after this must not be); elsewhere it still flushes file by file.
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
// Takes the advisory lock (flock) on `fd` without waiting. Throws a ToolError saying the image is in
// use when another process holds a conflicting lock. Returns false where the file system has no locks.
bool lockDescriptor(int fd, LockMode mode, const std::string& what);
// Takes the lock on the file `name` in `dirFd`, a regular file. `create` makes it when missing;
// without `create` a missing lock file gives an empty descriptor and no lock.
UniqueFd lockFileAt(int dirFd, const std::string& name, LockMode mode, bool create, const std::string& what);
UniqueFd lockFile(const std::string& lockPath, LockMode mode, bool create);

// A byte range [offset, offset + length).
struct ByteRange {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  std::uint64_t end() const { return offset + length; }
  bool operator==(const ByteRange&) const = default;
};

// `ranges` sorted by offset, empty ones dropped, overlapping and touching ones joined.
std::vector<ByteRange> mergedRanges(std::vector<ByteRange> ranges);

// The ranges of a file from `from` to `fileSize` that may hold data (SEEK_DATA / SEEK_HOLE); the rest
// reads as zeros. On file systems without hole reporting all of it is one range.
std::vector<ByteRange> dataRegions(int fd, std::uint64_t fileSize, std::uint64_t from = 0);

bool isAllZero(const void* data, std::size_t length);

// Reads the data regions within `range` of `fd` in pieces of at most `buffer.size()` and hands each to
// `put` (offset in the file, bytes); holes are skipped. A file that turns out shorter ends the copy
// early (the rest reads as zeros). Checks for an interruption between pieces. Returns where it
// stopped: the range's end, or less where the file ended. Copies between files go through
// RangeCopier (range_copy.h), which shares blocks or copies in the kernel where it can and uses this
// where it cannot.
std::uint64_t copySparse(int fd, ByteRange range, std::vector<char>& buffer, const std::string& what,
                         const std::function<void(std::uint64_t offset, const char* data, std::size_t length)>& put);
// The same for the first `length` bytes.
void copySparse(int fd, std::uint64_t length, std::vector<char>& buffer, const std::string& what,
                const std::function<void(std::uint64_t offset, const char* data, std::size_t length)>& put);

// Hands `put` each run of 4 KiB blocks of `data` that are not all zeros (offset into `data`, bytes);
// the blocks are aligned to `base`, the position `data` goes to, so that holes line up with the
// blocks of the file written.
void forEachNonZeroRun(std::uint64_t base, const char* data, std::size_t length,
                       const std::function<void(std::size_t pos, std::size_t count)>& put);

// Copies the first `length` bytes of `fd` into `image` at `offset`, leaving out holes and 4 KiB blocks
// of zeros (aligned to the image): for new images, where whatever is not written reads as zeros.
void copyNonZero(int fd, std::uint64_t length, ImageIO& image, std::uint64_t offset, const std::string& what);

// Runs `program` (a path) with `arguments`, standard input from /dev/null and standard output and
// error collected (the last `keepBytes` of them kept). An interruption stops the program and throws.
struct ProgramResult {
  bool exited = false;  // false: ended by a signal
  int status = 0;       // exit status, or the signal
  std::string output;
};
ProgramResult runProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const std::vector<std::string>& environment, std::size_t keepBytes = 16384);

}  // namespace quorbel::imagetool
