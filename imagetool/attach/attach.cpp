#include "imagetool/attach/attach.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <fstream>
#include <thread>

#include "imagetool/attach/attached_image.h"
#include "imagetool/attach/image_fs.h"
#include "imagetool/attach/mounts.h"
#include "imagetool/bundle/bundle.h"
#include "imagetool/crypto/encrypted_bundle.h"
#include "imagetool/crypto/password.h"

namespace quorbel::imagetool::attach {

namespace {

constexpr auto readyTimeout = std::chrono::seconds(30);
constexpr auto endTimeout = std::chrono::seconds(120);

std::string realPathOf(const std::string& path) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr) throwErrno(path);
  return resolved;
}

bool within(const std::string& path, const std::string& folder) {
  return path == folder || path.rfind(folder + "/", 0) == 0;
}

std::vector<int> openDescriptors() {
  std::vector<int> fds;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (const dirent* e = ::readdir(dir))
      if (e->d_name[0] != '.') fds.push_back(std::atoi(e->d_name));
    const int own = ::dirfd(dir);
    ::closedir(dir);
    std::erase_if(fds, [own](int fd) { return fd < 3 || fd == own; });
  }
  return fds;
}

bool isEmptyFolder(const std::string& path) {
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return false;
  int entries = 0;
  while (::readdir(dir) != nullptr) ++entries;
  ::closedir(dir);
  return entries <= 2;
}

struct MountPoint {
  std::string path;
  bool made = false;  // ours to remove on detach
};

// A folder given by the user: used when empty, made (0700) when missing, never inside the bundle.
MountPoint givenMountPoint(const std::string& given, const std::string& bundleReal) {
  const std::string path = absolutePath(given);
  if (path.empty()) throw ToolError("the folder of the mount point " + given + " does not exist; nothing was done");
  if (within(path, bundleReal) || within(realPathOf(parentOf(path)), bundleReal))
    throw ToolError("the mount point " + given + " is inside the bundle; nothing was done");
  if (isDeadMount(path)) cleanDeadMount(path, false);
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    if (::mkdir(path.c_str(), 0700) != 0) throwErrno("cannot make the mount point " + given);
    return {path, true};
  }
  if (!S_ISDIR(st.st_mode) || !isEmptyFolder(path))
    throw ToolError("the mount point " + given + " is not an empty folder; nothing was done");
  return {path, false};
}

// A new folder in the runtime folder named after the bundle ("NAME 2", … when taken).
MountPoint defaultMountPoint(const std::string& bundlePath) {
  const std::string folder = runtimeFolder();
  std::string stem = imageFileName(bundlePath);
  stem.resize(stem.size() - 4);
  for (int n = 1; n < 100; ++n) {
    const std::string path = joinPath(folder, n == 1 ? stem : stem + " " + std::to_string(n));
    if (isDeadMount(path)) cleanDeadMount(path, false);
    if (::mkdir(path.c_str(), 0700) == 0) return {path, true};
    if (errno != EEXIST) throwErrno("cannot make a mount point in " + folder);
    // An empty folder left here by a killed daemon is ours again; a mounted one is not empty.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && isEmptyFolder(path)) return {path, true};
  }
  throw ToolError("no free mount point name in " + folder);
}

// The daemon's side of the fork: no terminal, no inherited descriptors, same umask; serves until unmounted.
[[noreturn]] void runDaemon(ImageFileSystem& fs, int readyFd, const std::vector<int>& inherited, const MountPoint& mp) {
  ::setsid();
  if (::chdir("/") != 0) _exit(1);
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  for (int fd = 0; fd < 3; ++fd) ::dup2(null, fd);
  for (int fd : inherited) ::close(fd);
  int status = 0;
  try {
    fs.serve([readyFd] {
      const char byte = 1;
      if (::write(readyFd, &byte, 1) != 1) _exit(1);
      ::close(readyFd);
    });
  } catch (const std::exception&) {
    status = 1;
  }
  if (mp.made) ::rmdir(mp.path.c_str());
  _exit(status);
}

// Whether the daemon said the file system is ready before it ended or the time ran out.
bool daemonReady(int readyFd) {
  pollfd p{readyFd, POLLIN, 0};
  char byte = 0;
  const int n = ::poll(&p, 1, static_cast<int>(std::chrono::milliseconds(readyTimeout).count()));
  return n == 1 && ::read(readyFd, &byte, 1) == 1;
}

std::optional<crypto::UnlockedBundle> unlockIfEncrypted(const Bundle& bundle, bool stdinPass) {
  if (!bundle.token().encrypted) return std::nullopt;
  const std::string name = baseName(bundle.path());
  return crypto::unlockBundle(
      bundle,
      [&] { return stdinPass ? crypto::readPasswordFromStdin() : crypto::askPassword("Password of " + name + ":"); },
      "nothing was attached");
}

// Removes an attachment of the bundle whose daemon is gone; refuses when one is alive.
void clearEarlierAttachment(const std::string& bundleReal) {
  const auto earlier = attachmentOfBundle(bundleReal);
  if (!earlier) return;
  if (!isDeadMount(earlier->mountPoint))
    throw ToolError("the bundle is already attached at " + earlier->mountPoint + "; nothing was done");
  cleanDeadMount(earlier->mountPoint, within(earlier->mountPoint, runtimeFolder()));
}

}  // namespace

void attachBundle(const AttachOptions& options, std::ostream& out) {
  const std::vector<int> inherited = openDescriptors();
  const std::string bundleReal = realPathOf(options.bundle);
  clearEarlierAttachment(bundleReal);
  const Bundle bundle = Bundle::open(bundleReal, options.readOnly ? Access::read : Access::write, true);
  const auto unlocked = unlockIfEncrypted(bundle, options.stdinPass);
  const MountPoint mp =
      options.mountPoint ? givenMountPoint(*options.mountPoint, bundleReal) : defaultMountPoint(bundleReal);
  AttachedImage image(bundle, !options.readOnly, unlocked ? &*unlocked : nullptr);
  const MountRequest request{mp.path, imageFileName(bundleReal), bundleReal, options.readOnly};
  std::optional<ImageFileSystem> fs;
  int ready[2] = {-1, -1};
  try {
    fs.emplace(image, request);
    if (::pipe2(ready, O_CLOEXEC) != 0) throwErrno("cannot start the daemon");
  } catch (...) {
    fs.reset();
    if (mp.made) ::rmdir(mp.path.c_str());
    throw;
  }
  out.flush();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(ready[0]);
    runDaemon(*fs, ready[1], inherited, mp);
  }
  ::close(ready[1]);
  const UniqueFd readyFd(ready[0]);
  if (pid < 0 || !daemonReady(readyFd.get())) {
    fs.reset();  // unmounts
    if (mp.made) ::rmdir(mp.path.c_str());
    throw ToolError("the daemon serving the image did not start; nothing is attached");
  }
  fs->abandon();
  const std::string imagePath = joinPath(mp.path, request.imageName);
  struct stat st {};
  if (::stat(imagePath.c_str(), &st) != 0) throwErrno("the attached image does not answer: " + imagePath);
  out << "image: " << imagePath << "\n"
      << "mount point: " << mp.path << "\n";
}

namespace {

// Waits until no process holds the bundle's lock: the daemon has made the bands durable and ended.
bool waitForDaemonEnd(const std::string& bundle, std::chrono::milliseconds limit) {
  const UniqueFd dir(::open(bundle.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir) return true;  // the bundle is gone: nothing to wait for
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (::flock(dir.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::flock(dir.get(), LOCK_UN);
  return true;
}

// Ends the connection of a mount a forced detach left busy: its users get errors from now on.
void abortConnection(const MountEntry& entry) {
  std::ofstream abort("/sys/fs/fuse/connections/" + std::to_string(entry.devMinor) + "/abort");
  abort << "1\n";
}

void unmountUnlessBusy(const MountEntry& entry, bool force) {
  const std::string image = joinPath(entry.mountPoint, imageFileName(entry.source));
  const std::vector<std::string> loops = loopDevicesOf(image);
  std::string users;
  for (const std::string& loop : loops) users += (users.empty() ? "" : ", ") + loop;
  if (!loops.empty() && !force)
    throw ToolError("the image is in use by " + users +
                    "; unmount what is mounted from it and delete the loop device (udisksctl loop-delete -b " +
                    loops.front() + "), or use -force; nothing was done");
  if (::umount2(entry.mountPoint.c_str(), 0) == 0) return;
  if (errno != EBUSY) throwErrno("cannot unmount " + entry.mountPoint);
  if (!force)
    throw ToolError(
        "the image is still open (by a program or a loop device); close it, or use -force; nothing was done");
  if (::umount2(entry.mountPoint.c_str(), MNT_DETACH) != 0) throwErrno("cannot unmount " + entry.mountPoint);
}

}  // namespace

void detachBundle(const std::string& path, bool force, std::ostream& out) {
  const auto entry = findAttachment(path);
  if (!entry) throw ToolError(path + " is not an attached bundle, nor its mount point or image");
  const bool ours = within(entry->mountPoint, runtimeFolder());
  if (isDeadMount(entry->mountPoint)) {
    cleanDeadMount(entry->mountPoint, ours);
    out << "detached: " << entry->source << " (its daemon had ended)\n";
    return;
  }
  unmountUnlessBusy(*entry, force);
  if (!waitForDaemonEnd(entry->source, force ? std::chrono::milliseconds(2000) : endTimeout)) {
    if (!force) throw ToolError("the daemon serving " + entry->source + " did not end");
    abortConnection(*entry);
    if (!waitForDaemonEnd(entry->source, endTimeout))
      throw ToolError("the daemon serving " + entry->source + " did not end");
  }
  if (ours) ::rmdir(entry->mountPoint.c_str());
  out << "detached: " << entry->source << "\n";
}

void describeAttachment(const std::string& bundlePath, std::ostream& out) {
  char resolved[PATH_MAX];
  const auto entry = ::realpath(bundlePath.c_str(), resolved) ? attachmentOfBundle(resolved) : std::nullopt;
  if (!entry) {
    out << "Attached: false\n";
  } else if (isDeadMount(entry->mountPoint)) {
    out << "Attached: false (an abandoned mount at " << entry->mountPoint << " is cleared by the next attach)\n";
  } else {
    out << "Attached: true\n"
        << "\tMount Point: " << entry->mountPoint << "\n"
        << "\tImage: " << joinPath(entry->mountPoint, imageFileName(entry->source)) << "\n";
  }
}

void runVerb(const std::string& verb, const std::vector<std::string>& args, std::ostream& out) {
  const std::string usage = verb == "attach" ? "usage: attach [-readonly] [-stdinpass] [-mountpoint DIR] BUNDLE"
                                             : "usage: detach [-force] PATH";
  AttachOptions options;
  bool force = false;
  std::vector<std::string> operands;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (verb == "attach" && a == "-readonly")
      options.readOnly = true;
    else if (verb == "attach" && a == "-stdinpass")
      options.stdinPass = true;
    else if (verb == "attach" && a == "-mountpoint" && i + 1 < args.size())
      options.mountPoint = args[++i];
    else if (verb == "detach" && a == "-force")
      force = true;
    else if (a.empty() || a[0] == '-')
      throw ToolError("unknown option " + a + "; " + usage);
    else
      operands.push_back(a);
  }
  if (operands.size() != 1) throw ToolError(usage);
  if (verb == "attach") {
    options.bundle = operands.front();
    attachBundle(options, out);
  } else {
    detachBundle(operands.front(), force, out);
  }
}

}  // namespace quorbel::imagetool::attach
