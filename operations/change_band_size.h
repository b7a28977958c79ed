#pragma once
// Change band size: refuse an encrypted source, ask for the new bundle, then convert with the band size read from the controls as the save panel closes.

#include "operations/operation.h"

namespace quorbel {

class ChangeBandSizeOperation : public Operation {
  Q_OBJECT
 public:
  ChangeBandSizeOperation(OperationHost& host, ToolRunner& runner, QObject* parent = nullptr);
  void start() override;

 private:
  void convert(const std::string& source);
};

}  // namespace quorbel
