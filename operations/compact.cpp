// Compact: the tool gives back unused space; a text that reads like a failure is followed by the
// battery hint.

#include <QCheckBox>
#include <QFile>

#include "operations/argument_lists.h"
#include "ui/view_controller.h"

namespace quorbel {

void ViewController::doCompactButton() {
  if (busy()) return;
  beginOpenPanel(tr("Compact"), [this](const QString& chosen) {
    // Only the checked state allows battery power; partially checked does not.
    const bool onBattery = batteryAllowed->checkState() == Qt::Checked;
    const ArgumentList arguments = compactArguments(onBattery, QFile::encodeName(chosen).toStdString());
    const std::string text = std::string(texts::compactHeading) + runAs(tr("Compact"), arguments);
    append(QString::fromStdString(text));
    if (compactNeedsBatteryHint(text)) append(QString::fromUtf8(texts::batteryHint.data(), texts::batteryHint.size()));
  });
}

}  // namespace quorbel
