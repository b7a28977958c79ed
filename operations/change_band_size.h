#pragma once
// Change band size: refuse an encrypted source, ask for the new bundle, then convert with the band size read from the
// controls as the save panel closes.

#include "operations/operation.h"

namespace quorbel {

// The new bundle's path the save panel offers: beside the source, named after it and the band size
// in the controls ("/V/Disk (8 MB bands).sparsebundle"), or "/V/Disk copy.sparsebundle" while the
// band size is not one the conversion accepts.
QString proposedConversionPath(const QString& source, const ControlValues& values);

class ChangeBandSizeOperation : public Operation {
  Q_OBJECT
 public:
  ChangeBandSizeOperation(OperationHost& host, ToolRunner& runner, QObject* parent = nullptr);
  void start() override;

 private:
  void convert(const std::string& source);
};

}  // namespace quorbel
