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
#include <optional>
#include <set>
#include <vector>

#include "imagetool/apfs/apfs.h"
#include "imagetool/bundle/band_store.h"
#include "imagetool/bundle/bundle.h"
#include "imagetool/bundle/operations.h"
#include "imagetool/bundle/range_copy.h"
#include "imagetool/bundle/sizes.h"
#include "imagetool/hfsplus/hfsplus.h"
#include "imagetool/hfsplus/structures.h"
#include "imagetool/layout/layout.h"
#include "imagetool/layout/partition_map.h"
#include "imagetool/progress.h"

namespace quorbel::imagetool {

namespace {

constexpr std::uint64_t sector = 512;

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

// Passes every write through, telling the hook first. Work that can still be abandoned (building the
// new folder beside the old) also stops there when interrupted.
class Hooked : public ImageIO {
 public:
  Hooked(ImageIO& inner, const ChangeHook& hook, bool interruptible = false)
      : inner_(inner), hook_(hook), interruptible_(interruptible) {}
  std::uint64_t size() const override { return inner_.size(); }
  void read(std::uint64_t offset, void* data, std::size_t length) const override { inner_.read(offset, data, length); }
  void write(std::uint64_t offset, const void* data, std::size_t length) override {
    if (interruptible_) checkInterrupted();
    if (hook_) hook_();
    inner_.write(offset, data, length);
  }

 private:
  ImageIO& inner_;
  const ChangeHook& hook_;
  bool interruptible_;
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
  throw ToolError(
      "the HFS Plus volume's alternate header is not where its size puts it; repair the volume "
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
    if (last == table->entries.end())
      throw ToolError("the GUID partition map holds no partition; the image was not changed");
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
    if (dataEnd <= last->firstLba)
      throw ToolError("the new size leaves no room for the partition; the image was not changed");
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
    if (newSectors <= last->firstLba)
      throw ToolError("the new size leaves no room for the partition; the image was not changed");
    plan.map = MapKind::mbr;
    plan.volumeOffset = std::uint64_t{last->firstLba} * sector;
    partitionLength = std::uint64_t{last->sectorCount} * sector;
    plan.targetLength = (newSectors - last->firstLba) * sector;
    plan.mapChanges = std::uint64_t{last->firstLba} + last->sectorCount != newSectors;
  } else {
    throw ToolError("the " + layout.scheme +
                    " partition scheme cannot be resized by this tool; the image was not changed");
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

// The image the resize works on: the bands themselves, or the plain image over them.
ImageIO& viewOf(ImageIO& bands, const PlainImage& plain, std::unique_ptr<ImageIO>& holder) {
  if (!plain) return bands;
  holder = plain(bands);
  return *holder;
}

// The smallest image size (whole sectors, above `tooSmall`, at most `works`) whose volume gets at
// least `volumeMinimum` bytes; the volume's length grows with the image's, so a bisection finds it.
std::uint64_t smallestImageFor(const ImageIO& image, std::uint64_t volumeMinimum, std::uint64_t tooSmall,
                               std::uint64_t works) {
  std::uint64_t low = tooSmall / sector, high = works / sector;
  while (low + 1 < high) {
    const std::uint64_t middle = low + (high - low) / 2;
    bool enough = false;
    try {
      enough = makePlan(image, middle * sector).targetLength >= volumeMinimum;
    } catch (const ToolError&) {
    }
    (enough ? high : low) = middle;
  }
  return high * sector;
}

// Band indexes present in the folder `bandsFd`.
std::vector<std::uint64_t> listBands(int bandsFd) {
  std::vector<std::uint64_t> bands;
  for (const std::string& name : listFolder(bandsFd, "the bands"))
    if (const auto index = bandIndex(name)) bands.push_back(*index);
  return bands;
}

// Removes what the bands hold past `size`, so that a later grow finds zeros there.
void clearPast(int bandsFd, std::uint64_t bandSize, std::uint64_t size, const ChangeHook& hook) {
  const std::uint64_t firstPast = (size + bandSize - 1) / bandSize;
  bool changed = false;
  for (std::uint64_t index : listBands(bandsFd)) {
    const std::string name = bandName(index);
    if (index >= firstPast) {
      if (hook) hook();
      if (::unlinkat(bandsFd, name.c_str(), 0) != 0 && errno != ENOENT) throwErrno("cannot remove band " + name);
      changed = true;
    } else if (index == size / bandSize && size % bandSize != 0) {
      const UniqueFd fd = openFileAt(bandsFd, name, O_RDWR, "band " + name);
      struct stat st {};
      if (!fd || ::fstat(fd.get(), &st) != 0) throwErrno("cannot examine band " + name);
      if (static_cast<std::uint64_t>(st.st_size) > size % bandSize) {
        if (hook) hook();
        if (::ftruncate(fd.get(), static_cast<off_t>(size % bandSize)) != 0) throwErrno("cannot shorten band " + name);
        fsyncFd(fd.get(), "band " + name);
      }
    }
  }
  if (changed) fsyncFd(bandsFd, "the bands folder");
}

bool linkUnsupported(int error) { return error == EPERM || error == EXDEV || error == EOPNOTSUPP || error == EMLINK; }

// Builds the resized bundle in a folder beside the live one, sharing its unchanged band files by hard
// links (a band is copied before it changes), and swaps the two folders in one step: whatever moment
// a kill comes, the path holds the whole old bundle or the whole new one. Returns false, having
// changed nothing, where the file system has no hard links or cannot swap folders.
bool resizeBySwap(const std::string& path, const Bundle& bundle, const Plan& plan, std::uint64_t newSize,
                  const ChangeHook& hook, const PlainImage& plain) {
  const BundleInfo& info = bundle.info();
  const std::uint64_t oldSize = info.size;
  removeAbandonedSiblings(path);
  TemporarySibling temp(path);
  const UniqueFd tempDir = openFolder(temp.path(), temp.path());
  struct stat st {};
  if (::fstat(bundle.dirFd(), &st) == 0) ::fchmod(tempDir.get(), st.st_mode & 07777);
  if (::mkdirat(tempDir.get(), "bands", 0755) != 0) throwErrno("cannot create the new bands folder");
  const UniqueFd bands = openFolderAt(tempDir.get(), "bands", "the new bands folder");
  if (::fstat(bundle.bandsFd(), &st) == 0) ::fchmod(bands.get(), st.st_mode & 07777);

  // Every file of the bundle but the property lists (written anew) and the lock is shared; so are
  // Finder's files in bands/, which are not ours to drop.
  const auto share = [&](int fromDir, int toDir, const std::string& name) {
    if (::fstatat(fromDir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) throwErrno("cannot examine " + name);
    if (!S_ISREG(st.st_mode))
      throw ToolError(path + " holds \"" + name + "\", which this tool does not know; the image was not changed");
    if (::linkat(fromDir, name.c_str(), toDir, name.c_str(), 0) == 0) return true;
    if (linkUnsupported(errno)) return false;
    throwErrno("cannot link " + name);
  };
  for (const std::string& name : listFolder(bundle.dirFd(), path)) {
    if (name == "lock" || name == "Info.plist" || name == "Info.bckup" || name == "bands") continue;
    if (!share(bundle.dirFd(), tempDir.get(), name)) return false;
  }
  const std::vector<std::string> bandNames = listFolder(bundle.bandsFd(), bundle.bandsDir());
  progress::span(20, 40);
  std::uint64_t linked = 0;
  for (const std::string& name : bandNames) {
    progress::at(linked++, bandNames.size());
    const auto index = bandIndex(name);
    if (index && *index >= info.bandCount()) continue;  // past the end: not part of the image
    if (!share(bundle.bandsFd(), bands.get(), name)) return false;
  }

  CopyOnWriteBands image(bands.get(), info.bandSize, std::max(oldSize, newSize));
  if (oldSize % info.bandSize != 0) image.truncateBand(oldSize / info.bandSize, oldSize % info.bandSize);
  std::unique_ptr<ImageIO> view;
  Hooked hooked(viewOf(image, plain, view), hook, true);
  progress::span(40, 90);
  runSteps(plan, oldSize, newSize, Steps{[&](std::uint64_t) -> ImageIO& { return hooked; }, [](std::uint64_t) {}});
  view.reset();
  progress::span(90, 98);
  const std::uint64_t newBands = (newSize + info.bandSize - 1) / info.bandSize;
  for (std::uint64_t index : listBands(bands.get()))
    if (index >= newBands) image.removeBand(index);
  if (newSize % info.bandSize != 0) image.truncateBand(newSize / info.bandSize, newSize % info.bandSize);
  image.sync();
  BundleInfo next = info;
  next.size = newSize;
  writeInfoFiles(tempDir.get(), next);
  for (const char* name : {"Info.plist", "Info.bckup"})  // new files, with the old ones' permissions
    if (::fstatat(bundle.dirFd(), name, &st, AT_SYMLINK_NOFOLLOW) == 0)
      (void)!::fchmodat(tempDir.get(), name, st.st_mode & 07777, 0);
  // A bundle that had no lock file gets none; the new folder's own lock stays held until the end.
  if (!bundle.hasLockFile() && ::unlinkat(tempDir.get(), "lock", 0) != 0) throwErrno("cannot finish the new image");
  fsyncFd(tempDir.get(), temp.path());

  checkInterrupted();
  if (hook) hook();
  if (!exchangePaths(temp.path(), path)) return false;
  fsyncPath(parentOf(path));
  // The old bundle, now under the temporary name, is cleared with its lock file last, so that a kill
  // meanwhile leaves a folder the next run recognises as abandoned; `temp` takes the rest.
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(temp.path(), ignored))
    if (entry.path().filename() != "lock") std::filesystem::remove_all(entry.path(), ignored);
  return true;
}

// Where folders cannot be swapped: the steps run in place, in the order that keeps each state whole
// (the partition map may then cover less than the image until the same resize is run again).
void resizeInPlace(const Bundle& bundle, const Plan& plan, std::uint64_t newSize, const ChangeHook& beforeChange,
                   const PlainImage& plain) {
  const BundleInfo& info = bundle.info();
  const std::uint64_t oldSize = info.size;
  std::unique_ptr<BandStore> store;
  std::unique_ptr<ImageIO> view;
  std::unique_ptr<Hooked> hooked;
  auto image = [&](std::uint64_t size) -> ImageIO& {
    if (!store || store->size() != size) {
      if (store) store->sync();
      hooked.reset();
      view.reset();
      store = std::make_unique<BandStore>(bundle.bandsFd(), bundle.bandsDir(), info.bandSize, size, true);
      hooked = std::make_unique<Hooked>(viewOf(*store, plain, view), beforeChange);
    }
    return *hooked;
  };
  auto commitSize = [&](std::uint64_t size) {
    if (store) store->sync();
    if (size > oldSize) clearPast(bundle.bandsFd(), info.bandSize, oldSize, beforeChange);
    if (size == oldSize && bundle.backupAgrees()) return;
    BundleInfo next = info;
    next.size = size;
    const std::string xml = infoToXml(next);
    // Info.plist is what readers go by; Info.bckup follows.
    if (beforeChange) beforeChange();
    replaceFileAtomically(bundle.dirFd(), "Info.plist", xml, joinPath(bundle.path(), "Info.plist"));
    if (beforeChange) beforeChange();
    replaceFileAtomically(bundle.dirFd(), "Info.bckup", xml, joinPath(bundle.path(), "Info.bckup"));
  };
  progress::span(20, 90);
  runSteps(plan, oldSize, newSize, Steps{image, commitSize});
  progress::span(90, 98);
  if (store) store->sync();
  hooked.reset();
  view.reset();
  store.reset();
  // Bands past a smaller end (and any left past the end before) go only now that the size is settled.
  clearPast(bundle.bandsFd(), info.bandSize, newSize, beforeChange);
}

}  // namespace

void resizeBundle(const std::string& given, std::uint64_t newSize, std::ostream& out, const ChangeHook& beforeChange,
                  ResizeMethod method, const PlainImage& plain) {
  if (newSize == 0 || newSize % sector != 0) throw ToolError("the new size must be a whole number of 512-byte sectors");
  // The folder itself, not a symbolic link to it, is what gets swapped.
  std::unique_ptr<char, void (*)(void*)> resolved(::realpath(given.c_str(), nullptr), std::free);
  if (!resolved) throwErrno("cannot open " + given);
  const std::string path = resolved.get();
  const Bundle bundle = Bundle::open(path, Access::resize, static_cast<bool>(plain));
  const BundleInfo& info = bundle.info();
  const std::uint64_t oldSize = info.size;

  // Everything is tried first on an image that keeps its writes in memory: whatever would be refused
  // is refused before the bundle changes.
  BandStore currentBands(bundle.bandsFd(), bundle.bandsDir(), info.bandSize, oldSize, false);
  std::unique_ptr<ImageIO> currentView;
  const ImageIO& current = viewOf(currentBands, plain, currentView);
  // Trying the steps in memory reads what the real run writes: a fifth of the time; sharing the bands,
  // carrying the steps out and finishing the rest.
  progress::span(0, 20);
  const Plan plan = makePlan(current, newSize);
  Overlay trial(current, oldSize, std::max(oldSize, newSize));
  try {
    runSteps(plan, oldSize, newSize, Steps{[&](std::uint64_t) -> ImageIO& { return trial; }, [](std::uint64_t) {}});
  } catch (const hfsplus::VolumeTooSmall& e) {
    const std::uint64_t smallest = smallestImageFor(current, e.minimum, newSize, oldSize);
    throw ToolError("the volume holds data past the new end; the smallest -size that works is " +
                    std::to_string(smallest / sector) + "b (" + humanSize(smallest) + "); the image was not changed");
  } catch (const apfs::ShrinkRefused& e) {
    const std::uint64_t smallest = smallestImageFor(current, e.minimumLength, newSize, oldSize);
    throw ToolError(std::string(e.what()) + "; the smallest -size that works is " + std::to_string(smallest / sector) +
                    "b (" + humanSize(smallest) + "); the image was not changed");
  } catch (const ToolError& e) {
    throw ToolError(std::string(e.what()) + "; the image was not changed");
  }
  checkInterrupted();
  if (method == ResizeMethod::inPlace || !resizeBySwap(path, bundle, plan, newSize, beforeChange, plain))
    resizeInPlace(bundle, plan, newSize, beforeChange, plain);
  out << "resized: " << given << "\n"
      << "size: " << newSize << " bytes (" << humanSize(newSize) << ")\n"
      << plan.fileSystem << (plan.fileSystem == "APFS" ? " container: " : " volume: ") << plan.targetLength
      << " bytes (" << humanSize(plan.targetLength) << ")\n";
}

}  // namespace quorbel::imagetool
