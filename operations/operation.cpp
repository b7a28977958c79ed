#include "operations/operation.h"

#include <QFile>

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

bool isBundlePath(const QString& path) { return path.endsWith(bundleSuffix); }

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
    } else if (outcome.status != 0) {
      self->result_ = {OperationResult::Kind::Failed, failureReason(outcome)};
    } else if (self->result_.kind == OperationResult::Kind::NothingRun) {
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

void Operation::openBundle(const QString& prompt, std::function<void(const QString&)> then) {
  QPointer<Operation> self(this);
  host_.beginOpenPanel(prompt, [self, then](std::optional<QString> path) {
    if (!self) return;
    if (!path || !isBundlePath(*path)) return self->finish();
    then(*path);
  });
}

void Operation::saveBundle(std::function<void(const QString&)> then) {
  QPointer<Operation> self(this);
  host_.beginSavePanel([self, then](std::optional<QString> path) {
    if (!self) return;
    if (!path || path->isEmpty()) return self->finish();
    then(withBundleExtension(*path));
  });
}

void Operation::appendText(std::string_view text) {
  host_.append(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
}

}  // namespace quorbel
