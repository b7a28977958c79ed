// Resize: a new maximum size for an existing bundle, read from the size controls when the panel
// closes.

#include <QComboBox>
#include <QFile>
#include <QLineEdit>

#include "operations/argument_lists.h"
#include "operations/size_rules.h"
#include "ui/view_controller.h"

namespace quorbel {

void ViewController::doResizeButton() {
  if (busy()) return;
  beginOpenPanel(tr("Resize"), [this](const QString& chosen) {
    const auto size = maxSizeFormatter->numberFromString(maxSizeTextbox->text());
    if (!size) return;
    const ArgumentList arguments = resizeArguments(sizeArgument(size->description, maxSizePopup->currentIndex()),
                                                   QFile::encodeName(chosen).toStdString());
    const std::string result = runAs(tr("Resize"), arguments);
    append(QString::fromStdString(std::string(texts::resizeHeading) + result));
  });
}

}  // namespace quorbel
