#pragma once
// quorbel-askpass: the password dialog the disk-image tool runs (through QUORBEL_ASKPASS) when it needs
// a password it was not handed. The dialog shows the tool's prompt, a password field, OK and Cancel;
// the program prints the password as UTF-8 followed by one line feed and exits 0, or exits 1 when the
// dialog is cancelled or closed.

#include <QByteArray>
#include <QDialog>
#include <QString>

class QLabel;
class QLineEdit;
class QPushButton;

namespace quorbel::askpass {

class PasswordPrompt : public QDialog {
  Q_OBJECT
 public:
  explicit PasswordPrompt(const QString& prompt, QWidget* parent = nullptr);

  QLabel* promptLabel() const { return prompt_; }
  QLineEdit* passwordField() const { return field_; }
  QPushButton* okButton() const { return ok_; }
  QPushButton* cancelButton() const { return cancel_; }

  // The typed password as UTF-8; the field is emptied, so the text lives in one place only.
  QByteArray takePassword();

 private:
  QLabel* prompt_;
  QLineEdit* field_;
  QPushButton* ok_;
  QPushButton* cancel_;
};

// What the program does once the dialog has ended: for Accepted, writes `password` and one line feed
// to `fd` and returns 0; for anything else, or when the whole answer cannot be written, returns 1
// (the tool reads any non-zero exit as "cancelled"). The password's bytes are wiped either way.
int answer(int dialogResult, QByteArray& password, int fd);

// Overwrites every byte of `bytes` with zeros in a way the compiler may not drop, then empties it.
void wipe(QByteArray& bytes);

}  // namespace quorbel::askpass
