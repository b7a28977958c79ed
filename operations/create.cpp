// Create: the password sheet first when encrypting, then the save panel; every control but the
// decision to encrypt is read when the save panel closes. Also the sheet's two answers, which go
// to the operation that presented the sheet.

#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QVariant>

#include "operations/argument_lists.h"
#include "operations/size_rules.h"
#include "ui/notification_center.h"
#include "ui/password_view_controller.h"
#include "ui/storyboard.h"
#include "ui/view_controller.h"

namespace quorbel {

void ViewController::doCreateButton() {
  if (busy()) return;
  if (encryptPopup->currentIndex() < 1) {
    createSparseBundle(false);
    return;
  }
  presentPasswordSheet(SheetPurpose::Create);
}

void ViewController::presentPasswordSheet(SheetPurpose purpose) {
  if (sheet_ && sheet_->isVisible()) return;  // one sheet at a time; the window is blocked while it is shown
  auto* sheet = qobject_cast<PasswordViewController*>(
      storyboard::instantiateController(QStringLiteral("passwordViewController"), window()));
  if (!sheet) return;
  sheet->setMessage(purpose == SheetPurpose::Create
                        ? tr("Type the password of the new sparse bundle twice.")
                        : tr("Type the new password of the sparse bundle twice."));
  sheet_ = sheet;
  sheetPurpose_ = purpose;
  sheet->open();
}

void ViewController::loadPassword(const Notification& notification) {
  // Without a sheet of ours on screen the answer is a creation's, as it has always been.
  const SheetPurpose purpose = sheetPurpose_.value_or(SheetPurpose::Create);
  sheetPurpose_.reset();
  const QVariant value = notification.userInfo.value(QString::fromLatin1(passwordKey));
  if (value.typeId() != QMetaType::QString) {
    pendingChangePasswordPath_.clear();
    return;
  }
  if (purpose == SheetPurpose::ChangePassword) {
    changePassword(std::exchange(pendingChangePasswordPath_, {}), value.toString().toStdString());
    return;
  }
  encryptPassword_ = value.toString();
  createSparseBundle(true);
}

void ViewController::cancelPassword() {
  const SheetPurpose purpose = sheetPurpose_.value_or(SheetPurpose::Create);
  sheetPurpose_.reset();
  if (purpose == SheetPurpose::ChangePassword) {
    pendingChangePasswordPath_.clear();
    append(QString::fromUtf8(texts::changePasswordCancelled.data(), texts::changePasswordCancelled.size()));
    return;
  }
  append(QString::fromUtf8(texts::createCancelled.data(), texts::createCancelled.size()));
}

void ViewController::createSparseBundle(bool encrypted) {
  beginSavePanel([this, encrypted](const QString& chosen) {
    const auto size = maxSizeFormatter->numberFromString(maxSizeTextbox->text());
    if (!size) return;
    CreateChoices choices;
    choices.sizeText = sizeArgument(size->description, maxSizePopup->currentIndex());
    if (encrypted) choices.encryption = encryptionAlgorithm(encryptPopup->currentIndex());
    const auto band = bandSizeFormatter->numberFromString(bandSizeTextbox->text());
    if (!band) return;
    if (band->integerValue >= 1) choices.bandSectors = bandSizeSectors(band->integerValue, bandSizePopup->currentIndex());
    const int filesystem = filesystemPopup->currentIndex();
    if (filesystem < 0 || static_cast<std::size_t>(filesystem) >= filesystemList.size()) return;
    choices.filesystem = filesystemList[static_cast<std::size_t>(filesystem)];
    choices.path = QFile::encodeName(chosen).toStdString();
    choices.volumeName = volumeName(choices.path);

    std::optional<std::string> password;
    if (encrypted) password = encryptPassword_.toStdString();
    const std::string result = runAs(tr("Create"), createArguments(choices), password);
    append(QString::fromStdString(result));
  });
}

}  // namespace quorbel
