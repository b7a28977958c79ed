// Create: the sheet, the save panel, the argument list and the password on standard input.
#include "flow_fixture.h"

namespace quorbel::test {
namespace {

class CreateTest : public FlowTest {
 protected:
  void setControls(const QString& size, int sizeUnit, const QString& band, int bandUnit, int filesystem, int encryption) {
    type("Maximum size", size);
    choose("Size unit", sizeUnit);
    type("Band size", band);
    choose("Band unit", bandUnit);
    choose("File system", filesystem);
    choose("Encryption", encryption);
  }
  void createAt(const QString& path) {
    controller->setNextSavePath(path);
    press("Create");
    settle();
  }
};

TEST_F(CreateTest, UnencryptedWorkedListsAndTheReportWithoutHeading) {
  tool.answer("create", "created: /Volumes/Data/Backup.sparsebundle\n");
  setControls("1", 0, "0", 0, 0, 0);
  createAt("/Volumes/Data/Backup.sparsebundle");
  EXPECT_FALSE(sheetShown());
  setControls("500", 0, "16", 1, 4, 0);
  createAt("/Volumes/Data/Share");  // the save panel's name gains the extension
  setControls("500", 0, "16", 1, 4, 0);
  createAt("/Volumes/Data/Share.sparsebundle");

  const auto calls = tool.calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].arguments, (List{"create", "-size", "1m", "-type", "SPARSEBUNDLE", "-fs", "HFS+", "-volname",
                                      "Backup", "/Volumes/Data/Backup.sparsebundle"}));
  EXPECT_EQ(calls[1].arguments,
            (List{"create", "-size", "500m", "-type", "SPARSEBUNDLE", "-imagekey", "sparse-band-size=16777216", "-fs",
                  "exFAT", "-volname", "Share", "/Volumes/Data/Share.sparsebundle"}));
  EXPECT_EQ(calls[2].arguments, calls[1].arguments);  // the template does not grow
  for (const auto& call : calls) EXPECT_FALSE(call.standardInput.has_value());
  EXPECT_EQ(pane(), std::string("created: /Volumes/Data/Backup.sparsebundle\n").append(
                        "created: /Volumes/Data/Backup.sparsebundle\n").append("created: /Volumes/Data/Backup.sparsebundle\n"));
}

TEST_F(CreateTest, EncryptedCreationAsksFirstAndSendsTheTypedPasswordExactly) {
  setControls("2", 2, "0", 0, 3, 1);
  controller->setNextSavePath("/Volumes/Data/Media.Library.sparsebundle");
  press("Create");
  settle();
  EXPECT_TRUE(sheetShown());
  EXPECT_TRUE(tool.calls().empty());  // the save panel waits for the sheet
  answerSheet(QStringLiteral("pässwörd 🔑"));
  settle();

  auto calls = tool.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].arguments, (List{"create", "-size", "2t", "-type", "SPARSEBUNDLE", "-encryption", "AES-128",
                                      "-stdinpass", "-fs", "Case-sensitive APFS", "-volname", "Media",
                                      "/Volumes/Data/Media.Library.sparsebundle"}));
  EXPECT_EQ(calls[0].standardInput, std::optional<std::string>(QStringLiteral("pässwörd 🔑").toStdString()));
  EXPECT_EQ(controller->encryptPassword(), QStringLiteral("pässwörd 🔑"));

  setControls("100", 1, "64", 0, 2, 2);
  controller->setNextSavePath("/Volumes/Data/Vault.sparsebundle");
  press("Create");
  answerSheet("");  // an empty password is a password
  settle();
  calls = tool.calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].arguments, (List{"create", "-size", "100g", "-type", "SPARSEBUNDLE", "-encryption", "AES-256",
                                      "-stdinpass", "-imagekey", "sparse-band-size=128000", "-fs", "APFS", "-volname",
                                      "Vault", "/Volumes/Data/Vault.sparsebundle"}));
  EXPECT_EQ(calls[1].standardInput, std::optional<std::string>(""));
}

TEST_F(CreateTest, TheDecisionToEncryptIsTakenAtThePressAndTheRestWhenTheSavePanelCloses) {
  setControls("1", 0, "0", 0, 0, 1);
  controller->setNextSavePath("/tmp/.Vault.sparsebundle");
  press("Create");
  answerSheet("secret");
  // While the save panel is open the user changes every control.
  setControls("3", 1, "9", 1, 4, 0);
  settle();
  const auto calls = tool.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].arguments, (List{"create", "-size", "3g", "-type", "SPARSEBUNDLE", "-encryption", "AES-256",
                                      "-stdinpass", "-imagekey", "sparse-band-size=16777216", "-fs", "exFAT",
                                      "-volname", "", "/tmp/.Vault.sparsebundle"}));
  EXPECT_EQ(calls[0].standardInput, std::optional<std::string>("secret"));
}

TEST_F(CreateTest, BandSizesBelowOneAreLeftOutAndFractionsAreDropped) {
  for (const char* band : {"0", "0.5", "1.9"}) {
    setControls("1", 0, band, 0, 0, 0);
    createAt("/tmp/Band.sparsebundle");
  }
  const auto calls = tool.calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].arguments.size(), 10u);
  EXPECT_EQ(calls[1].arguments.size(), 10u);
  ASSERT_EQ(calls[2].arguments.size(), 12u);
  EXPECT_EQ(calls[2].arguments[6], "sparse-band-size=2048");
}

TEST_F(CreateTest, NumbersThatDoNotParseRunNothingAndWriteNothing) {
  controller->append("before\n");
  for (const char* size : {"abc", "", "0", "-3"}) {
    setControls(size, 0, "0", 0, 0, 0);
    createAt("/tmp/A.sparsebundle");
  }
  setControls("1", 0, "abc", 0, 0, 0);
  createAt("/tmp/A.sparsebundle");
  setControls("1", 0, "-1", 0, 0, 0);
  createAt("/tmp/A.sparsebundle");
  // Even when the image would have been encrypted.
  setControls("abc", 0, "0", 0, 0, 2);
  controller->setNextSavePath("/tmp/A.sparsebundle");
  press("Create");
  answerSheet("secret");
  settle();
  EXPECT_TRUE(tool.calls().empty());
  EXPECT_EQ(pane(), "before\n");
}

TEST_F(CreateTest, CancelledSheetWritesItsLineEachTimeAndCancelledSavePanelNothing) {
  choose("Encryption", 2);
  press("Create");
  cancelSheet();
  press("Create");
  cancelSheet();
  settle();
  EXPECT_EQ(pane(), "Cancelled creation of sparse bundle.\nCancelled creation of sparse bundle.\n");

  controller->setNextSavePath(std::nullopt);
  press("Create");
  answerSheet("kept");
  settle();
  choose("Encryption", 0);
  controller->setNextSavePath(std::nullopt);
  press("Create");
  settle();
  EXPECT_TRUE(tool.calls().empty());
  EXPECT_EQ(controller->encryptPassword(), "kept");  // survives a cancelled save panel
  EXPECT_EQ(pane(), "Cancelled creation of sparse bundle.\nCancelled creation of sparse bundle.\n");
}

TEST_F(CreateTest, AFailedRunShowsOnlyTheFailureLine) {
  tool.answer("create", "half done\n", 1);
  createAt("/tmp/Fails.sparsebundle");
  EXPECT_EQ(pane(), failure(1));
}

}  // namespace
}  // namespace quorbel::test
