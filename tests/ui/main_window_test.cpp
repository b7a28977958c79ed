// The main window at its first appearance, its labels, closing it, and the storyboard factory.
#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QTimer>

#include "ui/storyboard.h"
#include "window_fixture.h"

namespace quorbel::test {
namespace {

QStringList items(const QComboBox* popup) {
  QStringList result;
  for (int i = 0; i < popup->count(); ++i) result << popup->itemText(i);
  return result;
}

class MainWindowTest : public WindowTest {};

TEST_F(MainWindowTest, FirstAppearanceFillsAndPresetsTheControls) {
  EXPECT_EQ(window->windowTitle(), "Quorbel Sparse Bundle Utility");
  EXPECT_EQ(items(control<QComboBox>("Size unit")), (QStringList{"MB", "GB", "TB"}));
  EXPECT_EQ(items(control<QComboBox>("Band unit")), (QStringList{"MB", "GB"}));
  EXPECT_EQ(items(control<QComboBox>("File system")),
            (QStringList{"HFS+", "HFS+J", "APFS", "Case-sensitive APFS", "exFAT", "MS-DOS", "UDF"}));
  EXPECT_EQ(items(control<QComboBox>("Encryption")), (QStringList{"Plain", "AES-128", "AES-256"}));
  EXPECT_EQ(control<QLineEdit>("Maximum size")->text(), "1");
  EXPECT_EQ(control<QLineEdit>("Band size")->text(), "0");
  EXPECT_EQ(control<QComboBox>("Size unit")->currentText(), "MB");
  EXPECT_EQ(control<QComboBox>("Band unit")->currentText(), "MB");
  EXPECT_EQ(control<QComboBox>("File system")->currentText(), "HFS+");
  EXPECT_EQ(control<QCheckBox>("Battery")->checkState(), Qt::Unchecked);
  EXPECT_EQ(controller->outputText(), "");
}

TEST_F(MainWindowTest, ShowingAgainResetsTheNumbersAndKeepsThePopups) {
  type("Maximum size", "250");
  type("Band size", "8");
  choose("Size unit", 2);
  choose("File system", 4);
  control<QCheckBox>("Battery")->setChecked(true);
  window->hide();
  window->show();
  EXPECT_EQ(control<QLineEdit>("Maximum size")->text(), "1");
  EXPECT_EQ(control<QLineEdit>("Band size")->text(), "0");
  EXPECT_FALSE(control<QCheckBox>("Battery")->isChecked());
  EXPECT_EQ(control<QComboBox>("Size unit")->currentText(), "TB");
  EXPECT_EQ(control<QComboBox>("File system")->currentText(), "exFAT");
}

// Screen readers and tests find controls by their accessible names, which must be what the user
// reads: a button's own text, or the text of the label that names the field.
TEST_F(MainWindowTest, EveryControlHasAVisibleLabelEqualToItsAccessibleName) {
  QHash<QWidget*, QString> labelled;
  for (QLabel* label : window->findChildren<QLabel*>())
    if (label->buddy()) labelled.insert(label->buddy(), label->text());
  QStringList names;
  for (QWidget* w : controller->findChildren<QWidget*>()) {
    const bool isControl = qobject_cast<QAbstractButton*>(w) || qobject_cast<QLineEdit*>(w) ||
                           qobject_cast<QComboBox*>(w) || qobject_cast<QPlainTextEdit*>(w);
    if (!isControl || qobject_cast<QLineEdit*>(w->parentWidget())) continue;
    if (qobject_cast<QLineEdit*>(w) && qobject_cast<QComboBox*>(w->parentWidget())) continue;
    const QString visible = qobject_cast<QAbstractButton*>(w) ? static_cast<QAbstractButton*>(w)->text() : labelled.value(w);
    EXPECT_FALSE(visible.isEmpty()) << w->objectName().toStdString() << " has no visible label";
    EXPECT_EQ(w->accessibleName(), visible) << w->objectName().toStdString();
    EXPECT_FALSE(names.contains(visible)) << visible.toStdString() << " names two controls";
    names << visible;
  }
  EXPECT_EQ(names.size(), 16);  // 6 fields and pop-ups, battery, 6 operations, pane, 2 size buttons
}

TEST_F(MainWindowTest, TextSizeButtonsAndViewMenuShortcutsChangeTheSize) {
  press("Larger text");
  EXPECT_DOUBLE_EQ(controller->theFontSize(), 13.0);
  press("Smaller text");
  press("Smaller text");
  EXPECT_DOUBLE_EQ(controller->theFontSize(), 11.0);

  QMenu* view = window->findChild<QMenu*>("viewMenu");
  ASSERT_NE(view, nullptr);
  ASSERT_EQ(view->actions().size(), 2);
  EXPECT_EQ(view->actions()[0]->shortcut(), QKeySequence(QKeySequence::ZoomIn));
  EXPECT_EQ(view->actions()[1]->shortcut(), QKeySequence(QKeySequence::ZoomOut));
  QApplication::setActiveWindow(window.get());
  ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
  QTest::keySequence(window.get(), QKeySequence(QKeySequence::ZoomIn));
  EXPECT_DOUBLE_EQ(controller->theFontSize(), 12.0);
}

TEST(MainWindowLifecycle, ClosingTheMainWindowEndsTheApplicationWhateverElseIsOpen) {
  QSettings().clear();
  std::unique_ptr<QMainWindow> main(storyboard::instantiateInitialController());
  main->show();
  QWidget otherWindow;  // a help window, say
  otherWindow.show();
  QTimer::singleShot(50, main.get(), [&] { main->close(); });
  QTimer giveUp;  // the application did not end
  giveUp.setSingleShot(true);
  QObject::connect(&giveUp, &QTimer::timeout, [] { QCoreApplication::exit(42); });
  giveUp.start(5000);
  EXPECT_EQ(QCoreApplication::exec(), 0);
}

TEST(Storyboard, MakesAFreshControllerForEachIdentifier) {
  QWidget parent;
  QWidget* first = storyboard::instantiateController("passwordViewController", &parent);
  QWidget* second = storyboard::instantiateController("passwordViewController", &parent);
  EXPECT_NE(qobject_cast<PasswordViewController*>(first), nullptr);
  EXPECT_NE(first, second);
  EXPECT_EQ(first->parentWidget(), &parent);
  EXPECT_EQ(storyboard::instantiateController("no such controller", &parent), nullptr);

  storyboard::registerController("Test Window Controller", [](QWidget* p) {
    auto* w = new QWidget(p);
    w->setObjectName("made");
    return w;
  });
  EXPECT_EQ(storyboard::instantiateController("Test Window Controller", &parent)->objectName(), "made");
}

}  // namespace
}  // namespace quorbel::test
