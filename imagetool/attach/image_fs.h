#pragma once
// The FUSE file system of an attached bundle: one folder (the mount point) holding one file, the image,
// served by a multithreaded low-level loop.

#include <functional>
#include <string>

#include "imagetool/attach/attached_image.h"

struct fuse_session;

namespace quorbel::imagetool::attach {

struct MountRequest {
  std::string mountPoint;
  std::string imageName;
  std::string source;  // the bundle's full path, shown as the mount's source
  bool readOnly = false;
};

class ImageFileSystem {
 public:
  // Mounts the file system; throws ToolError. Requests are answered once serve() runs.
  ImageFileSystem(AttachedImage& image, MountRequest request);
  ~ImageFileSystem();
  ImageFileSystem(const ImageFileSystem&) = delete;
  ImageFileSystem& operator=(const ImageFileSystem&) = delete;

  // Answers requests until the file system is unmounted or a signal ends it, then unmounts it and makes
  // the image durable. `ready` is called once the kernel has opened the connection.
  void serve(std::function<void()> ready);
  // Forgets the mount without unmounting it: another process (the daemon) serves it.
  void abandon();

  // What the callbacks use.
  AttachedImage& image() { return image_; }
  const MountRequest& request() const { return request_; }
  void becameReady() {
    if (ready_) ready_();
    ready_ = nullptr;
  }

 private:
  AttachedImage& image_;
  MountRequest request_;
  fuse_session* session_ = nullptr;
  bool mounted_ = false;
  std::function<void()> ready_;
};

}  // namespace quorbel::imagetool::attach
