// Laying out an image costs about the same whatever its size: for each file system, the time
// layOutImage takes and the bytes the image then holds, at 2 GiB and at the largest size the
// file system allows up to 2 TiB. Prints the ratios; the target is a ratio of at most 1.5 for
// exFAT, whose formatter writes no table in proportion to the size that reaches the image.
//
// Usage: bench_layout [FOLDER]   (scratch files go there; default: the temporary folder)

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "imagetool/layout/layout.h"
#include "imagetool/layout/sizes.h"

namespace {

namespace fs = std::filesystem;
using quorbel::imagetool::layOutImage;
namespace sizes = quorbel::imagetool::layout::sizes;

struct Result {
  double seconds;
  std::uint64_t allocated;
};

Result measure(const fs::path& folder, std::uint64_t size, const std::string& fileSystem) {
  const fs::path path = folder / "bench-image";
  Result best{1e9, 0};
  for (int round = 0; round < 3; ++round) {
    fs::remove(path);
    const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(size)) != 0) std::exit(2);
    ::close(fd);
    const auto start = std::chrono::steady_clock::now();
    layOutImage(path.string(), size, fileSystem, "Bench");
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    struct stat st {};
    ::stat(path.c_str(), &st);
    best.seconds = std::min(best.seconds, took.count());
    best.allocated = static_cast<std::uint64_t>(st.st_blocks) * 512;
  }
  fs::remove(path);
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path folder = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path();
  const std::uint64_t small = 2 * sizes::GiB;
  const std::uint64_t twoTiB = 2048 * sizes::GiB;
  const struct {
    const char* fileSystem;
    std::uint64_t large;
  } cases[] = {
      {"exFAT", twoTiB},
      {"APFS", twoTiB},
      {"MS-DOS", twoTiB},
      {"UDF", twoTiB},
  };
  int status = 0;
  std::printf("%-8s %10s %10s %12s %12s %8s %8s\n", "fs", "t(2 GiB)", "t(large)", "bytes(2 GiB)", "bytes(large)",
              "t ratio", "b ratio");
  for (const auto& c : cases) {
    try {
      const Result a = measure(folder, small, c.fileSystem);
      const Result b = measure(folder, c.large, c.fileSystem);
      const double timeRatio = b.seconds / a.seconds;
      const double byteRatio =
          static_cast<double>(b.allocated) / static_cast<double>(std::max<std::uint64_t>(a.allocated, 1));
      std::printf("%-8s %9.4fs %9.4fs %12llu %12llu %8.2f %8.2f   (large = %s)\n", c.fileSystem, a.seconds, b.seconds,
                  static_cast<unsigned long long>(a.allocated), static_cast<unsigned long long>(b.allocated), timeRatio,
                  byteRatio, sizes::describeSize(c.large, false).c_str());
      if (std::string(c.fileSystem) == "exFAT") {
        std::printf("exFAT bytes ratio %.2f, target <= 1.5: %s\n", byteRatio, byteRatio <= 1.5 ? "met" : "MISSED");
        if (byteRatio > 1.5) status = 1;
      }
    } catch (const std::exception& e) {
      std::printf("%-8s failed: %s\n", c.fileSystem, e.what());
      status = 1;
    }
  }
  return status;
}
