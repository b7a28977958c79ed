#pragma once
// What the application and the disk-image tool rely on from each other, beyond the argument lists.

#include <cstdint>
#include <string_view>

namespace quorbel::tool {

// Present in the output of "isencrypted" exactly when the image is encrypted.
inline constexpr std::string_view encryptedMarker = "encrypted: YES";
// Searched for in the output of "compact" to decide whether to show the battery hint.
inline constexpr std::string_view compactFailureWords[] = {"error", "Error", "failed"};

inline constexpr std::int64_t sectorSize = 512;
// The band size key counts 512-byte sectors: 1 MiB to 8 GiB.
inline constexpr std::int64_t minBandSectors = 2048;
inline constexpr std::int64_t maxBandSectors = 16777216;
inline constexpr std::string_view bandSizeKeyPrefix = "sparse-band-size=";
inline constexpr std::string_view bundleExtension = "sparsebundle";

// The program the Linux tool runs, with the prompt as its one argument, when it needs a password it
// was not handed on standard input: its standard output less one trailing line feed is the password,
// a non-zero exit means cancelled. The application names its own dialog, installed beside it.
inline constexpr const char* askpassVariable = "QUORBEL_ASKPASS";
inline constexpr std::string_view askpassProgram = "quorbel-askpass";

// Every failure line begins with these 13 bytes: warning sign, variation selector-16, " error ".
inline constexpr std::string_view failurePrefix = "\xE2\x9A\xA0\xEF\xB8\x8F error ";

// Progress of a long verb. Only when this variable is "1" in its environment does the tool write
// progress lines on standard error, each exactly "PERCENT:" followed by a decimal number from 0 to
// 100 ("PERCENT:37.5"), then a line feed. Nothing else on standard error begins with the prefix.
inline constexpr const char* progressVariable = "QUORBEL_PROGRESS";
inline constexpr std::string_view progressPrefix = "PERCENT:";

}  // namespace quorbel::tool
