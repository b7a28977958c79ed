#include "operations/change_band_size.h"

#include "operations/argument_lists.h"
#include "operations/number_formatter.h"
#include "operations/size_rules.h"

namespace quorbel {

ChangeBandSizeOperation::ChangeBandSizeOperation(OperationHost& host, ToolRunner& runner, QObject* parent)
    : Operation(tr("Change band size"), host, runner, parent) {}

void ChangeBandSizeOperation::start() {
  openBundle(tr("Change band size"), [this](const QString& chosen) {
    const std::string source = filePath(chosen);
    runStep(isEncryptedArguments(source), std::nullopt, [this, source](const ToolOutcome& test) {
      if (test.stopped) return finish();
      if (reportsEncrypted(test.text)) {
        appendText(texts::encryptedRefusal);
        return finish();
      }
      convert(source);
    });
  });
}

void ChangeBandSizeOperation::convert(const std::string& source) {
  saveBundle([this, source](const QString& destination) {
    const ControlValues values = host().controlValues();
    const auto band = NumberFormatter(NumberFormatter::Minimum::ZeroOrMore).numberFromString(values.bandSizeText);
    if (!band || band->integerValue < 1) return finish();
    const std::int64_t sectors = bandSizeSectors(band->integerValue, values.bandSizeUnit);
    runStep(convertArguments(source, filePath(destination), sectors), std::nullopt, [this](const ToolOutcome& outcome) {
      appendText(std::string(texts::changeBandHeading) + outcome.text);
      finish();
    });
  });
}

}  // namespace quorbel
