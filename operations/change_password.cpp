#include "operations/change_password.h"

#include "operations/argument_lists.h"

namespace quorbel {

ChangePasswordOperation::ChangePasswordOperation(OperationHost& host, ToolRunner& runner, QObject* parent)
    : Operation(tr("Change password"), host, runner, parent) {}

void ChangePasswordOperation::start() {
  openBundle(tr("Change password"), [this](const QString& chosen) {
    const std::string path = filePath(chosen);
    QPointer<Operation> self(this);
    host().askForPassword(PasswordPurpose::NewPassword, [self, this, path](std::optional<SecretBytes> password) {
      if (!self) return;
      if (!password) {
        appendText(texts::changePasswordCancelled);
        return cancel();
      }
      runStep(changePasswordArguments(path), std::move(password), [this](const ToolOutcome& outcome) {
        appendText(std::string(texts::changePasswordHeading) + outcome.text);
        finish();
      });
    });
  });
}

}  // namespace quorbel
