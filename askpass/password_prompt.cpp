#include "askpass/password_prompt.h"

#include <unistd.h>

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <cerrno>
#include <cstring>

namespace quorbel::askpass {

PasswordPrompt::PasswordPrompt(const QString& prompt, QWidget* parent) : QDialog(parent) {
  // The title is also the name a screen reader announces when the dialog appears.
  setWindowTitle(tr("Password — Quorbel Sparse Bundle Utility"));
  setObjectName(QStringLiteral("askpassDialog"));

  prompt_ = new QLabel(prompt, this);
  prompt_->setObjectName(QStringLiteral("prompt"));
  prompt_->setWordWrap(true);
  prompt_->setTextFormat(Qt::PlainText);

  field_ = new QLineEdit(this);
  field_->setObjectName(QStringLiteral("password"));
  field_->setEchoMode(QLineEdit::Password);
  field_->setAccessibleName(tr("Password"));
  // The prompt says what the password is for; a screen reader reads it with the field.
  field_->setAccessibleDescription(prompt);
  field_->setMinimumWidth(320);
  prompt_->setBuddy(field_);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  ok_ = buttons->button(QDialogButtonBox::Ok);
  cancel_ = buttons->button(QDialogButtonBox::Cancel);
  ok_->setText(tr("OK"));
  ok_->setAccessibleName(ok_->text());
  cancel_->setText(tr("Cancel"));
  cancel_->setAccessibleName(cancel_->text());
  ok_->setDefault(true);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(prompt_);
  layout->addWidget(field_);
  layout->addWidget(buttons);
  field_->setFocus();
}

QByteArray PasswordPrompt::takePassword() {
  QString text = field_->text();
  QByteArray utf8 = text.toUtf8();
  // Overwrite the field's copy before emptying it, and this one.
  field_->setText(QString(text.size(), QLatin1Char(' ')));
  field_->clear();
  text.fill(QChar(0));
  return utf8;
}

void wipe(QByteArray& bytes) {
  if (!bytes.isEmpty()) {
    volatile char* p = bytes.data();
    for (qsizetype i = 0; i < bytes.size(); ++i) p[i] = 0;
  }
  bytes.clear();
}

namespace {

bool writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

int answer(int dialogResult, QByteArray& password, int fd) {
  int status = 1;
  if (dialogResult == QDialog::Accepted) {
    password.append('\n');
    if (writeAll(fd, password.constData(), static_cast<size_t>(password.size()))) status = 0;
  }
  wipe(password);
  return status;
}

}  // namespace quorbel::askpass
