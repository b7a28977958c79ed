#pragma once
// Create: when encrypting, the password sheet first, then the save panel; whether to encrypt is
// decided at the button press (start), every other control is read when the save panel closes. The
// password is held, in a wiping buffer, only from the sheet's answer until the tool step ends.

#include "operations/operation.h"

namespace quorbel {

class CreateOperation : public Operation {
  Q_OBJECT
 public:
  CreateOperation(OperationHost& host, ToolRunner& runner, QObject* parent = nullptr);
  void start() override;
  // Whether a password is held right now (between the sheet's answer and the end of the tool).
  bool holdsPassword() const { return password_.has_value(); }

 private:
  void createSparseBundle(bool encrypted);

  std::optional<SecretBytes> password_;
};

}  // namespace quorbel
