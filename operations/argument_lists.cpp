#include "operations/argument_lists.h"

#include "core/tool_contract.h"

namespace quorbel {

std::string encryptionAlgorithm(int encryptIndex) { return encryptIndex == 1 ? "AES-128" : "AES-256"; }

std::string bandSizeKey(std::int64_t sectors) { return std::string(tool::bandSizeKeyPrefix) + std::to_string(sectors); }

ArgumentList createArguments(const CreateChoices& choices) {
  ArgumentList list = createCommand;
  list.insert(list.end(), {choices.sizeText, "-type", "SPARSEBUNDLE"});
  if (choices.encryption) list.insert(list.end(), {"-encryption", *choices.encryption, "-stdinpass"});
  if (choices.bandSectors) list.insert(list.end(), {"-imagekey", bandSizeKey(*choices.bandSectors)});
  list.insert(list.end(), {"-fs", choices.filesystem, "-volname", choices.volumeName, choices.path});
  return list;
}

ArgumentList resizeArguments(std::string_view sizeText, std::string_view path) {
  ArgumentList list = resizeCommand;
  list.emplace_back(sizeText);
  list.emplace_back(path);
  return list;
}

ArgumentList compactArguments(bool batteryAllowed, std::string_view path) {
  ArgumentList list = compactCommand;
  if (batteryAllowed) list.emplace_back("-batteryallowed");
  list.emplace_back(path);
  return list;
}

ArgumentList isEncryptedArguments(std::string_view path) {
  ArgumentList list = getInfo2Command;
  list.emplace_back(path);
  return list;
}

ArgumentList convertArguments(std::string_view source, std::string_view destination, std::int64_t bandSectors) {
  ArgumentList list = convertCommand;
  list.emplace_back(source);
  list.insert(list.end(), changeBandCommand.begin(), changeBandCommand.end());
  list.emplace_back(destination);
  list.emplace_back("-imagekey");
  list.push_back(bandSizeKey(bandSectors));
  return list;
}

ArgumentList imageInfoArguments(std::string_view path) {
  ArgumentList list = getInfo1Command;
  list.emplace_back(path);
  return list;
}

ArgumentList changePasswordArguments(std::string_view path) {
  ArgumentList list = changePasswordCommand;
  list.emplace_back(path);
  list.emplace_back("-newstdinpass");
  return list;
}

bool reportsEncrypted(std::string_view isEncryptedReport) {
  return isEncryptedReport.find(tool::encryptedMarker) != std::string_view::npos;
}

bool compactNeedsBatteryHint(std::string_view text) {
  for (std::string_view word : tool::compactFailureWords)
    if (text.find(word) != std::string_view::npos) return true;
  return false;
}

}  // namespace quorbel
