#include "imagetool/volumes/resize.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

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
                  " cannot be resized by this tool (only HFS+ and HFS+J volumes can); the image was not changed");
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
    if (!isHfsFamily(layout.fileSystem)) refuseFileSystem(layout.fileSystem, "the image");
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
    if (!isHfsFamily(plan.fileSystem)) refuseFileSystem(plan.fileSystem, "the last partition");
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
    if (!isHfsFamily(plan.fileSystem)) refuseFileSystem(plan.fileSystem, "the last partition");
    if (newSectors <= last->firstLba) throw ToolError("the new size leaves no room for the partition; the image was not changed");
    plan.map = MapKind::mbr;
    plan.volumeOffset = std::uint64_t{last->firstLba} * sector;
    partitionLength = std::uint64_t{last->sectorCount} * sector;
    plan.targetLength = (newSectors - last->firstLba) * sector;
    plan.mapChanges = std::uint64_t{last->firstLba} + last->sectorCount != newSectors;
  } else {
    throw ToolError("the " + layout.scheme + " partition scheme cannot be resized by this tool; the image was not changed");
  }
  plan.volumeLength = volumeLength(image, plan.volumeOffset, partitionLength);
  return plan;
}

// The work in the order that keeps every intermediate state whole: a volume shrinks while its
// partition is still large, a partition grows only inside an image already large, the image shrinks
// only once the partition fits. `image(size)` gives the image seen at that size.
struct Steps {
  std::function<ImageIO&(std::uint64_t size)> image;
  std::function<void(std::uint64_t size)> commitSize;  // Info.plist and Info.bckup
};

void runSteps(const Plan& plan, std::uint64_t oldSize, std::uint64_t newSize, const Steps& steps) {
  std::uint64_t volume = plan.volumeLength;
  if (plan.targetLength < volume) {
    hfsplus::resizeVolume(steps.image(oldSize), plan.volumeOffset, volume, plan.targetLength);
    volume = plan.targetLength;
  }
  if (newSize > oldSize) steps.commitSize(newSize);
  if (plan.mapChanges) {
    ImageIO& image = steps.image(std::max(oldSize, newSize));
    if (plan.map == MapKind::gpt) layout::resizeGpt(image, newSize / sector);
    if (plan.map == MapKind::mbr) layout::resizeMbr(image, newSize / sector);
  }
  if (newSize <= oldSize) steps.commitSize(newSize);
  if (plan.targetLength > volume) hfsplus::resizeVolume(steps.image(newSize), plan.volumeOffset, volume, plan.targetLength);
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
Bundle openForResize(const std::string& path, UniqueFd& lock) {
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
  }
  Bundle bundle = Bundle::open(path, Access::inspect);
  refuse(bundle);
  return bundle;
}

}  // namespace

void resizeBundle(const std::string& path, std::uint64_t newSize, std::ostream& out, const ChangeHook& beforeChange) {
  if (newSize == 0 || newSize % sector != 0) throw ToolError("the new size must be a whole number of 512-byte sectors");
  UniqueFd lock;
  const Bundle bundle = openForResize(path, lock);
  const BundleInfo info = bundle.info();
  const std::uint64_t oldSize = info.size;
  const std::string bandsDir = bundle.bandsDir();

  // Everything is tried first on an image that keeps its writes in memory: whatever would be refused
  // is refused before the bundle changes.
  Plan plan;
  {
    const BandStore current(bandsDir, info.bandSize, oldSize, false);
    plan = makePlan(current, newSize);
    Overlay trial(current, oldSize, std::max(oldSize, newSize));
    try {
      runSteps(plan, oldSize, newSize, Steps{[&](std::uint64_t) -> ImageIO& { return trial; }, [](std::uint64_t) {}});
    } catch (const ToolError& e) {
      throw ToolError(std::string(e.what()) + "; the image was not changed");
    }
  }
  checkInterrupted();

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
    if (size == oldSize && bundle.backupAgrees()) return;
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

  out << "resized: " << path << "\n"
      << "size: " << newSize << " bytes (" << humanSize(newSize) << ")\n"
      << plan.fileSystem << " volume: " << plan.targetLength << " bytes (" << humanSize(plan.targetLength) << ")\n";
}

}  // namespace quorbel::imagetool
