#include "operations/operation.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "core/tool_contract.h"

namespace quorbel {

namespace {
const QString bundleSuffix = QStringLiteral(".sparsebundle");
}

QString failureReason(const ToolOutcome& outcome) {
  const QString said = QString::fromStdString(outcome.errors).trimmed();
  if (!said.isEmpty()) return said;
  return QStringLiteral("the disk-image tool ended with status %1").arg(outcome.status);
}

bool cancelledByUser(const ToolOutcome& outcome) {
  const QString said = QString::fromStdString(outcome.errors).trimmed();
  return outcome.status != 0 && said.section(QLatin1Char('\n'), -1).endsWith(QLatin1String(": cancelled"));
}

bool isBundlePath(const QString& path) { return path.endsWith(bundleSuffix); }

QString enclosingBundle(const QString& path) {
  const QStringList parts = QDir::cleanPath(path).split(QLatin1Char('/'));
  for (qsizetype i = 0; i < parts.size(); ++i)
    if (parts[i].endsWith(bundleSuffix)) return parts.mid(0, i + 1).join(QLatin1Char('/'));
  return {};
}

QString statusText(const QString& name, const OperationResult& result) {
  switch (result.kind) {
    case OperationResult::Kind::Done:
      return Operation::tr("Done");
    case OperationResult::Kind::Failed:
      return Operation::tr("%1 failed: %2").arg(name, result.reason);
    case OperationResult::Kind::Stopped:
      return Operation::tr("Stopped");
    case OperationResult::Kind::Cancelled:
      return Operation::tr("Cancelled");
    case OperationResult::Kind::NothingDone:
      return Operation::tr("Nothing was done: %1").arg(result.reason);
    case OperationResult::Kind::Pending:
      break;
  }
  return Operation::tr("Ready");
}

QString withBundleExtension(QString path) {
  if (!path.endsWith(bundleSuffix)) path.append(bundleSuffix);
  return path;
}

std::string filePath(const QString& path) { return QFile::encodeName(path).toStdString(); }

Operation::Operation(QString name, OperationHost& host, ToolRunner& runner, QObject* parent)
    : QObject(parent), name_(std::move(name)), host_(host), runner_(runner) {}

void Operation::runStep(ArgumentList arguments, std::optional<SecretBytes> password,
                        std::function<void(const ToolOutcome&)> then) {
  QPointer<Operation> self(this);
  const bool started = runner_.start(std::move(arguments), std::move(password), [self, then](ToolOutcome outcome) {
    if (!self) return;
    if (outcome.stopped) {
      self->result_ = {OperationResult::Kind::Stopped, {}};
    } else if (cancelledByUser(outcome)) {
      self->result_ = {OperationResult::Kind::Cancelled, {}};
    } else if (outcome.status != 0) {
      self->result_ = {OperationResult::Kind::Failed, failureReason(outcome)};
    } else if (self->result_.kind == OperationResult::Kind::Pending) {
      self->result_.kind = OperationResult::Kind::Done;
    }
    then(outcome);
  });
  if (!started) finish();  // another step is running: this operation cannot go on
}

void Operation::finish() {
  if (finished_) return;
  finished_ = true;
  emit finished();
}

void Operation::cancel() {
  result_ = {OperationResult::Kind::Cancelled, {}};
  finish();
}

void Operation::endWithout(const QString& why) {
  result_ = {OperationResult::Kind::NothingDone, why};
  finish();
}

void Operation::openBundle(const QString& prompt, std::function<void(const QString&)> then) {
  QPointer<Operation> self(this);
  host_.beginOpenPanel(prompt, [self, then](std::optional<QString> path) {
    if (!self) return;
    if (!path || path->isEmpty()) return self->cancel();
    if (!isBundlePath(*path))
      return self->endWithout(tr("“%1” is not a sparse bundle").arg(QFileInfo(*path).fileName()));
    then(*path);
  });
}

void Operation::saveBundle(const QString& proposed, std::function<void(const QString&)> then) {
  QPointer<Operation> self(this);
  host_.beginSavePanel(proposed, [self, then](std::optional<QString> path) {
    if (!self) return;
    if (!path || path->isEmpty()) return self->cancel();
    then(withBundleExtension(*path));
  });
}

void Operation::appendText(std::string_view text) {
  host_.append(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
}

}  // namespace quorbel
