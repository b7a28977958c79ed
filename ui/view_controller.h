#pragma once
// The controller of the main window: it holds the application's vocabulary (choice lists, command
// templates, the tool's path), the output pane's font size and the password of a new encrypted
// image; it is connected to the window's controls and carries every operation as its own methods.
// The operations themselves are defined in operations/, one file each.

#include <QPointer>
#include <QString>
#include <QWidget>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/command_templates.h"
#include "ui/number_formatter.h"

class QAbstractScrollArea;
class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
namespace Ui { class MainView; }

namespace quorbel {

class OutputLog;
class PasswordViewController;
struct Notification;

// "/usr/bin/hdiutil" on macOS; elsewhere our own tool beside the application's executable.
std::string defaultHdiutilCommand();

class ViewController : public QWidget {
  Q_OBJECT
 public:
  explicit ViewController(QWidget* parent = nullptr);
  // `hdiutilCommand` replaces the tool (tests run a recording fake).
  explicit ViewController(std::string hdiutilCommand, QWidget* parent = nullptr);
  ~ViewController() override;

  // ---- Stored properties ----
  double theFontSize() const { return theFontSize_; }
  const QString& encryptPassword() const { return encryptPassword_; }
  const std::string& hdiutilCommand() const { return hdiutilCommand_; }
  const std::vector<std::string>& sizeList = quorbel::sizeList;
  const std::vector<std::string>& sizeList2 = quorbel::sizeList2;
  const std::vector<std::string>& filesystemList = quorbel::filesystemList;
  const std::vector<std::string>& encryptList = quorbel::encryptList;
  const ArgumentList& resizeCommand = quorbel::resizeCommand;
  const ArgumentList& compactCommand = quorbel::compactCommand;
  const ArgumentList& createCommand = quorbel::createCommand;
  const ArgumentList& changeBandCommand = quorbel::changeBandCommand;
  const ArgumentList& convertCommand = quorbel::convertCommand;
  const ArgumentList& getInfo1Command = quorbel::getInfo1Command;
  const ArgumentList& getInfo2Command = quorbel::getInfo2Command;
  const ArgumentList& changePasswordCommand = quorbel::changePasswordCommand;

  // ---- Outlets (connected by the layout) ----
  QLineEdit* maxSizeTextbox = nullptr;
  NumberFormatter* maxSizeFormatter = nullptr;
  QComboBox* maxSizePopup = nullptr;
  QLineEdit* bandSizeTextbox = nullptr;
  NumberFormatter* bandSizeFormatter = nullptr;
  QComboBox* bandSizePopup = nullptr;
  QComboBox* filesystemPopup = nullptr;
  QComboBox* encryptPopup = nullptr;
  // In Qt the text view is its own scroll area: both outlets name the same widget.
  QAbstractScrollArea* outputTextScroller = nullptr;
  QPlainTextEdit* outputTextbox = nullptr;
  QPushButton* resizeButton = nullptr;
  QCheckBox* batteryAllowed = nullptr;

  // ---- Output pane ----
  void append(const QString& text);
  void replace(const QString& text);
  void restyle();
  QString outputText() const;
  QAction* largerTextAction() const { return largerTextAction_; }
  QAction* smallerTextAction() const { return smallerTextAction_; }

  // Runs the disk-image tool. The window keeps painting, shows a busy cursor and names the running
  // operation in the status line; user input waits and is dropped when the run ends.
  std::string CommandRunner(const ArgumentList& arguments, const std::optional<std::string>& password);
  bool busy() const { return running_; }

  // ---- Lifecycle ----
  void viewDidLoad();
  void viewDidAppear();
  // Closing the main window ends the application.
  bool windowShouldClose();
  // What ending the application does (tests replace it).
  void setTerminate(std::function<void()> terminate) { terminate_ = std::move(terminate); }

  // ---- Test seams for the panels: the next panel answers at once with a path, or nullopt for
  // Cancel, instead of being shown. ----
  void setNextOpenPath(std::optional<QString> path) { nextOpenAnswers_.push_back(std::move(path)); }
  void setNextSavePath(std::optional<QString> path) { nextSaveAnswers_.push_back(std::move(path)); }

  // The password sheet on screen, if any.
  PasswordViewController* passwordSheet() const;

 public slots:
  void doCreateButton();
  void doResizeButton();
  void doCompactButton();
  void doChangeBandButton();
  void doGetInfoButton();
  void doChangePasswordButton();
  void incFontSize();
  void decFontSize();

 public:
  // ---- Password sheet answers ----
  void loadPassword(const Notification& notification);
  void cancelPassword();
  void createSparseBundle(bool encrypted);

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  enum class SheetPurpose { Create, ChangePassword };
  using PathCompletion = std::function<void(const QString& path)>;
  class RunScope;
  friend class RunScope;

  void connectOutlets();
  void storeFontSize();
  // The shared sparse-bundle open panel: the completion runs only for OK with a *.sparsebundle path.
  void beginOpenPanel(const QString& prompt, PathCompletion completion);
  // The save panel for a new bundle: the completion runs only for OK, with ".sparsebundle" ensured.
  void beginSavePanel(PathCompletion completion);
  void presentPasswordSheet(SheetPurpose purpose);
  void changePassword(const std::string& path, std::string password);
  void changeBandSize(const QString& source);
  // CommandRunner with the operation's name in the status line.
  std::string runAs(const QString& operation, const ArgumentList& arguments,
                    const std::optional<std::string>& password = std::nullopt);

  std::unique_ptr<Ui::MainView> ui_;
  std::unique_ptr<OutputLog> outputLog_;
  std::unique_ptr<NumberFormatter> maxSizeFormatterStorage_;
  std::unique_ptr<NumberFormatter> bandSizeFormatterStorage_;
  QAction* largerTextAction_ = nullptr;
  QAction* smallerTextAction_ = nullptr;
  QLabel* statusLine_ = nullptr;

  double theFontSize_ = 12.0;
  QString encryptPassword_;
  std::string hdiutilCommand_;

  bool running_ = false;
  QString operationName_;
  std::function<void()> terminate_;
  QPointer<QWidget> delegateOf_;

  QPointer<PasswordViewController> sheet_;
  std::optional<SheetPurpose> sheetPurpose_;
  std::string pendingChangePasswordPath_;

  std::deque<std::optional<QString>> nextOpenAnswers_;
  std::deque<std::optional<QString>> nextSaveAnswers_;
};

}  // namespace quorbel
