// The main window at its appearance, its labels, its text size controls, closing it, and the
// storyboard factory.
#include <QCheckBox>
#include <QLabel>
#include <QMenu>
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

using MainWindowTest = WindowTest;

TEST_F(MainWindowTest, AppearanceFillsAndPresetsAndShowingAgainResetsOnlyTheNumbers) {
  EXPECT_EQ(window->windowTitle(), "Quorbel Sparse Bundle Utility");
  EXPECT_EQ(items(control<QComboBox>("Size unit")), (QStringList{"MB", "GB", "TB"}));
  EXPECT_EQ(items(control<QComboBox>("Band unit")), (QStringList{"MB", "GB"}));
  EXPECT_EQ(items(control<QComboBox>("File system")),
            (QStringList{"HFS+", "HFS+J", "APFS", "Case-sensitive APFS", "exFAT", "MS-DOS", "UDF"}));
  EXPECT_EQ(items(control<QComboBox>("Encryption")), (QStringList{"Plain", "AES-128", "AES-256"}));
  EXPECT_EQ(control<QLineEdit>("Maximum size")->text(), "1");
  EXPECT_EQ(control<QLineEdit>("Band size")->text(), "0");
  EXPECT_FALSE(control<QCheckBox>("Battery")->isChecked());

  type("Maximum size", "250");
  type("Band size", "8");
  choose("Size unit", 2);
  control<QCheckBox>("Battery")->setChecked(true);
  window->hide();
  window->show();
  EXPECT_EQ(control<QLineEdit>("Maximum size")->text(), "1");
  EXPECT_EQ(control<QLineEdit>("Band size")->text(), "0");
  EXPECT_FALSE(control<QCheckBox>("Battery")->isChecked());
  EXPECT_EQ(control<QComboBox>("Size unit")->currentText(), "TB");
}

// Screen readers and tests find controls by their accessible names, which must be what the user
// reads: a button's own text, or the text of the label that names the field.
TEST_F(MainWindowTest, EveryControlHasAVisibleLabelEqualToItsAccessibleName) {
  QHash<QWidget*, QString> labels;
  for (QLabel* label : window->findChildren<QLabel*>())
    if (label->buddy()) labels.insert(label->buddy(), label->text());
  QStringList names;
  for (QWidget* w : controller->findChildren<QWidget*>()) {
    auto* button = qobject_cast<QAbstractButton*>(w);
    const bool field = qobject_cast<QComboBox*>(w) || qobject_cast<QPlainTextEdit*>(w) ||
                       (qobject_cast<QLineEdit*>(w) && !qobject_cast<QComboBox*>(w->parentWidget()));
    if (!button && !field) continue;
    const QString visible = button ? button->text() : labels.value(w);
    EXPECT_FALSE(visible.isEmpty()) << w->objectName().toStdString();
    EXPECT_EQ(w->accessibleName(), visible) << w->objectName().toStdString();
    names << visible;
  }
  EXPECT_EQ(names.size(), 16);  // 6 fields and pop-ups, battery, 6 operations, pane, 2 size buttons
  EXPECT_EQ(names.removeDuplicates(), 0);
}

TEST_F(MainWindowTest, SizeButtonsAndViewMenuShortcutsChangeTheTextSize) {
  press("Larger text");
  press("Smaller text");
  press("Smaller text");
  EXPECT_DOUBLE_EQ(controller->theFontSize(), 11.0);
  QMenu* view = window->findChild<QMenu*>("viewMenu");
  ASSERT_TRUE(view && view->actions().size() == 2);
  EXPECT_EQ(view->actions()[0]->shortcut(), QKeySequence(QKeySequence::ZoomIn));
  EXPECT_EQ(view->actions()[1]->shortcut(), QKeySequence(QKeySequence::ZoomOut));
  QApplication::setActiveWindow(window.get());
  ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
  QTest::keySequence(window.get(), QKeySequence(QKeySequence::ZoomIn));
  EXPECT_DOUBLE_EQ(controller->theFontSize(), 12.0);
}

TEST(MainWindowLifecycle, ClosingTheMainWindowEndsTheApplicationWhateverElseIsOpen) {
  std::unique_ptr<QMainWindow> main(storyboard::instantiateInitialController());
  main->show();
  QWidget helpWindow;
  helpWindow.show();
  QTimer::singleShot(50, main.get(), [&] { main->close(); });
  QTimer giveUp;  // the application did not end
  QObject::connect(&giveUp, &QTimer::timeout, [] { QCoreApplication::exit(42); });
  giveUp.start(5000);
  EXPECT_EQ(QCoreApplication::exec(), 0);
}

TEST(Storyboard, MakesAFreshControllerForEachIdentifierAndTakesNewOnes) {
  QWidget parent;
  QWidget* first = storyboard::instantiateController("passwordViewController", &parent);
  EXPECT_NE(qobject_cast<PasswordViewController*>(first), nullptr);
  EXPECT_NE(storyboard::instantiateController("passwordViewController", &parent), first);
  EXPECT_EQ(first->parentWidget(), &parent);
  EXPECT_EQ(storyboard::instantiateController("no such controller", &parent), nullptr);
  storyboard::registerController("Test Controller", [](QWidget* p) { return new QLabel("made", p); });
  EXPECT_EQ(qobject_cast<QLabel*>(storyboard::instantiateController("Test Controller", &parent))->text(), "made");
}

}  // namespace
}  // namespace quorbel::test
