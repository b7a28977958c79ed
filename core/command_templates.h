#pragma once
// The fixed vocabulary of the application: the choice lists that fill the pop-ups and one
// argument-list template per verb of the disk-image tool. An operation copies a template and
// appends to the copy, so a template never changes.

#include <string>
#include <vector>

namespace quorbel {

using ArgumentList = std::vector<std::string>;

// Units of the band size pop-up: index 0 megabytes, 1 gigabytes.
inline const std::vector<std::string> sizeList{"MB", "GB"};
// Units of the maximum size pop-up: index 0 megabytes, 1 gigabytes, 2 terabytes.
inline const std::vector<std::string> sizeList2{"MB", "GB", "TB"};
// Each entry is both the title the user sees and the file-system name given to the tool.
inline const std::vector<std::string> filesystemList{"HFS+",  "HFS+J",  "APFS", "Case-sensitive APFS",
                                                     "exFAT", "MS-DOS", "UDF"};
// Index 0 means no encryption.
inline const std::vector<std::string> encryptList{"Plain", "AES-128", "AES-256"};

inline const ArgumentList resizeCommand{"resize", "-size"};
inline const ArgumentList compactCommand{"compact"};
inline const ArgumentList createCommand{"create", "-size"};
// Placed between the source and the destination path of a conversion.
inline const ArgumentList changeBandCommand{"-format", "UDSB", "-o"};
inline const ArgumentList convertCommand{"convert"};
inline const ArgumentList getInfo1Command{"imageinfo"};
inline const ArgumentList getInfo2Command{"isencrypted"};
inline const ArgumentList changePasswordCommand{"chpass"};

// Launch path of the system's disk-image tool where the platform has one (macOS).
inline constexpr const char* systemHdiutilPath = "/usr/bin/hdiutil";

}  // namespace quorbel
