#include "imagetool/bundle/band_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "imagetool/bundle/bundle.h"
#include "imagetool/bundle/range_copy.h"

namespace quorbel::imagetool {

namespace {
constexpr std::size_t maxOpenBands = 16;
}

BandStore::BandStore(int bandsDirFd, std::string bandsDir, std::uint64_t bandSize, std::uint64_t size, bool writable)
    : dir_(::fcntl(bandsDirFd, F_DUPFD_CLOEXEC, 0)),
      bandsDir_(std::move(bandsDir)),
      bandSize_(bandSize),
      size_(size),
      writable_(writable) {
  if (!dir_) throwErrno("cannot open " + bandsDir_);
  if (bandSize_ == 0) throw ToolError("band size 0");
}

BandStore::BandStore(std::string bandsDir, std::uint64_t bandSize, std::uint64_t size, bool writable)
    : BandStore(openFolderAt(openFolder(parentOf(bandsDir), bandsDir).get(), baseName(bandsDir), bandsDir).get(),
                bandsDir, bandSize, size, writable) {}

void BandStore::check(std::uint64_t offset, std::size_t length) const {
  if (offset > size_ || length > size_ - offset) throw ToolError("access beyond the end of the image");
}

BandStore::OpenBand* BandStore::band(std::uint64_t index, bool create) const {
  for (auto it = open_.begin(); it != open_.end(); ++it) {
    if (it->index == index) {
      open_.splice(open_.begin(), open_, it);
      return &open_.front();
    }
  }
  const std::string path = joinPath(bandsDir_, bandName(index));
  UniqueFd fd =
      openFileAt(dir_.get(), bandName(index), (writable_ ? O_RDWR : O_RDONLY) | (create ? O_CREAT : 0), "band " + path);
  if (!fd) return nullptr;
  created_ = created_ || create;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) throwErrno("cannot examine band " + path);
  if (static_cast<std::uint64_t>(st.st_size) > bandSize_)
    throw ToolError("band " + path + " is longer than the band size");
  if (open_.size() >= maxOpenBands) {
    // A band leaving the cache starts going to the disk; sync() waits for it later.
    OpenBand& last = open_.back();
    if (last.dirty) {
      ::sync_file_range(last.fd.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
      unsynced_.insert(last.index);
    }
    open_.pop_back();
  }
  open_.push_front(OpenBand{index, std::move(fd), static_cast<std::uint64_t>(st.st_size), false});
  return &open_.front();
}

void BandStore::read(std::uint64_t offset, void* data, std::size_t length) const {
  check(offset, length);
  auto* out = static_cast<char*>(data);
  while (length > 0) {
    const std::uint64_t index = offset / bandSize_;
    const std::uint64_t within = offset % bandSize_;
    const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(length, bandSize_ - within));
    std::size_t got = 0;
    if (OpenBand* b = band(index, false)) {
      if (within < b->length) {
        const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(piece, b->length - within));
        got = readUpTo(b->fd.get(), out, wanted, within, "band " + bandName(index));
      }
    }
    std::memset(out + got, 0, piece - got);
    out += piece;
    offset += piece;
    length -= piece;
  }
}

void BandStore::write(std::uint64_t offset, const void* data, std::size_t length) {
  if (!writable_) throw ToolError("the image is open for reading only");
  check(offset, length);
  const auto* in = static_cast<const char*>(data);
  while (length > 0) {
    const std::uint64_t index = offset / bandSize_;
    const std::uint64_t within = offset % bandSize_;
    const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(length, bandSize_ - within));
    const bool zeros = isAllZero(in, piece);
    OpenBand* b = band(index, false);
    if (b == nullptr && !zeros) b = band(index, true);
    if (b != nullptr && !(zeros && within >= b->length)) {
      // Zeros need writing only over what the band holds; past its end they read as zeros anyway.
      const std::size_t count =
          zeros ? static_cast<std::size_t>(std::min<std::uint64_t>(piece, b->length - within)) : piece;
      writeAll(b->fd.get(), in, count, within, "band " + bandName(index));
      if (writeBehind_)
        ::sync_file_range(b->fd.get(), static_cast<off_t>(within), static_cast<off_t>(count), SYNC_FILE_RANGE_WRITE);
      b->length = std::max<std::uint64_t>(b->length, within + count);
      b->dirty = true;
    }
    in += piece;
    offset += piece;
    length -= piece;
  }
}

void BandStore::sync() {
  for (auto& b : open_) {
    if (b.dirty) fsyncFd(b.fd.get(), "band " + bandName(b.index));
    b.dirty = false;
  }
  for (std::uint64_t index : unsynced_)
    if (const UniqueFd fd = openFileAt(dir_.get(), bandName(index), O_RDONLY, "band " + bandName(index)))
      fsyncFd(fd.get(), "band " + bandName(index));
  unsynced_.clear();
  // New bands' names reach the disk with their folder.
  if (created_) fsyncFd(dir_.get(), bandsDir_);
  created_ = false;
}

CopyOnWriteBands::CopyOnWriteBands(int bandsDirFd, std::uint64_t bandSize, std::uint64_t size)
    : dir_(::fcntl(bandsDirFd, F_DUPFD_CLOEXEC, 0)), bandSize_(bandSize), size_(size) {
  if (!dir_) throwErrno("cannot open the new bands folder");
}

void CopyOnWriteBands::read(std::uint64_t offset, void* data, std::size_t length) const {
  if (offset > size_ || length > size_ - offset) throw ToolError("a resize step reached past the end of the image");
  auto* out = static_cast<char*>(data);
  while (length > 0) {
    const std::uint64_t index = offset / bandSize_, within = offset % bandSize_;
    const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(length, bandSize_ - within));
    const int fd = open(index, false);
    const std::size_t got = fd < 0 ? 0 : readUpTo(fd, out, piece, within, "band " + bandName(index));
    std::memset(out + got, 0, piece - got);
    out += piece;
    offset += piece;
    length -= piece;
  }
}

void CopyOnWriteBands::write(std::uint64_t offset, const void* data, std::size_t length) {
  if (offset > size_ || length > size_ - offset) throw ToolError("a resize step reached past the end of the image");
  const auto* in = static_cast<const char*>(data);
  while (length > 0) {
    const std::uint64_t index = offset / bandSize_, within = offset % bandSize_;
    const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(length, bandSize_ - within));
    std::size_t count = piece;
    if (isAllZero(in, piece)) {
      // Zeros need writing only over what a band holds; a missing band or its tail reads as zeros.
      const std::uint64_t have = held(index);
      count = static_cast<std::size_t>(have > within ? std::min<std::uint64_t>(piece, have - within) : 0);
    }
    if (count > 0) {
      privatize(index);
      writeAll(open(index, true), in, count, within, "band " + bandName(index));
    }
    in += piece;
    offset += piece;
    length -= piece;
  }
}

std::uint64_t CopyOnWriteBands::held(std::uint64_t index) const {
  struct stat st {};
  if (::fstatat(dir_.get(), bandName(index).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return 0;
  return static_cast<std::uint64_t>(st.st_size);
}

void CopyOnWriteBands::truncateBand(std::uint64_t index, std::uint64_t length) {
  if (held(index) <= length) return;
  privatize(index);
  if (::ftruncate(open(index, true), static_cast<off_t>(length)) != 0)
    throwErrno("cannot shorten band " + bandName(index));
}

void CopyOnWriteBands::removeBand(std::uint64_t index) {
  fds_.erase(index);
  if (::unlinkat(dir_.get(), bandName(index).c_str(), 0) != 0 && errno != ENOENT)
    throwErrno("cannot remove band " + bandName(index));
}

void CopyOnWriteBands::sync() {
  for (auto& [index, band] : fds_)
    if (band.writable) fsyncFd(band.fd.get(), "band " + bandName(index));
  fsyncFd(dir_.get(), "the new bands folder");
}

int CopyOnWriteBands::open(std::uint64_t index, bool forWriting) const {
  auto it = fds_.find(index);
  if (it != fds_.end() && (it->second.writable || !forWriting)) return it->second.fd.get();
  UniqueFd fd =
      openFileAt(dir_.get(), bandName(index), forWriting ? O_RDWR | O_CREAT : O_RDONLY, "band " + bandName(index));
  if (!fd) return -1;
  Band& band = fds_[index];
  band.fd = std::move(fd);
  band.writable = forWriting;
  return band.fd.get();
}

void CopyOnWriteBands::privatize(std::uint64_t index) {
  if (!private_.insert(index).second) return;
  fds_.erase(index);
  const std::string name = bandName(index);
  const UniqueFd from = openFileAt(dir_.get(), name, O_RDONLY, "band " + name);
  if (!from) return;  // a new band: nothing shared
  struct stat st {};
  if (::fstat(from.get(), &st) != 0) throwErrno("cannot examine band " + name);
  ::unlinkat(dir_.get(), ".copy", 0);
  const UniqueFd to = openFileAt(dir_.get(), ".copy", O_WRONLY | O_CREAT | O_EXCL, "a copy of band " + name);
  // Where the file system shares blocks the copy shares them, taking no time or space.
  const auto length = static_cast<std::uint64_t>(st.st_size);
  copier_.copy(from.get(), 0, to.get(), 0, length, "band " + name, "a copy of band " + name);
  if (::ftruncate(to.get(), static_cast<off_t>(length)) != 0) throwErrno("cannot copy band " + name);
  if (::renameat(dir_.get(), ".copy", dir_.get(), name.c_str()) != 0) throwErrno("cannot copy band " + name);
}

}  // namespace quorbel::imagetool
