#define FUSE_USE_VERSION 312
#include "imagetool/attach/image_fs.h"

#include <fuse_lowlevel.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fstream>
#include <vector>

#include "imagetool/attach/mounts.h"
#include "imagetool/bundle/fs_util.h"

namespace quorbel::imagetool::attach {

namespace {

constexpr fuse_ino_t imageIno = 2;
constexpr unsigned largeIo = 1u << 20;  // bytes per read or write request
constexpr double attrTimeout = 3600;    // nothing else changes what the file system shows

ImageFileSystem& fsOf(fuse_req_t req) { return *static_cast<ImageFileSystem*>(fuse_req_userdata(req)); }

const std::time_t attachedAt = std::time(nullptr);

struct stat attributes(ImageFileSystem& fs, fuse_ino_t ino) {
  struct stat st {};
  st.st_ino = ino;
  st.st_uid = ::getuid();
  st.st_gid = ::getgid();
  st.st_atime = st.st_mtime = st.st_ctime = attachedAt;
  const bool ro = fs.request().readOnly;
  if (ino == FUSE_ROOT_ID) {
    st.st_mode = S_IFDIR | (ro ? 0500 : 0700);
    st.st_nlink = 2;
  } else {
    st.st_mode = S_IFREG | (ro ? 0400 : 0600);
    st.st_nlink = 1;
    st.st_size = static_cast<off_t>(fs.image().size());
    st.st_blksize = 4096;
    st.st_blocks = static_cast<blkcnt_t>(fs.image().size() / 512);
  }
  return st;
}

bool known(fuse_ino_t ino) { return ino == FUSE_ROOT_ID || ino == imageIno; }

// Runs `work`, answering the request with EIO when it throws (the daemon has no one to tell why).
template <typename Work>
void answering(fuse_req_t req, Work work) {
  try {
    work();
  } catch (const std::exception&) {
    fuse_reply_err(req, EIO);
  }
}

void onInit(void* userdata, fuse_conn_info* conn) {
  conn->max_write = largeIo;
  conn->max_readahead = largeIo;
  conn->max_read = largeIo;  // as the mount option says
  conn->want &= ~static_cast<unsigned>(FUSE_CAP_ATOMIC_O_TRUNC);
  static_cast<ImageFileSystem*>(userdata)->becameReady();
}

void onLookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
  ImageFileSystem& fs = fsOf(req);
  if (parent != FUSE_ROOT_ID || fs.request().imageName != name) {
    fuse_reply_err(req, ENOENT);
    return;
  }
  fuse_entry_param entry{};
  entry.ino = imageIno;
  entry.attr = attributes(fs, imageIno);
  entry.attr_timeout = entry.entry_timeout = attrTimeout;
  fuse_reply_entry(req, &entry);
}

void onGetattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
  if (!known(ino)) {
    fuse_reply_err(req, ENOENT);
    return;
  }
  const struct stat st = attributes(fsOf(req), ino);
  fuse_reply_attr(req, &st, attrTimeout);
}

// The image keeps its size, mode and owner; times may be "set" (and stay as they are).
void onSetattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int toSet, fuse_file_info*) {
  ImageFileSystem& fs = fsOf(req);
  const bool resizes =
      (toSet & FUSE_SET_ATTR_SIZE) != 0 && static_cast<std::uint64_t>(attr->st_size) != fs.image().size();
  if (!known(ino) || resizes || (toSet & (FUSE_SET_ATTR_MODE | FUSE_SET_ATTR_UID | FUSE_SET_ATTR_GID)) != 0) {
    fuse_reply_err(req, known(ino) ? EPERM : ENOENT);
    return;
  }
  const struct stat st = attributes(fs, ino);
  fuse_reply_attr(req, &st, attrTimeout);
}

void onOpen(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  if (ino != imageIno) {
    fuse_reply_err(req, ino == FUSE_ROOT_ID ? EISDIR : ENOENT);
    return;
  }
  if ((fi->flags & O_ACCMODE) != O_RDONLY && !fsOf(req).image().writable()) {
    fuse_reply_err(req, EROFS);
    return;
  }
  fi->keep_cache = 1;  // only this daemon changes the image, always through the kernel
  fuse_reply_open(req, fi);
}

void onRead(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info*) {
  answering(req, [&] {
    AttachedImage& image = fsOf(req).image();
    const auto at = static_cast<std::uint64_t>(offset);
    const std::size_t count =
        at >= image.size() ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(size, image.size() - at));
    thread_local std::vector<char> buffer;
    buffer.resize(std::max<std::size_t>(count, 1));
    image.read(at, buffer.data(), count);
    fuse_reply_buf(req, buffer.data(), count);
  });
}

void onWrite(fuse_req_t req, fuse_ino_t, const char* data, size_t size, off_t offset, fuse_file_info*) {
  AttachedImage& image = fsOf(req).image();
  const auto at = static_cast<std::uint64_t>(offset);
  if (!image.writable()) {
    fuse_reply_err(req, EROFS);
  } else if (at >= image.size() && size > 0) {
    fuse_reply_err(req, ENOSPC);  // the image never grows
  } else {
    answering(req, [&] {
      const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(size, image.size() - at));
      image.write(at, data, count);
      fuse_reply_write(req, count);
    });
  }
}

// Closing the file (flush) and fsync both make every written band durable.
void onSync(fuse_req_t req) {
  answering(req, [&] {
    fsOf(req).image().sync();
    fuse_reply_err(req, 0);
  });
}
void onFlush(fuse_req_t req, fuse_ino_t, fuse_file_info*) { onSync(req); }
void onFsync(fuse_req_t req, fuse_ino_t, int, fuse_file_info*) { onSync(req); }
void onRelease(fuse_req_t req, fuse_ino_t, fuse_file_info*) { fuse_reply_err(req, 0); }

void onOpendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  if (ino != FUSE_ROOT_ID) {
    fuse_reply_err(req, ENOTDIR);
    return;
  }
  fuse_reply_open(req, fi);
}

void onReaddir(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info*) {
  ImageFileSystem& fs = fsOf(req);
  std::vector<char> listing;
  const auto add = [&](const char* name, fuse_ino_t ino) {
    const struct stat st = attributes(fs, ino);
    const std::size_t need = fuse_add_direntry(req, nullptr, 0, name, nullptr, 0);
    const std::size_t at = listing.size();
    listing.resize(at + need);
    fuse_add_direntry(req, listing.data() + at, need, name, &st, static_cast<off_t>(listing.size()));
  };
  add(".", FUSE_ROOT_ID);
  add("..", FUSE_ROOT_ID);
  add(fs.request().imageName.c_str(), imageIno);
  const auto from = std::min<std::size_t>(static_cast<std::size_t>(offset), listing.size());
  fuse_reply_buf(req, listing.data() + from, std::min(size, listing.size() - from));
}

void onStatfs(fuse_req_t req, fuse_ino_t) {
  struct statvfs st {};
  st.f_bsize = st.f_frsize = 4096;
  st.f_blocks = fsOf(req).image().size() / 4096;
  st.f_files = 2;
  st.f_namemax = 255;
  fuse_reply_statfs(req, &st);
}

fuse_lowlevel_ops operations() {
  fuse_lowlevel_ops ops{};
  ops.init = onInit;
  ops.lookup = onLookup;
  ops.getattr = onGetattr;
  ops.setattr = onSetattr;
  ops.open = onOpen;
  ops.read = onRead;
  ops.write = onWrite;
  ops.flush = onFlush;
  ops.fsync = onFsync;
  ops.release = onRelease;
  ops.opendir = onOpendir;
  ops.readdir = onReaddir;
  ops.statfs = onStatfs;
  return ops;
}

// Other users (root's loop-device helpers among them) may open the image only where the system lets
// users share FUSE mounts; the file's own mode still guards it.
bool othersAllowed() {
  if (::getuid() == 0) return false;
  std::ifstream conf("/etc/fuse.conf");
  for (std::string line; std::getline(conf, line);)
    if (line.rfind("user_allow_other", 0) == 0) return true;
  return false;
}

}  // namespace

ImageFileSystem::ImageFileSystem(AttachedImage& image, MountRequest request)
    : image_(image), request_(std::move(request)) {
  std::string options = "fsname=" + fuseOptionValue(request_.source) + ",subtype=" + mountSubtype +
                        ",max_read=" + std::to_string(largeIo) + ",default_permissions";
  if (request_.readOnly) options += ",ro";
  if (othersAllowed()) options += ",allow_other";
  std::vector<std::string> words{"quorbel-imagetool", "-o", options};
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
  const fuse_lowlevel_ops ops = operations();
  session_ = fuse_session_new(&args, &ops, sizeof(ops), this);
  if (session_ == nullptr) throw ToolError("cannot start the file system of the image");
  if (fuse_session_mount(session_, request_.mountPoint.c_str()) != 0) {
    fuse_session_destroy(session_);
    session_ = nullptr;
    throw ToolError("cannot mount the image at " + request_.mountPoint + " (is FUSE available?)");
  }
  mounted_ = true;
}

ImageFileSystem::~ImageFileSystem() {
  if (session_ == nullptr) return;
  if (mounted_) fuse_session_unmount(session_);
  fuse_session_destroy(session_);
}

void ImageFileSystem::abandon() {
  mounted_ = false;
  fuse_session_destroy(session_);
  session_ = nullptr;
}

void ImageFileSystem::serve(std::function<void()> ready) {
  ready_ = std::move(ready);
  // The tool's own interrupt handlers would keep libfuse from installing its own, which end the loop.
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) std::signal(sig, SIG_DFL);
  if (fuse_set_signal_handlers(session_) != 0) throw ToolError("cannot handle signals");
  fuse_loop_config* config = fuse_loop_cfg_create();
  fuse_loop_cfg_set_max_threads(config, 8);
  const int status = fuse_session_loop_mt(session_, config);
  fuse_loop_cfg_destroy(config);
  fuse_remove_signal_handlers(session_);
  fuse_session_unmount(session_);
  mounted_ = false;
  image_.sync();
  if (status < 0) throw ToolError(std::string("the file system ended: ") + std::strerror(-status));
}

}  // namespace quorbel::imagetool::attach
