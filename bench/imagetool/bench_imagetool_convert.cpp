// convert of a bundle holding random data, 8 MiB -> 16 MiB bands and then 16 MiB -> 1 MiB, against
// `cp -r` + `sync` of the same bundle on the same file system:
// - on the temporary folder's file system (ext4 on the build machines): throughput at least 1.0x
//   that of cp -r + sync;
// - on an XFS with reflink made in a file and loop-mounted (needs root; skipped with the reason
//   otherwise): time at most 3x that of cp -r + sync, and at most 1% of the data in extra space;
// - peak memory at most 2 x band + 32 MiB each way (shared blocks, in-kernel copy, read and write).
// Usage: bench_imagetool_convert [GiB of data, default 2] [rounds, default 3]

#include <signal.h>
#include <sys/mount.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "bench_support.h"

using namespace quorbel::imagetool::bench;

namespace {

constexpr std::uint64_t MiB = 1ull << 20;

std::string mountPoint;  // for the signal handler: a mount is never left behind

extern "C" void onSignal(int signal) {
  if (!mountPoint.empty()) ::umount2(mountPoint.c_str(), MNT_DETACH);
  ::_exit(128 + signal);
}

// An XFS with reflink in a sparse file under `dir`, loop-mounted while this object lives.
class LoopXfs {
 public:
  LoopXfs(const std::string& dir, std::uint64_t bytes) : image_(dir + "/xfs.img"), path_(dir + "/xfs") {
    std::filesystem::create_directories(path_);
    std::ofstream(image_).close();
    if (::truncate(image_.c_str(), static_cast<off_t>(bytes)) != 0) {
      why_ = "no room for the file system's file";
      return;
    }
    if (::geteuid() != 0) {
      why_ = "making and mounting a file system needs root";
      return;
    }
    if (run({"mkfs.xfs", "-q", "-m", "reflink=1", image_}).status != 0) {
      why_ = "mkfs.xfs (xfsprogs) is missing or failed";
      return;
    }
    mountPoint = path_;
    if (run({"mount", "-o", "loop", image_, path_}).status != 0) {
      mountPoint.clear();
      why_ = "the file system could not be loop-mounted";
      return;
    }
    mounted_ = true;
  }
  ~LoopXfs() {
    if (mounted_) ::umount2(path_.c_str(), 0) == 0 || ::umount2(path_.c_str(), MNT_DETACH);
    mountPoint.clear();
  }
  LoopXfs(const LoopXfs&) = delete;
  LoopXfs& operator=(const LoopXfs&) = delete;
  bool mounted() const { return mounted_; }
  const std::string& why() const { return why_; }
  const std::string& path() const { return path_; }

 private:
  std::string image_, path_, why_;
  bool mounted_ = false;
};

std::uint64_t usedBytes(const std::string& path) {
  struct statfs fs {};
  if (::statfs(path.c_str(), &fs) != 0) return 0;
  return (static_cast<std::uint64_t>(fs.f_blocks) - fs.f_bfree) * static_cast<std::uint64_t>(fs.f_bsize);
}

std::string fileSystemName(const std::string& path) {
  struct statfs fs {};
  if (::statfs(path.c_str(), &fs) != 0) return "unknown";
  switch (static_cast<unsigned long>(fs.f_type)) {
    case 0xEF53:
      return "ext4";
    case 0x58465342:
      return "xfs";
    case 0x9123683E:
      return "btrfs";
    case 0x01021994:
      return "tmpfs";
    default:
      break;
  }
  char name[32];
  std::snprintf(name, sizeof name, "file system 0x%lx", static_cast<unsigned long>(fs.f_type));
  return name;
}

void makeSource(const std::string& path, std::uint64_t band, std::uint64_t bytes) {
  writeBundlePlists(path, band, bytes);
  for (std::uint64_t i = 0; i * band < bytes; ++i) {
    char name[24];
    std::snprintf(name, sizeof name, "%llx", static_cast<unsigned long long>(i));
    writeRandomFile(path + "/bands/" + name, band, i + 1);
  }
  run({"sync", "-f", path});
}

struct Figures {
  double copySeconds = 0, convertSeconds = 0;  // medians; the copy includes its sync
  double resultCopySeconds = 0;                // cp -r + sync of what convert made: as many files
  std::uint64_t peakRss = 0;
  std::uint64_t extraBytes = 0;  // the most space one convert took
};

// Rounds of cp -r + sync and convert of `source` into bands of `band` in the same folder; the last
// converted bundle is kept at `keep` when that is not empty.
Figures measure(const std::string& source, std::uint64_t band, int rounds, const std::string& keep, bool copyResult,
                const std::vector<std::string>& env = {}) {
  const std::string dir = std::filesystem::path(source).parent_path();
  const std::string copy = dir + "/copy", dest = dir + "/dest.sparsebundle";
  std::vector<double> copies, converts, resultCopies;
  Figures f;
  for (int round = 0; round < rounds; ++round) {
    run({"sync", "-f", dir});
    const Measured cp = run({"cp", "-r", source, copy});
    const Measured sync = run({"sync", "-f", copy});
    if (cp.status != 0 || sync.status != 0) throw std::runtime_error("cp -r failed");
    copies.push_back(cp.seconds + sync.seconds);
    std::filesystem::remove_all(copy);
    run({"sync", "-f", dir});
    const std::uint64_t before = usedBytes(dir);
    const Measured conv = run({QUORBEL_IMAGETOOL, "convert", source, "-format", "UDSB", "-o", dest, "-imagekey",
                               "sparse-band-size=" + std::to_string(band / 512)},
                              env);
    if (conv.status != 0) throw std::runtime_error("convert failed with status " + std::to_string(conv.status));
    const std::uint64_t after = usedBytes(dir);
    converts.push_back(conv.seconds);
    f.peakRss = std::max(f.peakRss, conv.peakRssBytes);
    f.extraBytes = std::max(f.extraBytes, after > before ? after - before : 0);
    if (copyResult) {
      run({"sync", "-f", dir});
      const Measured cpResult = run({"cp", "-r", dest, copy});
      const Measured syncResult = run({"sync", "-f", copy});
      resultCopies.push_back(cpResult.seconds + syncResult.seconds);
      std::filesystem::remove_all(copy);
    }
    if (round + 1 == rounds && !keep.empty()) {
      std::filesystem::rename(dest, keep);
    } else {
      std::filesystem::remove_all(dest);
    }
  }
  f.copySeconds = median(copies);
  f.convertSeconds = median(converts);
  if (copyResult) f.resultCopySeconds = median(resultCopies);
  return f;
}

bool memoryCheck(const std::string& what, const Figures& f, std::uint64_t band) {
  std::printf("%s: convert peak memory %.1f MiB\n", what.c_str(), static_cast<double>(f.peakRss) / MiB);
  return report(what + ": convert peak memory / (2 x band + 32 MiB)",
                static_cast<double>(f.peakRss) / static_cast<double>(2 * band + 32 * MiB), "<=", 1.0);
}

}  // namespace

int main(int argc, char** argv) {
  const double gib = argc > 1 ? std::atof(argv[1]) : 2.0;
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  const std::uint64_t bytes = static_cast<std::uint64_t>(gib * (1ull << 30)) / (16 * MiB) * (16 * MiB);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) ::signal(s, onSignal);
  const double mib = static_cast<double>(bytes) / MiB;
  bool ok = true;
  struct Step {
    const char* name;
    std::uint64_t band;
  };
  const Step steps[] = {{"8 MiB -> 16 MiB bands", 16 * MiB}, {"16 MiB -> 1 MiB bands", MiB}};

  try {
    Scratch scratch;
    const std::string fsName = fileSystemName(scratch.path());
    {
      // The temporary folder's own file system: an in-kernel copy (or read and write) of every byte.
      const std::string dir = scratch / "plain";
      std::filesystem::create_directories(dir);
      makeSource(dir + "/s8.sparsebundle", 8 * MiB, bytes);
      std::printf("%s: %.2f GiB of random data, %d rounds\n", fsName.c_str(), gib, rounds);
      std::string source = dir + "/s8.sparsebundle";
      for (const Step& step : steps) {
        const std::string next = dir + "/s16.sparsebundle";
        const Figures f = measure(source, step.band, rounds, source.find("s8") != std::string::npos ? next : "", false);
        std::printf("%s, %s: cp -r + sync %.0f MiB/s, convert %.0f MiB/s\n", fsName.c_str(), step.name,
                    mib / f.copySeconds, mib / f.convertSeconds);
        ok &= report(fsName + ", " + step.name + ": convert throughput vs cp -r + sync",
                     f.copySeconds / f.convertSeconds, ">=", 1.0);
        ok &= memoryCheck(fsName + ", " + step.name, f, step.band);
        source = next;
      }
      // Reading and writing, where no in-kernel copy is possible: its memory, and its speed for the record.
      const Figures rw = measure(source, MiB, 1, "", false, {"QUORBEL_COPY_WAY=readWrite"});
      std::printf("%s, read and write forced, 16 MiB -> 1 MiB bands: convert %.0f MiB/s (cp -r + sync %.0f MiB/s)\n",
                  fsName.c_str(), mib / rw.convertSeconds, mib / rw.copySeconds);
      ok &= memoryCheck(fsName + ", read and write forced", rw, MiB);
      std::filesystem::remove_all(dir);
    }
    {
      LoopXfs xfs(scratch.path(), bytes * 2 + (2ull << 30));
      if (!xfs.mounted()) {
        std::printf("xfs with reflink: SKIPPED (%s)\n", xfs.why().c_str());
      } else {
        const std::string dir = xfs.path();
        makeSource(dir + "/s8.sparsebundle", 8 * MiB, bytes);
        std::string source = dir + "/s8.sparsebundle";
        const int xfsRounds = std::max(rounds, 5);  // each round takes moments
        for (const Step& step : steps) {
          const std::string next = dir + "/s16.sparsebundle";
          const Figures f =
              measure(source, step.band, xfsRounds, source.find("s8") != std::string::npos ? next : "", true);
          std::printf("xfs with reflink, %s: cp -r + sync %.3f s, convert %.3f s, convert's extra space %.2f MiB\n",
                      step.name, f.copySeconds, f.convertSeconds, static_cast<double>(f.extraBytes) / MiB);
          // Making many small bands costs a file each; copying the result shows that cost alone.
          std::printf(
              "xfs with reflink, %s: cp -r + sync of the converted bundle (as many files) %.3f s, "
              "convert / that: %.2f\n",
              step.name, f.resultCopySeconds, f.convertSeconds / f.resultCopySeconds);
          ok &= report(std::string("xfs with reflink, ") + step.name + ": convert time / cp -r + sync time",
                       f.convertSeconds / f.copySeconds, "<=", 3.0);
          ok &= report(std::string("xfs with reflink, ") + step.name + ": convert's extra space / data",
                       static_cast<double>(f.extraBytes) / static_cast<double>(bytes), "<=", 0.01);
          ok &= memoryCheck(std::string("xfs with reflink, ") + step.name, f, step.band);
          source = next;
        }
      }
    }
  } catch (const std::exception& e) {
    std::printf("benchmark failed: %s\n", e.what());
    return 1;
  }
  return ok ? 0 : 1;
}
