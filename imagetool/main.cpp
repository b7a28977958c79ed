// quorbel-imagetool: works on sparse bundles in the macOS on-disk format, taking the argument lists
// the application sends. Reports go to standard output, complaints to standard error; the exit
// status is 0 only when the work is done.

#include <algorithm>
#include <charconv>
#include <iostream>
#include <map>
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

namespace it = quorbel::imagetool;
using it::ToolError;

// Thrown for an argument list of the wrong form: the usage goes to standard error.
struct UsageError {
  std::string reason;
};

// One option of a verb: its name, what follows it (nothing for a flag) and, where only some words
// may follow, which.
struct Option {
  std::string name;
  std::string value;                 // "" for a flag
  std::vector<std::string> allowed;  // empty: any value
  bool required = false;
};

class Command;
// A verb of the tool: its name, its options (taken in any order, each at most once), the operands
// that follow no option, and the work.
struct Verb {
  std::string name;
  std::vector<Option> options;
  std::vector<std::string> operands;
  void (*handler)(const Command&);
};

// An argument list taken apart for its verb.
class Command {
 public:
  Command(const Verb& verb, const std::vector<std::string>& args);
  bool has(const std::string& option) const { return values_.count(option) != 0; }
  // The option's value, or `fallback` when the option was not given.
  std::string value(const std::string& option, const std::string& fallback = "") const {
    const auto found = values_.find(option);
    return found == values_.end() ? fallback : found->second;
  }
  const std::string& operand(std::size_t index) const { return operands_[index]; }

 private:
  const Option& optionNamed(const Verb& verb, const std::string& word) const;
  std::map<std::string, std::string> values_;
  std::vector<std::string> operands_;
};

const Option& Command::optionNamed(const Verb& verb, const std::string& word) const {
  const auto found =
      std::find_if(verb.options.begin(), verb.options.end(), [&](const Option& o) { return o.name == word; });
  if (found == verb.options.end()) throw UsageError{"unknown option " + word + " for " + verb.name};
  if (has(word)) throw UsageError{"option " + word + " given more than once"};
  return *found;
}

Command::Command(const Verb& verb, const std::vector<std::string>& args) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& word = args[i];
    if (word.size() < 2 || word[0] != '-') {
      if (operands_.size() == verb.operands.size()) throw UsageError{"unexpected argument " + word};
      operands_.push_back(word);
      continue;
    }
    const Option& option = optionNamed(verb, word);
    if (option.value.empty()) {
      values_[word] = "";
      continue;
    }
    if (i + 1 == args.size()) throw UsageError{"missing " + option.value + " after " + word};
    const std::string& value = args[++i];
    if (!option.allowed.empty() &&
        std::find(option.allowed.begin(), option.allowed.end(), value) == option.allowed.end())
      throw UsageError{word + " takes " + option.value + ", not " + value};
    values_[word] = value;
  }
  for (const Option& option : verb.options)
    if (option.required && !has(option.name)) throw UsageError{"missing " + option.name};
  if (operands_.size() < verb.operands.size()) throw UsageError{"missing " + verb.operands[operands_.size()]};
}

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
  return sectors * it::sectorBytes;
}

void describe(const it::ImageIO& image, std::ostream& out) {
  const it::LayoutInfo layout = it::describeImage(image);
  out << "Partitions:\n"
      << "\tPartition Scheme: " << (layout.scheme.empty() ? "none" : layout.scheme) << "\n";
  int number = 0;
  for (const auto& p : layout.partitions) {
    out << "\t" << ++number << ":\n"
        << "\t\tName: " << p.name << "\n"
        << "\t\tType: " << p.typeName << " (" << p.type << ")\n"
        << "\t\tStart: " << p.firstSector << "\n"
        << "\t\tLength: " << p.sectorCount << " (" << it::humanSize(p.sectorCount * 512) << ")\n";
    if (!p.fileSystem.empty()) out << "\t\tFile System: " << p.fileSystem << "\n";
  }
  out << "File System: " << (layout.fileSystem.empty() ? "unknown" : layout.fileSystem) << "\n";
}

// Where the password of `path` comes from: standard input when the command line says so, else asked.
// The prompt names what it asks for: "Password of X:", or "Current password of X:" for chpass.
it::crypto::PasswordSource passwordOf(const std::string& path, bool fromStdin, const std::string& what = "Password") {
  return [path, fromStdin, what] {
    if (fromStdin) return it::crypto::readPasswordFromStdin();
    return it::crypto::askPassword(what + " of " + it::baseName(path) + ":");
  };
}

// The writers' answer to a file system without locks: refuse, unless the command line says to go on.
void applyLockOption(const Command& c) { it::Bundle::allowUnlockedWriting(c.has("-nolock")); }

void createVerb(const Command& c) {
  const std::string fileSystem = c.value("-fs"), volumeName = c.value("-volname"), cipher = c.value("-encryption");
  if (!cipher.empty() && !c.has("-stdinpass")) throw UsageError{"-encryption needs -stdinpass"};
  if (cipher.empty() && c.has("-stdinpass")) throw UsageError{"-stdinpass is only for -encryption"};
  it::CreateRequest request;
  request.path = c.operand(0);
  request.size = it::parseSizeText(c.value("-size"));
  request.bandSize = bandSizeBytes(
      c.value("-imagekey", std::string(quorbel::tool::bandSizeKeyPrefix) + std::to_string(it::defaultBandSectors)));
  const auto& known = quorbel::filesystemList;
  if (std::find(known.begin(), known.end(), fileSystem) == known.end())
    throw ToolError("unknown file system \"" + fileSystem + "\"");
  std::optional<it::crypto::NewEncryption> encryption;
  it::EncryptedCreation encrypted;
  if (!cipher.empty()) {
    const it::crypto::SecretBytes password = it::crypto::readPasswordFromStdin();
    encryption = it::crypto::newEncryption(cipher == "AES-128" ? 128 : 256, password);
    encrypted.token = encryption->token;
    encrypted.view = [&](it::ImageIO& bands) -> std::unique_ptr<it::ImageIO> {
      return std::make_unique<it::crypto::EncryptedImageIO>(
          bands, request.bandSize, it::crypto::ChunkCipher(encryption->keys, it::crypto::newChunkSize));
    };
  }
  const auto layOut = [&](it::ImageIO& image, const std::string& scratchFolder) {
    it::layOutImage(image, scratchFolder, fileSystem, volumeName, encryption.has_value());
  };
  it::createBundle(request, layOut, std::cout, encryption ? &encrypted : nullptr);
}

void imageinfoVerb(const Command& c) {
  it::imageInfo(c.operand(0), describe, std::cout);
  it::attach::describeAttachment(c.operand(0), std::cout);
}

void isencryptedVerb(const Command& c) { it::isEncrypted(c.operand(0), std::cout); }

void compactVerb(const Command& c) {
  applyLockOption(c);
  const std::string path = c.operand(0);
  if (!c.has("-batteryallowed") && it::runningOnBattery())
    throw ToolError(
        "the computer is running on battery power; compacting was not started "
        "(use -batteryallowed to compact anyway)");
  const it::crypto::WorkKeys keys =
      it::crypto::openForWork(path, passwordOf(path, c.has("-stdinpass")), "nothing was compacted");
  // Free blocks of the volumes inside, read from the plain image; notes about volumes that could not
  // be searched go to the report. The bands of an encrypted bundle stay as they are apart from holes.
  const it::FreeSpaceFunction freeSpace = [&](const it::ImageIO& bands) {
    const auto note = [](const std::string& text) { std::cout << text << "\n" << std::flush; };
    return keys ? it::volumeFreeRanges(*keys.view(bands), note) : it::volumeFreeRanges(bands, note);
  };
  it::compactBundle(path, freeSpace, std::cout, static_cast<bool>(keys));
}

void convertVerb(const Command& c) {
  it::convertBundle(c.operand(0), c.value("-o"), bandSizeBytes(c.value("-imagekey")), std::cout);
}

void resizeVerb(const Command& c) {
  applyLockOption(c);
  const std::string path = c.operand(0);
  const std::uint64_t size = it::parseSizeText(c.value("-size"));
  // An encrypted bundle's volume and map are resized in the plain image, through the decrypting layer.
  const it::crypto::WorkKeys keys =
      it::crypto::openForWork(path, passwordOf(path, c.has("-stdinpass")), "the image was not changed");
  it::PlainImage plain;
  if (keys) plain = [&keys](it::ImageIO& bands) -> std::unique_ptr<it::ImageIO> { return keys.view(bands); };
  it::resizeBundle(path, size, std::cout, {}, it::ResizeMethod::swapFolders, plain);
}

void chpassVerb(const Command& c) {
  applyLockOption(c);
  const std::string path = c.operand(0);
  if (c.has("-oldstdinpass")) {
    auto [current, next] = it::crypto::readTwoPasswordsFromStdin();
    it::crypto::changePassword(
        path, [&current] { return std::move(current); }, next, std::cout);
    return;
  }
  const it::crypto::SecretBytes next = it::crypto::readPasswordFromStdin();
  it::crypto::changePassword(path, passwordOf(path, false, "Current password"), next, std::cout);
}

void attachVerb(const Command& c) {
  it::attach::AttachOptions options;
  options.bundle = c.operand(0);
  if (c.has("-mountpoint")) options.mountPoint = c.value("-mountpoint");
  options.readOnly = c.has("-readonly");
  options.stdinPass = c.has("-stdinpass");
  it::attach::attachBundle(options, std::cout);
}

void detachVerb(const Command& c) { it::attach::detachBundle(c.operand(0), c.has("-force"), std::cout); }

Option flag(const std::string& name) { return {name, "", {}, false}; }
Option valued(const std::string& name, const std::string& value, bool required = false) {
  return {name, value, {}, required};
}
// An option followed by one of `allowed`; `value` shows them in the usage.
Option oneOf(const std::string& name, const std::string& value, std::vector<std::string> allowed, bool required) {
  return {name, value, std::move(allowed), required};
}

const std::vector<Verb>& verbs() {
  static const std::vector<Verb> table{
      {"create",
       {valued("-size", "SIZE", true), oneOf("-type", "SPARSEBUNDLE", {"SPARSEBUNDLE"}, true),
        oneOf("-encryption", "AES-128|AES-256", {"AES-128", "AES-256"}, false), flag("-stdinpass"),
        valued("-imagekey", "sparse-band-size=SECTORS"), valued("-fs", "FILESYSTEM", true),
        valued("-volname", "NAME", true)},
       {"PATH"},
       createVerb},
      {"imageinfo", {}, {"PATH"}, imageinfoVerb},
      {"isencrypted", {}, {"PATH"}, isencryptedVerb},
      {"compact", {flag("-batteryallowed"), flag("-stdinpass"), flag("-nolock")}, {"PATH"}, compactVerb},
      {"convert",
       {oneOf("-format", "UDSB", {"UDSB"}, true), valued("-o", "DESTINATION", true),
        valued("-imagekey", "sparse-band-size=SECTORS", true)},
       {"SOURCE"},
       convertVerb},
      {"resize", {valued("-size", "SIZE", true), flag("-stdinpass"), flag("-nolock")}, {"PATH"}, resizeVerb},
      {"chpass", {flag("-oldstdinpass"), valued("-newstdinpass", "", true), flag("-nolock")}, {"PATH"}, chpassVerb},
      {"attach", {flag("-readonly"), flag("-stdinpass"), valued("-mountpoint", "DIR")}, {"BUNDLE"}, attachVerb},
      {"detach", {flag("-force")}, {"PATH"}, detachVerb},
  };
  return table;
}

// "  create -size SIZE … PATH": the verb's usage line, made from its entry in the table.
std::string usageLine(const Verb& verb) {
  std::string line = "  " + verb.name;
  for (const Option& o : verb.options) {
    const std::string text = o.name + (o.value.empty() ? "" : " " + o.value);
    line += " " + (o.required ? text : "[" + text + "]");
  }
  for (const std::string& operand : verb.operands) line += " " + operand;
  return line + "\n";
}

std::string usageText() {
  std::string text = "usage: quorbel-imagetool VERB ...\n";
  for (const Verb& verb : verbs()) text += usageLine(verb);
  return text +
         "Options may come in any order, each at most once.\n"
         "SIZE is a number (a fraction allowed) with a unit b (sectors), k, m, g, t, p or e.\n"
         "Passwords: -stdinpass reads one from standard input (to end-of-file or a NUL byte);\n"
         "-oldstdinpass -newstdinpass read the current and the new one, separated by a NUL byte.\n"
         "A password not given there is asked for through the program named by QUORBEL_ASKPASS,\n"
         "else on the terminal.\n"
         "Writers refuse a bundle on a file system without locks; -nolock goes on without one\n"
         "(only when nothing else can use the bundle meanwhile).\n";
}

const Verb& verbNamed(const std::string& name) {
  for (const Verb& verb : verbs())
    if (verb.name == name) return verb;
  throw UsageError{"unknown verb " + name};
}

// Whether a verb's work counts as done whatever happens after it: a password change that reached the
// disk must not be reported as failed, since the old password no longer opens the bundle.
bool doneOnceCommitted(const std::string& verb) { return verb == "chpass"; }

// The exit status of a verb whose work is complete.
int finish(const std::string& verb) {
  std::cout.flush();
  // The work is complete (a verb that reported progress says 100 now, even when a stop came too late).
  if (std::cout) it::progress::finish();
  const bool late = it::interruptRequested(), unreported = !std::cout;
  if (!late && !unreported) return 0;
  const std::string what = late ? "interrupted after the work was complete" : "cannot write the report";
  if (doneOnceCommitted(verb)) {
    std::cerr << "quorbel-imagetool: " << verb << ": " << what << "; the work is done\n";
    return 0;
  }
  // The caller asked the work to stop (or cannot read its report) and is told it did not.
  std::cerr << "quorbel-imagetool: " << verb << ": " << what << "\n";
  return 1;
}

int run(const std::vector<std::string>& all) {
  const std::string& name = all.front();
  try {
    const Verb& verb = verbNamed(name);
    verb.handler(Command(verb, std::vector<std::string>(all.begin() + 1, all.end())));
    return finish(name);
  } catch (const UsageError& e) {
    std::cout.flush();
    std::cerr << "quorbel-imagetool: " << e.reason << "\n" << usageText();
  } catch (const std::exception& e) {
    std::cout.flush();
    std::cerr << "quorbel-imagetool: " << name << ": " << e.what() << "\n";
  }
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> all(argv + 1, argv + argc);
  if (all.empty()) {
    std::cerr << usageText();
    return 1;
  }
  if (all.size() == 1 && (all[0] == "--help" || all[0] == "-h" || all[0] == "help")) {
    std::cout << usageText();
    return 0;
  }
  it::installInterruptHandlers();
  return run(all);
}
