#pragma once
// The encrypted-image header that an encrypted sparse bundle keeps in its `token` file: version 2
// ("encrcdsa" at the start), which this tool unlocks and rewrites, or version 1 (a "cdsaencr" trailer
// at the end, older macOS), which it only reports on. All numbers are big-endian. The version 2
// header names the cipher, the chunk size and the key records; a passphrase record holds the image
// keys wrapped for one password. Records of other types (certificates and the like) are kept byte for
// byte. This is the one decoder of the token: reports and unlocking both read it here.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace quorbel::imagetool::crypto {

// What macOS writes: a token of this length, one passphrase record at this offset and of this size.
inline constexpr std::size_t newTokenBytes = 122368;
inline constexpr std::size_t newRecordOffset = 0x60;
inline constexpr std::size_t newRecordBytes = 0x268;
inline constexpr std::uint32_t passphraseRecordType = 1;
inline constexpr std::uint32_t kdfPbkdf2HmacSha1 = 103;

// What the token says of itself, read without judging whether this tool can unlock it (what reports
// need).
struct TokenInfo {
  bool encrypted = false;
  std::uint32_t headerVersion = 0;  // 1: "cdsaencr" trailer, 2: "encrcdsa" header
  std::string uuid;                 // of the encrypted-image header, upper-case with dashes
  std::uint32_t blockSize = 0;
  std::uint32_t keyBits = 0;  // 0 where the header does not say (version 1)
  std::string cipher;         // "AES-128", "AES-256", what else a version 2 header names, "" for version 1
};
// Decodes the token's content: empty, a version 2 header or a version 1 trailer. Throws ToolError when
// it is none of these.
TokenInfo parseToken(const std::string& token);

// The cipher of the images this tool reads: AES (CDSA's vendor algorithm 1) in one of the CBC modes
// (CDSA modes 4 to 6: CBC, CBC with an 8-byte IV field, the same with padding).
inline constexpr std::uint32_t aesAlgorithm = 0x80000001u;
inline constexpr std::uint32_t firstCbcMode = 4, lastCbcMode = 6;

// A passphrase key record: how to derive the wrapping key from the password, and the wrapped keys.
struct PassphraseRecord {
  std::uint32_t kdfAlgorithm = kdfPbkdf2HmacSha1;
  std::uint32_t kdfPrng = 0;
  std::uint32_t iterations = 0;
  std::vector<std::uint8_t> salt;    // at most 32 bytes
  std::vector<std::uint8_t> blobIv;  // at most 32 bytes
  std::uint32_t blobKeyBits = 192;   // 3DES-EDE
  std::uint32_t blobAlgorithm = 17;  // 3DES
  std::uint32_t blobPadding = 7;     // PKCS#7
  std::uint32_t blobMode = 6;        // CBC
  std::vector<std::uint8_t> blob;    // the wrapped keys
};

struct KeyRecord {
  std::uint32_t type = 0;
  std::uint64_t offset = 0;  // from the start of the token
  std::uint64_t size = 0;
};

class EncryptedHeader {
 public:
  // Decodes and checks a token. Throws ToolError naming what is wrong.
  static EncryptedHeader decode(const std::string& token);
  // A new header as macOS writes it: AES with `keyBits` (128 or 256), `chunkSize`-byte chunks, the
  // given uuid and one empty passphrase record, in a token of newTokenBytes.
  static EncryptedHeader fresh(std::uint32_t keyBits, std::uint32_t chunkSize,
                               const std::array<std::uint8_t, 16>& uuid);

  std::uint32_t keyBits() const { return keyBits_; }
  std::uint32_t chunkSize() const { return chunkSize_; }
  const std::array<std::uint8_t, 16>& uuid() const { return uuid_; }
  const std::vector<KeyRecord>& records() const { return records_; }

  // The passphrase record at `index` of records(), decoded.
  PassphraseRecord passphrase(std::size_t index) const;
  // Replaces the passphrase record at `index` in place; throws when it does not fit the record's space.
  void setPassphrase(std::size_t index, const PassphraseRecord& record);

  // The token's new content: every byte that was read, with the changed records written in.
  const std::string& bytes() const { return raw_; }

 private:
  std::string raw_;
  std::uint32_t keyBits_ = 0;
  std::uint32_t chunkSize_ = 0;
  std::array<std::uint8_t, 16> uuid_{};
  std::vector<KeyRecord> records_;
};

}  // namespace quorbel::imagetool::crypto
