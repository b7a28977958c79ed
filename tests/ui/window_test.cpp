// The main window: its appearance and labels, the output pane and its text size, closing it, the
// real Linux open panel, and the window while a tool runs.
#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QFontMetricsF>
#include <QLabel>
#include <QListView>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTimer>

#include "ui/output_log.h"
#include "ui/storyboard.h"
#include "window_fixture.h"

namespace quorbel::test {
namespace {

TEST_F(WindowTest, AppearanceFillsAndPresetsAndShowingAgainResetsOnlyTheNumbers) {
  EXPECT_EQ(window->windowTitle(), "Quorbel Sparse Bundle Utility");
  QStringList shown;  // the pop-ups' items
  for (const char* name : {"Size unit", "Band unit", "File system", "Encryption"})
    for (int i = 0; i < control<QComboBox>(name)->count(); ++i) shown << control<QComboBox>(name)->itemText(i);
  EXPECT_EQ(shown.join(","), "MB,GB,TB,MB,GB,HFS+,HFS+J,APFS,Case-sensitive APFS,exFAT,MS-DOS,UDF,Plain,AES-128,AES-256");
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
}

// Screen readers and tests find a control by what the user reads: a button's text or its field's label.
TEST_F(WindowTest, EveryControlHasAVisibleLabelEqualToItsAccessibleName) {
  const auto labels = window->findChildren<QLabel*>();
  for (const char* name : {"Maximum size", "Size unit", "Band size", "Band unit", "File system", "Encryption", "Output"})
    EXPECT_TRUE(std::any_of(labels.begin(), labels.end(),
                            [&](QLabel* label) { return label->buddy() == control(name) && label->text() == name; }))
        << name;
  for (const char* name : {"Battery", "Create", "Resize", "Compact", "Change band size", "Get info", "Change password",
                           "Larger text", "Smaller text"})
    EXPECT_EQ(control<QAbstractButton>(name)->text(), name);
}

TEST_F(WindowTest, PaneKeepsEveryCharacterAndItsSizeControlsRestyleAllTextAndStoreTheSizeAtOnce) {
  const QString text = QStringLiteral("tab\there, no-break\u00A0space, é and e\u0301, 🔑\n\nno line feed");
  controller->append(text.left(20));
  controller->append(text.mid(20));
  controller->append("|next\n");
  press("Larger text");
  EXPECT_EQ(controller->outputText(), text + "|next\n");  // nothing put between appends, nothing lost
  EXPECT_DOUBLE_EQ(QSettings().value("fontSize").toDouble(), 13.0);
  QPlainTextEdit* pane = controller->outputTextbox;
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
  const std::pair<const char*, double> cases[] = {
      {"fontSize=100", 100.0}, {"fontSize=12.5", 12.5}, {"fontSize=\"20\"", 20.0}, {"fontSize=4", 4.0},
      {"fontSize=3.5", 12.0},  {"", 12.0},              {"fontSize=abc", 12.0},    {"fontSize=inf", 12.0}};
  for (const auto& [line, expected] : cases) {
    QSettings().clear();
    QFile out(QSettings().fileName());
    ASSERT_TRUE(QDir().mkpath(QFileInfo(out).path()) && out.open(QIODevice::WriteOnly | QIODevice::Truncate));
    out.write(QByteArray("[General]\n") + line + "\n");
    out.close();
    ViewController fresh(std::string("/nonexistent/tool"));
    EXPECT_DOUBLE_EQ(fresh.theFontSize(), expected) << line;
    EXPECT_DOUBLE_EQ(fresh.outputTextbox->font().pointSizeF(), expected) << line;
  }
  // The steps stop at 4 and 60; from a stored 100 they are 60 up and 99 down.
  EXPECT_EQ(QList({fontsize::smaller(4.0), fontsize::larger(60.0), fontsize::larger(100.0), fontsize::smaller(100.0)}),
            QList({4.0, 60.0, 60.0, 99.0}));
}

TEST(MainWindowLifecycle, ClosingTheMainWindowEndsTheApplicationWhateverElseIsOpen) {
  std::unique_ptr<QMainWindow> main(storyboard::instantiateInitialController());
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

TEST_F(WindowTest, WhileAToolRunsTheWindowPaintsShowsWhatRunsAndIgnoresPresses) {
  tool.answer("imageinfo", "", 0, 0.6);
  controller->setNextOpenPath("/V/Backup.sparsebundle");
  controller->setNextOpenPath("/V/Backup.sparsebundle");  // would be taken by a second operation if one started
  QStringList seen;  // the status line and the cursor at every tick of a timer
  QTimer during;
  QObject::connect(&during, &QTimer::timeout, [&] {
    const QCursor* cursor = QApplication::overrideCursor();
    seen << window->findChild<QLabel*>("statusLine")->text() + (cursor && cursor->shape() == Qt::WaitCursor ? " busy" : "");
    if (seen.size() != 3) return;
    press("Get info");
    press("Resize");
    controller->doCompactButton();
  });
  during.start(50);
  run("Get info");
  during.stop();
  ASSERT_GE(seen.size(), 5);  // events went on being handled while the tool worked
  EXPECT_EQ(seen[2], "Running: Get info… busy");
  EXPECT_EQ(tool.calls().size(), 2u);  // the one Get info's two runs
  EXPECT_EQ(window->findChild<QLabel*>("statusLine")->text(), "Ready");
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  run("Get info");  // once the run is over the window works again
  EXPECT_EQ(tool.calls().size(), 4u);
}

}  // namespace
}  // namespace quorbel::test
