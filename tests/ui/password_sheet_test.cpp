// The password sheet and the notification centre it answers through.
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>
#include <memory>

#include "ui/notification_center.h"
#include "ui/password_view_controller.h"
#include "ui/storyboard.h"

namespace quorbel {
namespace {

struct Posted {
  QString name;
  QVariantMap userInfo;
  bool sheetStillShown;
};

class PasswordSheetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    parent.show();
    sheet = qobject_cast<PasswordViewController*>(
        storyboard::instantiateController(QStringLiteral("passwordViewController"), &parent));
    ASSERT_NE(sheet, nullptr);
    sheet->open();
    for (const char* name : {passwordOkNotification, passwordCancelNotification})
      NotificationCenter::defaultCenter().addObserver(&observer, name, [this](const Notification& n) {
        posted.push_back({n.name, n.userInfo, sheet && sheet->isVisible()});
      });
  }
  void TearDown() override { NotificationCenter::defaultCenter().removeObserver(&observer); }

  void enter(const QString& first, const QString& second) {
    // Set directly: keyClicks cannot type a decomposed sequence as the user's input method does.
    sheet->password1Textbox()->setText(first);
    sheet->password2Textbox()->setText(second);
    QTest::mouseClick(sheet->findChild<QPushButton*>("setButton"), Qt::LeftButton);
  }

  QWidget parent;
  QObject observer;
  QPointer<PasswordViewController> sheet;
  std::vector<Posted> posted;
};

TEST_F(PasswordSheetTest, EntriesThatDifferInLetterCaseAreRejectedUntilRetyped) {
  enter("Secret", "secret");
  EXPECT_TRUE(posted.empty());
  EXPECT_TRUE(sheet->isVisible());
  EXPECT_EQ(sheet->password2Textbox()->text(), "");
  EXPECT_TRUE(sheet->confirmationHighlighted());
  EXPECT_EQ(sheet->password1Textbox()->text(), "Secret");

  QTest::keyClicks(sheet->password2Textbox(), "Secret");
  QTest::mouseClick(sheet->findChild<QPushButton*>("setButton"), Qt::LeftButton);
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].name, "Password-OK");
  EXPECT_EQ(posted[0].userInfo, (QVariantMap{{"Password", "Secret"}}));
  EXPECT_TRUE(posted[0].sheetStillShown);  // posted before the sheet goes away
  EXPECT_FALSE(sheet && sheet->isVisible());
}

TEST_F(PasswordSheetTest, ComposedAndDecomposedFormsAreEqualAndTheFirstEntryIsPosted) {
  const QString composed = QStringLiteral("caf\u00E9 \u00C5ngstr\u00F6m");
  const QString decomposed = QStringLiteral("cafe\u0301 A\u030Angstro\u0308m");
  enter(decomposed, composed);
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].userInfo.value("Password").toString(), decomposed);
}

TEST_F(PasswordSheetTest, EmptyPasswordIsAccepted) {
  enter("", "");
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].name, "Password-OK");
  ASSERT_TRUE(posted[0].userInfo.contains("Password"));
  EXPECT_EQ(posted[0].userInfo.value("Password").toString(), "");
}

TEST_F(PasswordSheetTest, CancelAndEscapePostCancelWithoutUserInformation) {
  sheet->password1Textbox()->setText("typed");
  QTest::mouseClick(sheet->findChild<QPushButton*>("cancelButton"), Qt::LeftButton);
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].name, "Password-Cancel");
  EXPECT_TRUE(posted[0].userInfo.isEmpty());

  auto* second = qobject_cast<PasswordViewController*>(
      storyboard::instantiateController(QStringLiteral("passwordViewController"), &parent));
  ASSERT_NE(second, sheet.data());  // a fresh sheet for every presentation
  second->open();
  sheet = second;
  QTest::keyClick(second->password1Textbox(), Qt::Key_Escape);
  ASSERT_EQ(posted.size(), 2u);
  EXPECT_EQ(posted[1].name, "Password-Cancel");
}

TEST(NotificationCenter, DeliversByNameToLiveObserversInOrder) {
  NotificationCenter center;
  std::vector<std::string> seen;
  QObject first, other;
  auto gone = std::make_unique<QObject>();
  center.addObserver(&first, "A", [&](const Notification& n) { seen.push_back("first " + n.userInfo.value("k").toString().toStdString()); });
  center.addObserver(gone.get(), "A", [&](const Notification&) { seen.push_back("gone"); });
  center.addObserver(&other, "B", [&](const Notification&) { seen.push_back("other"); });
  center.addObserver(&other, "A", [&](const Notification&) { seen.push_back("second"); });
  gone.reset();
  center.post("A", {{"k", "v"}});
  EXPECT_EQ(seen, (std::vector<std::string>{"first v", "second"}));
  center.removeObserver(&first);
  seen.clear();
  center.post("A");
  EXPECT_EQ(seen, (std::vector<std::string>{"second"}));
}

}  // namespace
}  // namespace quorbel
