#pragma once
// Compact: the tool gives back unused space; a text that reads like a failure is followed by the battery hint (not after a stop, which is no failure of the power supply).

#include "operations/operation.h"

namespace quorbel {

class CompactOperation : public Operation {
  Q_OBJECT
 public:
  CompactOperation(OperationHost& host, ToolRunner& runner, QObject* parent = nullptr);
  void start() override;
};

}  // namespace quorbel
