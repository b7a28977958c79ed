#include "ui/view_controller.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QDir>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QShowEvent>

#include "core/command_runner.h"
#include "ui/notification_center.h"
#include "ui/output_log.h"
#include "ui/password_view_controller.h"
#include "ui_Main.h"

namespace quorbel {

namespace {

constexpr const char* fontSizeKey = "fontSize";
const QString windowTitleText = QStringLiteral("Quorbel Sparse Bundle Utility");

QStringList titles(const std::vector<std::string>& list) {
  QStringList result;
  for (const auto& item : list) result << QString::fromStdString(item);
  return result;
}

// While the tool runs, user input to any window is held back by the event loop; whatever of it
// is still waiting when the run ends arrives here and is dropped, so a press made during a run
// never starts anything.
class InputBlocker : public QObject {
 public:
  bool eventFilter(QObject*, QEvent* event) override {
    switch (event->type()) {
      case QEvent::MouseButtonPress:
      case QEvent::MouseButtonRelease:
      case QEvent::MouseButtonDblClick:
      case QEvent::KeyPress:
      case QEvent::KeyRelease:
      case QEvent::Shortcut:
      case QEvent::ShortcutOverride:
      case QEvent::Wheel:
      case QEvent::ContextMenu:
      case QEvent::TouchBegin:
      case QEvent::TouchUpdate:
      case QEvent::TouchEnd:
        return true;
      default:
        return false;
    }
  }
};

}  // namespace

std::string defaultHdiutilCommand() {
#ifdef Q_OS_MACOS
  return systemHdiutilPath;
#else
  return QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("quorbel-imagetool")).toStdString();
#endif
}

// One tool run: busy state, status line, busy cursor and the input blocker, undone in reverse.
class ViewController::RunScope {
 public:
  explicit RunScope(ViewController& controller) : controller_(controller) {
    controller_.running_ = true;
    controller_.statusLine_->setText(tr("Running: %1…").arg(controller_.operationName_));
    QApplication::setOverrideCursor(Qt::WaitCursor);
    qApp->installEventFilter(&blocker_);
  }
  ~RunScope() {
    // Input held back during the run is delivered now, into the blocker.
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    qApp->removeEventFilter(&blocker_);
    QApplication::restoreOverrideCursor();
    controller_.statusLine_->setText(tr("Ready"));
    controller_.running_ = false;
  }
  RunScope(const RunScope&) = delete;
  RunScope& operator=(const RunScope&) = delete;

 private:
  static QString tr(const char* text) { return QCoreApplication::translate("ViewController", text); }
  ViewController& controller_;
  InputBlocker blocker_;
};

ViewController::ViewController(QWidget* parent) : ViewController(defaultHdiutilCommand(), parent) {}

ViewController::ViewController(std::string hdiutilCommand, QWidget* parent)
    : QWidget(parent), ui_(std::make_unique<Ui::MainView>()), hdiutilCommand_(std::move(hdiutilCommand)) {
  setObjectName(QStringLiteral("ViewController"));
  terminate_ = [] { QCoreApplication::quit(); };
  ui_->setupUi(this);
  connectOutlets();
  viewDidLoad();
}

ViewController::~ViewController() { NotificationCenter::defaultCenter().removeObserver(this); }

void ViewController::connectOutlets() {
  maxSizeTextbox = ui_->maxSizeTextbox;
  maxSizeFormatterStorage_ = std::make_unique<NumberFormatter>(NumberFormatter::Minimum::AboveZero);
  maxSizeFormatter = maxSizeFormatterStorage_.get();
  maxSizePopup = ui_->maxSizePopup;
  bandSizeTextbox = ui_->bandSizeTextbox;
  bandSizeFormatterStorage_ = std::make_unique<NumberFormatter>(NumberFormatter::Minimum::ZeroOrMore);
  bandSizeFormatter = bandSizeFormatterStorage_.get();
  bandSizePopup = ui_->bandSizePopup;
  filesystemPopup = ui_->filesystemPopup;
  encryptPopup = ui_->encryptPopup;
  outputTextScroller = ui_->outputTextbox;
  outputTextbox = ui_->outputTextbox;
  resizeButton = ui_->resizeButton;
  batteryAllowed = ui_->batteryAllowed;
  statusLine_ = ui_->statusLine;

  connect(ui_->createButton, &QPushButton::clicked, this, &ViewController::doCreateButton);
  connect(ui_->resizeButton, &QPushButton::clicked, this, &ViewController::doResizeButton);
  connect(ui_->compactButton, &QPushButton::clicked, this, &ViewController::doCompactButton);
  connect(ui_->changeBandButton, &QPushButton::clicked, this, &ViewController::doChangeBandButton);
  connect(ui_->getInfoButton, &QPushButton::clicked, this, &ViewController::doGetInfoButton);
  connect(ui_->changePasswordButton, &QPushButton::clicked, this, &ViewController::doChangePasswordButton);
  connect(ui_->largerTextButton, &QPushButton::clicked, this, &ViewController::incFontSize);
  connect(ui_->smallerTextButton, &QPushButton::clicked, this, &ViewController::decFontSize);

  largerTextAction_ = new QAction(tr("Larger Text"), this);
  largerTextAction_->setShortcuts(QKeySequence::ZoomIn);
  largerTextAction_->setObjectName(QStringLiteral("largerTextAction"));
  connect(largerTextAction_, &QAction::triggered, this, &ViewController::incFontSize);
  smallerTextAction_ = new QAction(tr("Smaller Text"), this);
  smallerTextAction_->setShortcuts(QKeySequence::ZoomOut);
  smallerTextAction_->setObjectName(QStringLiteral("smallerTextAction"));
  connect(smallerTextAction_, &QAction::triggered, this, &ViewController::decFontSize);
}

void ViewController::viewDidLoad() {
  maxSizePopup->clear();
  maxSizePopup->addItems(titles(sizeList2));
  bandSizePopup->clear();
  bandSizePopup->addItems(titles(sizeList));
  filesystemPopup->clear();
  filesystemPopup->addItems(titles(filesystemList));

  // A value written by hand as text still reads as a number.
  bool isNumber = false;
  const double stored = QSettings().value(QLatin1String(fontSizeKey)).toDouble(&isNumber);
  theFontSize_ = fontsize::fromStored(stored, isNumber);
  outputLog_ = std::make_unique<OutputLog>(outputTextbox, theFontSize_);

  auto& center = NotificationCenter::defaultCenter();
  center.addObserver(this, QString::fromLatin1(passwordOkNotification),
                     [this](const Notification& n) { loadPassword(n); });
  center.addObserver(this, QString::fromLatin1(passwordCancelNotification),
                     [this](const Notification&) { cancelPassword(); });
}

void ViewController::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  // Shown by the program, not restored by the window system: a user's typed values survive
  // minimising and restoring the window.
  if (!event->spontaneous()) viewDidAppear();
}

void ViewController::viewDidAppear() {
  if (QWidget* w = window(); w && w != this) {
    if (delegateOf_ != w) {
      if (delegateOf_) delegateOf_->removeEventFilter(this);
      w->installEventFilter(this);
      delegateOf_ = w;
    }
    w->setWindowTitle(windowTitleText);
  } else if (isWindow()) {
    setWindowTitle(windowTitleText);
    delegateOf_ = this;
  }
  maxSizeTextbox->setText(QStringLiteral("1"));
  bandSizeTextbox->setText(QStringLiteral("0"));
  batteryAllowed->setCheckState(Qt::Unchecked);
}

bool ViewController::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Close && watched == delegateOf_ && watched != this) {
    if (!windowShouldClose()) {
      event->ignore();
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

// Shown on its own, the view is its own window.
void ViewController::closeEvent(QCloseEvent* event) {
  if (isWindow() && !windowShouldClose()) return event->ignore();
  QWidget::closeEvent(event);
}

bool ViewController::windowShouldClose() {
  if (terminate_) terminate_();
  return true;
}

// ---- Output pane ----

void ViewController::append(const QString& text) { outputLog_->append(text); }
void ViewController::replace(const QString& text) { outputLog_->replace(text); }
void ViewController::restyle() { outputLog_->restyle(theFontSize_); }
QString ViewController::outputText() const { return outputLog_->text(); }

void ViewController::storeFontSize() { QSettings().setValue(QLatin1String(fontSizeKey), theFontSize_); }

void ViewController::incFontSize() {
  theFontSize_ = fontsize::larger(theFontSize_);
  storeFontSize();
  restyle();
}

void ViewController::decFontSize() {
  theFontSize_ = fontsize::smaller(theFontSize_);
  storeFontSize();
  restyle();
}

// ---- Running the tool ----

std::string ViewController::CommandRunner(const ArgumentList& arguments, const std::optional<std::string>& password) {
  RunScope scope(*this);
  return quorbel::CommandRunner(hdiutilCommand_, arguments, password,
                                [] { QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents); });
}

std::string ViewController::runAs(const QString& operation, const ArgumentList& arguments,
                                  const std::optional<std::string>& password) {
  operationName_ = operation;
  return CommandRunner(arguments, password);
}

PasswordViewController* ViewController::passwordSheet() const { return sheet_.data(); }

}  // namespace quorbel
