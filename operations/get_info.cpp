#include "operations/get_info.h"

#include "operations/argument_lists.h"

namespace quorbel {

GetInfoOperation::GetInfoOperation(OperationHost& host, ToolRunner& runner, QObject* parent)
    : Operation(tr("Get info"), host, runner, parent) {}

void GetInfoOperation::start() {
  openBundle(tr("Get Info"), [this](const QString& chosen) {
    const std::string path = filePath(chosen);
    runStep(imageInfoArguments(path), std::nullopt, [this, path](const ToolOutcome& info) {
      host().replace(QString::fromStdString(paneText(texts::getInfoHeading) + info.text));
      if (info.stopped) return finish();
      runStep(isEncryptedArguments(path), std::nullopt, [this](const ToolOutcome& encrypted) {
        appendText(encrypted.text);
        finish();
      });
    });
  });
}

}  // namespace quorbel
