#pragma once
// The keys of an encrypted image and their wrapping for a password: PBKDF2-HMAC-SHA1 derives a
// 3DES-EDE key from the password, which wraps (CBC, PKCS#7 padding) the AES key, the 20-byte HMAC-SHA1
// key and the marker "CKIE". All cryptography is OpenSSL's libcrypto.

#include <cstdint>
#include <optional>

#include "imagetool/crypto/header.h"
#include "imagetool/crypto/secret.h"

namespace quorbel::imagetool::crypto {

// The iteration count new passphrase records get (see README: the fixture's Mac chose 192307 by
// timing; a fixed count keeps the work of opening an image the same on every machine).
inline constexpr std::uint32_t newIterations = 250000;
inline constexpr std::size_t hmacKeyBytes = 20;

struct ImageKeys {
  SecretBytes aes;   // 16 or 32 bytes
  SecretBytes hmac;  // 20 bytes
};

// Fills `data` from OpenSSL's random generator. Throws ToolError when it fails.
void randomFill(void* data, std::size_t length);

// A new random key pair for AES with `keyBits` (128 or 256).
ImageKeys newKeys(std::uint32_t keyBits);

// The keys the record holds when `password` is the one it was wrapped for; nothing when it is not.
// Throws ToolError for a record this tool cannot read (another key derivation or wrapping).
std::optional<ImageKeys> unwrapKeys(const PassphraseRecord& record, const SecretBytes& password, std::uint32_t keyBits);

// A passphrase record wrapping `keys` for `password`, with a fresh salt and IV.
PassphraseRecord wrapKeys(const ImageKeys& keys, const SecretBytes& password, std::uint32_t iterations = newIterations);

// Tries every passphrase record of `header`; the keys and the record's index, or nothing.
struct UnlockedKeys {
  ImageKeys keys;
  std::size_t record = 0;
};
std::optional<UnlockedKeys> unlock(const EncryptedHeader& header, const SecretBytes& password);

}  // namespace quorbel::imagetool::crypto
