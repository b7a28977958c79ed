#pragma once
// Change password: the user picks the bundle, then types the new password in the sheet; it reaches the tool on standard input and is wiped when the step ends. The tool asks for the current password itself.

#include "operations/operation.h"

namespace quorbel {

class ChangePasswordOperation : public Operation {
  Q_OBJECT
 public:
  ChangePasswordOperation(OperationHost& host, ToolRunner& runner, QObject* parent = nullptr);
  void start() override;
};

}  // namespace quorbel
