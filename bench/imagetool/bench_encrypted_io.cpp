// Throughput of the encryption layer over a bundle's bands (AES-128, 512-byte chunks, 1 MiB pieces
// written and read through the band store, page cache warm) against `openssl speed -evp aes-128-cbc`
// on one core (its 16 KiB column). Target: encryption and decryption each at least 0.5 of it. OpenSSL
// counts the CPU time it used, so the layer is timed the same way (user and system time of this
// process, the copies into the page cache included): wall-clock time on a shared machine would
// measure the other work running.

#include <sys/resource.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "imagetool/bundle/band_store.h"
#include "imagetool/crypto/encrypted_io.h"

using namespace quorbel::imagetool;
using namespace quorbel::imagetool::bench;

namespace {

constexpr std::uint64_t imageBytes = 256ull << 20, bandBytes = 8ull << 20, piece = 1u << 20;

// OpenSSL's own figure, bytes per second, from its last column (16384-byte blocks).
double opensslSpeed() {
  FILE* pipe = ::popen("openssl speed -seconds 2 -evp aes-128-cbc 2>/dev/null", "r");
  if (pipe == nullptr) return -1;
  std::string text;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
  ::pclose(pipe);
  const auto at = text.rfind("AES-128-CBC");
  if (at == std::string::npos) return -1;
  std::istringstream line(text.substr(at + 11));
  std::string column, last;
  while (line >> column && column.back() == 'k') last = column;
  return last.empty() ? -1 : std::stod(last) * 1000;
}

double cpuSeconds() {
  struct rusage usage {};
  ::getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double best(const std::vector<double>& values) {
  double b = values.front();
  for (double v : values) b = std::min(b, v);
  return b;
}

}  // namespace

int main() {
  Scratch dir;
  const std::string bands = dir / "bands";
  std::filesystem::create_directories(bands);
  const crypto::ImageKeys keys = crypto::newKeys(128);
  BandStore store(bands, bandBytes, imageBytes, true);
  crypto::EncryptedImageIO image(store, bandBytes, crypto::ChunkCipher(keys, 512));
  std::vector<char> data(piece);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 + 7);

  std::vector<double> writes, reads;
  for (int round = 0; round < 3; ++round) {
    double start = cpuSeconds();
    for (std::uint64_t at = 0; at < imageBytes; at += piece) image.write(at, data.data(), data.size());
    writes.push_back(cpuSeconds() - start);
    start = cpuSeconds();
    for (std::uint64_t at = 0; at < imageBytes; at += piece) image.read(at, data.data(), data.size());
    reads.push_back(cpuSeconds() - start);
  }
  const double openssl = opensslSpeed();
  if (openssl <= 0) {
    std::printf("encryption layer: SKIPPED (openssl speed gave no figure)\n");
    return 0;
  }
  const double encrypt = imageBytes / best(writes), decrypt = imageBytes / best(reads);
  std::printf("openssl aes-128-cbc %.0f MB/s; layer encrypt+write %.0f MB/s, read+decrypt %.0f MB/s\n", openssl / 1e6,
              encrypt / 1e6, decrypt / 1e6);
  bool ok = report("band layer encrypt / openssl aes-128-cbc", encrypt / openssl, ">=", 0.5);
  ok &= report("band layer decrypt / openssl aes-128-cbc", decrypt / openssl, ">=", 0.5);
  return ok ? 0 : 1;
}
