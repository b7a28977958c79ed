// Change password: the typed password goes to the tool on standard input; the application holds
// none of its own, and the sheet's answers go to the operation that asked.
#include "flow_fixture.h"

namespace quorbel::test {
namespace {

const QString bundle = QStringLiteral("/Volumes/Data/Secret Files.sparsebundle");

class ChangePasswordTest : public FlowTest {
 protected:
  void pickBundle(const std::optional<QString>& path = bundle) {
    controller->setNextOpenPath(path);
    press("Change password");
    settle();
  }
};

TEST_F(ChangePasswordTest, TheTypedPasswordReachesTheToolAndIsNotKept) {
  tool.answer("chpass", "password changed\n");
  controller->append("earlier\n");
  pickBundle();
  EXPECT_TRUE(sheetShown());
  EXPECT_TRUE(tool.calls().empty());
  answerSheet(QStringLiteral("nouveau mot de passe é"));
  settle();
  pickBundle();
  answerSheet("second");
  settle();

  const auto calls = tool.calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].arguments, (List{"chpass", bundle.toStdString(), "-newstdinpass"}));
  EXPECT_EQ(calls[0].standardInput, std::optional<std::string>(QStringLiteral("nouveau mot de passe é").toStdString()));
  EXPECT_EQ(calls[1].arguments, calls[0].arguments);
  EXPECT_EQ(calls[1].standardInput, std::optional<std::string>("second"));
  EXPECT_EQ(pane(), "earlier\nChange password:\npassword changed\nChange password:\npassword changed\n");
  EXPECT_EQ(controller->encryptPassword(), "");  // neither read nor changed
}

TEST_F(ChangePasswordTest, CancelledSheetOrPanelRunsNothing) {
  pickBundle();
  cancelSheet();
  settle();
  pickBundle(std::nullopt);
  EXPECT_FALSE(sheetShown());
  pickBundle(QStringLiteral("/Volumes/Data/notes"));
  EXPECT_FALSE(sheetShown());
  EXPECT_TRUE(tool.calls().empty());
  EXPECT_EQ(pane(), "Cancelled change of password.\n");

  tool.answer("chpass", "", 1);
  pickBundle();
  answerSheet("x");
  settle();
  EXPECT_EQ(pane(), "Cancelled change of password.\nChange password:\n" + failure(1));
}

TEST_F(ChangePasswordTest, TheSheetAnswersTheOperationThatPresentedIt) {
  // A creation's sheet after a change of password's, and the other way round.
  pickBundle();
  cancelSheet();
  choose("Encryption", 1);
  press("Create");
  cancelSheet();
  settle();
  EXPECT_EQ(pane(), "Cancelled change of password.\nCancelled creation of sparse bundle.\n");

  controller->setNextSavePath("/tmp/New.sparsebundle");
  press("Create");
  answerSheet("for the new image");
  settle();
  pickBundle();
  answerSheet("for the old image");
  settle();
  const auto calls = tool.calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].arguments[0], "create");
  EXPECT_EQ(calls[0].standardInput, std::optional<std::string>("for the new image"));
  EXPECT_EQ(calls[1].arguments[0], "chpass");
  EXPECT_EQ(calls[1].standardInput, std::optional<std::string>("for the old image"));
  EXPECT_EQ(controller->encryptPassword(), "for the new image");
}

}  // namespace
}  // namespace quorbel::test
