#include "ui/password_view_controller.h"

#include <QAccessible>
#include <QLabel>
#include <QPalette>

#include "ui_PasswordSheet.h"

namespace quorbel {

bool samePassword(const QString& first, const QString& second) {
  QString a = first.normalized(QString::NormalizationForm_D), b = second.normalized(QString::NormalizationForm_D);
  const bool same = a == b;
  wipeString(a);
  wipeString(b);
  return same;
}

void wipeString(QString& text) {
  // A shared buffer is left alone: another owner still reads it.
  if (!text.isEmpty() && text.isDetached()) wipeBytes(text.data(), static_cast<std::size_t>(text.size()) * sizeof(QChar));
  text = QString();
}

PasswordViewController::PasswordViewController(QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::PasswordSheet>()) {
  ui_->setupUi(this);
  setObjectName(QStringLiteral("passwordViewController"));
  // A sheet: modal for its window only, made fresh for every presentation.
  setWindowModality(Qt::WindowModal);
  setAttribute(Qt::WA_DeleteOnClose);
  connect(ui_->setButton, &QPushButton::clicked, this, &PasswordViewController::doSetButton);
  connect(ui_->cancelButton, &QPushButton::clicked, this, &PasswordViewController::doCancelButton);
}

PasswordViewController::~PasswordViewController() = default;

QLineEdit* PasswordViewController::password1Textbox() const { return ui_->password1Textbox; }
QLineEdit* PasswordViewController::password2Textbox() const { return ui_->password2Textbox; }

void PasswordViewController::setMessage(const QString& message) { ui_->explanation->setText(message); }

bool PasswordViewController::confirmationHighlighted() const {
  return ui_->password2Textbox->property("highlighted").toBool();
}

void PasswordViewController::setConfirmationHighlighted(bool on) {
  QLineEdit* field = ui_->password2Textbox;
  field->setProperty("highlighted", on);
  QPalette palette = field->palette();
  palette.setColor(QPalette::Base, on ? palette.color(QPalette::Highlight).lighter(170)
                                      : QApplication::palette(field).color(QPalette::Base));
  field->setPalette(palette);
  field->setToolTip(on ? tr("The two entries differ: type the password again") : QString());
  // Said in words too, for everyone who cannot see the highlight; a screen reader hears it at once.
  const QString message = on ? tr("The two passwords differ.") : QString();
  ui_->mismatchMessage->setText(message);
  ui_->mismatchMessage->setVisible(on);
  field->setAccessibleDescription(message);
  if (on) {
    QAccessibleEvent alert(ui_->mismatchMessage, QAccessible::Alert);
    QAccessible::updateAccessibility(&alert);
  }
}

void PasswordViewController::doSetButton() {
  if (answered_) return;
  if (!samePassword(ui_->password1Textbox->text(), ui_->password2Textbox->text())) {
    ui_->password2Textbox->clear();
    setConfirmationHighlighted(true);
    ui_->password2Textbox->setFocus();
    return;
  }
  answered_ = true;
  QString first = ui_->password1Textbox->text(), second = ui_->password2Textbox->text();
  ui_->password1Textbox->clear();
  ui_->password2Textbox->clear();
  QByteArray bytes = first.toUtf8();
  SecretBytes password(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
  wipeBytes(bytes.data(), static_cast<std::size_t>(bytes.size()));
  wipeString(first);
  wipeString(second);
  emit passwordChosen(password);
  password.wipe();
  QDialog::accept();
}

void PasswordViewController::doCancelButton() {
  if (answered_) return;
  answered_ = true;
  ui_->password1Textbox->clear();
  ui_->password2Textbox->clear();
  emit cancelled();
  QDialog::reject();
}

void PasswordViewController::reject() {
  if (answered_) {
    QDialog::reject();
    return;
  }
  doCancelButton();
}

}  // namespace quorbel
