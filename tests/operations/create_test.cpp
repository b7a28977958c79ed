// The two operations that use the password sheet: Create and Change password.
#include "window_fixture.h"

namespace quorbel::test {
namespace {

class SheetFlowTest : public WindowTest {
 protected:
  void setControls(const QString& size, int sizeUnit, const QString& band, int bandUnit, int filesystem, int encryption) {
    type("Maximum size", size);
    choose("Size unit", sizeUnit);
    type("Band size", band);
    choose("Band unit", bandUnit);
    choose("File system", filesystem);
    choose("Encryption", encryption);
  }
  void create(const std::optional<QString>& savePath, std::optional<QString> password = std::nullopt) {
    controller->setNextSavePath(savePath);
    press("Create");
    if (password) answerSheet(*password);
    settle();
  }
  void changePassword(const std::optional<QString>& path = QStringLiteral("/V/Old Secret.sparsebundle")) {
    controller->setNextOpenPath(path);
    press("Change password");
    settle();
  }
};

TEST_F(SheetFlowTest, PlainCreationRunsAtOnceWithTheSavePanelsNameAndNoHeading) {
  tool.answer("create", "created\n");
  setControls("500", 0, "16", 1, 4, 0);
  create("/V/Share");  // the save panel's name gains the extension
  create("/V/Share.sparsebundle");
  const auto calls = tool.calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].arguments, (List{"create", "-size", "500m", "-type", "SPARSEBUNDLE", "-imagekey",
                                      "sparse-band-size=16777216", "-fs", "exFAT", "-volname", "Share",
                                      "/V/Share.sparsebundle"}));
  EXPECT_EQ(calls[1].arguments, calls[0].arguments);
  EXPECT_FALSE(calls[0].standardInput);
  EXPECT_EQ(pane(), "created\ncreated\n");
  tool.answer("create", "half done\n", 1);
  create("/V/Fails.sparsebundle");
  EXPECT_EQ(pane(), "created\ncreated\n" + failure(1));
}

TEST_F(SheetFlowTest, EncryptionIsDecidedAtThePressEverythingElseWhenTheSavePanelCloses) {
  setControls("2", 2, "0", 0, 3, 1);
  controller->setNextSavePath("/V/.Media.Library.sparsebundle");
  press("Create");
  settle();
  EXPECT_TRUE(sheetShown());
  EXPECT_TRUE(tool.calls().empty());  // the save panel waits for the sheet
  answerSheet(QStringLiteral("pässwörd 🔑"));
  setControls("3", 1, "9", 1, 4, 0);  // changed while the save panel is open
  settle();
  setControls("1", 0, "1.9", 0, 0, 1);
  create("/V/Empty.sparsebundle", "");
  const auto calls = tool.calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].arguments, (List{"create", "-size", "3g", "-type", "SPARSEBUNDLE", "-encryption", "AES-256",
                                      "-stdinpass", "-imagekey", "sparse-band-size=16777216", "-fs", "exFAT",
                                      "-volname", "", "/V/.Media.Library.sparsebundle"}));
  EXPECT_EQ(calls[0].standardInput, QStringLiteral("pässwörd 🔑").toStdString());
  EXPECT_EQ(calls[1].arguments[5], "-encryption");
  EXPECT_EQ(calls[1].arguments[9], "sparse-band-size=2048");
  EXPECT_EQ(calls[1].standardInput, "");  // an empty password is a password
}

TEST_F(SheetFlowTest, UnparsableNumbersRunNothingAndCancelsWriteOnlyTheirLine) {
  controller->append("before\n");
  for (const char* size : {"abc", "", "0"}) {
    setControls(size, 0, "0", 0, 0, 0);
    create("/V/A.sparsebundle");
  }
  setControls("1", 0, "abc", 0, 0, 2);
  create("/V/A.sparsebundle", "kept");
  create(std::nullopt, "kept");  // save panel cancelled
  EXPECT_EQ(controller->encryptPassword(), "kept");
  press("Create");
  cancelSheet();
  press("Create");
  cancelSheet();
  settle();
  EXPECT_TRUE(tool.calls().empty());
  EXPECT_EQ(pane(), "before\nCancelled creation of sparse bundle.\nCancelled creation of sparse bundle.\n");
}

TEST_F(SheetFlowTest, ChangePasswordSendsTheTypedPasswordAndKeepsNone) {
  tool.answer("chpass", "changed\n");
  changePassword();
  EXPECT_TRUE(sheetShown());
  EXPECT_TRUE(tool.calls().empty());
  answerSheet(QStringLiteral("nouveau é"));
  settle();
  changePassword();
  answerSheet("second");
  settle();
  const auto calls = tool.calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].arguments, (List{"chpass", "/V/Old Secret.sparsebundle", "-newstdinpass"}));
  EXPECT_EQ(calls[0].standardInput, QStringLiteral("nouveau é").toStdString());
  EXPECT_EQ(calls[1].standardInput, "second");
  EXPECT_EQ(pane(), "Change password:\nchanged\nChange password:\nchanged\n");
  EXPECT_EQ(controller->encryptPassword(), "");  // neither read nor changed
}

TEST_F(SheetFlowTest, TheSheetAnswersTheOperationThatPresentedIt) {
  changePassword(std::nullopt);
  changePassword("/V/notes");
  EXPECT_FALSE(sheetShown());
  changePassword();
  cancelSheet();
  choose("Encryption", 1);
  press("Create");
  cancelSheet();
  create("/V/New.sparsebundle", "for the new image");
  changePassword();
  answerSheet("for the old image");
  settle();
  EXPECT_EQ(pane(), "Cancelled change of password.\nCancelled creation of sparse bundle.\nChange password:\n");
  const auto calls = tool.calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].arguments[0], "create");
  EXPECT_EQ(calls[0].standardInput, "for the new image");
  EXPECT_EQ(calls[1].arguments[0], "chpass");
  EXPECT_EQ(calls[1].standardInput, "for the old image");
  EXPECT_EQ(controller->encryptPassword(), "for the new image");
}

}  // namespace
}  // namespace quorbel::test
