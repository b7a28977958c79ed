// Get info: "imageinfo" then "isencrypted" on one bundle; the pane is replaced by the first
// report behind its heading, and the second report follows it unchanged.

#include <QFile>

#include "operations/argument_lists.h"
#include "ui/view_controller.h"

namespace quorbel {

void ViewController::doGetInfoButton() {
  if (busy()) return;
  beginOpenPanel(tr("Get Info"), [this](const QString& chosen) {
    const std::string path = QFile::encodeName(chosen).toStdString();
    const std::string info = runAs(tr("Get info"), imageInfoArguments(path));
    replace(QString::fromStdString(std::string(texts::getInfoHeading) + info));
    const std::string encrypted = runAs(tr("Get info"), isEncryptedArguments(path));
    append(QString::fromStdString(encrypted));
  });
}

}  // namespace quorbel
