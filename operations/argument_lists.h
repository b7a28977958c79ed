#pragma once
// One argument-list builder per operation. Each starts from a copy of its template, so the
// templates never change and two runs with the same inputs send the same list.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/command_templates.h"

namespace quorbel {

// What a creation needs, read from the window when the save panel closes.
struct CreateChoices {
  std::string sizeText;                     // from sizeArgument
  std::optional<std::string> encryption;    // "AES-128" or "AES-256" when encrypted
  std::optional<std::int64_t> bandSectors;  // present when the band size is 1 or more
  std::string filesystem;
  std::string volumeName;
  std::string path;
};

// Index 1 of the encryption pop-up is AES-128; every other index means AES-256.
std::string encryptionAlgorithm(int encryptIndex);

ArgumentList createArguments(const CreateChoices& choices);
ArgumentList resizeArguments(std::string_view sizeText, std::string_view path);
ArgumentList compactArguments(bool batteryAllowed, std::string_view path);
ArgumentList isEncryptedArguments(std::string_view path);
ArgumentList convertArguments(std::string_view source, std::string_view destination, std::int64_t bandSectors);
ArgumentList imageInfoArguments(std::string_view path);
ArgumentList changePasswordArguments(std::string_view path);

// "sparse-band-size=" followed by the sector count in decimal.
std::string bandSizeKey(std::int64_t sectors);

// Whether the report of "isencrypted" says the image is encrypted (exact, case-sensitive).
bool reportsEncrypted(std::string_view isEncryptedReport);
// Whether a compaction's text reads like a failure: it holds "error", "Error" or "failed".
bool compactNeedsBatteryHint(std::string_view text);

// Texts the operations write to the pane.
namespace texts {
inline constexpr std::string_view resizeHeading = "Resize:\n";
inline constexpr std::string_view compactHeading = "Compact:\n";
inline constexpr std::string_view changeBandHeading = "Change band size:\n";
inline constexpr std::string_view getInfoHeading = "Sparsebundle info:\n";
inline constexpr std::string_view changePasswordHeading = "Change password:\n";
inline constexpr std::string_view createCancelled = "Cancelled creation of sparse bundle.\n";
inline constexpr std::string_view changePasswordCancelled = "Cancelled change of password.\n";
inline constexpr std::string_view encryptedRefusal = "Can't change band size for an encrypted sparse bundle.\n";
inline constexpr std::string_view batteryHint =
    "If this failed, is your Mac running on battery?\n"
    "If so, to compact the sparse bundle either tick the Battery checkbox or connect your Mac to mains "
    "power, and try again.\n";
}  // namespace texts

}  // namespace quorbel
