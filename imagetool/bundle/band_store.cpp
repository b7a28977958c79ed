#include "imagetool/bundle/band_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "imagetool/bundle/bundle.h"

namespace quorbel::imagetool {

namespace {
constexpr std::size_t maxOpenBands = 16;
}

BandStore::BandStore(std::string bandsDir, std::uint64_t bandSize, std::uint64_t size, bool writable)
    : bandsDir_(std::move(bandsDir)), bandSize_(bandSize), size_(size), writable_(writable) {
  if (bandSize_ == 0) throw ToolError("band size 0");
}

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
  int flags = O_CLOEXEC | O_NOFOLLOW | (writable_ ? O_RDWR : O_RDONLY);
  if (create) flags |= O_CREAT;
  UniqueFd fd(::open(path.c_str(), flags, 0644));
  if (!fd) {
    if (errno == ENOENT && !create) return nullptr;
    if (errno == ELOOP) throw ToolError("band " + path + " is a symbolic link");
    throwErrno("cannot open band " + path);
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) throwErrno("cannot examine band " + path);
  if (!S_ISREG(st.st_mode)) throw ToolError("band " + path + " is not a regular file");
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
  for (std::uint64_t index : unsynced_) fsyncPath(joinPath(bandsDir_, bandName(index)));
  unsynced_.clear();
}

}  // namespace quorbel::imagetool
