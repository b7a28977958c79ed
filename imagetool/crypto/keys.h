#pragma once
// The keys of an encrypted image and their wrapping for a password: PBKDF2-HMAC-SHA1 derives a
// 3DES-EDE key from the password, which wraps (CBC, PKCS#7 padding) the AES key, the 20-byte HMAC-SHA1
// key and the marker "CKIE". All cryptography is OpenSSL's libcrypto.

#include <cstdint>
#include <optional>
#include <vector>

#include "imagetool/crypto/header.h"
#include "imagetool/crypto/secret.h"

namespace quorbel::imagetool::crypto {

// The iteration count new passphrase records get (see README: the fixture's Mac chose 192307 by
// timing; a fixed count keeps the work of opening an image the same on every machine).
inline constexpr std::uint32_t newIterations = 250000;
inline constexpr std::size_t hmacKeyBytes = 20;
// The most iterations a password record may ask for (macOS's own are in the low hundreds of
// thousands): more would keep the tool busy for minutes per record.
inline constexpr std::uint32_t maxIterations = 10'000'000;
// The most password records one unlock tries.
inline constexpr std::size_t maxPassphraseRecords = 4;

struct ImageKeys {
  SecretBytes aes;   // 16 or 32 bytes
  SecretBytes hmac;  // 20 bytes
};

// Fills `data` from OpenSSL's random generator. Throws ToolError when it fails.
void randomFill(void* data, std::size_t length);

// A new random key pair for AES with `keyBits` (128 or 256).
ImageKeys newKeys(std::uint32_t keyBits);

// PBKDF2-HMAC-SHA1 (RFC 8018): `length` bytes from `password` and `salt`. Stops with the ToolError of
// checkInterrupted() within milliseconds of an interruption. Throws for 0 or more than maxIterations.
SecretBytes pbkdf2HmacSha1(const SecretBytes& password, const std::vector<std::uint8_t>& salt, std::uint32_t iterations,
                           std::size_t length);

// Throws ToolError for a record this tool will not try: another key derivation or wrapping, or an
// iteration count above maxIterations.
void checkRecord(const PassphraseRecord& record);
// The passphrase records of `header` an unlock tries, each checked before any key is derived. Throws
// for a record checkRecord refuses and for more than maxPassphraseRecords of them.
std::vector<std::size_t> passphraseRecords(const EncryptedHeader& header);

// The keys the record holds when `password` is the one it was wrapped for; nothing when it is not.
// Throws ToolError for a record this tool cannot read (another key derivation or wrapping).
std::optional<ImageKeys> unwrapKeys(const PassphraseRecord& record, const SecretBytes& password, std::uint32_t keyBits);

// A passphrase record wrapping `keys` for `password`, with a fresh salt and IV.
PassphraseRecord wrapKeys(const ImageKeys& keys, const SecretBytes& password, std::uint32_t iterations = newIterations);

// Tries the passphrase records of `header` (passphraseRecords); the keys and the record's index, or
// nothing.
struct UnlockedKeys {
  ImageKeys keys;
  std::size_t record = 0;
};
std::optional<UnlockedKeys> unlock(const EncryptedHeader& header, const SecretBytes& password);

}  // namespace quorbel::imagetool::crypto
