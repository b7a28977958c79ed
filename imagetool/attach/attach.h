#pragma once
// The attach, detach verbs and what imageinfo says about an attachment.

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace quorbel::imagetool::attach {

struct AttachOptions {
  std::string bundle;
  std::optional<std::string> mountPoint;
  bool readOnly = false;
  bool stdinPass = false;
};
// Mounts the bundle's image as one file and returns once it is ready, leaving a daemon serving it.
// Prints "image: PATH" and "mount point: DIR".
void attachBundle(const AttachOptions& options, std::ostream& out);

// Unmounts the attachment `path` names (mount point, image file or bundle) once nothing uses the image
// (or regardless, with `force`), and waits until its daemon has made the bundle durable and ended.
void detachBundle(const std::string& path, bool force, std::ostream& out);

// "Attached: …" lines for imageinfo.
void describeAttachment(const std::string& bundlePath, std::ostream& out);

// The verbs' argument lists (options in any order): throws ToolError with the usage when malformed.
void runVerb(const std::string& verb, const std::vector<std::string>& args, std::ostream& out);

}  // namespace quorbel::imagetool::attach
