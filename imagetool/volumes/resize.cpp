#include "imagetool/volumes/resize.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <optional>
#include <vector>

#include "imagetool/apfs/apfs.h"
#include "imagetool/bundle/band_store.h"
#include "imagetool/bundle/bundle.h"
#include "imagetool/bundle/operations.h"
#include "imagetool/bundle/sizes.h"
#include "imagetool/hfsplus/hfsplus.h"
#include "imagetool/hfsplus/structures.h"
#include "imagetool/layout/layout.h"
#include "imagetool/layout/partition_map.h"

namespace quorbel::imagetool {

namespace {

constexpr std::uint64_t sector = 512;

bool isHfsFamily(const std::string& fileSystem) {
  return fileSystem == "HFS+" || fileSystem == "HFS+J" || fileSystem == "HFSX" || fileSystem == "HFSX (journaled)";
}

bool isResizable(const std::string& fileSystem) { return isHfsFamily(fileSystem) || fileSystem == "APFS"; }

// An image whose writes are kept in memory over a read-only base, for trying the whole resize before
// anything is written. Bytes past `baseSize` read as zeros, as they will once stale bands are gone.
class Overlay : public ImageIO {
 public:
  Overlay(const ImageIO& base, std::uint64_t baseSize, std::uint64_t size)
      : base_(base), baseSize_(baseSize), size_(size) {}
  std::uint64_t size() const override { return size_; }
  void read(std::uint64_t offset, void* data, std::size_t length) const override {
    check(offset, length);
    auto* out = static_cast<unsigned char*>(data);
    const std::uint64_t fromBase = offset < baseSize_ ? std::min<std::uint64_t>(length, baseSize_ - offset) : 0;
    if (fromBase > 0) base_.read(offset, out, static_cast<std::size_t>(fromBase));
    std::memset(out + fromBase, 0, length - fromBase);
    for (const auto& [at, bytes] : writes_) {
      const std::uint64_t start = std::max(at, offset), end = std::min(at + bytes.size(), offset + length);
      if (start < end) std::memcpy(out + (start - offset), bytes.data() + (start - at), end - start);
    }
  }
  void write(std::uint64_t offset, const void* data, std::size_t length) override {
    check(offset, length);
    const auto* in = static_cast<const unsigned char*>(data);
    writes_.emplace_back(offset, std::vector<unsigned char>(in, in + length));
  }

 private:
  void check(std::uint64_t offset, std::size_t length) const {
    if (offset > size_ || length > size_ - offset) throw ToolError("a resize step reached past the end of the image");
  }
  const ImageIO& base_;
  std::uint64_t baseSize_;
  std::uint64_t size_;
  std::vector<std::pair<std::uint64_t, std::vector<unsigned char>>> writes_;
};

// Passes every write through, telling the hook first.
class Hooked : public ImageIO {
 public:
  Hooked(ImageIO& inner, const ChangeHook& hook) : inner_(inner), hook_(hook) {}
  std::uint64_t size() const override { return inner_.size(); }
  void read(std::uint64_t offset, void* data, std::size_t length) const override { inner_.read(offset, data, length); }
  void write(std::uint64_t offset, const void* data, std::size_t length) override {
    if (hook_) hook_();
    inner_.write(offset, data, length);
  }

 private:
  ImageIO& inner_;
  const ChangeHook& hook_;
};

// The bands of a new bundle folder whose files start as hard links to the live bundle's bands. A band
// is copied before its first change, so the live bundle's files are never written.
class CopyOnWriteBands : public ImageIO {
 public:
  CopyOnWriteBands(std::string bandsDir, std::uint64_t bandSize, std::uint64_t size)
      : dir_(std::move(bandsDir)), bandSize_(bandSize), size_(size) {}
  std::uint64_t size() const override { return size_; }

  void read(std::uint64_t offset, void* data, std::size_t length) const override {
    check(offset, length);
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

  void write(std::uint64_t offset, const void* data, std::size_t length) override {
    check(offset, length);
    const auto* in = static_cast<const char*>(data);
    while (length > 0) {
      const std::uint64_t index = offset / bandSize_, within = offset % bandSize_;
      const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(length, bandSize_ - within));
      const bool zeros = isAllZero(in, piece);
      std::size_t count = piece;
      if (zeros) {
        // Zeros need writing only over what a band holds; a missing band or its tail reads as zeros.
        struct stat st {};
        const std::uint64_t held = ::lstat(path(index).c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
        count = static_cast<std::size_t>(held > within ? std::min<std::uint64_t>(piece, held - within) : 0);
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

  // Shortens band `index` to `length` bytes when it is longer.
  void truncateBand(std::uint64_t index, std::uint64_t length) {
    struct stat st {};
    if (::lstat(path(index).c_str(), &st) != 0 || static_cast<std::uint64_t>(st.st_size) <= length) return;
    privatize(index);
    if (::ftruncate(open(index, true), static_cast<off_t>(length)) != 0) throwErrno("cannot shorten band " + path(index));
  }

  void removeBand(std::uint64_t index) {
    fds_.erase(index);
    if (::unlink(path(index).c_str()) != 0 && errno != ENOENT) throwErrno("cannot remove band " + path(index));
  }

  void sync() {
    for (auto& [index, band] : fds_)
      if (band.writable) fsyncFd(band.fd.get(), "band " + path(index));
    fsyncPath(dir_);
  }

 private:
  struct Band {
    UniqueFd fd;
    bool writable = false;
  };

  std::string path(std::uint64_t index) const { return joinPath(dir_, bandName(index)); }

  void check(std::uint64_t offset, std::size_t length) const {
    if (offset > size_ || length > size_ - offset) throw ToolError("a resize step reached past the end of the image");
  }

  // The band's descriptor, or -1 when it does not exist and `forWriting` is false.
  int open(std::uint64_t index, bool forWriting) const {
    auto it = fds_.find(index);
    if (it != fds_.end() && (it->second.writable || !forWriting)) return it->second.fd.get();
    const int flags = O_CLOEXEC | O_NOFOLLOW | (forWriting ? O_RDWR | O_CREAT : O_RDONLY);
    UniqueFd fd(::open(path(index).c_str(), flags, 0644));
    if (!fd) {
      if (!forWriting && errno == ENOENT) return -1;
      throwErrno("cannot open band " + path(index));
    }
    Band& band = fds_[index];
    band.fd = std::move(fd);
    band.writable = forWriting;
    return band.fd.get();
  }

  // Replaces a hard link to a live band by a copy of its data (holes stay holes).
  void privatize(std::uint64_t index) {
    if (!private_.insert(index).second) return;
    fds_.erase(index);
    struct stat st {};
    if (::lstat(path(index).c_str(), &st) != 0) return;  // a new band: nothing shared
    UniqueFd from(::open(path(index).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!from) throwErrno("cannot open band " + path(index));
    const std::string temp = joinPath(dir_, ".copy");
    UniqueFd to(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!to) throwErrno("cannot copy band " + path(index));
    std::vector<char> buffer(1 << 20);
    const auto length = static_cast<std::uint64_t>(st.st_size);
    for (const ByteRange& region : dataRegions(from.get(), length)) {
      for (std::uint64_t at = region.offset; at < region.end();) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), region.end() - at));
        const std::size_t got = readUpTo(from.get(), buffer.data(), want, at, "band " + path(index));
        if (got == 0) break;
        writeAll(to.get(), buffer.data(), got, at, temp);
        at += got;
      }
    }
    if (::ftruncate(to.get(), static_cast<off_t>(length)) != 0) throwErrno("cannot copy band " + path(index));
    if (::rename(temp.c_str(), path(index).c_str()) != 0) throwErrno("cannot copy band " + path(index));
  }

  std::string dir_;
  std::uint64_t bandSize_;
  std::uint64_t size_;
  mutable std::map<std::uint64_t, Band> fds_;
  std::set<std::uint64_t> private_;
};

enum class MapKind { none, gpt, mbr };

// Where the volume is, how large it and its partition are now, and what they become.
struct Plan {
  MapKind map = MapKind::none;
  bool mapChanges = false;
  std::string fileSystem;
  std::uint64_t volumeOffset = 0;
  std::uint64_t volumeLength = 0;  // now: the volume's blocks and the slack up to its alternate header
  std::uint64_t targetLength = 0;  // the partition's length (the volume's) at the new size
};

[[noreturn]] void refuseFileSystem(const std::string& fileSystem, const std::string& where) {
  if (fileSystem.empty() || fileSystem == "unknown")
    throw ToolError("no file system whose size this tool can change was found in " + where +
                    "; the image was not changed");
  throw ToolError("the " + fileSystem + " file system in " + where +
                  " cannot be resized by this tool (only HFS+, HFS+J and APFS can); the image was not changed");
}

// The length of the HFS Plus volume at `offset`: its blocks, plus the slack before its alternate
// header when the partition is not a whole number of blocks. The alternate header (same signature,
// block size, block count and creation date as the primary one) is what tells.
std::uint64_t volumeLength(const ImageIO& image, std::uint64_t offset, std::uint64_t limit) {
  using namespace hfsplus::detail;
  const VolumeHeader h = readHeader(image, offset);
  const std::uint64_t blocksEnd = std::uint64_t{h.totalBlocks} * h.blockSize;
  for (std::uint64_t length = blocksEnd; length < blocksEnd + h.blockSize && length <= limit; length += sector) {
    if (length < kHeaderOffset) continue;
    unsigned char raw[kHeaderSize];
    image.read(offset + length - kHeaderOffset, raw, sizeof raw);
    const VolumeHeader alternate = VolumeHeader::decode(raw);
    if (alternate.signature == h.signature && alternate.blockSize == h.blockSize &&
        alternate.totalBlocks == h.totalBlocks && alternate.createDate == h.createDate)
      return length;
  }
  throw ToolError("the HFS Plus volume's alternate header is not where its size puts it; repair the volume "
                  "on a Mac first; the image was not changed");
}

Plan makePlan(const ImageIO& image, std::uint64_t newSize) {
  const LayoutInfo layout = describeImage(image);
  const std::uint64_t newSectors = newSize / sector;
  Plan plan;
  std::uint64_t partitionLength = 0;
  if (layout.scheme.empty()) {
    if (!isResizable(layout.fileSystem)) refuseFileSystem(layout.fileSystem, "the image");
    plan.fileSystem = layout.fileSystem;
    partitionLength = image.size();
    plan.targetLength = newSize;
  } else if (layout.scheme == "GUID") {
    const auto table = layout::readGpt(image);
    if (!table || table->fromBackup)
      throw ToolError("the primary GUID partition map is damaged; the image was not changed");
    const auto last = std::max_element(table->entries.begin(), table->entries.end(),
                                       [](const auto& a, const auto& b) { return a.lastLba < b.lastLba; });
    if (last == table->entries.end()) throw ToolError("the GUID partition map holds no partition; the image was not changed");
    for (const PartitionInfo& p : layout.partitions)
      if (p.firstSector == last->firstLba) plan.fileSystem = p.fileSystem;
    if (!isResizable(plan.fileSystem)) refuseFileSystem(plan.fileSystem, "the last partition");
    plan.map = MapKind::gpt;
    plan.volumeOffset = last->firstLba * sector;
    partitionLength = (last->lastLba + 1 - last->firstLba) * sector;
    const std::uint64_t arraySectors = (std::uint64_t{table->entryCount} * table->entrySize + sector - 1) / sector;
    if (newSectors < table->firstUsableLba + arraySectors + 2)
      throw ToolError("the new size leaves no room for the partition map; the image was not changed");
    const std::uint64_t dataEnd = (newSectors - 1 - arraySectors) / 8 * 8;
    if (dataEnd <= last->firstLba) throw ToolError("the new size leaves no room for the partition; the image was not changed");
    for (const auto& e : table->entries)
      if (&e != &*last && e.lastLba >= newSectors - 1 - arraySectors)
        throw ToolError("another partition lies past the new end; the image was not changed");
    plan.targetLength = (dataEnd - last->firstLba) * sector;
    plan.mapChanges = table->backupLba != newSectors - 1 || last->lastLba != dataEnd - 1;
  } else if (layout.scheme == "MBR") {
    const auto entries = layout::readMbr(image);
    if (!entries) throw ToolError("the MBR partition table cannot be read; the image was not changed");
    const auto last = std::max_element(entries->begin(), entries->end(), [](const auto& a, const auto& b) {
      return std::uint64_t{a.firstLba} + a.sectorCount < std::uint64_t{b.firstLba} + b.sectorCount;
    });
    for (const PartitionInfo& p : layout.partitions)
      if (p.firstSector == last->firstLba) plan.fileSystem = p.fileSystem;
    if (!isResizable(plan.fileSystem)) refuseFileSystem(plan.fileSystem, "the last partition");
    if (newSectors <= last->firstLba) throw ToolError("the new size leaves no room for the partition; the image was not changed");
    plan.map = MapKind::mbr;
    plan.volumeOffset = std::uint64_t{last->firstLba} * sector;
    partitionLength = std::uint64_t{last->sectorCount} * sector;
    plan.targetLength = (newSectors - last->firstLba) * sector;
    plan.mapChanges = std::uint64_t{last->firstLba} + last->sectorCount != newSectors;
  } else {
    throw ToolError("the " + layout.scheme + " partition scheme cannot be resized by this tool; the image was not changed");
  }
  plan.volumeLength = plan.fileSystem == "APFS" ? apfs::containerLength(image, plan.volumeOffset)
                                                 : volumeLength(image, plan.volumeOffset, partitionLength);
  return plan;
}

// An HFS Plus shrink done in place marks the block meant for the new alternate header used before its
// commit. Cut short there, the volume keeps that one bit set while its header still counts the block
// free, and the same shrink would then find the block "in use". Such a bit (the block counted free by
// the header, set in the allocation file, past the new end) is given back so the shrink can run again.
void releaseUncommittedAlternateBlock(ImageIO& image, std::uint64_t offset, std::uint64_t newLength) {
  using namespace hfsplus::detail;
  const VolumeHeader h = readHeader(image, offset);
  const std::uint64_t block = newLength / h.blockSize - 1;
  if (block + 1 >= h.totalBlocks) return;
  const std::vector<Extent> extents = forkExtents(image, offset, h, h.allocationFile, kAllocationFileID);
  unsigned char byte = 0;
  readFile(image, offset, h.blockSize, extents, block / 8, &byte, 1);
  const auto mask = static_cast<unsigned char>(0x80u >> (block % 8));
  if ((byte & mask) == 0) return;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> free;
  try {
    free = hfsplus::freeRanges(image, offset);
  } catch (const ToolError&) {
    return;  // a volume that cannot be read safely: the resize itself says why
  }
  std::uint64_t freeInBitmap = 0;
  for (const auto& range : free) freeInBitmap += range.second / h.blockSize;
  if (freeInBitmap + 1 != h.freeBlocks) return;
  // Only that block may be the difference: it must not hold anything the catalog knows, which the
  // header's count vouches for when the other blocks past the new end are all free.
  for (const auto& range : free) {
    const std::uint64_t first = (range.first - offset) / h.blockSize, end = first + range.second / h.blockSize;
    if (first == block + 1 && end + 1 >= h.totalBlocks) {
      byte = static_cast<unsigned char>(byte & ~mask);
      writeFile(image, offset, h.blockSize, extents, block / 8, &byte, 1);
      return;
    }
  }
}

// The work in the order that keeps every intermediate state whole: a volume shrinks while its
// partition is still large, a partition grows only inside an image already large, the image shrinks
// only once the partition fits. `image(size)` gives the image seen at that size.
struct Steps {
  std::function<ImageIO&(std::uint64_t size)> image;
  std::function<void(std::uint64_t size)> commitSize;  // Info.plist and Info.bckup
};

void resizeVolume(const Plan& plan, ImageIO& image, std::uint64_t from, std::uint64_t to) {
  if (plan.fileSystem == "APFS") return apfs::resizeContainer(image, plan.volumeOffset, to);
  if (to < from) releaseUncommittedAlternateBlock(image, plan.volumeOffset, to);
  hfsplus::resizeVolume(image, plan.volumeOffset, from, to);
}

void runSteps(const Plan& plan, std::uint64_t oldSize, std::uint64_t newSize, const Steps& steps) {
  std::uint64_t volume = plan.volumeLength;
  if (plan.targetLength < volume) {
    resizeVolume(plan, steps.image(oldSize), volume, plan.targetLength);
    volume = plan.targetLength;
  }
  if (newSize > oldSize) steps.commitSize(newSize);
  if (plan.mapChanges) {
    ImageIO& image = steps.image(std::max(oldSize, newSize));
    if (plan.map == MapKind::gpt) layout::resizeGpt(image, newSize / sector);
    if (plan.map == MapKind::mbr) layout::resizeMbr(image, newSize / sector);
  }
  if (newSize <= oldSize) steps.commitSize(newSize);
  if (plan.targetLength > volume) resizeVolume(plan, steps.image(newSize), volume, plan.targetLength);
}

// Band indexes present in `bandsDir`.
std::vector<std::uint64_t> listBands(const std::string& bandsDir) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(bandsDir.c_str()), ::closedir);
  if (!dir) throwErrno("cannot list " + bandsDir);
  std::vector<std::uint64_t> bands;
  while (const dirent* e = ::readdir(dir.get()))
    if (const auto index = bandIndex(e->d_name)) bands.push_back(*index);
  return bands;
}

// Removes what the bands hold past `size`, so that a later grow finds zeros there.
void clearPast(const std::string& bandsDir, std::uint64_t bandSize, std::uint64_t size, const ChangeHook& hook) {
  const std::uint64_t firstPast = (size + bandSize - 1) / bandSize;
  bool changed = false;
  for (std::uint64_t index : listBands(bandsDir)) {
    const std::string path = joinPath(bandsDir, bandName(index));
    if (index >= firstPast) {
      if (hook) hook();
      if (::unlink(path.c_str()) != 0 && errno != ENOENT) throwErrno("cannot remove band " + path);
      changed = true;
    } else if (index == size / bandSize && size % bandSize != 0) {
      struct stat st {};
      if (::lstat(path.c_str(), &st) != 0) throwErrno("cannot examine band " + path);
      if (static_cast<std::uint64_t>(st.st_size) > size % bandSize) {
        if (hook) hook();
        if (::truncate(path.c_str(), static_cast<off_t>(size % bandSize)) != 0) throwErrno("cannot shorten band " + path);
        fsyncPath(path);
      }
    }
  }
  if (changed) fsyncPath(bandsDir);
}

// Opens the bundle for resizing with its lock held. Info.bckup may differ from Info.plist in the size
// alone: that is a resize cut short between the two files, which this resize completes.
Bundle openForResize(const std::string& path, UniqueFd& lock, bool& createdLock) {
  const std::string lockPath = joinPath(path, "lock");
  auto refuse = [&](const Bundle& bundle) {
    const BundleInfo& info = bundle.info();
    if (info.backingStoreVersion != 1)
      throw ToolError(path + " uses backing-store version " + std::to_string(info.backingStoreVersion) +
                      ", whose band maps this tool cannot keep up to date; it is left unchanged");
    if (bundle.token().encrypted) throw ToolError(path + " is encrypted; this tool cannot resize encrypted images");
    if (!bundle.backupAgrees()) {
      std::optional<BundleInfo> backup;
      try {
        backup = parseInfo(readSmallFile(joinPath(path, "Info.bckup"), 1 << 20), joinPath(path, "Info.bckup"));
      } catch (const ToolError&) {
      }
      if (!backup || backup->bandSize != info.bandSize || backup->backingStoreVersion != info.backingStoreVersion)
        throw ToolError(path + ": Info.plist and Info.bckup disagree (or Info.bckup is missing); the image is left as it is");
    }
  };
  lock = lockFile(lockPath, LockMode::exclusive, false);
  if (!lock) {
    // A lock file is made only for a bundle that passes the checks.
    refuse(Bundle::open(path, Access::inspect));
    lock = lockFile(lockPath, LockMode::exclusive, true);
    createdLock = true;
  }
  Bundle bundle = Bundle::open(path, Access::inspect);
  refuse(bundle);
  return bundle;
}

bool linkUnsupported(int error) { return error == EPERM || error == EXDEV || error == EOPNOTSUPP || error == EMLINK; }

// Builds the resized bundle in a folder beside the live one, sharing its unchanged band files by hard
// links (a band is copied before it changes), and swaps the two folders in one step: whatever moment
// a kill comes, the path holds the whole old bundle or the whole new one. Returns false, having
// changed nothing, where the file system has no hard links or cannot swap folders.
bool resizeBySwap(const std::string& path, const BundleInfo& info, const Plan& plan, std::uint64_t newSize,
                  const ChangeHook& hook) {
  const std::uint64_t oldSize = info.size;
  removeAbandonedSiblings(path);
  TemporarySibling temp(path);
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) ::chmod(temp.path().c_str(), st.st_mode & 07777);
  const std::string bands = joinPath(temp.path(), "bands");
  if (::mkdir(bands.c_str(), 0755) != 0) throwErrno("cannot create " + bands);

  std::vector<std::string> names;
  {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(path.c_str()), ::closedir);
    if (!dir) throwErrno("cannot list " + path);
    while (const dirent* e = ::readdir(dir.get())) names.emplace_back(e->d_name);
  }
  for (const std::string& name : names) {
    if (name == "." || name == ".." || name == "lock" || name == "Info.plist" || name == "Info.bckup" || name == "bands")
      continue;
    const std::string from = joinPath(path, name);
    if (::lstat(from.c_str(), &st) != 0) throwErrno("cannot examine " + from);
    if (!S_ISREG(st.st_mode))
      throw ToolError(path + " holds \"" + name + "\", which this tool does not know; the image was not changed");
    if (::link(from.c_str(), joinPath(temp.path(), name).c_str()) != 0) {
      if (linkUnsupported(errno)) return false;
      throwErrno("cannot link " + from);
    }
  }
  for (std::uint64_t index : listBands(joinPath(path, "bands"))) {
    if (index >= info.bandCount()) continue;  // past the end: not part of the image
    const std::string from = joinPath(joinPath(path, "bands"), bandName(index));
    if (::link(from.c_str(), joinPath(bands, bandName(index)).c_str()) != 0) {
      if (linkUnsupported(errno)) return false;
      throwErrno("cannot link " + from);
    }
  }

  CopyOnWriteBands image(bands, info.bandSize, std::max(oldSize, newSize));
  if (oldSize % info.bandSize != 0) image.truncateBand(oldSize / info.bandSize, oldSize % info.bandSize);
  Hooked hooked(image, hook);
  runSteps(plan, oldSize, newSize, Steps{[&](std::uint64_t) -> ImageIO& { return hooked; }, [](std::uint64_t) {}});
  const std::uint64_t newBands = (newSize + info.bandSize - 1) / info.bandSize;
  for (std::uint64_t index : listBands(bands))
    if (index >= newBands) image.removeBand(index);
  if (newSize % info.bandSize != 0) image.truncateBand(newSize / info.bandSize, newSize % info.bandSize);
  image.sync();
  BundleInfo next = info;
  next.size = newSize;
  writeInfoFiles(temp.path(), next);
  fsyncPath(temp.path());

  if (hook) hook();
  if (::renameat2(AT_FDCWD, temp.path().c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) != 0) {
    if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) return false;
    throwErrno("cannot put the resized image in place");
  }
  fsyncPath(parentOf(path));
  // The old bundle, now under the temporary name, is cleared with its lock file last, so that a kill
  // meanwhile leaves a folder the next run recognises as abandoned; `temp` takes the rest.
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(temp.path(), ignored))
    if (entry.path().filename() != "lock") std::filesystem::remove_all(entry.path(), ignored);
  return true;
}

void resizeInPlace(const std::string& path, const BundleInfo& info, const Plan& plan, std::uint64_t newSize,
                   const ChangeHook& beforeChange, bool backupAgrees);

}  // namespace

void resizeBundle(const std::string& given, std::uint64_t newSize, std::ostream& out, const ChangeHook& beforeChange,
                  ResizeMethod method) {
  if (newSize == 0 || newSize % sector != 0) throw ToolError("the new size must be a whole number of 512-byte sectors");
  // The folder itself, not a symbolic link to it, is what gets swapped.
  std::unique_ptr<char, void (*)(void*)> resolved(::realpath(given.c_str(), nullptr), std::free);
  if (!resolved) throwErrno("cannot open " + given);
  const std::string path = resolved.get();
  UniqueFd lock;
  bool createdLock = false;
  const Bundle bundle = openForResize(path, lock, createdLock);
  const BundleInfo info = bundle.info();
  const std::uint64_t oldSize = info.size;
  const std::string bandsDir = bundle.bandsDir();

  // Everything is tried first on an image that keeps its writes in memory: whatever would be refused
  // is refused before the bundle changes.
  Plan plan;
  try {
    const BandStore current(bandsDir, info.bandSize, oldSize, false);
    plan = makePlan(current, newSize);
    Overlay trial(current, oldSize, std::max(oldSize, newSize));
    try {
      runSteps(plan, oldSize, newSize, Steps{[&](std::uint64_t) -> ImageIO& { return trial; }, [](std::uint64_t) {}});
    } catch (const apfs::ShrinkRefused& e) {
      // The partition follows the image size byte for byte, in whole 4 KB steps.
      const std::uint64_t smallest = newSize + (e.minimumLength - plan.targetLength + 4095) / 4096 * 4096;
      throw ToolError(std::string(e.what()) + "; the smallest size that works is " + std::to_string(smallest) +
                      " bytes (" + humanSize(smallest) + "); the image was not changed");
    } catch (const ToolError& e) {
      throw ToolError(std::string(e.what()) + "; the image was not changed");
    }
  } catch (const ToolError&) {
    // A refused bundle is left exactly as it was, without a lock file it did not have.
    if (createdLock) ::unlink(joinPath(path, "lock").c_str());
    throw;
  }
  checkInterrupted();
  if (method == ResizeMethod::inPlace || !resizeBySwap(path, info, plan, newSize, beforeChange))
    resizeInPlace(path, info, plan, newSize, beforeChange, bundle.backupAgrees());
  out << "resized: " << given << "\n"
      << "size: " << newSize << " bytes (" << humanSize(newSize) << ")\n"
      << plan.fileSystem << (plan.fileSystem == "APFS" ? " container: " : " volume: ") << plan.targetLength << " bytes (" << humanSize(plan.targetLength) << ")\n";
}

namespace {

// Where folders cannot be swapped: the steps run in place, in the order that keeps each state whole
// (the partition map may then cover less than the image until the same resize is run again).
void resizeInPlace(const std::string& path, const BundleInfo& info, const Plan& plan, std::uint64_t newSize,
                   const ChangeHook& beforeChange, bool backupAgrees) {
  const std::uint64_t oldSize = info.size;
  const std::string bandsDir = joinPath(path, "bands");
  std::unique_ptr<BandStore> store;
  std::unique_ptr<Hooked> hooked;
  auto image = [&](std::uint64_t size) -> ImageIO& {
    if (!store || store->size() != size) {
      if (store) store->sync();
      hooked.reset();
      store = std::make_unique<BandStore>(bandsDir, info.bandSize, size, true);
      hooked = std::make_unique<Hooked>(*store, beforeChange);
    }
    return *hooked;
  };
  auto commitSize = [&](std::uint64_t size) {
    if (store) store->sync();
    if (size > oldSize) clearPast(bandsDir, info.bandSize, oldSize, beforeChange);
    if (size == oldSize && backupAgrees) return;
    BundleInfo next = info;
    next.size = size;
    const std::string xml = infoToXml(next);
    // Info.plist is what readers go by; Info.bckup follows.
    if (beforeChange) beforeChange();
    replaceFileAtomically(joinPath(path, "Info.plist"), xml);
    if (beforeChange) beforeChange();
    replaceFileAtomically(joinPath(path, "Info.bckup"), xml);
  };
  runSteps(plan, oldSize, newSize, Steps{image, commitSize});
  if (store) store->sync();
  hooked.reset();
  store.reset();
  // Bands past a smaller end (and any left past the end before) go only now that the size is settled.
  clearPast(bandsDir, info.bandSize, newSize, beforeChange);
}

}  // namespace

}  // namespace quorbel::imagetool
