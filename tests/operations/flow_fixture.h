#pragma once
// The operations' flows, driven through the window and the recording fake tool.

#include <QCheckBox>
#include <QPushButton>

#include "window_fixture.h"

namespace quorbel::test {

using List = std::vector<std::string>;

class FlowTest : public WindowTest {
 protected:
  // Answers the password sheet on screen: both entries, then Set (or Cancel).
  void answerSheet(const QString& password) { answerSheet(password, password); }
  void answerSheet(const QString& first, const QString& second) {
    PasswordViewController* sheet = controller->passwordSheet();
    ASSERT_NE(sheet, nullptr) << "no password sheet on screen";
    sheet->password1Textbox()->setText(first);
    sheet->password2Textbox()->setText(second);
    QTest::mouseClick(sheet->findChild<QPushButton*>("setButton"), Qt::LeftButton);
  }
  void cancelSheet() {
    PasswordViewController* sheet = controller->passwordSheet();
    ASSERT_NE(sheet, nullptr) << "no password sheet on screen";
    QTest::mouseClick(sheet->findChild<QPushButton*>("cancelButton"), Qt::LeftButton);
  }
  bool sheetShown() const { return controller->passwordSheet() && controller->passwordSheet()->isVisible(); }
  void setBattery(Qt::CheckState state) {
    auto* box = control<QCheckBox>("Battery");
    box->setTristate(state == Qt::PartiallyChecked);
    box->setCheckState(state);
  }
};

}  // namespace quorbel::test
