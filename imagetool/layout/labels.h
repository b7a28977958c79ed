#pragma once
// Volume names turned into labels each file system (and its formatter) accepts, and the small
// Unicode conversions they need.

#include <cstddef>
#include <string>
#include <string_view>

namespace quorbel::imagetool::layout {

// UTF-8 (invalid bytes become U+FFFD) to code points, and back; UTF-16 both ways (a lone
// surrogate becomes U+FFFD).
std::u32string decodeUtf8(std::string_view text);
std::string encodeUtf8(std::u32string_view text);
std::u16string toUtf16(std::u32string_view text);
std::u32string fromUtf16(std::u16string_view text);

// Control characters (which cannot be passed on a command line, or make no sense in a
// label) are dropped from every label.

// FAT: at most 11 characters, upper-case ASCII; characters FAT forbids in labels and all others
// outside ASCII become '_'; leading and trailing spaces are dropped.
std::string fatLabel(std::string_view name);

// exFAT: at most 11 UTF-16 units (the volume label entry's capacity), whole characters only.
std::string exfatLabel(std::string_view name);

// UDF identifiers (d-strings): `latin1Limit` characters when every character is in Latin-1
// (stored one byte each), otherwise `utf16Limit` UTF-16 units; whole characters only.
// The volume identifier takes 30/15, the logical volume identifier 126/63.
std::string udfIdentifier(std::string_view name, std::size_t latin1Limit, std::size_t utf16Limit);

// APFS: at most 255 bytes of UTF-8, whole characters only.
std::string apfsLabel(std::string_view name);

}  // namespace quorbel::imagetool::layout
