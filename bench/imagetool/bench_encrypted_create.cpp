// Encrypted create, AES-256, 2 TiB against 2 GiB. In an encrypted image nothing reads as zeros unless
// written, so everything the file system defines is written encrypted: for HFS+J the allocation file
// and the B-tree clumps, which macOS sizes with the volume (724 MiB at 2 TiB). The cost is therefore
// not O(1) as for plain images; the targets hold it to what the volume defines: time growing no
// faster than the bytes written, and the bundle at most 0.1% of the image size.

#include <cstdio>
#include <filesystem>
#include <string>

#include "bench_support.h"

using namespace quorbel::imagetool::bench;

namespace {

struct Result {
  double seconds = -1;
  double onDisk = 0;
};

Result create(const Scratch& dir, const std::string& fileSystem, const std::string& size) {
  const std::string path = dir / "new.sparsebundle";
  const Measured m = run({"/bin/sh", "-c",
                          "printf 'bench password' | \"$0\" create -size \"$1\" -type SPARSEBUNDLE -encryption AES-256 "
                          "-stdinpass -fs \"$2\" -volname Bench \"$3\"",
                          QUORBEL_IMAGETOOL, size, fileSystem, path});
  Result r;
  if (m.status != 0) return r;
  r.seconds = m.seconds;
  r.onDisk = static_cast<double>(treeBytesOnDisk(path));
  std::filesystem::remove_all(path);
  return r;
}

}  // namespace

int main() {
  Scratch dir;
  bool ok = true;
  for (const std::string fileSystem : {"HFS+J", "exFAT"}) {
    const Result small = create(dir, fileSystem, "2g"), huge = create(dir, fileSystem, "2t");
    if (small.seconds < 0 || huge.seconds < 0) {
      std::printf("encrypted create of %s failed\n", fileSystem.c_str());
      return 1;
    }
    std::printf("%s AES-256: 2 GiB %.2f s, %.1f MiB on disk; 2 TiB %.2f s, %.1f MiB on disk\n", fileSystem.c_str(),
                small.seconds, small.onDisk / 1048576, huge.seconds, huge.onDisk / 1048576);
    const double bytesRatio = huge.onDisk / small.onDisk;
    std::printf("create %s AES-256 bundle bytes, 2 TiB / 2 GiB: %.1f\n", fileSystem.c_str(), bytesRatio);
    ok &= report("create " + fileSystem + " AES-256 time, 2 TiB / 2 GiB, against the bytes ratio",
                 huge.seconds / small.seconds / bytesRatio, "<=", 1.0);
    ok &= report("create " + fileSystem + " AES-256 2 TiB bundle bytes / image bytes (%)",
                 100 * huge.onDisk / (2.0 * 1024 * 1024 * 1024 * 1024), "<=", 0.1);
  }
  return ok ? 0 : 1;
}
