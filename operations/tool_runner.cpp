#include "operations/tool_runner.h"

#include <QMetaObject>
#include <QThread>

#include "core/tool_contract.h"

namespace quorbel {

// Everything one step owns; shared by the worker and the runner until both are done with it.
struct ToolRunner::Step {
  ToolRun run;
  std::optional<SecretBytes> password;
  StopSwitch stopSwitch;
  ToolOutcome outcome;
  std::function<void(ToolOutcome)> done;
  QThread* thread = nullptr;
};

ToolRunner::ToolRunner(std::string launchPath, std::vector<std::string> environment, QObject* parent)
    : QObject(parent), launchPath_(std::move(launchPath)), environment_(std::move(environment)) {}

ToolRunner::~ToolRunner() {
  if (!current_) return;
  current_->stopSwitch.stop();
  current_->thread->wait();
  delete current_->thread;
}

bool ToolRunner::start(ArgumentList arguments, std::optional<SecretBytes> password,
                       std::function<void(ToolOutcome)> done) {
  if (current_) return false;
  auto step = std::make_shared<Step>();
  step->run.launchPath = launchPath_;
  step->run.arguments = std::move(arguments);
  step->run.environment = environment_;
  step->password = std::move(password);
  if (step->password) step->run.input = step->password->view();
  step->run.stopSwitch = &step->stopSwitch;
  step->done = std::move(done);
  // Progress crosses to this thread as queued calls; they are dropped if the runner is gone.
  step->run.onProgress = [this](double percent) {
    QMetaObject::invokeMethod(this, [this, percent] { if (current_) emit progress(percent); }, Qt::QueuedConnection);
  };
  Step* raw = step.get();
  step->thread = QThread::create([raw] { raw->outcome = runTool(raw->run); });
  step->thread->setObjectName(QStringLiteral("tool step"));
  connect(step->thread, &QThread::finished, this, [this, step] {
    step->thread->deleteLater();
    step->password.reset();  // wiped as soon as the tool has ended
    current_.reset();
    auto done = std::move(step->done);
    if (done) done(std::move(step->outcome));
    emit finished();
  });
  current_ = step;
  step->thread->start();
  emit started();
  return true;
}

void ToolRunner::stop() {
  if (current_) current_->stopSwitch.stop();
}

}  // namespace quorbel
