#include "operations/compact.h"

#include "operations/argument_lists.h"

namespace quorbel {

CompactOperation::CompactOperation(OperationHost& host, ToolRunner& runner, QObject* parent)
    : Operation(tr("Compact"), host, runner, parent) {}

void CompactOperation::start() {
  openBundle(tr("Compact"), [this](const QString& path) {
    const bool onBattery = host().controlValues().batteryAllowed;
    runStep(compactArguments(onBattery, filePath(path)), std::nullopt, [this](const ToolOutcome& outcome) {
      const std::string text = paneText(texts::compactHeading) + outcome.text;
      appendText(text);
      if (!outcome.stopped && compactNeedsBatteryHint(text)) appendText(paneText(texts::batteryHint));
      finish();
    });
  });
}

}  // namespace quorbel
