#pragma once
// Resize: a new maximum size for an existing bundle, read from the size controls when the open panel closes.

#include "operations/operation.h"

namespace quorbel {

class ResizeOperation : public Operation {
  Q_OBJECT
 public:
  ResizeOperation(OperationHost& host, ToolRunner& runner, QObject* parent = nullptr);
  void start() override;
};

}  // namespace quorbel
