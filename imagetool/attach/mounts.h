#pragma once
// Where attached bundles are: the system's mount table, the loop devices that use an image, the folder
// new mount points go in.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorbel::imagetool::attach {

// The file-system type attached bundles show in the mount table (FUSE "subtype").
inline constexpr const char* mountSubtype = "quorbel";

struct MountEntry {
  std::string mountPoint;
  std::string fsType;
  std::string source;  // for an attached bundle: the bundle's full path
  unsigned devMinor = 0;
  bool operator==(const MountEntry&) const = default;
};

// Decodes /proc/PID/mountinfo text (fields escaped as \ooo octal); malformed lines are skipped.
std::vector<MountEntry> parseMountInfo(std::string_view text);
// The attached bundles mounted now.
std::vector<MountEntry> attachedBundles();
// The attachment whose mount point, image file or bundle `path` names.
std::optional<MountEntry> findAttachment(const std::string& path);
// The attachment of the bundle at `bundleRealPath` (its full path without links).
std::optional<MountEntry> attachmentOfBundle(const std::string& bundleRealPath);

// Whether `path` is a FUSE mount whose daemon is gone (the kernel answers ENOTCONN).
bool isDeadMount(const std::string& path);
// Unmounts a dead mount (lazily, as nothing can be flushed there) and removes its folder when `remove`.
void cleanDeadMount(const std::string& mountPoint, bool remove);

// The loop devices (e.g. "/dev/loop3") whose backing file is `file`.
std::vector<std::string> loopDevicesOf(const std::string& file);

// Escapes a value for a FUSE "-o name=value" list (commas and backslashes).
std::string fuseOptionValue(std::string_view value);

// The folder default mount points go in: $XDG_RUNTIME_DIR/quorbel, else $TMPDIR (or /tmp)/quorbel-UID.
// Made with mode 0700 when missing; refused when it is not a folder of ours (a link, another owner).
std::string runtimeFolder();
// The name of the image file shown for a bundle: its name without ".sparsebundle", plus ".img".
std::string imageFileName(const std::string& bundlePath);
// `path` with its folder made absolute and free of links, whatever the last component is (a dead mount).
std::string absolutePath(const std::string& path);

}  // namespace quorbel::imagetool::attach
