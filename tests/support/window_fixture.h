#pragma once
// A main window whose disk-image tool is the recording fake, with helpers that work the window as
// a user does: controls are found by their accessible names.

#include <QAbstractButton>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTest>
#include <gtest/gtest.h>
#include <memory>

#include "fake_tool.h"
#include "ui/main_window.h"
#include "ui/password_view_controller.h"
#include "ui/view_controller.h"

namespace quorbel::test {

using List = std::vector<std::string>;

inline std::string failure(int status) { return "\xE2\x9A\xA0\xEF\xB8\x8F error " + std::to_string(status) + "\n"; }

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QSettings().clear();
    controller = new ViewController(FakeTool::path());
    controller->setTerminate([] {});
    window = std::make_unique<MainWindow>(controller);
    window->show();
  }

  template <class T = QWidget>
  T* control(const QString& name) const {
    for (T* candidate : window->findChildren<T*>())
      if (candidate->accessibleName() == name) return candidate;
    ADD_FAILURE() << "no control named " << name.toStdString();
    return nullptr;
  }
  void press(const QString& button) { QTest::mouseClick(control<QAbstractButton>(button), Qt::LeftButton); }
  void type(const QString& field, const QString& text) {
    control<QLineEdit>(field)->clear();
    QTest::keyClicks(control<QLineEdit>(field), text);
  }
  void choose(const QString& popup, int index) { control<QComboBox>(popup)->setCurrentIndex(index); }
  // Lets queued panel answers arrive and what they start run to its end.
  static void settle() {
    for (int i = 0; i < 10; ++i) QCoreApplication::processEvents();
  }
  std::string pane() const { return controller->outputText().toStdString(); }

  // The password sheet on screen: both entries (set directly: an input method may type a
  // decomposed letter that key events cannot), then Set; or Cancel.
  void answerSheet(const QString& first, std::optional<QString> second = std::nullopt) {
    PasswordViewController* sheet = controller->passwordSheet();
    ASSERT_TRUE(sheet && sheet->isVisible()) << "no password sheet on screen";
    sheet->password1Textbox()->setText(first);
    sheet->password2Textbox()->setText(second.value_or(first));
    QTest::mouseClick(sheet->findChild<QPushButton*>("setButton"), Qt::LeftButton);
  }
  void cancelSheet() {
    ASSERT_TRUE(controller->passwordSheet() && controller->passwordSheet()->isVisible());
    QTest::mouseClick(controller->passwordSheet()->findChild<QPushButton*>("cancelButton"), Qt::LeftButton);
  }
  bool sheetShown() const { return controller->passwordSheet() && controller->passwordSheet()->isVisible(); }

  FakeTool tool;
  ViewController* controller = nullptr;
  std::unique_ptr<MainWindow> window;
};

}  // namespace quorbel::test
