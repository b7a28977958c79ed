// The main window: its appearance and labels, the output pane and its text size, closing it, the
// real Linux open panel, and the window while a tool runs.
#include <QAccessible>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QFontMetricsF>
#include <QLabel>
#include <QListView>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QProxyStyle>
#include <QPushButton>
#include <QRegularExpression>
#include <QStyleFactory>
#include <QTextBlock>
#include <QTimer>

#include "operations/operation.h"

#include "ui/app_style.h"
#include "ui/main_window.h"
#include "ui/output_log.h"
#include "ui/password_view_controller.h"
#include "window_fixture.h"

namespace quorbel::test {
namespace {

TEST_F(WindowTest, AppearanceFillsAndPresetsAndShowingAgainResetsOnlyTheNumbers) {
  EXPECT_EQ(window->windowTitle(), "Quorbel Sparse Bundle Utility");
  QStringList shown;  // the pop-ups' items
  for (const char* name : {"Size unit", "Band unit", "File system", "Encryption"})
    for (int i = 0; i < control<QComboBox>(name)->count(); ++i) shown << control<QComboBox>(name)->itemText(i);
  EXPECT_EQ(shown.join(","),
            "MB,GB,TB,MB,GB,HFS+,HFS+J,APFS,Case-sensitive APFS,exFAT,MS-DOS,UDF,Plain,AES-128,AES-256");
  auto presets = [&] {
    return control<QLineEdit>("Maximum size")->text() + "|" + control<QLineEdit>("Band size")->text() +
           (control<QCheckBox>("Battery")->checkState() == Qt::Unchecked ? "|off" : "|on");
  };
  EXPECT_EQ(presets(), "1|0|off");
  type("Maximum size", "250");
  type("Band size", "8");
  choose("Size unit", 2);
  control<QCheckBox>("Battery")->setChecked(true);
  window->hide();
  window->show();
  EXPECT_EQ(presets(), "1|0|off");
  EXPECT_EQ(control<QComboBox>("Size unit")->currentText(), "TB");
  // Buttons hug their labels (4 px above and below, 14 px at the sides, inside a 1 px frame), short ones
  // too; and no style sheet puts the window through the slow style sheet engine.
  for (const char* name : {"Stop", "Create", "Change password", "Larger text"}) {
    auto* button = control<QPushButton>(name);
    EXPECT_EQ(button->sizeHint(), button->fontMetrics().size(Qt::TextShowMnemonic, name) + QSize(30, 10)) << name;
  }
  for (const QWidget* widget : window->findChildren<QWidget*>())
    EXPECT_EQ(widget->styleSheet(), "") << widget->objectName().toStdString();
  EXPECT_EQ(qApp->styleSheet(), "");
}

// Screen readers and tests find a control by what the user reads: a button's text or its field's label;
// each has a mnemonic of its own, and Alt with a label's letter takes the focus to its field.
TEST_F(WindowTest, EveryControlHasAVisibleLabelAndAMnemonicOfItsOwn) {
  QApplication::setActiveWindow(window.get());
  ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
  const auto labels = window->findChildren<QLabel*>();
  const std::pair<const char*, Qt::Key> fields[] = {
      {"Maximum size", Qt::Key_M}, {"Size unit", Qt::Key_U},  {"Band size", Qt::Key_B}, {"Band unit", Qt::Key_N},
      {"File system", Qt::Key_F},  {"Encryption", Qt::Key_E}, {"Output", Qt::Key_O}};
  QList<QKeySequence> mnemonics;
  for (const auto& [name, key] : fields) {
    EXPECT_TRUE(std::any_of(labels.begin(), labels.end(), [&](QLabel* label) {
      return label->buddy() == control(name) && QString(label->text()).remove('&') == name &&
             (mnemonics << QKeySequence::mnemonic(label->text()), true);
    })) << name;
    QTest::keyClick(window.get(), key, Qt::AltModifier);
    EXPECT_EQ(QApplication::focusWidget(), control(name)) << name;
  }
  for (const char* name : {"Battery", "Create", "Resize", "Compact", "Change band size", "Get info", "Change password",
                           "Larger text", "Smaller text", "Stop"}) {
    EXPECT_EQ(control<QAbstractButton>(name)->text().remove('&'), name);
    mnemonics << QKeySequence::mnemonic(control<QAbstractButton>(name)->text());
  }
  mnemonics << QKeySequence(Qt::ALT | Qt::Key_V);  // the View menu's
  EXPECT_FALSE(mnemonics.contains(QKeySequence()));
  EXPECT_EQ(QSet<QKeySequence>(mnemonics.begin(), mnemonics.end()).size(), mnemonics.size()) << "a letter twice";
}

TEST_F(WindowTest, PaneKeepsEveryCharacterAndItsSizeControlsRestyleAllTextAndStoreTheSizeAtOnce) {
  const QString text = QStringLiteral("tab\there, no-break\u00A0space, é and e\u0301, 🔑\n\nno line feed");
  controller->append(text.left(20));
  controller->append(text.mid(20));
  controller->append("|next\n");
  press("Larger text");
  EXPECT_EQ(controller->outputText(), text + "|next\n");  // nothing put between appends, nothing lost
  EXPECT_DOUBLE_EQ(QSettings().value("fontSize").toDouble(), 13.0);
  QPlainTextEdit* pane = controller->outputPane();
  EXPECT_TRUE(pane->isReadOnly());  // typing into the pane changes nothing
  pane->setFocus();
  QTest::keyClicks(pane, "typed");
  QTest::keyClick(pane, Qt::Key_Backspace);
  EXPECT_EQ(controller->outputText(), text + "|next\n");
  EXPECT_DOUBLE_EQ(pane->font().pointSizeF(), 13.0);
  const QFontMetricsF metrics(pane->font());  // fixed pitch
  EXPECT_DOUBLE_EQ(metrics.horizontalAdvance("iiiiiiii"), metrics.horizontalAdvance("MMMMMMMM"));
  for (QTextBlock block = pane->document()->begin(); block.isValid(); block = block.next())
    for (auto it = block.begin(); !it.atEnd(); ++it)  // no piece keeps a size of its own
      EXPECT_FALSE(it.fragment().charFormat().hasProperty(QTextFormat::FontPointSize));
  QApplication::setActiveWindow(window.get());
  ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
  QTest::keySequence(window.get(), QKeySequence(QKeySequence::ZoomOut));
  press("Smaller text");
  EXPECT_DOUBLE_EQ(QSettings().value("fontSize").toDouble(), 11.0);
  QTest::keySequence(window.get(), QKeySequence(QKeySequence::ZoomIn));
  EXPECT_DOUBLE_EQ(controller->theFontSize(), 12.0);
  controller->replace("Sparsebundle info:\n");
  EXPECT_EQ(pane->toPlainText(), "Sparsebundle info:\n");
}

// The settings file as a person or another program may have written it: every value is text.
TEST(StoredFontSize, HandWrittenValuesReadByTheRule) {
  const std::pair<const char*, double> cases[] = {{"fontSize=100", 100.0},   {"fontSize=12.5", 12.5},
                                                  {"fontSize=\"20\"", 20.0}, {"fontSize=4", 4.0},
                                                  {"fontSize=3.5", 12.0},    {"", 12.0},
                                                  {"fontSize=abc", 12.0},    {"fontSize=inf", 12.0}};
  for (const auto& [line, expected] : cases) {
    QSettings().clear();
    QFile out(QSettings().fileName());
    ASSERT_TRUE(QDir().mkpath(QFileInfo(out).path()) && out.open(QIODevice::WriteOnly | QIODevice::Truncate));
    out.write(QByteArray("[General]\n") + line + "\n");
    out.close();
    ViewController fresh(std::string("/nonexistent/tool"));
    EXPECT_DOUBLE_EQ(fresh.theFontSize(), expected) << line;
    EXPECT_DOUBLE_EQ(fresh.outputPane()->font().pointSizeF(), expected) << line;
  }
  // The steps stop at 4 and 60; from a stored 100 they are 60 up and 99 down.
  EXPECT_EQ(QList({fontsize::smaller(4.0), fontsize::larger(60.0), fontsize::larger(100.0), fontsize::smaller(100.0)}),
            QList({4.0, 60.0, 60.0, 99.0}));
}

TEST(MainWindowLifecycle, ClosingTheMainWindowEndsTheApplicationWhateverElseIsOpen) {
  auto main = std::make_unique<MainWindow>(new ViewController(std::string("/nonexistent/tool")));
  main->show();
  QWidget helpWindow;
  helpWindow.show();
  QTimer::singleShot(50, main.get(), [&] { main->close(); });
  QTimer::singleShot(5000, [] { QCoreApplication::exit(42); });  // the application did not end
  EXPECT_EQ(QCoreApplication::exec(), 0);
}

TEST_F(WindowTest, TheRealOpenPanelChoosesASparseBundleFolderAsOneItem) {
  QTemporaryDir folder;
  const QString bundle = QDir(folder.path()).filePath("Disk One.sparsebundle");
  QDir().mkpath(bundle + "/bands");
  tool.answer("imageinfo", "info\n");
  press("Get info");
  QFileDialog* dialog = nullptr;
  ASSERT_TRUE(QTest::qWaitFor([&] { return (dialog = window->findChild<QFileDialog*>("openPanel")); }));
  EXPECT_TRUE(dialog->testOption(QFileDialog::DontUseNativeDialog));
  dialog->setDirectory(folder.path());
  auto* list = dialog->findChild<QListView*>("listView");
  const QModelIndex row = dialog->findChild<QFileSystemModel*>()->index(bundle);
  ASSERT_TRUE(QTest::qWaitFor([&] { return list->visualRect(row).isValid(); }));  // the listing has loaded
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(row).center());
  QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(row).center());
  ASSERT_TRUE(QTest::qWaitFor([&] { return tool.calls().size() == 2; }));
  EXPECT_EQ(tool.calls()[0], "imageinfo|" + bundle.toStdString());
  EXPECT_EQ(pane(), "Sparsebundle info:\ninfo\n");
}

// A 3 s run: a timer on the GUI thread keeps firing, the window shows what runs with a progress bar
// and Stop, every operation button is off, and a press made meanwhile starts nothing.
TEST_F(WindowTest, WhileAToolRunsTheGuiThreadNeverWaitsAndShowsProgressAndStop) {
  tool.answer("imageinfo", "info\n", 0, 3, "PERCENT:40\nnot a figure\n");
  controller->setNextOpenPath("/V/Backup.sparsebundle");
  controller->setNextOpenPath("/V/Backup.sparsebundle");  // would be taken by a second operation if one started
  auto* status = window->findChild<QLabel*>("statusLine");
  auto* stop = control<QPushButton>("Stop");
  auto* progress = control<QProgressBar>("Progress");
  EXPECT_FALSE(stop->isEnabled());
  EXPECT_FALSE(progress->isVisible());
  QElapsedTimer clock;
  qint64 longestGap = 0, last = 0;
  int ticks = 0;
  QStringList seen;
  QTimer during;
  QObject::connect(&during, &QTimer::timeout, [&] {
    longestGap = std::max(longestGap, clock.elapsed() - last);
    last = clock.elapsed();
    if (++ticks == 20) {
      seen << status->text() << (stop->isEnabled() ? "stop on" : "stop off")
           << (progress->isVisible() ? "progress shown" : "no progress")
           << (control<QAbstractButton>("Resize")->isEnabled() ? "resize on" : "resize off");
      press("Resize");
      controller->doCompactButton();
    }
  });
  clock.start();
  during.start(10);
  press("Get info");
  ASSERT_TRUE(QTest::qWaitFor([&] { return !controller->currentOperation(); }, 20000));
  during.stop();
  EXPECT_GE(clock.elapsed(), 3000);
  EXPECT_LT(longestGap, 250) << "the GUI thread was held";
  EXPECT_GE(ticks, 100);
  EXPECT_EQ(seen, (QStringList{"Running: Get info…", "stop on", "progress shown", "resize off"}));
  EXPECT_EQ(tool.calls().size(), 2u);       // the one Get info's two runs
  EXPECT_EQ(tool.progressSetting(0), "1");  // the window asks the tool for progress lines
  // Both runs are told of the password dialog beside the application, which is there to be run.
  const std::string askpass = tool.askpassSetting(0);
  EXPECT_EQ(askpass, QDir(QCoreApplication::applicationDirPath()).filePath("quorbel-askpass").toStdString());
  EXPECT_TRUE(QFileInfo(QString::fromStdString(askpass)).isExecutable());
  EXPECT_EQ(tool.askpassSetting(1), askpass);
  EXPECT_EQ(status->text(), "Done");
  EXPECT_FALSE(stop->isEnabled());
  EXPECT_FALSE(progress->isVisible());
  EXPECT_EQ(pane(), "Sparsebundle info:\ninfo\n");  // neither figures nor remarks reach the pane
  tool.answer("imageinfo", "info\n");
  run("Get info");  // once the run is over the window works again
  EXPECT_EQ(tool.calls().size(), 4u);
}

TEST_F(WindowTest, StatusLineGivesTheToolsReasonOrStoppedAndStopEndsTheOperation) {
  tool.answer("resize", "", 1, 0, "resize: only HFS+ volumes can grow\nthe volume is APFS\n");
  open("Resize", "/V/A.sparsebundle");
  auto* status = window->findChild<QLabel*>("statusLine");
  // The whole reason, wrapped at word boundaries.
  EXPECT_EQ(status->text(), "Resize failed: resize: only HFS+ volumes can grow\nthe volume is APFS");
  EXPECT_EQ(status->toolTip(), status->text());
  EXPECT_TRUE(status->wordWrap() && status->textFormat() == Qt::PlainText);
  EXPECT_EQ(pane(), "Resize:\n" + failure(1));

  tool.answer("imageinfo", "never\n", 0, 30);
  controller->setNextOpenPath("/V/A.sparsebundle");
  press("Get info");
  ASSERT_TRUE(QTest::qWaitFor([&] { return control<QPushButton>("Stop")->isEnabled() && tool.calls().size() == 2; }));
  press("Stop");
  ASSERT_TRUE(QTest::qWaitFor([&] { return !controller->currentOperation(); }, 10000));
  EXPECT_EQ(status->text(), "Stopped");
  EXPECT_EQ(status->toolTip(), "");
  EXPECT_EQ(pane(), "Sparsebundle info:\n" + failure(130));  // heading and failure line; no second step
  EXPECT_EQ(tool.calls().size(), 2u);
  tool.answer("resize", "resized\n");
  open("Resize", "/V/A.sparsebundle");
  EXPECT_EQ(status->text(), "Done");
}

// The sheet through the window: its fields are emptied by every answer, and once the operation is
// over no object holds the password any more.
TEST_F(WindowTest, TheSheetClearsItsFieldsAndNoPasswordOutlivesTheOperation) {
  choose("Encryption", 1);
  controller->setNextSavePath("/V/Vault.sparsebundle");
  press("Create");
  PasswordViewController* sheet = controller->passwordSheet();
  ASSERT_TRUE(sheet && sheet->isVisible());
  EXPECT_TRUE(tool.calls().empty());  // the save panel waits for the sheet
  QPointer<QLineEdit> first = sheet->password1Textbox(), second = sheet->password2Textbox();
  first->setText("Secret");
  second->setText("secret");  // letter case differs: rejected, confirmation emptied and highlighted
  QTest::mouseClick(sheet->findChild<QPushButton*>("setButton"), Qt::LeftButton);
  EXPECT_TRUE(sheet->isVisible());
  EXPECT_EQ(second->text(), "");
  EXPECT_TRUE(sheet->confirmationHighlighted());
  const QString decomposed = QStringLiteral("cafe\u0301 A\u030Angstro\u0308m 🔑");
  first->setText(decomposed);
  second->setText(QStringLiteral("caf\u00E9 \u00C5ngstr\u00F6m 🔑"));
  QPointer<Operation> operation = controller->currentOperation();
  QTest::mouseClick(sheet->findChild<QPushButton*>("setButton"), Qt::LeftButton);
  EXPECT_TRUE(!first || (first->text().isEmpty() && second->text().isEmpty()));  // emptied before the answer
  settle();
  EXPECT_EQ(tool.calls(), (List{"create|-size|1m|-type|SPARSEBUNDLE|-encryption|AES-128|-stdinpass|-fs|HFS+|-volname|"
                                "Vault|/V/Vault.sparsebundle<" +
                                decomposed.toStdString()}));
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(operation.isNull());  // the operation, the only holder, is gone
  EXPECT_EQ(controller->passwordSheet(), nullptr);
  EXPECT_EQ(window->findChildren<QLineEdit*>().size(), 2);  // only the window's own two fields are left

  // Cancel and Escape empty the fields too, and say so in the pane.
  press("Create");
  sheet = controller->passwordSheet();
  ASSERT_TRUE(sheet);
  first = sheet->password1Textbox();
  first->setText("typed, then cancelled");
  QTest::keyClick(sheet, Qt::Key_Escape);
  EXPECT_TRUE(!first || first->text().isEmpty());
  settle();
  EXPECT_TRUE(pane().ends_with("Cancelled creation of sparse bundle.\n"));
  EXPECT_EQ(tool.calls().size(), 1u);
}

// The real tool beside the tests' executables, through the window, checked on disk.
class EndToEnd : public WindowTest {
 protected:
  EndToEnd() { toolPath = defaultHdiutilCommand(); }
  void setControls(const QString& size, int sizeUnit, const QString& band, int bandUnit, int filesystem) {
    type("Maximum size", size);
    choose("Size unit", sizeUnit);
    type("Band size", band);
    choose("Band unit", bandUnit);
    choose("File system", filesystem);
  }
};

long long bandBytes(const QString& bundle) {
  QFile plist(QDir(bundle).filePath("Info.plist"));
  if (!plist.open(QIODevice::ReadOnly)) return -1;
  const auto match = QRegularExpression("<key>band-size</key>\\s*<integer>(\\d+)</integer>").match(plist.readAll());
  return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

TEST_F(EndToEnd, CreateGetInfoCompactAndChangeBandSizeOnDisk) {
  if (!QFileInfo(QString::fromStdString(toolPath)).isExecutable()) GTEST_SKIP() << toolPath << " is not built";
  QTemporaryDir scratch;
  const QString created = scratch.filePath("Shared Data.sparsebundle"),
                converted = scratch.filePath("8MB.sparsebundle");
  setControls("64", 0, "1", 0, 4);
  controller->setNextSavePath(created);
  run("Create");
  EXPECT_TRUE(QFileInfo(QDir(created).filePath("token")).exists() && QDir(created).exists("bands"));
  open("Get info", created);
  EXPECT_TRUE(pane().starts_with("Sparsebundle info:\n") && pane().ends_with("encrypted: NO\n")) << pane();
  const size_t infoEnd = pane().size();
  open("Compact", created);
  EXPECT_EQ(pane().find("Compact:\n"), infoEnd) << pane();
  type("Band size", "8");
  controller->setNextSavePath(converted);
  open("Change band size", created);
  EXPECT_NE(pane().find("Change band size:\n"), std::string::npos) << pane();
  EXPECT_EQ(pane().find("\xE2\x9A\xA0"), std::string::npos) << pane();  // no run failed
  EXPECT_EQ(window->findChild<QLabel*>("statusLine")->text(), "Done");
  EXPECT_EQ(bandBytes(created), 2048 * 512);  // made with 1 MB bands, and left as it was
  EXPECT_EQ(bandBytes(converted), 16000LL * 512);
}

// The overflow icon of menu and tool bars (a file whose reading loads every image plugin) is read when
// first drawn, once, and is the style's own; other icons come at once.
TEST(AppStyle, ExtensionIconsAreReadWhenFirstDrawnOnceAndAreTheStylesOwn) {
  struct CountingStyle : QProxyStyle {
    using QProxyStyle::QProxyStyle;
    mutable int asked = 0;
    QIcon standardIcon(StandardPixmap which, const QStyleOption* option, const QWidget* widget) const override {
      ++asked;
      return QProxyStyle::standardIcon(which, option, widget);
    }
  };
  auto* counting = new CountingStyle(QStyleFactory::create("Fusion"));
  DeferredExtensionIconStyle style(counting);
  const std::unique_ptr<QStyle> reference(QStyleFactory::create("Fusion"));
  for (QStyle::StandardPixmap which :
       {QStyle::SP_ToolBarHorizontalExtensionButton, QStyle::SP_ToolBarVerticalExtensionButton}) {
    counting->asked = 0;
    const QIcon icon = style.standardIcon(which);
    EXPECT_FALSE(icon.isNull());
    EXPECT_EQ(counting->asked, 0);
    QMenuBar bar;
    bar.setStyle(&style);
    EXPECT_EQ(counting->asked, 0) << "a menu bar read its overflow icon before it was needed";
    EXPECT_EQ(icon.pixmap(16).toImage(), reference->standardIcon(which).pixmap(16).toImage());
    EXPECT_EQ(icon.pixmap(32).toImage(), reference->standardIcon(which).pixmap(32).toImage());
    EXPECT_EQ(counting->asked, 1);
  }
  counting->asked = 0;
  style.standardIcon(QStyle::SP_MessageBoxWarning);
  EXPECT_EQ(counting->asked, 1);
}

// What assistive technology is told while a tool runs: the progress bar's figures as value changes,
// each new status line once and in order, a failure's whole reason before the line that sums it up.
std::vector<std::pair<std::string, std::string>>* announcements = nullptr;

void recordAnnouncement(QAccessibleEvent* event) {
  QObject* source = event->object();
  if (!announcements || !source) return;
  if (source->objectName() == "statusLine" && event->type() == QAccessible::TextUpdated)
    announcements->emplace_back("line", static_cast<QAccessibleTextUpdateEvent*>(event)->textInserted().toStdString());
  else if (source->objectName() == "statusLine" && event->type() == QAccessible::DescriptionChanged)
    announcements->emplace_back("reason", static_cast<QWidget*>(source)->toolTip().toStdString());
  else if (qobject_cast<QProgressBar*>(source) && event->type() == QAccessible::ValueChanged)
    announcements->emplace_back("value",
                                std::to_string(static_cast<QAccessibleValueChangeEvent*>(event)->value().toInt()));
}

TEST_F(WindowTest, ProgressAndStatusChangesReachTheAccessibilityLayer) {
  std::vector<std::pair<std::string, std::string>> heard;
  announcements = &heard;
  const auto previous = QAccessible::installUpdateHandler(recordAnnouncement);
  // Events are sent only while an assistive technology listens: under tests/atspi/run_atspi, with the
  // accessibility bus and Qt's bridge to it (the test Atspi.WindowAccessibilityEvents).
  if (!qEnvironmentVariableIsSet("QT_LINUX_ACCESSIBILITY_ALWAYS_ON")) GTEST_SKIP() << "needs the accessibility bus";
  ASSERT_TRUE(QTest::qWaitFor([] { return QAccessible::isActive(); }, 10000)) << "the bridge did not come up";
  tool.answer("resize", "", 1, 0.5, "PERCENT:12.5\nPERCENT:40\nresize: no room\nthe disk is full\n");
  open("Resize", "/V/A.sparsebundle");
  tool.answer("imageinfo", "info\n");
  open("Get info", "/V/A.sparsebundle");
  QAccessible::installUpdateHandler(previous);
  announcements = nullptr;

  using Heard = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(heard, (Heard{{"line", "Running: Resize…"},
                          {"value", "125"},
                          {"value", "400"},
                          {"reason", "Resize failed: resize: no room\nthe disk is full"},
                          {"line", "Resize failed: resize: no room\nthe disk is full"},
                          {"reason", ""},
                          {"line", "Running: Get info…"},
                          {"line", "Done"}}));
}

}  // namespace
}  // namespace quorbel::test
