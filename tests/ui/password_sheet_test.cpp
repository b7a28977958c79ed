// The password sheet and the notification centre it answers through.
#include <QPushButton>

#include "ui/notification_center.h"
#include "ui/storyboard.h"
#include "window_fixture.h"

namespace quorbel::test {
namespace {

class PasswordSheetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    parent.show();
    sheet = qobject_cast<PasswordViewController*>(storyboard::instantiateController("passwordViewController", &parent));
    ASSERT_NE(sheet, nullptr);
    sheet->open();
    for (const char* name : {passwordOkNotification, passwordCancelNotification})
      NotificationCenter::defaultCenter().addObserver(&observer, name, [this](const Notification& n) {
        posted.push_back(n);
        postedWhileShown = sheet && sheet->isVisible();
      });
  }
  void TearDown() override { NotificationCenter::defaultCenter().removeObserver(&observer); }
  void enter(const QString& first, const QString& second) {
    sheet->password1Textbox()->setText(first);
    sheet->password2Textbox()->setText(second);
    QTest::mouseClick(sheet->findChild<QPushButton*>("setButton"), Qt::LeftButton);
  }

  QWidget parent;
  QObject observer;
  QPointer<PasswordViewController> sheet;
  std::vector<Notification> posted;
  bool postedWhileShown = false;
};

TEST_F(PasswordSheetTest, LetterCaseDiffersRejectedUntilRetypedThenPostedOnce) {
  enter("Secret", "secret");
  EXPECT_TRUE(posted.empty());
  EXPECT_TRUE(sheet->isVisible());
  EXPECT_EQ(sheet->password2Textbox()->text(), "");
  EXPECT_TRUE(sheet->confirmationHighlighted());
  EXPECT_EQ(sheet->password1Textbox()->text(), "Secret");

  enter("Secret", "Secret");
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].name, "Password-OK");
  EXPECT_EQ(posted[0].userInfo, (QVariantMap{{"Password", "Secret"}}));
  EXPECT_TRUE(postedWhileShown);  // posted before the sheet goes away
  EXPECT_FALSE(sheet && sheet->isVisible());
}

TEST_F(PasswordSheetTest, ComposedEqualsDecomposedAndTheFirstEntryIsPostedAsTyped) {
  const QString decomposed = QStringLiteral("cafe\u0301 A\u030Angstro\u0308m");
  enter(decomposed, QStringLiteral("caf\u00E9 \u00C5ngstr\u00F6m"));
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].userInfo.value("Password").toString(), decomposed);
}

TEST_F(PasswordSheetTest, EmptyIsAcceptedAndCancelOrEscapePostNoUserInformation) {
  enter("", "");
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].userInfo, (QVariantMap{{"Password", ""}}));

  for (bool escape : {false, true}) {
    sheet = qobject_cast<PasswordViewController*>(storyboard::instantiateController("passwordViewController", &parent));
    sheet->open();
    sheet->password1Textbox()->setText("typed");
    if (escape) QTest::keyClick(sheet->password1Textbox(), Qt::Key_Escape);
    else QTest::mouseClick(sheet->findChild<QPushButton*>("cancelButton"), Qt::LeftButton);
    EXPECT_EQ(posted.back().name, "Password-Cancel");
    EXPECT_TRUE(posted.back().userInfo.isEmpty());
  }
  EXPECT_EQ(posted.size(), 3u);
}

TEST(NotificationCenter, DeliversByNameInOrderToObserversStillAlive) {
  NotificationCenter center;
  std::vector<QString> seen;
  QObject first, second;
  auto gone = std::make_unique<QObject>();
  center.addObserver(&first, "A", [&](const Notification& n) { seen.push_back(n.userInfo.value("k").toString()); });
  center.addObserver(gone.get(), "A", [&](const Notification&) { seen.push_back("gone"); });
  center.addObserver(&second, "B", [&](const Notification&) { seen.push_back("B"); });
  center.addObserver(&second, "A", [&](const Notification&) { seen.push_back("second"); });
  gone.reset();
  center.post("A", {{"k", "first"}});
  center.removeObserver(&first);
  center.post("A");
  EXPECT_EQ(seen, (std::vector<QString>{"first", "second", "second"}));
}

}  // namespace
}  // namespace quorbel::test
