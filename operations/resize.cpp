#include "operations/resize.h"

#include "operations/argument_lists.h"
#include "operations/number_formatter.h"
#include "operations/size_rules.h"

namespace quorbel {

ResizeOperation::ResizeOperation(OperationHost& host, ToolRunner& runner, QObject* parent)
    : Operation(tr("Resize"), host, runner, parent) {}

void ResizeOperation::start() {
  openBundle(tr("Resize"), [this](const QString& path) {
    const ControlValues values = host().controlValues();
    const auto size = NumberFormatter(NumberFormatter::Minimum::AboveZero).numberFromString(values.maxSizeText);
    if (!size) return endWithout(tr("the maximum size must be a number above 0"));
    runStep(resizeArguments(sizeArgument(size->description, values.maxSizeUnit), filePath(path)), std::nullopt,
            [this](const ToolOutcome& outcome) {
              appendText(std::string(texts::resizeHeading) + outcome.text);
              finish();
            });
  });
}

}  // namespace quorbel
