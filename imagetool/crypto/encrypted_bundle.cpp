#include "imagetool/crypto/encrypted_bundle.h"

#include <algorithm>
#include <optional>

#include "imagetool/bundle/fs_util.h"

namespace quorbel::imagetool::crypto {

UnlockedBundle unlockBundle(const Bundle& bundle, const PasswordSource& source, const std::string& nothingDone) {
  if (bundle.token().headerVersion == 1)
    throw ToolError(bundle.path() +
                    " has a version 1 encrypted-image header (older macOS); this tool can report on such "
                    "images but not unlock them, so " +
                    nothingDone);
  const std::string token = readSmallFileAt(bundle.dirFd(), "token", 64u << 20, bundle.path() + "/token");
  std::optional<EncryptedHeader> header;
  try {
    header = EncryptedHeader::decode(token);
    // Every record is checked before the password is asked for and any key derived.
    if (passphraseRecords(*header).empty())
      throw ToolError("it has no password key record, so it cannot be opened with a password");
  } catch (const ToolError& e) {
    throw ToolError(bundle.path() + ": " + e.what() + "; " + nothingDone);
  }
  const SecretBytes password = source();
  auto unlocked = unlock(*header, password);
  if (!unlocked) throw ToolError("wrong password; " + nothingDone);
  return UnlockedBundle{std::move(*header), std::move(unlocked->keys), unlocked->record};
}

std::unique_ptr<EncryptedImageIO> plainView(ImageIO& bands, const BundleInfo& info, const UnlockedBundle& unlocked) {
  return std::make_unique<EncryptedImageIO>(bands, info.bandSize,
                                            ChunkCipher(unlocked.keys, unlocked.header.chunkSize()));
}

std::unique_ptr<EncryptedImageIO> WorkKeys::view(ImageIO& bands) const {
  return std::make_unique<EncryptedImageIO>(bands, bandSize, ChunkCipher(unlocked->keys, unlocked->header.chunkSize()));
}

std::unique_ptr<const EncryptedImageIO> WorkKeys::view(const ImageIO& bands) const {
  return std::make_unique<const EncryptedImageIO>(bands, bandSize,
                                                  ChunkCipher(unlocked->keys, unlocked->header.chunkSize()));
}

WorkKeys openForWork(const std::string& path, const PasswordSource& source, const std::string& nothingDone) {
  const Bundle inspected = Bundle::open(path, Access::inspect);
  if (!inspected.token().encrypted) return {};
  return {std::make_shared<const UnlockedBundle>(unlockBundle(inspected, source, nothingDone)),
          inspected.info().bandSize};
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
