// quorbel-imagetool: works on sparse bundles in the macOS on-disk format, taking the argument lists
// the application sends. Reports go to standard output, complaints to standard error; the exit
// status is 0 only when the work is done.

#include <charconv>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "core/command_templates.h"
#include "core/tool_contract.h"
#include "imagetool/attach/attach.h"
#include "imagetool/bundle/bundle.h"
#include "imagetool/bundle/operations.h"
#include "imagetool/bundle/sizes.h"
#include "imagetool/crypto/encrypted_bundle.h"
#include "imagetool/crypto/password.h"
#include "imagetool/image_io.h"
#include "imagetool/layout/layout.h"
#include "imagetool/progress.h"
#include "imagetool/volumes/free_space.h"
#include "imagetool/volumes/resize.h"

namespace {

using quorbel::imagetool::ToolError;

constexpr const char* usageText =
    "usage: quorbel-imagetool VERB ...\n"
    "  create -size SIZE -type SPARSEBUNDLE [-encryption AES-128|AES-256 -stdinpass]\n"
    "         [-imagekey sparse-band-size=SECTORS] -fs FILESYSTEM -volname NAME PATH\n"
    "  imageinfo PATH\n"
    "  isencrypted PATH\n"
    "  compact [-batteryallowed] [-stdinpass] PATH\n"
    "  convert SOURCE -format UDSB -o DESTINATION -imagekey sparse-band-size=SECTORS\n"
    "  resize -size SIZE [-stdinpass] PATH\n"
    "  chpass PATH [-oldstdinpass] -newstdinpass\n"
    "  attach [-readonly] [-stdinpass] [-mountpoint DIR] BUNDLE\n"
    "  detach [-force] PATH\n"
    "SIZE is a number (a fraction allowed) with a unit b (sectors), k, m, g, t, p or e.\n"
    "Passwords: -stdinpass reads one from standard input (to end-of-file or a NUL byte);\n"
    "-oldstdinpass -newstdinpass read the current and the new one, separated by a NUL byte.\n"
    "A password not given there is asked for through the program named by QUORBEL_ASKPASS,\n"
    "else on the terminal.\n";

// Thrown for an argument list of the wrong form: the usage goes to standard error.
struct UsageError {
  std::string reason;
};

// Walks an argument list in its fixed order.
class Arguments {
 public:
  explicit Arguments(std::vector<std::string> args) : args_(std::move(args)) {}
  bool atEnd() const { return next_ >= args_.size(); }
  bool nextIs(const std::string& word) const { return !atEnd() && args_[next_] == word; }
  std::string take(const std::string& what) {
    if (atEnd()) throw UsageError{"missing " + what};
    return args_[next_++];
  }
  void expect(const std::string& word) {
    if (!nextIs(word)) throw UsageError{"expected " + word + (atEnd() ? "" : ", not " + args_[next_])};
    ++next_;
  }
  std::vector<std::string> rest() {
    std::vector<std::string> left(args_.begin() + static_cast<std::ptrdiff_t>(next_), args_.end());
    next_ = args_.size();
    return left;
  }
  void finish() const {
    if (!atEnd()) throw UsageError{"unexpected argument " + args_[next_]};
  }

 private:
  std::vector<std::string> args_;
  std::size_t next_ = 0;
};

std::uint64_t bandSizeBytes(const std::string& key) {
  const std::string prefix(quorbel::tool::bandSizeKeyPrefix);
  if (key.compare(0, prefix.size(), prefix) != 0) throw UsageError{"unknown image key " + key};
  const std::string digits = key.substr(prefix.size());
  std::uint64_t sectors = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), sectors);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size())
    throw ToolError("the band size \"" + digits + "\" is not a whole number of sectors");
  if (sectors < static_cast<std::uint64_t>(quorbel::tool::minBandSectors) ||
      sectors > static_cast<std::uint64_t>(quorbel::tool::maxBandSectors))
    throw ToolError("the band size must be " + std::to_string(quorbel::tool::minBandSectors) + " to " +
                    std::to_string(quorbel::tool::maxBandSectors) + " sectors, not " + digits);
  return sectors * quorbel::imagetool::sectorBytes;
}

void describe(const quorbel::imagetool::ImageIO& image, std::ostream& out) {
  const quorbel::imagetool::LayoutInfo layout = quorbel::imagetool::describeImage(image);
  out << "Partitions:\n"
      << "\tPartition Scheme: " << (layout.scheme.empty() ? "none" : layout.scheme) << "\n";
  int number = 0;
  for (const auto& p : layout.partitions) {
    out << "\t" << ++number << ":\n"
        << "\t\tName: " << p.name << "\n"
        << "\t\tType: " << p.typeName << " (" << p.type << ")\n"
        << "\t\tStart: " << p.firstSector << "\n"
        << "\t\tLength: " << p.sectorCount << " (" << quorbel::imagetool::humanSize(p.sectorCount * 512) << ")\n";
    if (!p.fileSystem.empty()) out << "\t\tFile System: " << p.fileSystem << "\n";
  }
  out << "File System: " << (layout.fileSystem.empty() ? "unknown" : layout.fileSystem) << "\n";
}

// Where the password of `path` comes from: standard input when the command line says so, else asked.
// The prompt names what it asks for: "Password of X:", or "Current password of X:" for chpass.
quorbel::imagetool::crypto::PasswordSource passwordOf(const std::string& path, bool fromStdin,
                                                      const std::string& what = "Password") {
  return [path, fromStdin, what] {
    if (fromStdin) return quorbel::imagetool::crypto::readPasswordFromStdin();
    return quorbel::imagetool::crypto::askPassword(what + " of " + quorbel::imagetool::baseName(path) + ":");
  };
}

int create(Arguments& args) {
  args.expect("-size");
  const std::string sizeText = args.take("size");
  args.expect("-type");
  args.expect("SPARSEBUNDLE");
  std::uint32_t keyBits = 0;
  if (args.nextIs("-encryption")) {
    args.take("-encryption");
    const std::string cipher = args.take("encryption method");
    if (cipher != "AES-128" && cipher != "AES-256") throw UsageError{"unknown encryption " + cipher};
    args.expect("-stdinpass");
    keyBits = cipher == "AES-128" ? 128 : 256;
  }
  std::string bandKey =
      std::string(quorbel::tool::bandSizeKeyPrefix) + std::to_string(quorbel::imagetool::defaultBandSectors);
  if (args.nextIs("-imagekey")) {
    args.take("-imagekey");
    bandKey = args.take("image key");
  }
  args.expect("-fs");
  const std::string fileSystem = args.take("file system");
  args.expect("-volname");
  const std::string volumeName = args.take("volume name");
  const std::string path = args.take("path");
  args.finish();

  quorbel::imagetool::CreateRequest request;
  request.path = path;
  request.size = quorbel::imagetool::parseSizeText(sizeText);
  request.bandSize = bandSizeBytes(bandKey);
  bool known = false;
  for (const auto& name : quorbel::filesystemList) known = known || name == fileSystem;
  if (!known) throw ToolError("unknown file system \"" + fileSystem + "\"");
  std::optional<quorbel::imagetool::crypto::NewEncryption> encryption;
  quorbel::imagetool::EncryptedCreation encrypted;
  if (keyBits != 0) {
    const quorbel::imagetool::crypto::SecretBytes password = quorbel::imagetool::crypto::readPasswordFromStdin();
    encryption = quorbel::imagetool::crypto::newEncryption(keyBits, password);
    encrypted.token = encryption->token;
    encrypted.view = [&](quorbel::imagetool::ImageIO& bands) -> std::unique_ptr<quorbel::imagetool::ImageIO> {
      namespace crypto = quorbel::imagetool::crypto;
      return std::make_unique<crypto::EncryptedImageIO>(bands, request.bandSize,
                                                        crypto::ChunkCipher(encryption->keys, crypto::newChunkSize));
    };
  }
  quorbel::imagetool::createBundle(
      request,
      [&](quorbel::imagetool::ImageIO& image, const std::string& scratchFolder) {
        quorbel::imagetool::layOutImage(image, scratchFolder, fileSystem, volumeName, encryption.has_value());
      },
      std::cout, encryption ? &encrypted : nullptr);
  return 0;
}

int run(const std::string& verb, Arguments& args) {
  namespace it = quorbel::imagetool;
  if (verb == "create") return create(args);
  if (verb == "imageinfo") {
    const std::string path = args.take("path");
    args.finish();
    it::imageInfo(path, describe, std::cout);
    it::attach::describeAttachment(path, std::cout);
    return 0;
  }
  if (verb == "isencrypted") {
    const std::string path = args.take("path");
    args.finish();
    it::isEncrypted(path, std::cout);
    return 0;
  }
  if (verb == "compact") {
    bool batteryAllowed = false, stdinPass = false;
    while (args.nextIs("-batteryallowed") || args.nextIs("-stdinpass")) {
      (args.take("option") == "-stdinpass" ? stdinPass : batteryAllowed) = true;
    }
    const std::string path = args.take("path");
    args.finish();
    if (!batteryAllowed && it::runningOnBattery())
      throw ToolError(
          "the computer is running on battery power; compacting was not started "
          "(use -batteryallowed to compact anyway)");
    // Free blocks of the volumes inside; notes about volumes that could not be searched go to the report.
    const it::FreeSpaceFunction freeSpace = [](const it::ImageIO& image) {
      return it::volumeFreeRanges(image, [](const std::string& note) { std::cout << note << "\n" << std::flush; });
    };
    const it::Bundle inspected = it::Bundle::open(path, it::Access::inspect);
    if (inspected.token().encrypted) {
      // Free blocks are read from the plain image; the bands stay as they are apart from holes.
      const auto unlocked = it::crypto::unlockBundle(inspected, passwordOf(path, stdinPass), "nothing was compacted");
      const it::BundleInfo info = inspected.info();
      const it::FreeSpaceFunction plainFreeSpace = [&](const it::ImageIO& bands) {
        const it::crypto::EncryptedImageIO plain(bands, info.bandSize,
                                                 it::crypto::ChunkCipher(unlocked.keys, unlocked.header.chunkSize()));
        return freeSpace(plain);
      };
      it::compactBundle(path, plainFreeSpace, std::cout, true);
      return 0;
    }
    it::compactBundle(path, freeSpace, std::cout);
    return 0;
  }
  if (verb == "convert") {
    const std::string source = args.take("source");
    args.expect("-format");
    args.expect("UDSB");
    args.expect("-o");
    const std::string destination = args.take("destination");
    args.expect("-imagekey");
    const std::string key = args.take("image key");
    args.finish();
    it::convertBundle(source, destination, bandSizeBytes(key), std::cout);
    return 0;
  }
  if (verb == "resize") {
    bool stdinPass = false;
    const auto takeStdinPass = [&] {
      if (!args.nextIs("-stdinpass")) return;
      args.take("-stdinpass");
      stdinPass = true;
    };
    takeStdinPass();
    args.expect("-size");
    const std::uint64_t size = it::parseSizeText(args.take("size"));
    takeStdinPass();
    const std::string path = args.take("path");
    args.finish();
    const it::Bundle inspected = it::Bundle::open(path, it::Access::inspect);
    if (inspected.token().encrypted) {
      // The volume and its map are resized in the plain image, through the decrypting layer.
      const auto unlocked =
          it::crypto::unlockBundle(inspected, passwordOf(path, stdinPass), "the image was not changed");
      const std::uint64_t bandSize = inspected.info().bandSize;
      it::resizeBundle(path, size, std::cout, {}, it::ResizeMethod::swapFolders, [&](it::ImageIO& bands) {
        return std::make_unique<it::crypto::EncryptedImageIO>(
            bands, bandSize, it::crypto::ChunkCipher(unlocked.keys, unlocked.header.chunkSize()));
      });
      return 0;
    }
    it::resizeBundle(path, size, std::cout);
    return 0;
  }
  if (verb == "chpass") {
    const std::string path = args.take("path");
    bool oldOnStdin = false;
    if (args.nextIs("-oldstdinpass")) {
      args.take("-oldstdinpass");
      oldOnStdin = true;
    }
    args.expect("-newstdinpass");
    args.finish();
    if (oldOnStdin) {
      auto [current, next] = it::crypto::readTwoPasswordsFromStdin();
      it::crypto::changePassword(
          path, [&current] { return std::move(current); }, next, std::cout);
    } else {
      const it::crypto::SecretBytes next = it::crypto::readPasswordFromStdin();
      it::crypto::changePassword(path, passwordOf(path, false, "Current password"), next, std::cout);
    }
    return 0;
  }
  if (verb == "attach" || verb == "detach") {
    it::attach::runVerb(verb, args.rest(), std::cout);
    return 0;
  }
  throw UsageError{"unknown verb " + verb};
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> all(argv + 1, argv + argc);
  if (all.empty()) {
    std::cerr << usageText;
    return 1;
  }
  const std::string verb = all.front();
  Arguments args(std::vector<std::string>(all.begin() + 1, all.end()));
  quorbel::imagetool::installInterruptHandlers();
  try {
    const int status = run(verb, args);
    std::cout.flush();
    // The work is complete (a verb that reported progress says 100 now, even when a stop came too late).
    if (status == 0 && std::cout) quorbel::imagetool::progress::finish();
    if (quorbel::imagetool::interruptRequested()) {
      // The signal came after the last point where the work could stop: it is complete, but the
      // caller asked it to stop and is told it did not.
      std::cerr << "quorbel-imagetool: " << verb << ": interrupted after the work was complete\n";
      return 1;
    }
    if (!std::cout) {
      std::cerr << "quorbel-imagetool: " << verb << ": cannot write the report\n";
      return 1;
    }
    return status;
  } catch (const UsageError& e) {
    std::cout.flush();
    std::cerr << "quorbel-imagetool: " << e.reason << "\n" << usageText;
  } catch (const ToolError& e) {
    std::cout.flush();
    std::cerr << "quorbel-imagetool: " << verb << ": " << e.what() << "\n";
  } catch (const std::exception& e) {
    std::cout.flush();
    std::cerr << "quorbel-imagetool: " << verb << ": " << e.what() << "\n";
  }
  return 1;
}
