#include "imagetool/bundle/operations.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>

#include "imagetool/bundle/band_store.h"
#include "imagetool/bundle/bundle.h"
#include "imagetool/bundle/range_copy.h"
#include "imagetool/bundle/sizes.h"
#include "imagetool/progress.h"

namespace quorbel::imagetool {

namespace {

// Work is done in pieces of this size: enough for full-speed I/O, small enough to bound memory.
constexpr std::size_t chunkBytes = 4u << 20;
// Zero detection and hole punching work on blocks of this size (the page size of the file systems
// bundles live on).
constexpr std::uint64_t blockBytes = 4096;

void requireAbsent(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) throw ToolError(path + " already exists; it is left as it is");
  if (errno != ENOENT) throwErrno("cannot examine " + path);
  const std::string parent = parentOf(path);
  if (::stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    throw ToolError("the folder " + parent + " does not exist");
}

// Whether [start, end) lies wholly inside one of the sorted, merged `ranges`.
bool covered(const std::vector<ByteRange>& ranges, std::uint64_t start, std::uint64_t end) {
  auto it = std::upper_bound(ranges.begin(), ranges.end(), start,
                             [](std::uint64_t value, const ByteRange& r) { return value < r.offset; });
  if (it == ranges.begin()) return false;
  --it;
  return it->offset <= start && end <= it->end();
}

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\r')) text.pop_back();
  return text;
}

std::string fileText(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return trimmed(line);
}

}  // namespace

void createBundle(const CreateRequest& request, const LayoutFunction& layOut, std::ostream& out,
                  const EncryptedCreation* encryption) {
  requireAbsent(request.path);
  removeAbandonedSiblings(request.path);
  TemporarySibling temp(request.path);
  writeNewBundleFiles(temp.path(), BundleInfo{request.bandSize, request.size, 1, {}});
  if (encryption != nullptr) {
    const std::string tokenPath = joinPath(temp.path(), "token");
    UniqueFd token(::open(tokenPath.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW));
    if (!token) throwErrno("cannot write " + tokenPath);
    writeAll(token.get(), encryption->token.data(), encryption->token.size(), 0, tokenPath);
  }

  // The file system is made straight onto the bands of the temporary folder, so a killed run leaves
  // it only where the next run cleans up.
  checkInterrupted();
  progress::span(0, 98);
  {
    BandStore bands(joinPath(temp.path(), "bands"), request.bandSize, request.size, true);
    bands.setWriteBehind(true);
    const std::unique_ptr<ImageIO> view = encryption != nullptr ? encryption->view(bands) : nullptr;
    layOut(view ? *view : bands, temp.path());
    bands.sync();
  }
  checkInterrupted();
  temp.commit();
  out << "created: " << request.path << "\n";
}

void convertBundle(const std::string& source, const std::string& destination, std::uint64_t bandSize,
                   std::ostream& out) {
  const Bundle src = Bundle::open(source, Access::read);
  if (src.token().encrypted) throw ToolError(source + " is encrypted; converting encrypted images is not supported");
  requireAbsent(destination);
  removeAbandonedSiblings(destination);
  TemporarySibling temp(destination);
  const BundleInfo& info = src.info();
  writeNewBundleFiles(temp.path(), BundleInfo{bandSize, info.size, 1, {}});
  const std::string bandsDir = joinPath(temp.path(), "bands");
  const UniqueFd bandsFd = openFolder(bandsDir, "the new bands folder");

  // Each new band is made of ranges of the old bands, copied the cheapest way the file systems allow
  // (shared blocks, an in-kernel copy, or read and write); holes stay holes.
  RangeCopier copier;
  copier.setWriteBehind(true);
  const std::uint64_t oldBand = info.bandSize;
  std::uint64_t openIndex = 0;
  UniqueFd openFd;
  std::optional<RangeCopier::Source> openSource;
  std::uint64_t openUsable = 0;  // bytes of the open old band that belong to the image
  const auto openOld = [&](std::uint64_t index) {
    if (openFd && openIndex == index) return;
    openSource.reset();
    const std::string path = src.bandPath(index);
    openFd = openFileAt(src.bandsFd(), bandName(index), O_RDONLY, "band " + path);
    if (openFd) openSource.emplace(openFd.get(), "band " + path);
    if (!openFd || openSource->size() > oldBand) throw ToolError("band " + path + " changed while it was read");
    openIndex = index;
    openUsable = std::min<std::uint64_t>(openSource->size(), info.size - index * oldBand);
  };
  const auto makeBand = [&](std::uint64_t index) {
    checkInterrupted();
    const std::uint64_t start = index * bandSize, end = std::min(info.size, start + bandSize);
    const std::string name = bandName(index);
    UniqueFd band;
    std::uint64_t placed = 0;
    for (auto it = src.bands().lower_bound(start / oldBand);
         it != src.bands().end() && it->first < info.bandCount() && it->first * oldBand < end; ++it) {
      openOld(it->first);
      const std::uint64_t oldStart = it->first * oldBand;
      const std::uint64_t from = std::max(start, oldStart), to = std::min(end, oldStart + openUsable);
      if (from >= to) continue;
      if (!band) band = openFileAt(bandsFd.get(), name, O_WRONLY | O_CREAT | O_EXCL, "new band " + name);
      placed += copier.copy(*openSource, from - oldStart, band.get(), from - start, to - from);
    }
    // A band that would hold nothing but zeros is not kept: a missing band reads as zeros.
    if (band && placed == 0 && ::unlinkat(bandsFd.get(), name.c_str(), 0) != 0)
      throwErrno("cannot remove the empty new band " + name);
  };
  // Only new bands that old ones overlap are visited, in order, each once. The final flush of the
  // writes left behind takes a little of the time.
  std::uint64_t next = 0, visited = 0;
  const auto oldBands =
      static_cast<std::uint64_t>(std::distance(src.bands().begin(), src.bands().lower_bound(info.bandCount())));
  progress::span(0, 95);
  for (const auto& entry : src.bands()) {
    const std::uint64_t index = entry.first;
    if (index >= info.bandCount()) break;  // wholly past the end of the image: never read
    progress::at(visited++, oldBands);
    const std::uint64_t first = std::max(next, index * oldBand / bandSize);
    const std::uint64_t last = (std::min(info.size, (index + 1) * oldBand) - 1) / bandSize;
    for (std::uint64_t band = first; band <= last; ++band) makeBand(band);
    next = std::max(next, last + 1);
  }
  openSource.reset();
  openFd.reset();
  checkInterrupted();
  progress::span(95, 100);
  // One flush of the whole file system: a flush per band costs a journal commit or a disk cache flush
  // each, seconds for thousands of small bands.
  temp.flushFileSystem();
  temp.commit();
  out << "created: " << destination << "\n";
}

namespace {

// The blocks of one band that compaction gives back, added in ascending order. Kept as runs while
// that is smaller, as one bit per block once the runs would take more (a band of alternating kept and
// free blocks), so a plan never takes more than a bit per 4 KiB block of band data.
class ReclaimSet {
 public:
  explicit ReclaimSet(std::uint64_t length) : length_(length) {}

  // [at, at + n): `at` on a block boundary, the end on one or at the end of the band.
  void add(std::uint64_t at, std::uint64_t n) {
    bytes_ += n;
    if (bits_.empty()) {
      if (!runs_.empty() && runs_.back().end() == at) {
        runs_.back().length += n;
        return;
      }
      runs_.push_back({at, n});
      if ((runs_.size() + 1) * sizeof(ByteRange) > bitmapWords() * sizeof(std::uint64_t)) toBits();
      return;
    }
    setBits(at, n);
  }
  std::uint64_t bytes() const { return bytes_; }
  bool empty() const { return bytes_ == 0; }
  std::size_t memory() const { return runs_.capacity() * sizeof(ByteRange) + bits_.capacity() * sizeof(std::uint64_t); }
  template <typename Visit>
  void forEachRun(const Visit& visit) const {
    if (bits_.empty()) {
      for (const ByteRange& r : runs_) visit(r.offset, r.length);
      return;
    }
    const std::uint64_t blocks = blockCount();
    for (std::uint64_t b = 0; b < blocks;) {
      if (!bit(b)) {
        ++b;
        continue;
      }
      const std::uint64_t first = b;
      while (b < blocks && bit(b)) ++b;
      const std::uint64_t end = std::min(length_, b * blockBytes);
      visit(first * blockBytes, end - first * blockBytes);
    }
  }

 private:
  std::uint64_t blockCount() const { return (length_ + blockBytes - 1) / blockBytes; }
  std::size_t bitmapWords() const { return static_cast<std::size_t>((blockCount() + 63) / 64); }
  bool bit(std::uint64_t b) const { return (bits_[b / 64] >> (b % 64) & 1u) != 0; }
  void setBits(std::uint64_t at, std::uint64_t n) {
    for (std::uint64_t b = at / blockBytes, last = (at + n + blockBytes - 1) / blockBytes; b < last; ++b)
      bits_[b / 64] |= std::uint64_t{1} << (b % 64);
  }
  void toBits() {
    bits_.assign(bitmapWords(), 0);
    for (const ByteRange& r : runs_) setBits(r.offset, r.length);
    std::vector<ByteRange>().swap(runs_);
  }

  std::uint64_t length_;
  std::uint64_t bytes_ = 0;
  std::vector<ByteRange> runs_;
  std::vector<std::uint64_t> bits_;
};

// What compaction does to one band: the blocks to give back, and where the data worth keeping ends
// (0: none, the band goes).
struct BandPlan {
  std::uint64_t index = 0;
  std::uint64_t length = 0;     // the band's size when planned
  std::uint64_t allocated = 0;  // bytes it occupied on disk then
  std::uint64_t keepEnd = 0;
  ReclaimSet reclaim{0};
};

// Sorts the blocks of a band (`length` bytes, at `bandStart` in the image) into those to keep and those
// that hold only zeros or free space of the file system. Reads only; changes nothing. `advance` is
// told of every piece looked at.
void planBand(int fd, BandPlan& plan, std::uint64_t bandStart, const std::vector<ByteRange>& free,
              std::vector<char>& buffer, const std::string& what,
              const std::function<void(std::uint64_t, bool)>& advance) {
  const std::uint64_t length = plan.length;
  for (const ByteRange& region : dataRegions(fd, length)) {
    std::uint64_t pos = region.offset / blockBytes * blockBytes;
    const std::uint64_t regionEnd = std::min(length, (region.end() + blockBytes - 1) / blockBytes * blockBytes);
    while (pos < regionEnd) {
      checkInterrupted();
      const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), regionEnd - pos));
      if (covered(free, bandStart + pos, bandStart + pos + want)) {
        // Free space of the file system: what it holds does not matter, so it is not even read.
        plan.reclaim.add(pos, want);
        pos += want;
        advance(want, false);
        continue;
      }
      const std::size_t got = readUpTo(fd, buffer.data(), want, pos, what);
      if (got == 0) break;
      for (std::size_t b = 0; b < got; b += blockBytes) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(blockBytes, got - b));
        const std::uint64_t at = pos + b;
        if (isAllZero(buffer.data() + b, n) || covered(free, bandStart + at, bandStart + at + n)) {
          plan.reclaim.add(at, n);
        } else {
          plan.keepEnd = std::max(plan.keepEnd, at + n);
        }
      }
      pos += got;
      advance(got, true);
    }
  }
}

// A call that a stop signal may cut short (EINTR) is made again: the apply phase does not stop.
template <typename Call>
int untilDone(const Call& call) {
  int result;
  do {
    result = call();
  } while (result != 0 && errno == EINTR);
  return result;
}

// Carries out a band's plan: the band removed when nothing is worth keeping, else holes punched in
// what it gives back and the tail cut off. Reads no data; each step leaves a band that reads the same.
void applyBand(const Bundle& bundle, const BandPlan& plan, bool& punchUnsupported, CompactResult& result) {
  const std::string bandPath = bundle.bandPath(plan.index);
  if (plan.keepEnd == 0) {
    // Nothing worth keeping: a missing band reads as zeros.
    if (::unlinkat(bundle.bandsFd(), bandName(plan.index).c_str(), 0) != 0)
      throwErrno("cannot remove band " + bandPath);
    result.possible += plan.allocated;
    result.reclaimed += plan.allocated;
    return;
  }
  const UniqueFd fd = openFileAt(bundle.bandsFd(), bandName(plan.index), O_RDWR, "band " + bandPath);
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0 || static_cast<std::uint64_t>(st.st_size) != plan.length)
    throw ToolError("band " + bandPath + " changed while it was compacted");
  plan.reclaim.forEachRun([&](std::uint64_t offset, std::uint64_t length) {
    if (offset >= plan.keepEnd || punchUnsupported) return;
    const std::uint64_t end = std::min(offset + length, plan.keepEnd);
    if (untilDone([&] {
          return ::fallocate(fd.get(), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                             static_cast<off_t>(end - offset));
        }) != 0) {
      if (errno != EOPNOTSUPP && errno != ENOSYS) throwErrno("cannot free space in band " + bandPath);
      punchUnsupported = true;
    }
  });
  if (plan.length > plan.keepEnd &&
      untilDone([&] { return ::ftruncate(fd.get(), static_cast<off_t>(plan.keepEnd)); }) != 0)
    throwErrno("cannot shorten band " + bandPath);
  if (::fstat(fd.get(), &st) != 0) throwErrno("cannot examine band " + bandPath);
  const auto allocatedAfter = static_cast<std::uint64_t>(st.st_blocks) * 512;
  result.possible += std::min(plan.reclaim.bytes(), plan.allocated);
  if (allocatedAfter < plan.allocated) result.reclaimed += plan.allocated - allocatedAfter;
}

// Where the time of a compaction goes, on the progress scale: finding the free space first, then reading
// the bands and giving space back, weighed by rough costs on a local disk (nanoseconds): bands lying in
// free space are not read, and then most of the time goes into the calls that free them.
constexpr double freeSpaceEnd = 5;
constexpr double readCostPerKiB = 500, skipCostPerKiB = 5, freeCostPerKiB = 250, costPerStep = 2000;

// What carrying out a plan costs: a call per run given back, one to remove or shorten the band, and
// the space the file system frees.
double applyCostOf(const BandPlan& plan) {
  double steps = 1;
  plan.reclaim.forEachRun([&](std::uint64_t, std::uint64_t) { ++steps; });
  return steps * costPerStep + static_cast<double>(plan.reclaim.bytes()) / 1024 * freeCostPerKiB;
}

// Progress of a compaction: the cost of reading bands weighed against that of giving space back, the
// whole guessed from the bands looked at so far.
class CompactProgress {
 public:
  explicit CompactProgress(const Bundle& bundle) {
    for (const auto& [index, band] : bundle.bands())
      if (index < bundle.info().bandCount()) totalBytes_ += band.allocated;  // the data, not the holes
    progress::span(freeSpaceEnd, 100);
  }
  void looked(std::uint64_t bytes, bool read) {
    doneBytes_ += bytes;
    planCost_ += static_cast<double>(bytes) / 1024 * (read ? readCostPerKiB : skipCostPerKiB);
    const double whole = (planCost_ + applyCost_) * static_cast<double>(totalBytes_) / static_cast<double>(doneBytes_);
    progress::at(static_cast<std::uint64_t>(planCost_), static_cast<std::uint64_t>(whole));
  }
  void planned(const BandPlan& plan) { applyCost_ += applyCostOf(plan); }
  void applied(const BandPlan& plan) {
    applied_ += applyCostOf(plan);
    progress::at(static_cast<std::uint64_t>(planCost_ + applied_), static_cast<std::uint64_t>(planCost_ + applyCost_));
  }

 private:
  std::uint64_t totalBytes_ = 0, doneBytes_ = 0;
  double planCost_ = 0, applyCost_ = 0, applied_ = 0;
};

// Every band read and its plan made, changing nothing: a stop here leaves the bundle as it was.
std::vector<BandPlan> planBands(const Bundle& bundle, const std::vector<ByteRange>& free, CompactProgress& progress,
                                std::ostream& out) {
  const BundleInfo& info = bundle.info();
  std::vector<BandPlan> plans;
  std::vector<char> buffer(chunkBytes);
  std::size_t done = 0;
  unsigned reportedTenth = 0;
  const std::size_t total = bundle.bands().size();
  for (const auto& [index, listed] : bundle.bands()) {
    checkInterrupted();
    ++done;
    if (index >= info.bandCount()) continue;  // past the end of the image: left alone
    const std::string bandPath = bundle.bandPath(index);
    const UniqueFd fd = openFileAt(bundle.bandsFd(), bandName(index), O_RDONLY, "band " + bandPath);
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0) throw ToolError("band " + bandPath + " changed while it was compacted");
    BandPlan plan;
    plan.index = index;
    plan.length = static_cast<std::uint64_t>(st.st_size);
    plan.allocated = static_cast<std::uint64_t>(st.st_blocks) * 512;
    plan.reclaim = ReclaimSet(plan.length);
    planBand(fd.get(), plan, index * info.bandSize, free, buffer, "band " + bandPath,
             [&](std::uint64_t bytes, bool read) { progress.looked(bytes, read); });
    // A band with nothing to give back needs no step.
    if (plan.keepEnd != 0 && plan.reclaim.empty() && plan.keepEnd == plan.length) continue;
    progress.planned(plan);
    plans.push_back(std::move(plan));
    const auto tenth = static_cast<unsigned>(done * 10 / total);
    if (total >= 10 && tenth > reportedTenth && tenth < 10) {
      reportedTenth = tenth;
      out << "Examined " << done << " of " << total << " bands (" << tenth * 10 << "%)\n" << std::flush;
    }
  }
  checkInterrupted();
  return plans;
}

}  // namespace

CompactResult compactBundle(const std::string& path, const FreeSpaceFunction& freeSpace, std::ostream& out,
                            bool encrypted) {
  const Bundle bundle = Bundle::open(path, Access::write, encrypted);
  const BundleInfo& info = bundle.info();
  out << "Starting to compact…\n" << std::flush;
  progress::span(0, freeSpaceEnd);
  std::vector<ByteRange> free;
  if (freeSpace) {
    const BandStore image(bundle.bandsFd(), bundle.bandsDir(), info.bandSize, info.size, false);
    free = mergedRanges(freeSpace(image));
  }

  // First every band is planned; then the plans are carried out without a stop, which needs no reading
  // and is quick, so that a stopped compaction leaves the bundle either as it was or wholly compacted.
  out << "Reclaiming free space…\n" << std::flush;
  CompactProgress progress(bundle);
  const std::vector<BandPlan> plans = planBands(bundle, free, progress, out);

  out << "Finishing compaction…\n" << std::flush;
  CompactResult result;
  result.planMemory = plans.capacity() * sizeof(BandPlan);
  for (const BandPlan& plan : plans) result.planMemory += plan.reclaim.memory();
  bool punchUnsupported = false;
  for (const BandPlan& plan : plans) {
    applyBand(bundle, plan, punchUnsupported, result);
    progress.applied(plan);
  }
  result.possible = std::max(result.possible, result.reclaimed);
  if (punchUnsupported) out << "The file system holding the image cannot free space inside band files.\n";
  out << "Reclaimed " << humanSize(result.reclaimed) << " out of " << humanSize(result.possible) << " possible.\n"
      << std::flush;
  return result;
}

bool runningOnBattery() {
  const char* override = std::getenv("QUORBEL_POWER_SUPPLY_ROOT");
  const std::string root = override != nullptr ? override : "/sys/class/power_supply";
  DIR* dir = ::opendir(root.c_str());
  if (dir == nullptr) return false;  // no power-supply information: a desktop
  std::vector<std::string> supplies;
  while (const dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") supplies.push_back(joinPath(root, name));
  }
  ::closedir(dir);
  for (const auto& supply : supplies) {
    if (fileText(joinPath(supply, "type")) == "Battery" && fileText(joinPath(supply, "status")) == "Discharging")
      return true;
  }
  return false;
}

void imageInfo(const std::string& path, const DescribeFunction& describe, std::ostream& out) {
  const Bundle bundle = Bundle::open(path, Access::inspect);
  const BundleInfo& info = bundle.info();
  std::size_t present = 0;
  for (const auto& entry : bundle.bands())
    if (entry.first < info.bandCount()) ++present;
  out << "Format: UDSB\n"
      << "Format Description: sparse bundle disk image\n"
      << "Backing Store Information:\n"
      << "\tPath: " << path << "\n"
      << "\tBacking Store Version: " << info.backingStoreVersion << "\n";
  if (info.backingStoreVersion == 2) {
    if (!info.uuid.empty()) out << "\tUUID: " << info.uuid << "\n";
    out << "\tBand Maps: not read; bands are read as stored\n";
  }
  out << "\tBand Size: " << info.bandSize << " (" << humanSize(info.bandSize) << ")\n"
      << "\tBands Present: " << present << "\n"
      << "\tBands Total: " << info.bandCount() << "\n";
  if (bundle.bands().size() > present) out << "\tBands Past The End: " << bundle.bands().size() - present << "\n";
  out << "\tInfo.plist and Info.bckup Agree: " << (bundle.backupAgrees() ? "true" : "false") << "\n"
      << "Size Information:\n"
      << "\tTotal Bytes: " << info.size << " (" << humanSize(info.size) << ")\n"
      << "\tTotal Sectors: " << info.size / sectorBytes << "\n"
      << "\tBytes On Disk: " << bundle.bytesOnDisk() << " (" << humanSize(bundle.bytesOnDisk()) << ")\n"
      << "Properties:\n"
      << "\tEncrypted: " << (bundle.token().encrypted ? "true" : "false") << "\n";
  if (bundle.token().encrypted) {
    if (bundle.token().keyBits != 0) out << "\tEncryption: AES-" << bundle.token().keyBits << "\n";
    out << "\tEncryption Header Version: " << bundle.token().headerVersion << "\n"
        << "Partitions: not readable without the password\n";
    return;
  }
  if (describe) {
    const BandStore image(bundle.bandsFd(), bundle.bandsDir(), info.bandSize, info.size, false);
    describe(image, out);
  }
}

void isEncrypted(const std::string& path, std::ostream& out) {
  const Bundle bundle = Bundle::open(path, Access::inspect);
  const TokenInfo& token = bundle.token();
  if (!token.encrypted) {
    out << "encrypted: NO\n";
    return;
  }
  out << "encrypted: YES\n"
      << "uuid: " << token.uuid << "\n"
      << "block size: " << token.blockSize << "\n";
}

}  // namespace quorbel::imagetool
