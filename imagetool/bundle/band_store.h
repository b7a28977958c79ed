#pragma once
// The bytes of a sparse bundle's image, read and written at byte offsets across its band files.

#include <cstdint>
#include <list>
#include <map>
#include <set>
#include <string>

#include "imagetool/bundle/fs_util.h"
#include "imagetool/bundle/range_copy.h"
#include "imagetool/image_io.h"

namespace quorbel::imagetool {

class BandStore : public ImageIO {
 public:
  // `bandsDirFd` is the bundle's bands/ folder (the store keeps its own descriptor of it), `bandsDir`
  // its path for messages. A read-only store never creates or changes a band.
  BandStore(int bandsDirFd, std::string bandsDir, std::uint64_t bandSize, std::uint64_t size, bool writable);
  // The same for a folder given by path, which must not be a symbolic link.
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

  UniqueFd dir_;
  std::string bandsDir_;
  std::uint64_t bandSize_;
  std::uint64_t size_;
  bool writable_;
  bool writeBehind_ = false;
  mutable bool created_ = false;  // a band was created since the last sync()
  // Bands written and closed since the last sync().
  mutable std::set<std::uint64_t> unsynced_;
  // A few recently used bands stay open; most work walks the image in order.
  mutable std::list<OpenBand> open_;
};

// The bands of a new bundle folder whose files start as hard links to a live bundle's bands. A band
// is copied before its first change, so the live bundle's files are never written.
class CopyOnWriteBands : public ImageIO {
 public:
  // `bandsDirFd` is the new folder's bands/ (the object keeps its own descriptor of it).
  CopyOnWriteBands(int bandsDirFd, std::uint64_t bandSize, std::uint64_t size);
  std::uint64_t size() const override { return size_; }
  void read(std::uint64_t offset, void* data, std::size_t length) const override;
  void write(std::uint64_t offset, const void* data, std::size_t length) override;
  // Shortens band `index` to `length` bytes when it is longer.
  void truncateBand(std::uint64_t index, std::uint64_t length);
  void removeBand(std::uint64_t index);
  // Flushes the bands changed and the folder.
  void sync();

 private:
  struct Band {
    UniqueFd fd;
    bool writable = false;
  };
  // The band's descriptor, or -1 when it does not exist and `forWriting` is false.
  int open(std::uint64_t index, bool forWriting) const;
  // Bytes band `index` holds (0 when absent).
  std::uint64_t held(std::uint64_t index) const;
  // Replaces a hard link to a live band by a copy of its data (holes stay holes).
  void privatize(std::uint64_t index);

  UniqueFd dir_;
  std::uint64_t bandSize_;
  std::uint64_t size_;
  mutable std::map<std::uint64_t, Band> fds_;
  std::set<std::uint64_t> private_;
  RangeCopier copier_;
};

}  // namespace quorbel::imagetool
