// The password sheet says in words why it cleared the confirmation, to sight and to a screen reader.
#include <QAccessible>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

#include "ui/password_view_controller.h"

namespace {

using quorbel::PasswordViewController;

TEST(PasswordSheet, AMismatchIsSaidInWordsAndTheMatchingRetryIsAccepted) {
  QWidget parent;
  auto* sheet = new PasswordViewController(&parent);
  parent.show();
  sheet->open();
  auto* message = sheet->findChild<QLabel*>(QStringLiteral("mismatchMessage"));
  ASSERT_TRUE(message);
  EXPECT_FALSE(message->isVisible());

  QTest::keyClicks(sheet->password1Textbox(), QStringLiteral("correct horse"));
  QTest::keyClicks(sheet->password2Textbox(), QStringLiteral("correct hose"));
  QTest::mouseClick(sheet->findChild<QPushButton*>(QStringLiteral("setButton")), Qt::LeftButton);
  EXPECT_TRUE(sheet->isVisible());
  EXPECT_TRUE(sheet->password2Textbox()->text().isEmpty());
  EXPECT_TRUE(message->isVisible());
  EXPECT_EQ(message->text(), QStringLiteral("The two passwords differ."));
  QAccessibleInterface* field = QAccessible::queryAccessibleInterface(sheet->password2Textbox());
  EXPECT_EQ(field->text(QAccessible::Name), QStringLiteral("Confirm password"));
  EXPECT_EQ(field->text(QAccessible::Description), QStringLiteral("The two passwords differ."));
  EXPECT_EQ(QAccessible::queryAccessibleInterface(message)->text(QAccessible::Name),
            QStringLiteral("The two passwords differ."));

  QTest::keyClicks(sheet->password2Textbox(), QStringLiteral("correct horse"));
  QTest::mouseClick(sheet->findChild<QPushButton*>(QStringLiteral("setButton")), Qt::LeftButton);
  EXPECT_TRUE(QTest::qWaitFor([&] { return !sheet->isVisible(); }, 2000));
}

}  // namespace
