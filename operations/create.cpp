#include "operations/create.h"

#include "core/command_templates.h"
#include "operations/argument_lists.h"
#include "operations/number_formatter.h"
#include "operations/size_rules.h"

namespace quorbel {

CreateOperation::CreateOperation(OperationHost& host, ToolRunner& runner, QObject* parent)
    : Operation(tr("Create"), host, runner, parent) {}

void CreateOperation::start() {
  if (host().controlValues().encryptIndex < 1) return createSparseBundle(false);
  QPointer<Operation> self(this);
  host().askForPassword(PasswordPurpose::NewImage, [self, this](std::optional<SecretBytes> password) {
    if (!self) return;
    if (!password) {
      appendText(texts::createCancelled);
      return cancel();
    }
    password_ = std::move(password);
    createSparseBundle(true);
  });
}

void CreateOperation::createSparseBundle(bool encrypted) {
  saveBundle({}, [this, encrypted](const QString& chosen) {
    const ControlValues values = host().controlValues();
    const auto size = NumberFormatter(NumberFormatter::Minimum::AboveZero).numberFromString(values.maxSizeText);
    const auto band = NumberFormatter(NumberFormatter::Minimum::ZeroOrMore).numberFromString(values.bandSizeText);
    const bool knownFilesystem =
        values.filesystemIndex >= 0 && static_cast<std::size_t>(values.filesystemIndex) < filesystemList.size();
    if (!size || !band || !knownFilesystem) {
      password_.reset();
      if (!size) return endWithout(tr("the maximum size must be a number above 0"));
      if (!band) return endWithout(tr("the band size must be a number of 0 or more"));
      return endWithout(tr("no file system is chosen"));
    }
    CreateChoices choices;
    choices.sizeText = sizeArgument(size->description, values.maxSizeUnit);
    if (encrypted) choices.encryption = encryptionAlgorithm(values.encryptIndex);
    if (band->integerValue >= 1) choices.bandSectors = bandSizeSectors(band->integerValue, values.bandSizeUnit);
    choices.filesystem = filesystemList[static_cast<std::size_t>(values.filesystemIndex)];
    choices.path = filePath(chosen);
    choices.volumeName = volumeName(choices.path);
    std::optional<SecretBytes> password;
    if (encrypted) password = std::move(password_);
    password_.reset();
    runStep(createArguments(choices), std::move(password), [this](const ToolOutcome& outcome) {
      appendText(outcome.text);
      finish();
    });
  });
}

}  // namespace quorbel
