// Change band size: refuse an encrypted source, ask for the new bundle, then convert with the band
// size read from the controls as the save panel closes.

#include <QComboBox>
#include <QFile>
#include <QLineEdit>

#include "operations/argument_lists.h"
#include "operations/size_rules.h"
#include "ui/view_controller.h"

namespace quorbel {

void ViewController::doChangeBandButton() {
  if (busy()) return;
  beginOpenPanel(tr("Change band size"), [this](const QString& source) { changeBandSize(source); });
}

void ViewController::changeBandSize(const QString& source) {
  const std::string sourcePath = QFile::encodeName(source).toStdString();
  const std::string test = runAs(tr("Change band size"), isEncryptedArguments(sourcePath));
  if (reportsEncrypted(test)) {
    append(QString::fromUtf8(texts::encryptedRefusal.data(), texts::encryptedRefusal.size()));
    return;
  }
  beginSavePanel([this, sourcePath](const QString& destination) {
    const auto band = bandSizeFormatter->numberFromString(bandSizeTextbox->text());
    if (!band || band->integerValue < 1) return;
    const std::int64_t sectors = bandSizeSectors(band->integerValue, bandSizePopup->currentIndex());
    const ArgumentList arguments =
        convertArguments(sourcePath, QFile::encodeName(destination).toStdString(), sectors);
    const std::string result = runAs(tr("Change band size"), arguments);
    append(QString::fromStdString(std::string(texts::changeBandHeading) + result));
  });
}

}  // namespace quorbel
