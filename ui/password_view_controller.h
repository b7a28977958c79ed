#pragma once
// The password sheet: the password typed twice. Equal entries (under canonical equivalence) answer
// passwordChosen with the first entry's UTF-8 bytes in a wiping buffer, which the receiver takes by
// moving it out; Cancel, Escape or closing the sheet answer cancelled(). Both fields are cleared
// before the answer, and the sheet's own copies of the text are wiped.

#include <QDialog>
#include <memory>

#include "core/secret.h"

class QLineEdit;
namespace Ui { class PasswordSheet; }

namespace quorbel {

class PasswordViewController : public QDialog {
  Q_OBJECT
 public:
  explicit PasswordViewController(QWidget* parent = nullptr);
  ~PasswordViewController() override;

  QLineEdit* password1Textbox() const;
  QLineEdit* password2Textbox() const;
  // The line above the fields, saying what the password is for.
  void setMessage(const QString& message);
  // Whether the confirmation field is marked for retyping after a mismatch.
  bool confirmationHighlighted() const;

 signals:
  // Direct connections only: a receiver that wants the password moves it out of `password`.
  void passwordChosen(quorbel::SecretBytes& password);
  void cancelled();

 public slots:
  void doSetButton();
  void doCancelButton();
  // Escape and the window's close button count as Cancel.
  void reject() override;

 private:
  void setConfirmationHighlighted(bool on);

  std::unique_ptr<Ui::PasswordSheet> ui_;
  bool answered_ = false;
};

// Whether two entries are the same text under Unicode canonical equivalence.
bool samePassword(const QString& first, const QString& second);
// Zeroes the characters of a string that nothing else shares, and empties it.
void wipeString(QString& text);

}  // namespace quorbel
