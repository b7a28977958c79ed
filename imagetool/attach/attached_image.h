#pragma once
// The image an attached bundle serves: its bands through the one band store, decrypted through the
// one decrypting view for encrypted bundles, shared by the file system's threads.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>

#include "imagetool/bundle/band_store.h"
#include "imagetool/bundle/bundle.h"
#include "imagetool/crypto/encrypted_bundle.h"

namespace quorbel::imagetool::attach {

class AttachedImage {
 public:
  // `bundle` stays open (and locked) for the image's lifetime; `unlocked` is given for encrypted ones.
  AttachedImage(const Bundle& bundle, bool writable, const crypto::UnlockedBundle* unlocked);

  std::uint64_t size() const { return size_; }
  bool writable() const { return writable_; }
  // Throw ToolError; access past the end is the caller's to refuse.
  void read(std::uint64_t offset, void* data, std::size_t length);
  void write(std::uint64_t offset, const void* data, std::size_t length);
  // Makes every band written so far durable, with the folder where bands were created.
  void sync();

 private:
  // Encrypted images: an absent band reads as zeros, and is written whole the first time data reaches it.
  void readEncrypted(std::uint64_t offset, char* data, std::size_t length);
  void writeEncrypted(std::uint64_t offset, const char* data, std::size_t length);
  void createEncryptedBand(std::uint64_t index, std::uint64_t offset, const char* data, std::size_t length);

  std::mutex mutex_;
  std::uint64_t size_;
  std::uint64_t bandSize_;
  bool writable_;
  BandStore bands_;
  std::unique_ptr<crypto::EncryptedImageIO> plain_;  // null for plain bundles
  std::set<std::uint64_t> present_;                  // encrypted bundles' bands on disk
};

}  // namespace quorbel::imagetool::attach
