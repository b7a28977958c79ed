#pragma once
// Encrypted sparse bundles: the keys of a bundle unlocked with its password, new tokens, the plain
// image of a new bundle written encrypted, and the password changed by re-wrapping the same keys.

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "imagetool/bundle/bundle.h"
#include "imagetool/crypto/encrypted_io.h"
#include "imagetool/crypto/header.h"
#include "imagetool/crypto/keys.h"

namespace quorbel::imagetool::crypto {

// The chunk size new images get: what macOS writes (512 bytes, one sector, as in bundles made there).
inline constexpr std::uint32_t newChunkSize = 512;

// Gives the password when it is needed (read from standard input, or asked for). May throw Cancelled.
using PasswordSource = std::function<SecretBytes()>;

struct UnlockedBundle {
  EncryptedHeader header;
  ImageKeys keys;
  std::size_t record = 0;  // the passphrase record the password opened
};
// Reads the token of the (open) encrypted `bundle` and unlocks it with the password `source` gives.
// Throws ToolError("wrong password; …") when it opens no passphrase record.
UnlockedBundle unlockBundle(const Bundle& bundle, const PasswordSource& source, const std::string& nothingDone);

// The plain image of a bundle whose bands are `bands` (an image of the bundle's size).
std::unique_ptr<EncryptedImageIO> plainView(ImageIO& bands, const BundleInfo& info, const UnlockedBundle& unlocked);

struct NewEncryption {
  std::string token;
  ImageKeys keys;
};
// A new random key pair for AES-`keyBits`, and the token that wraps it for `password`.
NewEncryption newEncryption(std::uint32_t keyBits, const SecretBytes& password);

// Checks the current password (from `current`), re-wraps the bundle's keys for `newPassword` with a
// fresh salt and replaces the token atomically. Prints "password changed: PATH".
void changePassword(const std::string& path, const PasswordSource& current, const SecretBytes& newPassword,
                    std::ostream& out);

}  // namespace quorbel::imagetool::crypto
