#include "ui/view_controller.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QShowEvent>

#include "core/command_templates.h"
#include "core/tool_contract.h"
#include "operations/change_band_size.h"
#include "operations/change_password.h"
#include "operations/compact.h"
#include "operations/create.h"
#include "operations/get_info.h"
#include "operations/resize.h"
#include "operations/tool_runner.h"
#include "ui/app_style.h"
#include "ui/output_log.h"
#include "ui/password_view_controller.h"
#include "ui/status_line.h"
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

}  // namespace

std::string defaultHdiutilCommand() {
#ifdef Q_OS_MACOS
  return systemHdiutilPath;
#else
  return QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("quorbel-imagetool")).toStdString();
#endif
}

std::string defaultAskpassCommand() {
  return QDir(QCoreApplication::applicationDirPath())
      .filePath(QString::fromLatin1(tool::askpassProgram.data(), static_cast<qsizetype>(tool::askpassProgram.size())))
      .toStdString();
}

ViewController::ViewController(QWidget* parent) : ViewController(defaultHdiutilCommand(), parent) {}

ViewController::ViewController(std::string hdiutilCommand, QWidget* parent)
    : QWidget(parent), ui_(std::make_unique<Ui::MainView>()) {
  setObjectName(QStringLiteral("ViewController"));
  ui_->setupUi(this);
  auto* buttonStyle = new PaddedButtonStyle;
  buttonStyle->setParent(this);
  for (QPushButton* button : findChildren<QPushButton*>()) button->setStyle(buttonStyle);
  // The tool reports progress only when asked to.
  runner_ = new ToolRunner(std::move(hdiutilCommand), {std::string(tool::progressVariable) + "=1"}, this);
#ifndef Q_OS_MACOS
  // The Linux tool asks for a password it was not handed (the current one of an encrypted bundle)
  // through our dialog, installed beside the application; the system's tool on macOS asks by itself.
  runner_->addEnvironment(std::string(tool::askpassVariable) + "=" + defaultAskpassCommand());
#endif
  ui_->maxSizePopup->addItems(titles(sizeList2));
  ui_->bandSizePopup->addItems(titles(sizeList));
  ui_->filesystemPopup->addItems(titles(filesystemList));
  loadFontSize();
  outputLog_ = std::make_unique<OutputLog>(ui_->outputTextbox, theFontSize_);
  connectControls();
}

// The runner (a child) stops and waits for a running tool before the controls go.
ViewController::~ViewController() { delete runner_; }

const std::string& ViewController::hdiutilCommand() const { return runner_->launchPath(); }
void ViewController::addToolEnvironment(std::string nameEqualsValue) {
  runner_->addEnvironment(std::move(nameEqualsValue));
}

void ViewController::connectControls() {
  connect(ui_->createButton, &QPushButton::clicked, this, &ViewController::doCreateButton);
  connect(ui_->resizeButton, &QPushButton::clicked, this, &ViewController::doResizeButton);
  connect(ui_->compactButton, &QPushButton::clicked, this, &ViewController::doCompactButton);
  connect(ui_->changeBandButton, &QPushButton::clicked, this, &ViewController::doChangeBandButton);
  connect(ui_->getInfoButton, &QPushButton::clicked, this, &ViewController::doGetInfoButton);
  connect(ui_->changePasswordButton, &QPushButton::clicked, this, &ViewController::doChangePasswordButton);
  connect(ui_->stopButton, &QPushButton::clicked, this, &ViewController::doStopButton);
  connect(ui_->largerTextButton, &QPushButton::clicked, this, &ViewController::incFontSize);
  connect(ui_->smallerTextButton, &QPushButton::clicked, this, &ViewController::decFontSize);
  connect(runner_, &ToolRunner::started, this, &ViewController::toolStarted);
  connect(runner_, &ToolRunner::progress, this, &ViewController::toolProgress);
  connect(runner_, &ToolRunner::finished, this, &ViewController::toolEnded);

  largerTextAction_ = new QAction(tr("Larger Text"), this);
  largerTextAction_->setShortcuts(QKeySequence::ZoomIn);
  largerTextAction_->setObjectName(QStringLiteral("largerTextAction"));
  connect(largerTextAction_, &QAction::triggered, this, &ViewController::incFontSize);
  smallerTextAction_ = new QAction(tr("Smaller Text"), this);
  smallerTextAction_->setShortcuts(QKeySequence::ZoomOut);
  smallerTextAction_->setObjectName(QStringLiteral("smallerTextAction"));
  connect(smallerTextAction_, &QAction::triggered, this, &ViewController::decFontSize);
}

void ViewController::loadFontSize() {
  // A value written by hand as text still reads as a number.
  bool isNumber = false;
  const double stored = QSettings().value(QLatin1String(fontSizeKey)).toDouble(&isNumber);
  theFontSize_ = fontsize::fromStored(stored, isNumber);
}

void ViewController::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  // Shown by the program, not restored by the window system: a user's typed values survive
  // minimising and restoring the window.
  if (event->spontaneous()) return;
  window()->setWindowTitle(windowTitleText);
  ui_->maxSizeTextbox->setText(QStringLiteral("1"));
  ui_->bandSizeTextbox->setText(QStringLiteral("0"));
  ui_->batteryAllowed->setCheckState(Qt::Unchecked);
}

// ---- Output pane ----

void ViewController::append(const QString& text) { outputLog_->append(text); }
void ViewController::replace(const QString& text) { outputLog_->replace(text); }
QString ViewController::outputText() const { return outputLog_->text(); }
QPlainTextEdit* ViewController::outputPane() const { return ui_->outputTextbox; }

void ViewController::storeFontSize() { QSettings().setValue(QLatin1String(fontSizeKey), theFontSize_); }

void ViewController::incFontSize() {
  theFontSize_ = fontsize::larger(theFontSize_);
  storeFontSize();
  outputLog_->restyle(theFontSize_);
}

void ViewController::decFontSize() {
  theFontSize_ = fontsize::smaller(theFontSize_);
  storeFontSize();
  outputLog_->restyle(theFontSize_);
}

// ---- Operations ----

ControlValues ViewController::controlValues() const {
  ControlValues values;
  values.maxSizeText = ui_->maxSizeTextbox->text();
  values.maxSizeUnit = ui_->maxSizePopup->currentIndex();
  values.bandSizeText = ui_->bandSizeTextbox->text();
  values.bandSizeUnit = ui_->bandSizePopup->currentIndex();
  values.filesystemIndex = ui_->filesystemPopup->currentIndex();
  values.encryptIndex = ui_->encryptPopup->currentIndex();
  // Only the checked state allows battery power; partially checked does not.
  values.batteryAllowed = ui_->batteryAllowed->checkState() == Qt::Checked;
  return values;
}

Operation* ViewController::currentOperation() const { return operation_.data(); }

void ViewController::doCreateButton() { startOperation(new CreateOperation(*this, *runner_)); }
void ViewController::doResizeButton() { startOperation(new ResizeOperation(*this, *runner_)); }
void ViewController::doCompactButton() { startOperation(new CompactOperation(*this, *runner_)); }
void ViewController::doChangeBandButton() { startOperation(new ChangeBandSizeOperation(*this, *runner_)); }
void ViewController::doGetInfoButton() { startOperation(new GetInfoOperation(*this, *runner_)); }
void ViewController::doChangePasswordButton() { startOperation(new ChangePasswordOperation(*this, *runner_)); }
void ViewController::doStopButton() { runner_->stop(); }

void ViewController::startOperation(Operation* operation) {
  operation->setParent(this);
  if (operation_) {  // one operation at a time
    delete operation;
    return;
  }
  operation_ = operation;
  setOperationButtonsEnabled(false);
  connect(operation, &Operation::finished, this, &ViewController::operationEnded, Qt::QueuedConnection);
  operation->start();
}

void ViewController::operationEnded() {
  Operation* ended = operation_.data();
  if (!ended) return;
  const OperationResult& result = ended->result();
  switch (result.kind) {
    case OperationResult::Kind::NothingRun:
      showStatus(tr("Ready"));
      break;
    case OperationResult::Kind::Done:
      showStatus(tr("Done"));
      break;
    case OperationResult::Kind::Stopped:
      showStatus(tr("Stopped"));
      break;
    case OperationResult::Kind::Failed: {
      // The first line in the status line, the whole text in its tooltip.
      const QString text = tr("%1 failed: %2").arg(ended->name(), result.reason);
      showStatus(text.section(QLatin1Char('\n'), 0, 0), text);
      break;
    }
  }
  operation_ = nullptr;
  ended->deleteLater();
  setOperationButtonsEnabled(true);
  emit operationFinished();
}

void ViewController::toolStarted() {
  if (operation_) showStatus(tr("Running: %1…").arg(operation_->name()));
  ui_->progressBar->setRange(0, 0);  // busy until the tool reports a figure
  ui_->progressBar->setVisible(true);
  ui_->stopButton->setEnabled(true);
}

void ViewController::toolProgress(double percent) {
  ui_->progressBar->setRange(0, 1000);
  ui_->progressBar->setValue(static_cast<int>(percent * 10));
}

void ViewController::toolEnded() {
  ui_->stopButton->setEnabled(false);
  ui_->progressBar->setVisible(false);
}

void ViewController::setOperationButtonsEnabled(bool enabled) {
  for (QPushButton* button : {ui_->createButton, ui_->resizeButton, ui_->compactButton, ui_->changeBandButton,
                              ui_->getInfoButton, ui_->changePasswordButton})
    button->setEnabled(enabled);
}

void ViewController::showStatus(const QString& text, const QString& toolTip) {
  ui_->statusLine->setStatus(text, toolTip);
}

}  // namespace quorbel
