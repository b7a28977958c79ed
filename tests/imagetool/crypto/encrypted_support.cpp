#include "encrypted_support.h"

namespace quorbel::imagetool::test {

bool decryptBundle(const std::string& bundle, const std::string& password, const std::string& image, bool skipMissing,
                   std::string* why) {
  std::vector<std::string> argv{"/usr/bin/python3",
                                std::string(QUORBEL_SOURCE_DIR) + "/tests/imagetool/crypto/read_encrypted_bundle.py",
                                bundle, image};
  if (skipMissing) argv.push_back("--skip-missing");
  const RunResult r = runProgram(argv, password);
  if (why != nullptr) *why = r.err;
  return r.status == 0;
}

RunResult createEncrypted(const std::string& path, const std::string& size, const std::string& fileSystem,
                          const std::string& cipher, const std::string& password, const std::string& bandSectors) {
  std::vector<std::string> args{"create", "-size", size, "-type", "SPARSEBUNDLE", "-encryption", cipher, "-stdinpass"};
  if (!bandSectors.empty()) {
    args.push_back("-imagekey");
    args.push_back("sparse-band-size=" + bandSectors);
  }
  for (const std::string& w : {std::string("-fs"), fileSystem, std::string("-volname"), std::string("Vault"), path})
    args.push_back(w);
  return runTool(args, {}, password);
}

}  // namespace quorbel::imagetool::test
