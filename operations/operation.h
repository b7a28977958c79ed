#pragma once
// The common frame of the six operations: each asks its host for panels, the sheet and the pane,
// runs its tool steps one after another through the shared ToolRunner, and ends with finished().
// An operation is used once.

#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>
#include <optional>
#include <string>

#include "core/command_runner.h"
#include "core/command_templates.h"
#include "operations/operation_host.h"
#include "operations/tool_runner.h"

namespace quorbel {

// How an operation ended, for the status line. Done only when a tool ran and every step the
// operation meant to run succeeded.
struct OperationResult {
  enum class Kind { Pending, Done, Failed, Stopped, Cancelled, NothingDone };
  Kind kind = Kind::Pending;
  // For Failed: the tool's own words from standard error, or its exit status when it said nothing.
  // For NothingDone: why the operation ended before its work (a rule of the operation).
  QString reason;
};

// The status line's text for an operation called `name` that ended with `result`.
QString statusText(const QString& name, const OperationResult& result);

class Operation : public QObject {
  Q_OBJECT
 public:
  Operation(QString name, OperationHost& host, ToolRunner& runner, QObject* parent = nullptr);

  // The name the user knows it by ("Resize").
  const QString& name() const { return name_; }
  // Begins the operation; it goes on from the event loop and ends with finished().
  virtual void start() = 0;
  const OperationResult& result() const { return result_; }
  bool isFinished() const { return finished_; }

 signals:
  void finished();

 protected:
  // Runs one tool step; `then` gets its outcome, unless the operation is gone by then.
  void runStep(ArgumentList arguments, std::optional<SecretBytes> password,
               std::function<void(const ToolOutcome&)> then);
  // Ends the operation (once).
  void finish();
  // Ends it as cancelled by the user (a panel or the sheet).
  void cancel();
  // Ends it before its work by one of its rules; `why` completes "Nothing was done: ".
  void endWithout(const QString& why);
  // Calls `then` with the open panel's path when it names a sparse bundle; Cancel cancels, any other
  // path ends the operation with nothing done.
  void openBundle(const QString& prompt, std::function<void(const QString& path)> then);
  // Calls `then` with the save panel's path, ".sparsebundle" ensured; Cancel cancels. `proposed`: the
  // path the panel offers first (empty: none).
  void saveBundle(const QString& proposed, std::function<void(const QString& path)> then);

  OperationHost& host() { return host_; }
  void appendText(std::string_view text);

 private:
  QString name_;
  OperationHost& host_;
  ToolRunner& runner_;
  OperationResult result_;
  bool finished_ = false;
};

// The tool's reason for a failed step: its standard error, trimmed; or its exit status.
QString failureReason(const ToolOutcome& outcome);
// Whether a failed step ended because the user cancelled the tool's own password dialog: its last
// line of complaint ends in ": cancelled".
bool cancelledByUser(const ToolOutcome& outcome);
// Whether a panel's path names a sparse bundle.
bool isBundlePath(const QString& path);
// The outermost sparse bundle that `path` is or lies inside ("/a/B.sparsebundle/bands" gives
// "/a/B.sparsebundle"); empty when there is none.
QString enclosingBundle(const QString& path);
// The save panel's path with the bundle extension ensured.
QString withBundleExtension(QString path);
// A path as the bytes the file system uses.
std::string filePath(const QString& path);

}  // namespace quorbel
