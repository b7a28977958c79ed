#pragma once
// A main window whose disk-image tool is the recording fake, with helpers to find controls by
// their accessible names and to let queued panel answers arrive.

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QLineEdit>
#include <QSettings>
#include <QTest>
#include <gtest/gtest.h>
#include <memory>

#include "fake_tool.h"
#include "ui/main_window.h"
#include "ui/password_view_controller.h"
#include "ui/view_controller.h"

namespace quorbel::test {

// The failure line of a run that ended with `status`.
inline std::string failure(int status) { return "\xE2\x9A\xA0\xEF\xB8\x8F error " + std::to_string(status) + "\n"; }

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QSettings().clear();
    controller = new ViewController(FakeTool::path());
    controller->setTerminate([this] { ++terminations; });
    window = std::make_unique<MainWindow>(controller);
    window->show();
  }
  void TearDown() override {
    window.reset();
    settle();
  }

  template <class T>
  T* control(const QString& accessibleName) const {
    for (T* candidate : window->findChildren<T*>())
      if (candidate->accessibleName() == accessibleName) return candidate;
    ADD_FAILURE() << "no control named " << accessibleName.toStdString();
    return nullptr;
  }
  void press(const QString& buttonName) { QTest::mouseClick(control<QAbstractButton>(buttonName), Qt::LeftButton); }
  void type(const QString& fieldName, const QString& text) {
    QLineEdit* field = control<QLineEdit>(fieldName);
    field->clear();
    QTest::keyClicks(field, text);
  }
  void choose(const QString& popupName, int index) { control<QComboBox>(popupName)->setCurrentIndex(index); }
  // Lets queued panel answers arrive and everything they start run to its end.
  static void settle() {
    for (int i = 0; i < 10; ++i) QCoreApplication::processEvents();
  }
  std::string pane() const { return controller->outputText().toStdString(); }

  FakeTool tool;
  ViewController* controller = nullptr;
  std::unique_ptr<MainWindow> window;
  int terminations = 0;
};

}  // namespace quorbel::test
