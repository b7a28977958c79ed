#pragma once
// Get info: "imageinfo" then "isencrypted" on one bundle; the pane is replaced by the first report behind its heading, and the second report follows it unchanged.

#include "operations/operation.h"

namespace quorbel {

class GetInfoOperation : public Operation {
  Q_OBJECT
 public:
  GetInfoOperation(OperationHost& host, ToolRunner& runner, QObject* parent = nullptr);
  void start() override;
};

}  // namespace quorbel
