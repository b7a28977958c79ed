#pragma once
// The bytes of a sparse bundle's image, read and written at byte offsets across its band files.

#include <cstdint>
#include <list>
#include <set>
#include <string>

#include "imagetool/bundle/fs_util.h"
#include "imagetool/image_io.h"

namespace quorbel::imagetool {

class BandStore : public ImageIO {
 public:
  // `bandsDir` is the bundle's bands/ folder. A read-only store never creates or changes a band.
  BandStore(std::string bandsDir, std::uint64_t bandSize, std::uint64_t size, bool writable);

  std::uint64_t size() const override { return size_; }
  std::uint64_t bandSize() const { return bandSize_; }
  // Missing bands and the part past a short band's end read as zeros.
  void read(std::uint64_t offset, void* data, std::size_t length) const override;
  // A band file is created only for data that is not all zeros, and zeros past a band's end are not
  // written (they read as zeros already).
  void write(std::uint64_t offset, const void* data, std::size_t length) override;
  // Flushes every band written so far to the disk.
  void sync();
  // For bulk copies: writes start going to the disk at once, so that sync() finds little left to do.
  void setWriteBehind(bool on) { writeBehind_ = on; }

 private:
  struct OpenBand {
    std::uint64_t index;
    UniqueFd fd;
    std::uint64_t length;
    bool dirty;
  };
  // The open band `index`, or nullptr when it does not exist and `create` is false.
  OpenBand* band(std::uint64_t index, bool create) const;
  void check(std::uint64_t offset, std::size_t length) const;

  std::string bandsDir_;
  std::uint64_t bandSize_;
  std::uint64_t size_;
  bool writable_;
  bool writeBehind_ = false;
  // Bands written and closed since the last sync().
  mutable std::set<std::uint64_t> unsynced_;
  // A few recently used bands stay open; most work walks the image in order.
  mutable std::list<OpenBand> open_;
};

}  // namespace quorbel::imagetool
