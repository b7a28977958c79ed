// Change password: the user picks the bundle, then types the new password in the password sheet;
// it reaches the tool on standard input and is not kept. The tool asks for the current password
// itself. The application holds no password of its own for this.

#include <QFile>
#include <algorithm>

#include "operations/argument_lists.h"
#include "ui/password_view_controller.h"
#include "ui/view_controller.h"

namespace quorbel {

void ViewController::doChangePasswordButton() {
  if (busy()) return;
  beginOpenPanel(tr("Change password"), [this](const QString& chosen) {
    if (sheet_ && sheet_->isVisible()) return;
    pendingChangePasswordPath_ = QFile::encodeName(chosen).toStdString();
    presentPasswordSheet(SheetPurpose::ChangePassword);
  });
}

void ViewController::changePassword(const std::string& path, std::string password) {
  if (path.empty()) return;
  const std::string result = runAs(tr("Change password"), changePasswordArguments(path), password);
  std::fill(password.begin(), password.end(), '\0');
  append(QString::fromStdString(std::string(texts::changePasswordHeading) + result));
}

}  // namespace quorbel
