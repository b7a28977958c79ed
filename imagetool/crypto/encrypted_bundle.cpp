#include "imagetool/crypto/encrypted_bundle.h"

#include <algorithm>

#include "imagetool/bundle/fs_util.h"

namespace quorbel::imagetool::crypto {

UnlockedBundle unlockBundle(const Bundle& bundle, const PasswordSource& source, const std::string& nothingDone) {
  EncryptedHeader header =
      EncryptedHeader::decode(readSmallFileAt(bundle.dirFd(), "token", 64u << 20, bundle.path() + "/token"));
  const bool hasPassphrase = std::any_of(header.records().begin(), header.records().end(),
                                         [](const KeyRecord& r) { return r.type == passphraseRecordType; });
  if (!hasPassphrase)
    throw ToolError(bundle.path() + " cannot be opened with a password (it has no password key record); " +
                    nothingDone);
  const SecretBytes password = source();
  auto unlocked = unlock(header, password);
  if (!unlocked) throw ToolError("wrong password; " + nothingDone);
  return UnlockedBundle{std::move(header), std::move(unlocked->keys), unlocked->record};
}

std::unique_ptr<EncryptedImageIO> plainView(ImageIO& bands, const BundleInfo& info, const UnlockedBundle& unlocked) {
  return std::make_unique<EncryptedImageIO>(bands, info.bandSize,
                                            ChunkCipher(unlocked.keys, unlocked.header.chunkSize()));
}

NewEncryption newEncryption(std::uint32_t keyBits, const SecretBytes& password) {
  std::array<std::uint8_t, 16> uuid{};
  randomFill(uuid.data(), uuid.size());
  uuid[6] = static_cast<std::uint8_t>((uuid[6] & 0x0F) | 0x40);  // a random (version 4) UUID
  uuid[8] = static_cast<std::uint8_t>((uuid[8] & 0x3F) | 0x80);
  EncryptedHeader header = EncryptedHeader::fresh(keyBits, newChunkSize, uuid);
  NewEncryption result{{}, newKeys(keyBits)};
  header.setPassphrase(0, wrapKeys(result.keys, password));
  result.token = header.bytes();
  return result;
}

void changePassword(const std::string& path, const PasswordSource& current, const SecretBytes& newPassword,
                    std::ostream& out) {
  const std::string nothingDone = "the password was not changed";
  const Bundle bundle = Bundle::open(path, Access::write, true);
  if (!bundle.token().encrypted) throw ToolError(path + " is not encrypted: it has no password to change");
  UnlockedBundle unlocked = unlockBundle(bundle, current, nothingDone);
  unlocked.header.setPassphrase(unlocked.record, wrapKeys(unlocked.keys, newPassword));
  checkInterrupted();
  replaceFileAtomically(bundle.dirFd(), "token", unlocked.header.bytes(), path + "/token");
  out << "password changed: " << path << "\n";
}

}  // namespace quorbel::imagetool::crypto
