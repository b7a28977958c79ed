#pragma once
// The password sheet: the password typed twice. Equal entries (under canonical equivalence) post
// "Password-OK" with {"Password": the first entry}; Cancel, Escape or closing the sheet posts
// "Password-Cancel". The notification is always posted before the sheet goes away.

#include <QDialog>
#include <memory>

class QLineEdit;
namespace Ui { class PasswordSheet; }

namespace quorbel {

inline constexpr const char* passwordOkNotification = "Password-OK";
inline constexpr const char* passwordCancelNotification = "Password-Cancel";
inline constexpr const char* passwordKey = "Password";

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

}  // namespace quorbel
