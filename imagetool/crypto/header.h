#pragma once
// The encrypted-image header ("encrcdsa", version 2) that an encrypted sparse bundle keeps in its
// `token` file. All numbers are big-endian. The header names the cipher, the chunk size and the key
// records; a passphrase record holds the image keys wrapped for one password. Records of other types
// (certificates and the like) are kept byte for byte.

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
