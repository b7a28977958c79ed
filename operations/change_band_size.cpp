#include "operations/change_band_size.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "core/command_templates.h"

#include "operations/argument_lists.h"
#include "operations/number_formatter.h"
#include "operations/size_rules.h"

namespace quorbel {

QString proposedConversionPath(const QString& source, const ControlValues& values) {
  const QFileInfo info(source);
  QString name = info.fileName();
  name.chop(QStringLiteral(".sparsebundle").size());
  const auto band = NumberFormatter(NumberFormatter::Minimum::ZeroOrMore).numberFromString(values.bandSizeText);
  const QString unit = QString::fromStdString(sizeList[values.bandSizeUnit == 0 ? 0 : 1]);
  name = band && band->integerValue >= 1
             ? ChangeBandSizeOperation::tr("%1 (%2 %3 bands)").arg(name).arg(band->integerValue).arg(unit)
             : ChangeBandSizeOperation::tr("%1 copy").arg(name);
  return QDir(info.absolutePath()).filePath(name + QStringLiteral(".sparsebundle"));
}

ChangeBandSizeOperation::ChangeBandSizeOperation(OperationHost& host, ToolRunner& runner, QObject* parent)
    : Operation(tr("Change band size"), host, runner, parent) {}

void ChangeBandSizeOperation::start() {
  openBundle(tr("Change band size"), [this](const QString& chosen) {
    const std::string source = filePath(chosen);
    runStep(isEncryptedArguments(source), std::nullopt, [this, source](const ToolOutcome& test) {
      if (test.stopped) return finish();
      if (reportsEncrypted(test.text)) {
        appendText(texts::encryptedRefusal);
        return endWithout(tr("the sparse bundle is encrypted"));
      }
      convert(source);
    });
  });
}

void ChangeBandSizeOperation::convert(const std::string& source) {
  const QString proposed = proposedConversionPath(QFile::decodeName(source.c_str()), host().controlValues());
  saveBundle(proposed, [this, source](const QString& destination) {
    const ControlValues values = host().controlValues();
    const auto band = NumberFormatter(NumberFormatter::Minimum::ZeroOrMore).numberFromString(values.bandSizeText);
    if (!band || band->integerValue < 1) return endWithout(tr("the band size must be a whole number of 1 or more"));
    const std::int64_t sectors = bandSizeSectors(band->integerValue, values.bandSizeUnit);
    runStep(convertArguments(source, filePath(destination), sectors), std::nullopt, [this](const ToolOutcome& outcome) {
      appendText(std::string(texts::changeBandHeading) + outcome.text);
      finish();
    });
  });
}

}  // namespace quorbel
