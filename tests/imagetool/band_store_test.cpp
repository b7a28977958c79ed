// The band store against a plain in-memory image: every write lands at the right bytes, whatever
// bands it crosses, and the band files follow the on-disk rules.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>

#include "imagetool/bundle/band_store.h"
#include "imagetool/bundle/bundle.h"
#include "support.h"

namespace quorbel::imagetool {
namespace {

using test::Scratch;

constexpr std::uint64_t band = 64 * 1024;

TEST(BandStore, RandomWritesAcrossBandsMatchAPlainImage) {
  Scratch dir;
  // A size that is not a multiple of the band size: the last band is short.
  const std::uint64_t size = 5 * band + 3 * 512;
  const std::string bundle = dir / "a.sparsebundle";
  ASSERT_EQ(::mkdir(bundle.c_str(), 0755), 0);
  writeNewBundleFiles(bundle, BundleInfo{band, size, 1, {}});
  std::string reference(size, '\0');
  std::mt19937 engine(7);
  {
    BandStore store(bundle + "/bands", band, size, true);
    for (int i = 0; i < 200; ++i) {
      const std::uint64_t offset = engine() % size;
      const std::size_t length = std::min<std::uint64_t>(engine() % (3 * band), size - offset);
      // Some writes are zeros, some data, so zero-skipping and overwriting both happen.
      const std::string data = (i % 4 == 0) ? std::string(length, '\0') : test::randomBytes(length, engine());
      store.write(offset, data.data(), data.size());
      reference.replace(offset, length, data);
    }
    store.sync();
    std::string back(size, 'x');
    store.read(0, back.data(), size);
    EXPECT_EQ(back, reference);
  }
  // Another store and the independent reader see the same image.
  const BandStore again(bundle + "/bands", band, size, false);
  std::string back(size, 'x');
  again.read(0, back.data(), size);
  EXPECT_EQ(back, reference);
  EXPECT_EQ(test::flatten(bundle), reference);
  // No band is longer than the band size, and the last never reaches past the image.
  for (const auto& name : test::listDir(bundle + "/bands")) {
    struct stat st {};
    ::stat((bundle + "/bands/" + name).c_str(), &st);
    EXPECT_LE(static_cast<std::uint64_t>(st.st_size), band) << name;
  }
  struct stat last {};
  if (::stat((bundle + "/bands/5").c_str(), &last) == 0) {
    EXPECT_LE(static_cast<std::uint64_t>(last.st_size), 3u * 512);
  }
}

TEST(BandStore, MissingAndShortBandsReadAsZerosAndZerosCreateNoBand) {
  Scratch dir;
  const std::string bundle = dir / "b.sparsebundle";
  // Band 1 is short, band 2 missing, band 3 full.
  test::makeBundle(bundle, band, 4 * band,
                   {{1, std::string(100, 'a')}, {3, std::string(band, 'c')}});
  BandStore store(bundle + "/bands", band, 4 * band, true);
  std::string piece(3 * band, 'x');
  store.read(band - 10, piece.data(), piece.size());
  EXPECT_EQ(piece.substr(0, 10), std::string(10, '\0'));
  EXPECT_EQ(piece.substr(10, 100), std::string(100, 'a'));
  EXPECT_EQ(piece.substr(110, 2 * band - 110), std::string(2 * band - 110, '\0'));
  EXPECT_EQ(piece.substr(2 * band + 10, band - 10), std::string(band - 10, 'c'));

  // Zeros into a missing band or past a short band's end change no file.
  const std::string zeros(band, '\0');
  store.write(2 * band, zeros.data(), zeros.size());
  store.write(band + 200, zeros.data(), 1000);
  store.sync();
  EXPECT_FALSE(test::exists(bundle + "/bands/2"));
  EXPECT_EQ(test::readFile(bundle + "/bands/1"), std::string(100, 'a'));
  // Zeros over data do overwrite it.
  store.write(band + 50, zeros.data(), 10);
  store.sync();
  EXPECT_EQ(test::readFile(bundle + "/bands/1"), std::string(50, 'a') + std::string(10, '\0') + std::string(40, 'a'));
}

TEST(BandStore, RefusesAccessPastTheEndWritesWhenReadOnlyAndLinkedBands) {
  Scratch dir;
  const std::string bundle = dir / "c.sparsebundle";
  test::makeBundle(bundle, band, 2 * band, {});
  char byte = 1;
  BandStore store(bundle + "/bands", band, 2 * band, true);
  EXPECT_THROW(store.write(2 * band, &byte, 1), ToolError);
  EXPECT_THROW(store.read(2 * band - 1, &byte, 2), ToolError);
  const BandStore readOnly(bundle + "/bands", band, 2 * band, false);
  EXPECT_THROW(const_cast<BandStore&>(readOnly).write(0, &byte, 1), ToolError);

  // A band that is a symbolic link is never followed, for reading or writing.
  test::writeFile(dir / "elsewhere", std::string(10, 'z'));
  ASSERT_EQ(::symlink((dir / "elsewhere").c_str(), (bundle + "/bands/1").c_str()), 0);
  EXPECT_THROW(readOnly.read(band, &byte, 1), ToolError);
  EXPECT_THROW(store.write(band, &byte, 1), ToolError);
  EXPECT_EQ(test::readFile(dir / "elsewhere"), std::string(10, 'z'));
}

}  // namespace
}  // namespace quorbel::imagetool
