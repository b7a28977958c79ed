#include "ui/view_controller.h"

#include <QAction>
#include <QApplication>
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
#include <algorithm>
#include <cmath>

#include "core/command_templates.h"
#include "core/tool_contract.h"
#include "operations/change_band_size.h"
#include "operations/change_password.h"
#include "operations/compact.h"
#include "operations/create.h"
#include "operations/get_info.h"
#include "operations/number_formatter.h"
#include "operations/resize.h"
#include "operations/tool_runner.h"
#include "ui/app_style.h"
#include "ui/desktop_notice.h"
#include "ui/focus_ring.h"
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
  for (QPushButton* button : findChildren<QPushButton*>()) {
    button->setStyle(buttonStyle);
    button->setAutoDefault(true);  // Return presses the focused button, as Space does
  }
  new FocusRing(this);
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
  // Room for the figures and the time left on one line.
  const int barWidth = ui_->progressBar->fontMetrics().horizontalAdvance(progressText(55.5, 1800000)) + 32;
  ui_->progressBar->setMinimumWidth(barWidth);
  ui_->progressBar->setMaximumWidth(std::max(barWidth, ui_->progressBar->maximumWidth()));
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
  connect(ui_->maxSizeTextbox, &QLineEdit::textChanged, this, &ViewController::checkFields);
  connect(ui_->bandSizeTextbox, &QLineEdit::textChanged, this, &ViewController::checkFields);

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
bool ViewController::toolRunning() const { return runner_->running(); }

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
  opener_ = window()->focusWidget();
  runClock_.invalidate();
  connect(operation, &Operation::finished, this, &ViewController::operationEnded, Qt::QueuedConnection);
  operation->start();
}

void ViewController::operationEnded() {
  Operation* ended = operation_.data();
  if (!ended) return;
  const OperationResult& result = ended->result();
  // The whole text, wrapped; a failure's reason is also the line's description for screen readers.
  const QString text = statusText(ended->name(), result);
  showStatus(text, result.kind == OperationResult::Kind::Failed ? text : QString());
  if (runClock_.isValid() && runClock_.elapsed() >= longRunMilliseconds_) announceLongRun(text);
  operation_ = nullptr;
  ended->deleteLater();
  setOperationButtonsEnabled(true);
  if (opener_ && opener_->isEnabled()) opener_->setFocus(Qt::OtherFocusReason);
  emit operationFinished();
}

void ViewController::toolStarted() {
  if (operation_) showStatus(tr("Running: %1…").arg(operation_->name()));
  if (!runClock_.isValid()) runClock_.start();
  stepClock_.start();
  setOperationButtonsEnabled(false);
  ui_->progressBar->setRange(0, 0);  // busy until the tool reports a figure
  ui_->progressBar->setTextVisible(false);
  ui_->progressBar->setVisible(true);
  ui_->stopButton->setEnabled(true);
}

void ViewController::toolProgress(double percent) {
  ui_->progressBar->setRange(0, 1000);
  ui_->progressBar->setValue(static_cast<int>(percent * 10));
  ui_->progressBar->setFormat(progressText(percent, stepClock_.elapsed()));
  ui_->progressBar->setTextVisible(true);
  window()->setWindowTitle(tr("%1% — %2").arg(static_cast<int>(percent)).arg(windowTitleText));
}

void ViewController::toolEnded() {
  if (runner_->running()) return;  // the operation's next step began from the last one's completion
  ui_->stopButton->setEnabled(false);
  ui_->progressBar->setVisible(false);
  window()->setWindowTitle(windowTitleText);
  setOperationButtonsEnabled(true);
  // Focus left the buttons while they were off; it goes back to the control that began the operation.
  if (opener_ && opener_->isEnabled() && !opener_->hasFocus()) opener_->setFocus(Qt::OtherFocusReason);
  emit toolRunEnded();
}

// A long run that ends unseen: a desktop notification and the window's urgency hint.
void ViewController::announceLongRun(const QString& status) {
  if (window()->isActiveWindow()) return;
  const QString name = operation_ ? operation_->name() : QString();
  sendDesktopNotice(tr("%1 has ended").arg(name), status);
  QApplication::alert(window());
}

QString progressText(double percent, qint64 elapsedMilliseconds) {
  const int shown = static_cast<int>(percent);
  // An estimate needs a few seconds and a few percent behind it.
  if (elapsedMilliseconds < 3000 || percent < 2 || percent >= 100) return ViewController::tr("%1%").arg(shown);
  const double left = elapsedMilliseconds / 1000.0 * (100 - percent) / percent;
  QString when;
  if (left < 60)
    when = ViewController::tr("%n s", nullptr, std::max(5, static_cast<int>(std::ceil(left / 5)) * 5));
  else if (left < 90 * 60)
    when = ViewController::tr("%n min", nullptr, static_cast<int>(std::ceil(left / 60)));
  else
    when = ViewController::tr("%n h", nullptr, static_cast<int>(std::ceil(left / 3600)));
  return ViewController::tr("%1% — about %2 left").arg(shown).arg(when);
}

// Marks a number field whose text the operations would refuse: an error colour readable on the
// field's own background, and a description of what is expected for screen readers.
void ViewController::showFieldCheck(QLineEdit* field, bool acceptable, const QString& expected) {
  QPalette palette = field->parentWidget()->palette();
  if (!acceptable) palette.setColor(QPalette::Text, errorColourOn(palette.color(QPalette::Base)));
  field->setPalette(palette);
  field->setAccessibleDescription(acceptable ? QString() : tr("Not accepted: %1").arg(expected));
}

void ViewController::checkFields() {
  const auto size = NumberFormatter(NumberFormatter::Minimum::AboveZero).numberFromString(ui_->maxSizeTextbox->text());
  showFieldCheck(ui_->maxSizeTextbox, size.has_value(), tr("a number above 0"));
  const auto band =
      NumberFormatter(NumberFormatter::Minimum::ZeroOrMore).numberFromString(ui_->bandSizeTextbox->text());
  showFieldCheck(ui_->bandSizeTextbox, band.has_value(),
                 tr("a whole number; 0 lets Create choose, Change band size needs 1 or more"));
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
