#pragma once
// Copies byte ranges between band files the cheapest way the file systems allow, decided per range:
// blocks shared with the source (FICLONERANGE) where the destination's file system can share them and
// the range is whole blocks; an in-kernel copy (copy_file_range, done by the server on NFS 4.2 and
// SMB) where it cannot; read and write where neither works. A way that fails is dropped silently for
// that range (and for good between the two file systems when they cannot do it at all); the bytes
// that land are the same whichever way is taken. Holes of the source are never written.

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "imagetool/bundle/fs_util.h"

namespace quorbel::imagetool {

// The ways of copying, best first.
enum class CopyWay { clone, kernel, readWrite };

// The way bulk copies start from: QUORBEL_COPY_WAY=kernel or readWrite in the environment forces a
// slower one (for tests and measurements); otherwise sharing blocks.
CopyWay bestCopyWay();

// Bytes of the destination filled each way, and bytes of the source skipped as holes, as the part
// past its end, or (read and write only) as blocks of zeros.
struct CopyTally {
  std::uint64_t cloned = 0;
  std::uint64_t kernelCopied = 0;
  std::uint64_t written = 0;
  std::uint64_t skipped = 0;
  bool operator==(const CopyTally&) const = default;
};

class RangeCopier {
 public:
  // A file to copy from, examined once: its size, file system and data regions (SEEK_DATA and
  // SEEK_HOLE; all of it where holes are not reported). The descriptor stays the caller's.
  class Source {
   public:
    Source(int fd, std::string what);
    std::uint64_t size() const { return size_; }

   private:
    friend class RangeCopier;
    int fd_;
    std::string what_;
    std::uint64_t size_ = 0;
    dev_t device_ = 0;
    std::vector<ByteRange> regions_;
  };

  // `best` is the first way tried; a slower one forces that way and those after it.
  explicit RangeCopier(CopyWay best = bestCopyWay());

  // Copies [srcOffset, srcOffset + length) of `src` to `dst` at `dstOffset`. The destination range
  // must read as zeros already (a new file, a hole, or past its end): holes of the source, the part
  // past the source's end, and blocks of zeros met on the read-and-write way are not written. Shared
  // and in-kernel copies take the source's data blocks as they are, without reading them. Returns the
  // bytes placed in `dst`. Throws ToolError naming the file that failed (`dstWhat` for a full or
  // read-only destination) on a failure no other way can avoid.
  std::uint64_t copy(const Source& src, std::uint64_t srcOffset, int dst, std::uint64_t dstOffset, std::uint64_t length,
                     const std::string& dstWhat = "the copy");
  std::uint64_t copy(int src, std::uint64_t srcOffset, int dst, std::uint64_t dstOffset, std::uint64_t length,
                     const std::string& what, const std::string& dstWhat = "") {
    return copy(Source(src, what), srcOffset, dst, dstOffset, length,
                dstWhat.empty() ? "the copy of " + what : dstWhat);
  }

  // For bulk copies: what is written starts going to the disk at once, so a later flush finds little
  // left to do.
  void setWriteBehind(bool on) { writeBehind_ = on; }

  const CopyTally& tally() const { return tally_; }

 private:
  // What was learnt about copying from one file system to another.
  struct Pair {
    std::uint64_t block = 4096;  // the destination's block size: shared ranges are whole blocks
    bool noClone = false;
    bool noKernel = false;
  };
  Pair& pairOf(dev_t src, int dst);
  // Copies the data region [from, to) of the source to `at`; returns `to`, or less where the source
  // ended early.
  std::uint64_t place(int src, std::uint64_t from, std::uint64_t to, int dst, std::uint64_t at, Pair& pair,
                      const std::string& what);
  // Each copies [from, to) of the source to `at` its own way. Sharing blocks is all or nothing; the
  // others return how far they got: `to` when done, less when they gave up (the next way takes the
  // rest) or the source ended.
  bool cloneBlocks(int src, std::uint64_t from, std::uint64_t to, int dst, std::uint64_t at, Pair& pair,
                   const std::string& what);
  std::uint64_t kernelCopy(int src, std::uint64_t from, std::uint64_t to, int dst, std::uint64_t at, Pair& pair,
                           const std::string& what);
  std::uint64_t readWrite(int src, std::uint64_t from, std::uint64_t to, int dst, std::uint64_t at,
                          const std::string& what);
  void pushOut(int dst, std::uint64_t at, std::uint64_t length) const;

  CopyWay best_;
  bool writeBehind_ = false;
  CopyTally tally_;
  std::vector<char> buffer_;  // the read-and-write way's, made when first needed
  std::string dstWhat_;       // the destination of the copy under way, for errors
  std::map<std::pair<dev_t, dev_t>, Pair> pairs_;
};

}  // namespace quorbel::imagetool
