#pragma once
// Helpers for the encrypted-image tests: the independent reader (read_encrypted_bundle.py) that
// decrypts a bundle into a flat image, and the tool run with a password on its standard input.

#include <string>
#include <vector>

#include "support.h"

namespace quorbel::imagetool::test {

inline RunResult runToolWithInput(const std::vector<std::string>& args, const std::string& input,
                                  const std::vector<std::string>& env = {}) {
  return runTool(args, env, input);
}

// Decrypts `bundle` with `password` into the file `image` with the independent reader. False for a
// wrong password (or any failure: `why` says which).
bool decryptBundle(const std::string& bundle, const std::string& password, const std::string& image,
                   bool skipMissing = false, std::string* why = nullptr);

// `create` of an encrypted bundle with the window's argument order, password on standard input.
RunResult createEncrypted(const std::string& path, const std::string& size, const std::string& fileSystem,
                          const std::string& cipher, const std::string& password,
                          const std::string& bandSectors = "2048");

}  // namespace quorbel::imagetool::test
