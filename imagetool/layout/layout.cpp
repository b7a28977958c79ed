#include "imagetool/layout/layout.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "core/command_templates.h"
#include "imagetool/apfs/apfs.h"
#include "imagetool/bundle/fs_util.h"
#include "imagetool/hfsplus/hfsplus.h"
#include "imagetool/layout/formatter.h"
#include "imagetool/layout/labels.h"
#include "imagetool/layout/partition_map.h"
#include "imagetool/layout/sizes.h"

namespace quorbel::imagetool {

namespace {

using namespace layout;
using Regions = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

// Adds the data regions of the first `length` bytes of `fd` (SEEK_DATA / SEEK_HOLE), moved by `shift`:
// what a formatter wrote, zeros included. Without hole reporting the whole file counts.
void addDataRegions(int fd, std::uint64_t length, std::uint64_t shift, Regions& out) {
  off_t pos = 0;
  const auto end = static_cast<off_t>(length);
  while (pos < end) {
    const off_t data = ::lseek(fd, pos, SEEK_DATA);
    if (data < 0) {
      if (errno == ENXIO) return;  // only a hole remains
      out.emplace_back(shift + static_cast<std::uint64_t>(pos), length - static_cast<std::uint64_t>(pos));
      return;
    }
    if (data >= end) return;
    off_t hole = ::lseek(fd, data, SEEK_HOLE);
    if (hole < 0 || hole > end) hole = end;
    out.emplace_back(shift + static_cast<std::uint64_t>(data), static_cast<std::uint64_t>(hole - data));
    pos = hole;
  }
}

enum class Kind { hfs, apfs, exfat, fat, udf };

struct Plan {
  Kind kind;
  bool journaled = false;      // HFS+J
  bool caseSensitive = false;  // Case-sensitive APFS
};

std::optional<Plan> planFor(const std::string& fileSystem) {
  if (fileSystem == "HFS+") return Plan{Kind::hfs};
  if (fileSystem == "HFS+J") return Plan{Kind::hfs, true};
  if (fileSystem == "APFS") return Plan{Kind::apfs};
  if (fileSystem == "Case-sensitive APFS") return Plan{Kind::apfs, false, true};
  if (fileSystem == "exFAT") return Plan{Kind::exfat};
  if (fileSystem == "MS-DOS") return Plan{Kind::fat};
  if (fileSystem == "UDF") return Plan{Kind::udf};
  return std::nullopt;
}

// Where the volume goes, in 512-byte sectors.
struct Placement {
  std::uint64_t start = 0;
  std::uint64_t length = 0;
};

std::string tooSmall(const std::string& fileSystem, std::uint64_t size, std::uint64_t needed) {
  return "an image of " + sizes::describeSize(size, false) + " is too small for " + fileSystem +
         ": it needs at least " + sizes::describeSize(needed, true);
}

std::string tooLarge(const std::string& fileSystem, std::uint64_t size, std::uint64_t limit, const std::string& why) {
  return "an image of " + sizes::describeSize(size, false) + " is too large for " + fileSystem + ": " + why +
         " (at most " + sizes::describeSize(limit, false) + ")";
}

// The partition (or whole-image volume) for a file system, after checking that it fits.
Placement place(const Plan& plan, const std::string& fileSystem, std::uint64_t size) {
  const std::uint64_t sectors = size / sectorSize;
  if (plan.kind == Kind::udf) {
    if (size < sizes::udfMinimum) throw ToolError(tooSmall(fileSystem, size, sizes::udfMinimum));
    if (size > sizes::udfMaximum)
      throw ToolError(
          tooLarge(fileSystem, size, sizes::udfMaximum, "UDF with 512-byte blocks addresses at most 2^32 blocks"));
    return {0, sectors};
  }
  if (plan.kind == Kind::fat) {
    const std::uint64_t start = sizes::mbrDataStart(sectors);
    const std::uint64_t minimum = sizes::fatMinimum + sizes::mbrDataStart(0) * sectorSize;
    if (size < minimum) throw ToolError(tooSmall(fileSystem, size, minimum));
    if (sectors - start > sizes::mbrMaxSectors)
      throw ToolError(tooLarge(fileSystem, size, (start + sizes::mbrMaxSectors) * sectorSize,
                               "an MBR partition holds at most 2^32-1 sectors"));
    return {start, sectors - start};
  }

  const std::uint64_t end = gptDataEnd(sectors);
  const std::uint64_t length = end > gptDataStart ? end - gptDataStart : 0;
  std::uint64_t minimumPartition = 8 * sectorSize;
  if (plan.kind == Kind::exfat) minimumPartition = sizes::exfatMinimum;
  if (plan.kind == Kind::apfs) minimumPartition = sizes::apfsMinimum;
  if (length * sectorSize < minimumPartition)
    throw ToolError(tooSmall(fileSystem, size, sizes::gptImageSizeFor(minimumPartition)));
  return {gptDataStart, length};
}

// Passes writes through, noting each one's range (shifted by `shift`) in `defined` when given.
class RecordingImageIO : public ImageIO {
 public:
  RecordingImageIO(ImageIO& inner, std::uint64_t shift, Regions* defined)
      : inner_(inner), shift_(shift), defined_(defined) {}
  std::uint64_t size() const override { return inner_.size(); }
  void read(std::uint64_t offset, void* data, std::size_t length) const override { inner_.read(offset, data, length); }
  void write(std::uint64_t offset, const void* data, std::size_t length) override {
    inner_.write(offset, data, length);
    if (defined_ != nullptr) defined_->emplace_back(shift_ + offset, length);
  }

 private:
  ImageIO& inner_;
  std::uint64_t shift_;
  Regions* defined_;
};

// Runs a formatter on a scratch file the size of the volume and carries its data into place.
void formatWith(ImageIO& image, const std::string& imagePath, const Placement& where, Regions* defined,
                const std::string& program, std::vector<std::string> arguments, const std::string& package,
                bool blocksLast = false) {
  ScratchFile scratch(imagePath, where.length * sectorSize);
  // Formatters take the device as their last argument, or before a block count.
  arguments.insert(blocksLast ? arguments.end() - 1 : arguments.end(), scratch.path());
  runFormatter(program, arguments, package);
  if (defined != nullptr) addDataRegions(scratch.fd(), scratch.length(), where.start * sectorSize, *defined);
  copyNonZero(scratch.fd(), scratch.length(), image, where.start * sectorSize, "the scratch file");
}

void format(ImageIO& image, const std::string& imagePath, const Plan& plan, const Placement& where,
            const std::string& volumeName, Regions* defined) {
  switch (plan.kind) {
    case Kind::hfs: {
      SliceImageIO partition(image, where.start * sectorSize, where.length * sectorSize);
      const hfsplus::VolumeOptions options{volumeName, plan.journaled};
      hfsplus::formatVolume(partition, 0, partition.size(), options);
      if (defined != nullptr)
        for (const auto& region : hfsplus::formattedRegions(where.start * sectorSize, partition.size(), options))
          defined->push_back(region);
      return;
    }
    case Kind::exfat: {
      std::vector<std::string> args;
      const std::string label = exfatLabel(volumeName);
      if (!label.empty()) args = {"-L", label};
      formatWith(image, imagePath, where, defined, "mkfs.exfat", args, "exfatprogs");
      return;
    }
    case Kind::fat: {
      const int bits = sizes::fatBits(where.length * sectorSize);
      std::vector<std::string> args{"-F", std::to_string(bits),        "-S",     "512", "-M", "0xF8", "-D", "0x80",
                                    "-h", std::to_string(where.start), "--mbr=n"};
      const std::string label = fatLabel(volumeName);
      if (!label.empty()) args.insert(args.end(), {"-n", label});
      formatWith(image, imagePath, where, defined, "mkfs.fat", args, "dosfstools");
      return;
    }
    case Kind::udf: {
      // Every string option is UTF-8 (mkudffs wants this first); 512-byte blocks, as the
      // sectors of the image; no fake MBR in the boot area.
      const std::uint64_t blocks = std::min<std::uint64_t>(where.length, sizes::udfMaxBlocks);
      formatWith(image, imagePath, where, defined, "mkudffs",
                 {"--utf8", "--media-type=hd", "--blocksize=512", "--bootarea=erase",
                  "--lvid=" + udfIdentifier(volumeName, 126, 63), "--vid=" + udfIdentifier(volumeName, 30, 15),
                  std::to_string(blocks)},
                 "udftools", true);
      return;
    }
    case Kind::apfs: {
      std::vector<std::string> args;
      if (plan.caseSensitive) args.push_back("-s");
      const std::string label = apfsLabel(volumeName);
      if (!label.empty()) args.insert(args.end(), {"-L", label});
      if (where.length * sectorSize <= sizes::apfsLargestFromMkapfs) {
        formatWith(image, imagePath, where, defined, "mkapfs", args, "apfsprogs");
        return;
      }
      // A container small enough for mkapfs to lay out right, grown to the partition.
      formatWith(image, imagePath, Placement{where.start, sizes::apfsGrownFrom / sectorSize}, defined, "mkapfs", args,
                 "apfsprogs");
      SliceImageIO partition(image, where.start * sectorSize, where.length * sectorSize);
      RecordingImageIO recorded(partition, where.start * sectorSize, defined);
      apfs::resizeContainer(recorded, 0, partition.size());
      return;
    }
  }
}

void writeMap(ImageIO& image, const Plan& plan, const Placement& where) {
  switch (plan.kind) {
    case Kind::udf:
      return;
    case Kind::fat: {
      const int bits = sizes::fatBits(where.length * sectorSize);
      const std::uint8_t type = bits == 32 ? 0x0C : bits == 16 ? (where.length < 65536 ? 0x04 : 0x06) : 0x01;
      writeMbr(image,
               {{0x00, type, static_cast<std::uint32_t>(where.start), static_cast<std::uint32_t>(where.length)}});
      return;
    }
    default: {
      GptEntry entry;
      entry.type = plan.kind == Kind::hfs ? appleHfsType : plan.kind == Kind::apfs ? appleApfsType : basicDataType;
      entry.unique = randomGuid();
      entry.firstLba = where.start;
      entry.lastLba = where.start + where.length - 1;
      entry.name = gptNameFromUtf8("disk image");
      writeGpt(image, randomGuid(), {entry});
    }
  }
}

}  // namespace

const std::vector<std::string>& supportedFileSystems() { return filesystemList; }

void layOutImage(const std::string& imagePath, std::uint64_t size, const std::string& fileSystem,
                 const std::string& volumeName, Regions* defined) {
  const std::optional<Plan> plan = planFor(fileSystem);
  if (!plan) {
    std::string known;
    for (const auto& name : supportedFileSystems()) known += (known.empty() ? "" : ", ") + name;
    throw ToolError("unknown file system \"" + fileSystem + "\" (known: " + known + ")");
  }
  if (size == 0 || size % sectorSize != 0) throw ToolError("the image size must be a positive multiple of 512 bytes");
  const Placement where = place(*plan, fileSystem, size);

  const int fd = ::open(imagePath.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) throw ToolError("cannot open " + imagePath + ": " + std::strerror(errno));
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0) throw ToolError("cannot examine " + imagePath + ": " + std::strerror(errno));
  if (!S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) != size)
    throw ToolError(imagePath + " is not a file of " + std::to_string(size) + " bytes");

  FileImageIO image(fd, size);
  format(image, imagePath, *plan, where, volumeName, defined);
  writeMap(image, *plan, where);
}

void resizePartitionMap(ImageIO& image, std::uint64_t newSize) {
  if (newSize % sectorSize != 0) throw ToolError("the image size must be a multiple of 512 bytes");
  if (readGpt(image)) return resizeGpt(image, newSize / sectorSize);
  if (readMbr(image)) return resizeMbr(image, newSize / sectorSize);
}

}  // namespace quorbel::imagetool
