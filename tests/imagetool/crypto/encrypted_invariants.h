#pragma once
// What the tool makes of an encrypted bundle's token, of a password record's wrapped keys and of its
// password program's output, fed arbitrary bytes. Shared by the libFuzzer target and the test that
// replays its corpus. Input: one byte choosing the reader, then its bytes:
//   0: a token: decoded, its records checked, each passphrase record read and written back;
//   1: wrapped keys: a byte of key bits (odd: 256, even: 128), a byte of iterations (1 to 4), a
//      20-byte salt, an 8-byte IV, then the blob, unwrapped with the password "pw";
//   2: the password program's output, as pieces of (1-byte length, bytes).

#include <string>

#include "imagetool/crypto/header.h"
#include "imagetool/crypto/keys.h"
#include "imagetool/crypto/password.h"

namespace quorbel::imagetool::fuzz {

inline std::string brokenTokenInvariant(const std::string& token) {
  crypto::EncryptedHeader header;
  try {
    header = crypto::EncryptedHeader::decode(token);
  } catch (const ToolError&) {
    return "";
  }
  if (header.keyBits() != 128 && header.keyBits() != 256) return "a header with unusable key bits accepted";
  if (crypto::parseToken(token).cipher.rfind("AES-", 0) != 0) return "an accepted header not reported as AES";
  try {
    if (crypto::passphraseRecords(header).size() > crypto::maxPassphraseRecords) return "too many records tried";
  } catch (const ToolError&) {
  }
  for (std::size_t i = 0; i < header.records().size(); ++i) {
    if (header.records()[i].type != crypto::passphraseRecordType) continue;
    try {
      const crypto::PassphraseRecord read = header.passphrase(i);
      header.setPassphrase(i, read);
      const crypto::PassphraseRecord back = header.passphrase(i);
      if (back.salt != read.salt || back.blob != read.blob || back.iterations != read.iterations)
        return "a passphrase record does not read back as written";
      if (header.bytes().size() != token.size()) return "writing a record changed the token's size";
    } catch (const ToolError&) {
    }
  }
  return "";
}

inline std::string brokenUnwrapInvariant(const std::string& input) {
  if (input.size() < 30) return "";
  crypto::PassphraseRecord record;
  const std::uint32_t keyBits = (input[0] & 1) != 0 ? 256 : 128;
  record.iterations = 1 + static_cast<unsigned char>(input[1]) % 4;
  record.salt.assign(input.begin() + 2, input.begin() + 22);
  record.blobIv.assign(input.begin() + 22, input.begin() + 30);
  record.blob.assign(input.begin() + 30, input.end());
  try {
    const auto keys = crypto::unwrapKeys(record, crypto::SecretBytes("pw", 2), keyBits);
    if (keys && (keys->aes.size() != keyBits / 8 || keys->hmac.size() != crypto::hmacKeyBytes))
      return "unwrapped keys of the wrong size";
  } catch (const ToolError&) {
  }
  return "";
}

inline std::string brokenAskpassInvariant(const std::string& input) {
  crypto::PasswordOutput output;
  std::string all;
  try {
    for (std::size_t at = 0; at < input.size();) {
      const std::string piece = input.substr(at + 1, static_cast<unsigned char>(input[at]));
      at += 1 + piece.size();
      all += piece;
      output.append(reinterpret_cast<const unsigned char*>(piece.data()), piece.size());
    }
  } catch (const ToolError&) {
    return all.size() > (64u << 10) ? "" : "a short output refused";
  }
  if (!all.empty() && all.back() == '\n') all.pop_back();
  return output.finish().view() == all ? "" : "the password is not the output less one line feed";
}

// The first invariant the readers break, or "" when none.
inline std::string brokenEncryptedInvariant(const std::string& input) {
  if (input.empty()) return "";
  const std::string rest = input.substr(1);
  switch (input[0] % 3) {
    case 0:
      return brokenTokenInvariant(rest);
    case 1:
      return brokenUnwrapInvariant(rest);
    default:
      return brokenAskpassInvariant(rest);
  }
}

}  // namespace quorbel::imagetool::fuzz
