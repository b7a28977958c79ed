#include "imagetool/layout/layout.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
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

// Where the formatted volume goes and how: `zerosWritten` when unwritten bytes do not read as zeros.
struct Target {
  ImageIO& image;
  std::string scratchFolder;
  bool zerosWritten = false;
};

// Runs a formatter on a scratch file the size of the volume and carries its data into place: the
// non-zero blocks, or with `zerosWritten` every region the formatter wrote.
void formatWith(const Target& target, const Placement& where, const std::string& program,
                std::vector<std::string> arguments, const std::string& package, bool blocksLast = false) {
  ScratchFile scratch(target.scratchFolder, where.length * sectorSize, program);
  // Formatters take the device as their last argument, or before a block count.
  arguments.insert(blocksLast ? arguments.end() - 1 : arguments.end(), scratch.path());
  runFormatter(program, arguments, package);
  const std::uint64_t at = where.start * sectorSize;
  if (!target.zerosWritten) return copyNonZero(scratch.fd(), scratch.length(), target.image, at, "the scratch file");
  std::vector<char> buffer(4u << 20);
  copySparse(scratch.fd(), scratch.length(), buffer, "the scratch file",
             [&](std::uint64_t from, const char* data, std::size_t n) { target.image.write(at + from, data, n); });
}

void writeZeros(ImageIO& image, std::uint64_t offset, std::uint64_t length) {
  const std::vector<unsigned char> zeros(1u << 20, 0);
  for (std::uint64_t n = 0; length > 0; offset += n, length -= n) {
    n = std::min<std::uint64_t>(length, zeros.size());
    image.write(offset, zeros.data(), static_cast<std::size_t>(n));
  }
}

// HFS Plus is written straight onto the image; the regions it defines are zeroed first where
// unwritten bytes would not read as zeros.
void formatHfs(const Target& target, const Plan& plan, const Placement& where, const std::string& volumeName) {
  SliceImageIO partition(target.image, where.start * sectorSize, where.length * sectorSize);
  const hfsplus::VolumeOptions options{volumeName, plan.journaled};
  if (target.zerosWritten)
    for (const auto& [offset, length] : hfsplus::formattedRegions(0, partition.size(), options))
      writeZeros(partition, offset, length);
  hfsplus::formatVolume(partition, 0, partition.size(), options);
}

// mkapfs lays out containers up to 1.32 TiB right; larger ones are made at that size and grown.
void formatApfs(const Target& target, const Plan& plan, const Placement& where, const std::string& volumeName) {
  std::vector<std::string> args;
  if (plan.caseSensitive) args.push_back("-s");
  const std::string label = apfsLabel(volumeName);
  if (!label.empty()) args.insert(args.end(), {"-L", label});
  if (where.length * sectorSize <= sizes::apfsLargestFromMkapfs)
    return formatWith(target, where, "mkapfs", args, "apfsprogs");
  formatWith(target, Placement{where.start, sizes::apfsGrownFrom / sectorSize}, "mkapfs", args, "apfsprogs");
  SliceImageIO partition(target.image, where.start * sectorSize, where.length * sectorSize);
  apfs::resizeContainer(partition, 0, partition.size());
}

void format(const Target& target, const Plan& plan, const Placement& where, const std::string& volumeName) {
  switch (plan.kind) {
    case Kind::hfs:
      return formatHfs(target, plan, where, volumeName);
    case Kind::apfs:
      return formatApfs(target, plan, where, volumeName);
    case Kind::exfat: {
      std::vector<std::string> args;
      const std::string label = exfatLabel(volumeName);
      if (!label.empty()) args = {"-L", label};
      return formatWith(target, where, "mkfs.exfat", args, "exfatprogs");
    }
    case Kind::fat: {
      const int bits = sizes::fatBits(where.length * sectorSize);
      std::vector<std::string> args{"-F", std::to_string(bits),        "-S",     "512", "-M", "0xF8", "-D", "0x80",
                                    "-h", std::to_string(where.start), "--mbr=n"};
      const std::string label = fatLabel(volumeName);
      if (!label.empty()) args.insert(args.end(), {"-n", label});
      return formatWith(target, where, "mkfs.fat", args, "dosfstools");
    }
    case Kind::udf: {
      // Every string option is UTF-8 (mkudffs wants this first); 512-byte blocks, as the
      // sectors of the image; no fake MBR in the boot area.
      const std::uint64_t blocks = std::min<std::uint64_t>(where.length, sizes::udfMaxBlocks);
      return formatWith(target, where, "mkudffs",
                        {"--utf8", "--media-type=hd", "--blocksize=512", "--bootarea=erase",
                         "--lvid=" + udfIdentifier(volumeName, 126, 63), "--vid=" + udfIdentifier(volumeName, 30, 15),
                         std::to_string(blocks)},
                        "udftools", true);
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

void layOutImage(ImageIO& image, const std::string& scratchFolder, const std::string& fileSystem,
                 const std::string& volumeName, bool zerosWritten) {
  const std::optional<Plan> plan = planFor(fileSystem);
  if (!plan) {
    std::string known;
    for (const auto& name : supportedFileSystems()) known += (known.empty() ? "" : ", ") + name;
    throw ToolError("unknown file system \"" + fileSystem + "\" (known: " + known + ")");
  }
  const std::uint64_t size = image.size();
  if (size == 0 || size % sectorSize != 0) throw ToolError("the image size must be a positive multiple of 512 bytes");
  const Placement where = place(*plan, fileSystem, size);
  format(Target{image, scratchFolder, zerosWritten}, *plan, where, volumeName);
  if (zerosWritten) {  // the map's sectors and the gaps around them
    writeZeros(image, 0, where.start * sectorSize);
    writeZeros(image, (where.start + where.length) * sectorSize, size - (where.start + where.length) * sectorSize);
  }
  writeMap(image, *plan, where);
}

void layOutImage(const std::string& imagePath, std::uint64_t size, const std::string& fileSystem,
                 const std::string& volumeName) {
  const UniqueFd fd(::open(imagePath.c_str(), O_RDWR | O_CLOEXEC));
  if (!fd) throw ToolError("cannot open " + imagePath + ": " + std::strerror(errno));
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) throw ToolError("cannot examine " + imagePath + ": " + std::strerror(errno));
  if (!S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) != size)
    throw ToolError(imagePath + " is not a file of " + std::to_string(size) + " bytes");
  FileImageIO image(fd.get(), size);
  std::error_code error;
  const auto folder = std::filesystem::absolute(imagePath, error).parent_path().string();
  layOutImage(image, folder, fileSystem, volumeName);
}

void resizePartitionMap(ImageIO& image, std::uint64_t newSize) {
  if (newSize % sectorSize != 0) throw ToolError("the image size must be a multiple of 512 bytes");
  if (readGpt(image)) return resizeGpt(image, newSize / sectorSize);
  if (readMbr(image)) return resizeMbr(image, newSize / sectorSize);
}

}  // namespace quorbel::imagetool
