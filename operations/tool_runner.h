#pragma once
// Runs one step of the disk-image tool on a worker thread, so the GUI thread never waits for it:
// the outcome comes back on the runner's own thread through a completion. One step at a time.

#include <QObject>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/command_runner.h"
#include "core/command_templates.h"
#include "core/secret.h"

namespace quorbel {

class ToolRunner : public QObject {
  Q_OBJECT
 public:
  // `environment`: NAME=VALUE entries added to the tool's environment.
  explicit ToolRunner(std::string launchPath, std::vector<std::string> environment = {}, QObject* parent = nullptr);
  // A step still running is stopped and waited for.
  ~ToolRunner() override;

  const std::string& launchPath() const { return launchPath_; }
  void addEnvironment(std::string nameEqualsValue) { environment_.push_back(std::move(nameEqualsValue)); }
  const std::vector<std::string>& environment() const { return environment_; }

  // Starts the tool with `arguments` and, when given, the password on its standard input (wiped once
  // the step has ended). `done` runs on this object's thread after the child has ended. Returns false,
  // running nothing, while another step runs.
  bool start(ArgumentList arguments, std::optional<SecretBytes> password, std::function<void(ToolOutcome)> done);
  bool running() const { return static_cast<bool>(current_); }
  // Interrupts the running step's tool (SIGINT). Does nothing when no step runs.
  void stop();

 signals:
  void started();
  // Progress lines of the running step, in percent.
  void progress(double percent);
  // After the step's completion has run.
  void finished();

 private:
  struct Step;
  std::string launchPath_;
  std::vector<std::string> environment_;
  std::shared_ptr<Step> current_;
};

}  // namespace quorbel
