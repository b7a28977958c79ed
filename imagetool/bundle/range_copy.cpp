#include "imagetool/bundle/range_copy.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "imagetool/bundle/fs_util.h"

namespace quorbel::imagetool {

namespace {

// The read-and-write way's buffer, and the piece an in-kernel copy is given at a time (so that an
// interruption is noticed and write-behind keeps up).
constexpr std::size_t bufferBytes = 4u << 20;
constexpr std::uint64_t kernelPiece = 16u << 20;

// Errors that say "not between these two files this way", after which another way is tried. All but
// EINVAL (an unaligned range, say) say it of the two file systems, so the way is not tried between
// them again.
bool wayUnavailable(int error) {
  return error == EOPNOTSUPP || error == EXDEV || error == EINVAL || error == ENOTTY || error == ENOSYS ||
         error == EPERM;
}
bool unavailableForGood(int error) { return error != EINVAL; }

// A copy that failed, named after the file that failed: a full, over-quota or read-only destination is
// the destination's doing, anything else is told with both names.
[[noreturn]] void copyFailed(const char* how, const std::string& what, const std::string& dstWhat) {
  const int error = errno;
  if (error == ENOSPC || error == EDQUOT || error == EFBIG || error == EROFS) throwErrno("cannot write " + dstWhat);
  throwErrno(std::string(how) + what + " to " + dstWhat);
}

std::uint64_t fileSize(int fd, const std::string& what) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) throwErrno("cannot examine " + what);
  return static_cast<std::uint64_t>(st.st_size);
}

}  // namespace

CopyWay bestCopyWay() {
  const char* forced = std::getenv("QUORBEL_COPY_WAY");
  const std::string way = forced != nullptr ? forced : "";
  if (way == "kernel") return CopyWay::kernel;
  if (way == "readWrite") return CopyWay::readWrite;
  return CopyWay::clone;
}

RangeCopier::RangeCopier(CopyWay best) : best_(best) {}

RangeCopier::Source::Source(int fd, std::string what) : fd_(fd), what_(std::move(what)) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) throwErrno("cannot examine " + what_);
  size_ = static_cast<std::uint64_t>(st.st_size);
  device_ = st.st_dev;
  regions_ = dataRegions(fd, size_);
}

RangeCopier::Pair& RangeCopier::pairOf(dev_t src, int dst) {
  struct stat to {};
  if (::fstat(dst, &to) != 0) throwErrno("cannot examine the file to copy to");
  const auto key = std::make_pair(src, to.st_dev);
  auto it = pairs_.find(key);
  if (it != pairs_.end()) return it->second;
  Pair pair;
  struct statfs fs {};
  if (::fstatfs(dst, &fs) == 0 && fs.f_bsize >= 512 && fs.f_bsize <= (1 << 20) && (fs.f_bsize & (fs.f_bsize - 1)) == 0)
    pair.block = static_cast<std::uint64_t>(fs.f_bsize);
  return pairs_.emplace(key, pair).first->second;
}

std::uint64_t RangeCopier::copy(const Source& src, std::uint64_t srcOffset, int dst, std::uint64_t dstOffset,
                                std::uint64_t length, const std::string& dstWhat) {
  const CopyTally before = tally_;
  dstWhat_ = dstWhat;
  // Past the source's end everything reads as zeros, which the destination range holds already.
  const std::uint64_t end = srcOffset >= src.size_ ? srcOffset : std::min(src.size_, srcOffset + length);
  std::uint64_t pos = srcOffset;
  Pair& pair = pairOf(src.device_, dst);
  auto region = std::upper_bound(src.regions_.begin(), src.regions_.end(), srcOffset,
                                 [](std::uint64_t value, const ByteRange& r) { return value < r.end(); });
  for (; region != src.regions_.end() && region->offset < end; ++region) {
    const std::uint64_t from = std::max(region->offset, pos), to = std::min(region->end(), end);
    tally_.skipped += from - pos;
    const std::uint64_t reached = place(src.fd_, from, to, dst, dstOffset + (from - srcOffset), pair, src.what_);
    pos = reached;
    if (reached < to) break;  // the source became shorter: the rest reads as zeros
  }
  tally_.skipped += srcOffset + length - pos;
  return (tally_.cloned - before.cloned) + (tally_.kernelCopied - before.kernelCopied) +
         (tally_.written - before.written);
}

std::uint64_t RangeCopier::place(int src, std::uint64_t from, std::uint64_t to, int dst, std::uint64_t at, Pair& pair,
                                 const std::string& what) {
  // Blocks are shared only whole, and only where source and destination offsets sit alike in their
  // blocks; a part block at either end goes the other ways.
  std::uint64_t bodyStart = to, bodyEnd = to;
  if (best_ == CopyWay::clone && !pair.noClone && from % pair.block == at % pair.block) {
    bodyStart = (from + pair.block - 1) / pair.block * pair.block;
    bodyEnd = to / pair.block * pair.block;
    if (bodyStart >= bodyEnd) bodyStart = bodyEnd = to;
  }
  const auto otherWays = [&](std::uint64_t start, std::uint64_t stop) {
    std::uint64_t pos = start;
    if (best_ != CopyWay::readWrite && !pair.noKernel)
      pos = kernelCopy(src, pos, stop, dst, at + (pos - from), pair, what);
    if (pos < stop) pos = readWrite(src, pos, stop, dst, at + (pos - from), what);
    return pos;
  };
  std::uint64_t pos = from;
  if (bodyStart > pos) {
    pos = otherWays(pos, bodyStart);
    if (pos < bodyStart) return pos;
  }
  if (bodyEnd > pos) {
    checkInterrupted();
    if (cloneBlocks(src, pos, bodyEnd, dst, at + (pos - from), pair, what)) {
      pos = bodyEnd;
    } else {
      pos = otherWays(pos, bodyEnd);
      if (pos < bodyEnd) return pos;
    }
  }
  if (to > pos) pos = otherWays(pos, to);
  return pos;
}

bool RangeCopier::cloneBlocks(int src, std::uint64_t from, std::uint64_t to, int dst, std::uint64_t at, Pair& pair,
                              const std::string& what) {
  file_clone_range range{};
  range.src_fd = src;
  range.src_offset = from;
  range.src_length = to - from;  // never 0, which would mean "to the end of the source"
  range.dest_offset = at;
  while (::ioctl(dst, FICLONERANGE, &range) != 0) {
    if (errno == EINTR) continue;
    if (!wayUnavailable(errno)) copyFailed("cannot share the blocks of ", what, dstWhat_);
    if (unavailableForGood(errno)) pair.noClone = true;
    return false;
  }
  tally_.cloned += to - from;
  return true;
}

std::uint64_t RangeCopier::kernelCopy(int src, std::uint64_t from, std::uint64_t to, int dst, std::uint64_t at,
                                      Pair& pair, const std::string& what) {
  loff_t in = static_cast<loff_t>(from), out = static_cast<loff_t>(at);
  while (static_cast<std::uint64_t>(in) < to) {
    checkInterrupted();
    const auto want =
        static_cast<std::size_t>(std::min<std::uint64_t>(kernelPiece, to - static_cast<std::uint64_t>(in)));
    const ssize_t done = ::copy_file_range(src, &in, dst, &out, want, 0);
    if (done < 0) {
      if (errno == EINTR) continue;
      if (!wayUnavailable(errno)) copyFailed("cannot copy ", what, dstWhat_);
      if (unavailableForGood(errno)) pair.noKernel = true;
      break;
    }
    if (done == 0) {
      // The source ended, or a file system that copies nothing this way: read and write decides.
      if (fileSize(src, what) > static_cast<std::uint64_t>(in)) pair.noKernel = true;
      break;
    }
    tally_.kernelCopied += static_cast<std::uint64_t>(done);
    pushOut(dst, static_cast<std::uint64_t>(out - done), static_cast<std::uint64_t>(done));
  }
  return static_cast<std::uint64_t>(in);
}

std::uint64_t RangeCopier::readWrite(int src, std::uint64_t from, std::uint64_t to, int dst, std::uint64_t at,
                                     const std::string& what) {
  if (buffer_.empty()) buffer_.resize(bufferBytes);
  std::uint64_t written = 0;
  const std::uint64_t reached = copySparse(src, ByteRange{from, to - from}, buffer_, what,
                                           [&](std::uint64_t pos, const char* data, std::size_t n) {
                                             const std::uint64_t base = at + (pos - from);
                                             forEachNonZeroRun(base, data, n, [&](std::size_t i, std::size_t count) {
                                               writeAll(dst, data + i, count, base + i, dstWhat_);
                                               pushOut(dst, base + i, count);
                                               written += count;
                                             });
                                           });
  tally_.written += written;
  tally_.skipped += (reached - from) - written;
  return reached;
}

void RangeCopier::pushOut(int dst, std::uint64_t at, std::uint64_t length) const {
  if (writeBehind_) ::sync_file_range(dst, static_cast<off_t>(at), static_cast<off_t>(length), SYNC_FILE_RANGE_WRITE);
}

}  // namespace quorbel::imagetool
