#pragma once
// The main window's view: a thin widget that wires its controls to the operations and gives them
// what they ask for (the control values, the panels, the password sheet, the output pane). It shows
// the running operation in the status line with a progress bar and a Stop button, and afterwards
// what came of it: "Done", "Stopped", or "<operation> failed: <the tool's reason>".

#include <QElapsedTimer>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "operations/operation_host.h"

class QAction;
class QLineEdit;
class QPlainTextEdit;
namespace Ui {
class MainView;
}

namespace quorbel {

class Operation;
class OutputLog;
class PasswordViewController;
class ToolRunner;

// "/usr/bin/hdiutil" on macOS; elsewhere our own tool beside the application's executable.
std::string defaultHdiutilCommand();
// The password dialog the Linux tool runs (QUORBEL_ASKPASS): quorbel-askpass beside this program.
std::string defaultAskpassCommand();

// The progress bar's text: the percentage and, once `elapsedMilliseconds` allow an estimate, the
// time left ("40% — about 2 min left").
QString progressText(double percent, qint64 elapsedMilliseconds);

class ViewController : public QWidget, public OperationHost {
  Q_OBJECT
 public:
  explicit ViewController(QWidget* parent = nullptr);
  // `hdiutilCommand` replaces the tool (tests run a recording fake).
  explicit ViewController(std::string hdiutilCommand, QWidget* parent = nullptr);
  ~ViewController() override;

  double theFontSize() const { return theFontSize_; }
  const std::string& hdiutilCommand() const;
  // Adds NAME=VALUE to the environment of every tool run from now on.
  void addToolEnvironment(std::string nameEqualsValue);

  // ---- Output pane ----
  void append(const QString& text) override;
  void replace(const QString& text) override;
  QString outputText() const;
  QPlainTextEdit* outputPane() const;
  QAction* largerTextAction() const { return largerTextAction_; }
  QAction* smallerTextAction() const { return smallerTextAction_; }

  // ---- What the operations ask for ----
  ControlValues controlValues() const override;
  void beginOpenPanel(const QString& prompt, PathAnswer answer) override;
  void beginSavePanel(const QString& proposed, PathAnswer answer) override;
  void askForPassword(PasswordPurpose purpose, PasswordAnswer answer) override;

  // The operation in progress (from its button press to its end), if any.
  Operation* currentOperation() const;
  // Whether a tool step runs now.
  bool toolRunning() const;
  // A run at least this long that ends while the window is not active is announced on the desktop.
  void setLongRunMilliseconds(qint64 milliseconds) { longRunMilliseconds_ = milliseconds; }
  // The password sheet on screen, if any.
  PasswordViewController* passwordSheet() const;

  // ---- Test seams for the panels: the next panel answers with a path, or nullopt for Cancel,
  // instead of being shown. ----
  void setNextOpenPath(std::optional<QString> path) { nextOpenAnswers_.push_back(std::move(path)); }
  void setNextSavePath(std::optional<QString> path) { nextSaveAnswers_.push_back(std::move(path)); }

 public slots:
  void doCreateButton();
  void doResizeButton();
  void doCompactButton();
  void doChangeBandButton();
  void doGetInfoButton();
  void doChangePasswordButton();
  void doStopButton();
  void incFontSize();
  void decFontSize();

 signals:
  // After an operation has ended and the status line shows its result.
  void operationFinished();
  // After a tool step has ended.
  void toolRunEnded();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void connectControls();
  void loadFontSize();
  void storeFontSize();
  // Starts `operation` unless another one is in progress (then it is dropped).
  void startOperation(Operation* operation);
  void operationEnded();
  void toolStarted();
  void toolProgress(double percent);
  void toolEnded();
  void setOperationButtonsEnabled(bool enabled);
  void showStatus(const QString& text, const QString& toolTip = {});
  void announceLongRun(const QString& status);
  void showFieldCheck(QLineEdit* field, bool acceptable, const QString& expected);
  void checkFields();

  std::unique_ptr<Ui::MainView> ui_;
  std::unique_ptr<OutputLog> outputLog_;
  ToolRunner* runner_ = nullptr;
  QAction* largerTextAction_ = nullptr;
  QAction* smallerTextAction_ = nullptr;
  double theFontSize_ = 12.0;

  QPointer<Operation> operation_;
  QPointer<QWidget> opener_;  // the control that started the operation, given the focus back at its end
  QElapsedTimer runClock_;    // from the operation's first tool step
  QElapsedTimer stepClock_;   // from the running step's start, for the time left
  qint64 longRunMilliseconds_ = 10000;
  QPointer<PasswordViewController> sheet_;
  std::deque<std::optional<QString>> nextOpenAnswers_;
  std::deque<std::optional<QString>> nextSaveAnswers_;
};

}  // namespace quorbel
