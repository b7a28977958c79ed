#include "imagetool/crypto/header.h"

#include "imagetool/image_io.h"

namespace quorbel::imagetool::crypto {

namespace {

constexpr char signature[] = "encrcdsa";
constexpr char v1Signature[] = "cdsaencr";
constexpr std::size_t v1TrailerBytes = 0x4FC;
// Header fields, as offsets into the token.
constexpr std::size_t versionAt = 8, ivSizeAt = 12, modeAt = 16, cipherAt = 20, keyBitsAt = 24, prngAt = 28,
                      hmacBitsAt = 32, uuidAt = 36, chunkSizeAt = 52, dataSizeAt = 56, dataOffsetAt = 64,
                      recordCountAt = 72, recordsAt = 76;
constexpr std::size_t recordEntryBytes = 20;  // type (4), offset (8), size (8)
// Passphrase record fields, as offsets into the record.
constexpr std::size_t kdfAt = 0, prngAlgAt = 4, iterationsAt = 8, saltLengthAt = 12, saltAt = 16, ivLengthAt = 48,
                      ivAt = 52, blobKeyBitsAt = 84, blobAlgAt = 88, blobPaddingAt = 92, blobModeAt = 96,
                      blobLengthAt = 100, blobAt = 104;
constexpr std::size_t maxSalt = 32, maxIv = 32;

std::uint64_t get(const std::string& s, std::size_t at, int bytes) {
  std::uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = (v << 8) | static_cast<unsigned char>(s[at + static_cast<std::size_t>(i)]);
  return v;
}
std::uint32_t get32(const std::string& s, std::size_t at) { return static_cast<std::uint32_t>(get(s, at, 4)); }

void put(std::string& s, std::size_t at, std::uint64_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) {
    s[at + static_cast<std::size_t>(i)] = static_cast<char>(v & 0xFF);
    v >>= 8;
  }
}

[[noreturn]] void bad(const std::string& what) { throw ToolError("the encrypted-image header " + what); }

}  // namespace

TokenInfo parseToken(const std::string& token) {
  TokenInfo info;
  if (token.empty()) return info;
  static constexpr char hex[] = "0123456789ABCDEF";
  const auto appendUuid = [&](std::size_t at) {
    for (std::size_t i = 0; i < 16; ++i) {
      if (i == 4 || i == 6 || i == 8 || i == 10) info.uuid += '-';
      const auto byte = static_cast<unsigned char>(token[at + i]);
      info.uuid += hex[byte >> 4];
      info.uuid += hex[byte & 15];
    }
  };
  if (token.size() >= v1TrailerBytes && token.compare(token.size() - 8, 8, v1Signature) == 0) {
    // Version 1: the trailer at the end starts with the uuid and the block size.
    const std::size_t start = token.size() - v1TrailerBytes;
    info.encrypted = true;
    info.headerVersion = 1;
    appendUuid(start);
    info.blockSize = get32(token, start + 16);
    return info;
  }
  if (token.size() < 8 || token.compare(0, 8, signature) != 0)
    throw ToolError("the token holds something other than an encrypted-image header");
  if (token.size() < dataSizeAt) bad("in the token is truncated");
  if (get32(token, versionAt) != 2) bad("has unknown version " + std::to_string(get32(token, versionAt)));
  info.encrypted = true;
  info.headerVersion = 2;
  info.keyBits = get32(token, keyBitsAt);
  const std::uint32_t algorithm = get32(token, cipherAt), mode = get32(token, modeAt);
  const bool aesCbc = algorithm == aesAlgorithm && mode >= firstCbcMode && mode <= lastCbcMode;
  info.cipher = aesCbc && (info.keyBits == 128 || info.keyBits == 256)
                    ? "AES-" + std::to_string(info.keyBits)
                    : "unsupported (algorithm " + std::to_string(algorithm) + ", mode " + std::to_string(mode) +
                          ", " + std::to_string(info.keyBits) + "-bit keys)";
  appendUuid(uuidAt);
  info.blockSize = get32(token, chunkSizeAt);
  return info;
}

EncryptedHeader EncryptedHeader::decode(const std::string& token) {
  const TokenInfo info = parseToken(token);
  if (!info.encrypted) bad("is missing: the token is empty");
  if (info.headerVersion == 1)
    throw ToolError(
        "the token holds a version 1 encrypted-image header (older macOS), which this tool can report on "
        "but not unlock or change");
  if (token.size() < recordsAt) bad("in the token is truncated");
  EncryptedHeader h;
  h.raw_ = token;
  if (get32(token, ivSizeAt) != 16) bad("names an IV size other than 16 bytes");
  const std::uint32_t cipher = get32(token, cipherAt), mode = get32(token, modeAt);
  if (cipher != aesAlgorithm || mode < firstCbcMode || mode > lastCbcMode)
    bad("names a cipher this tool cannot use (algorithm " + std::to_string(cipher) + ", mode " + std::to_string(mode) +
        "); only AES in CBC mode is supported");
  h.keyBits_ = info.keyBits;
  if (h.keyBits_ != 128 && h.keyBits_ != 256) bad("names an AES key of " + std::to_string(h.keyBits_) + " bits");
  for (std::size_t i = 0; i < 16; ++i) h.uuid_[i] = static_cast<std::uint8_t>(token[uuidAt + i]);
  h.chunkSize_ = get32(token, chunkSizeAt);
  if (h.chunkSize_ < 512 || h.chunkSize_ > (1u << 20) || h.chunkSize_ % 512 != 0)
    bad("names an unusable chunk size of " + std::to_string(h.chunkSize_) + " bytes");
  const std::uint32_t count = get32(token, recordCountAt);
  if (count > 64 || recordsAt + std::size_t{count} * recordEntryBytes > token.size()) bad("lists too many key records");
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::size_t at = recordsAt + std::size_t{i} * recordEntryBytes;
    KeyRecord r{get32(token, at), get(token, at + 4, 8), get(token, at + 12, 8)};
    if (r.offset > token.size() || r.size > token.size() - r.offset) bad("has a key record outside the token");
    if (r.type == passphraseRecordType && r.size < blobAt) bad("has a truncated passphrase record");
    h.records_.push_back(r);
  }
  return h;
}

EncryptedHeader EncryptedHeader::fresh(std::uint32_t keyBits, std::uint32_t chunkSize,
                                       const std::array<std::uint8_t, 16>& uuid) {
  std::string t(newTokenBytes, '\0');
  t.replace(0, 8, signature);
  put(t, versionAt, 2, 4);
  put(t, ivSizeAt, 16, 4);
  put(t, modeAt, 5, 4);
  put(t, cipherAt, aesAlgorithm, 4);
  put(t, keyBitsAt, keyBits, 4);
  put(t, prngAt, 0x5b, 4);
  put(t, hmacBitsAt, 160, 4);
  for (std::size_t i = 0; i < 16; ++i) t[uuidAt + i] = static_cast<char>(uuid[i]);
  put(t, chunkSizeAt, chunkSize, 4);
  put(t, dataSizeAt, 0, 8);
  put(t, dataOffsetAt, newTokenBytes, 8);
  put(t, recordCountAt, 1, 4);
  put(t, recordsAt, passphraseRecordType, 4);
  put(t, recordsAt + 4, newRecordOffset, 8);
  put(t, recordsAt + 12, newRecordBytes, 8);
  return decode(t);
}

PassphraseRecord EncryptedHeader::passphrase(std::size_t index) const {
  const KeyRecord& r = records_.at(index);
  if (r.type != passphraseRecordType) bad("record is not a passphrase record");
  const std::string& t = raw_;
  const std::size_t at = static_cast<std::size_t>(r.offset);
  PassphraseRecord p;
  p.kdfAlgorithm = get32(t, at + kdfAt);
  p.kdfPrng = get32(t, at + prngAlgAt);
  p.iterations = get32(t, at + iterationsAt);
  const std::uint32_t saltLength = get32(t, at + saltLengthAt);
  const std::uint32_t ivLength = get32(t, at + ivLengthAt);
  p.blobKeyBits = get32(t, at + blobKeyBitsAt);
  p.blobAlgorithm = get32(t, at + blobAlgAt);
  p.blobPadding = get32(t, at + blobPaddingAt);
  p.blobMode = get32(t, at + blobModeAt);
  const std::uint32_t blobLength = get32(t, at + blobLengthAt);
  if (saltLength > maxSalt || ivLength > maxIv || blobLength > r.size - blobAt)
    bad("has a passphrase record with impossible lengths");
  p.salt.assign(t.begin() + static_cast<long>(at + saltAt), t.begin() + static_cast<long>(at + saltAt + saltLength));
  p.blobIv.assign(t.begin() + static_cast<long>(at + ivAt), t.begin() + static_cast<long>(at + ivAt + ivLength));
  p.blob.assign(t.begin() + static_cast<long>(at + blobAt), t.begin() + static_cast<long>(at + blobAt + blobLength));
  return p;
}

void EncryptedHeader::setPassphrase(std::size_t index, const PassphraseRecord& p) {
  const KeyRecord& r = records_.at(index);
  if (r.type != passphraseRecordType) bad("record is not a passphrase record");
  if (p.salt.size() > maxSalt || p.blobIv.size() > maxIv || p.blob.size() > r.size - blobAt)
    bad("record has no room for the new passphrase");
  const std::size_t at = static_cast<std::size_t>(r.offset);
  // The whole record is rewritten, so nothing of the old wrapping stays in the unused space.
  raw_.replace(at, static_cast<std::size_t>(r.size), static_cast<std::size_t>(r.size), '\0');
  put(raw_, at + kdfAt, p.kdfAlgorithm, 4);
  put(raw_, at + prngAlgAt, p.kdfPrng, 4);
  put(raw_, at + iterationsAt, p.iterations, 4);
  put(raw_, at + saltLengthAt, p.salt.size(), 4);
  for (std::size_t i = 0; i < p.salt.size(); ++i) raw_[at + saltAt + i] = static_cast<char>(p.salt[i]);
  put(raw_, at + ivLengthAt, p.blobIv.size(), 4);
  for (std::size_t i = 0; i < p.blobIv.size(); ++i) raw_[at + ivAt + i] = static_cast<char>(p.blobIv[i]);
  put(raw_, at + blobKeyBitsAt, p.blobKeyBits, 4);
  put(raw_, at + blobAlgAt, p.blobAlgorithm, 4);
  put(raw_, at + blobPaddingAt, p.blobPadding, 4);
  put(raw_, at + blobModeAt, p.blobMode, 4);
  put(raw_, at + blobLengthAt, p.blob.size(), 4);
  for (std::size_t i = 0; i < p.blob.size(); ++i) raw_[at + blobAt + i] = static_cast<char>(p.blob[i]);
}

}  // namespace quorbel::imagetool::crypto
