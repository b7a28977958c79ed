// Every operation through the window: against the recording fake tool, with the password sheet
// where an operation asks for a password, and against the real Linux tool, checked on disk.
#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QPushButton>
#include <QRegularExpression>

#include "ui/notification_center.h"
#include "ui/password_view_controller.h"
#include "window_fixture.h"

namespace quorbel::test {
namespace {

// A path with spaces, quotes, non-ASCII letters and shell characters reaches the tool as one argument.
const QString bundle = QStringLiteral("/tmp/My \"Disk\" 'Ünïcødé' $HOME *.sparsebundle");
const std::string b = bundle.toStdString();

class FlowTest : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    for (const char* name : {passwordOkNotification, passwordCancelNotification})
      NotificationCenter::defaultCenter().addObserver(&observer, name, [this](const Notification& n) { posted.push_back(n); });
  }
  void TearDown() override { NotificationCenter::defaultCenter().removeObserver(&observer); }

  void setControls(const QString& size, int sizeUnit, const QString& band, int bandUnit, int filesystem, int encryption) {
    type("Maximum size", size);
    choose("Size unit", sizeUnit);
    type("Band size", band);
    choose("Band unit", bandUnit);
    choose("File system", filesystem);
    choose("Encryption", encryption);
  }
  void create(const std::optional<QString>& savePath) {
    controller->setNextSavePath(savePath);
    run("Create");
  }
  bool sheetShown() const { return controller->passwordSheet() && controller->passwordSheet()->isVisible(); }
  // Sets both entries (directly: an input method may type a decomposed letter that key events cannot)
  // and presses Set; or presses Cancel for nullopt.
  void answerSheet(const std::optional<QString>& first, const std::optional<QString>& second = std::nullopt) {
    ASSERT_TRUE(sheetShown()) << "no password sheet on screen";
    PasswordViewController* sheet = controller->passwordSheet();
    sheet->password1Textbox()->setText(first.value_or("typed"));
    sheet->password2Textbox()->setText(second.value_or(first.value_or("")));
    QTest::mouseClick(sheet->findChild<QPushButton*>(first ? "setButton" : "cancelButton"), Qt::LeftButton);
  }

  QObject observer;
  std::vector<Notification> posted;
};

TEST_F(FlowTest, GetInfoReplacesThePaneAndEndsSilentlyWithoutABundle) {
  tool.answer("imageinfo", "Format: UDSB\n");
  tool.answer("isencrypted", "encrypted: NO\n");
  controller->append("earlier text\n");
  open("Get info", bundle);
  const std::string info = "Sparsebundle info:\nFormat: UDSB\nencrypted: NO\n";
  EXPECT_EQ(pane(), info);
  for (const char* path : {"", "/V/notes.txt", "/V/Backup.sparsebundle.old"})
    open("Get info", *path ? std::optional<QString>(path) : std::nullopt);
  EXPECT_EQ(pane(), info);
  tool.answer("imageinfo", "ignored\n", 1);
  tool.answer("isencrypted", "ignored\n", 1);
  open("Get info", bundle);
  EXPECT_EQ(pane(), "Sparsebundle info:\n" + failure(1) + failure(1));
  EXPECT_EQ(tool.calls(), (List{"imageinfo|" + b, "isencrypted|" + b, "imageinfo|" + b, "isencrypted|" + b}));
}

// Through the window, the four worked lists of Create.
TEST_F(FlowTest, PlainCreationRunsAtOnceWithTheSavePanelsNameAndUnparsableNumbersRunNothing) {
  tool.answer("create", "created\n");
  controller->append("before\n");
  setControls("500", 0, "16", 1, 4, 0);
  create("/V/Share");  // the save panel's name gains the extension
  create("/V/Share.sparsebundle");
  tool.answer("create", "half done\n", 1);
  create("/V/Share.sparsebundle");
  for (const char* size : {"abc", "", "0"}) {
    setControls(size, 0, "0", 0, 0, 0);
    create("/V/Backup.sparsebundle");
  }
  setControls("1", 0, "abc", 0, 0, 0);
  create("/V/Backup.sparsebundle");
  type("Band size", "0");
  create("/V/Backup.sparsebundle");
  const std::string share = "create|-size|500m|-type|SPARSEBUNDLE|-imagekey|sparse-band-size=16777216|-fs|exFAT|"
                            "-volname|Share|/V/Share.sparsebundle";
  EXPECT_EQ(tool.calls(), (List{share, share, share, "create|-size|1m|-type|SPARSEBUNDLE|-fs|HFS+|-volname|Backup|"
                                                     "/V/Backup.sparsebundle"}));
  EXPECT_EQ(pane(), "before\ncreated\ncreated\n" + failure(1) + failure(1));  // no heading
}

TEST_F(FlowTest, EncryptedCreationTakesMatchingEntriesAndReadsTheRestWhenTheSavePanelCloses) {
  choose("Encryption", 1);
  create("/V/Vault.sparsebundle");
  EXPECT_TRUE(tool.calls().empty());  // the save panel waits for the sheet
  answerSheet("Secret", "secret");    // letter case differs: rejected, confirmation emptied and highlighted
  EXPECT_TRUE(sheetShown() && posted.empty());
  EXPECT_EQ(controller->passwordSheet()->password2Textbox()->text(), "");
  EXPECT_TRUE(controller->passwordSheet()->confirmationHighlighted());
  const QString decomposed = QStringLiteral("cafe\u0301 A\u030Angstro\u0308m 🔑");
  answerSheet(decomposed, QStringLiteral("caf\u00E9 \u00C5ngstr\u00F6m 🔑"));
  EXPECT_FALSE(sheetShown());
  setControls("100", 1, "64", 0, 2, 0);  // changed while the save panel is open; encrypted all the same
  settle();
  setControls("2", 2, "0", 0, 3, 1);
  create("/V/Media.Library.sparsebundle");
  answerSheet("");  // an empty password is a password
  settle();
  EXPECT_EQ(tool.calls(),
            (List{"create|-size|100g|-type|SPARSEBUNDLE|-encryption|AES-256|-stdinpass|-imagekey|sparse-band-size=128000|"
                  "-fs|APFS|-volname|Vault|/V/Vault.sparsebundle<" + decomposed.toStdString(),
                  "create|-size|2t|-type|SPARSEBUNDLE|-encryption|AES-128|-stdinpass|-fs|Case-sensitive APFS|-volname|"
                  "Media|/V/Media.Library.sparsebundle<"}));
}

TEST_F(FlowTest, ACancelledSheetOrSavePanelRunsNothingAndTheSheetAnswersItsOwnOperation) {
  tool.answer("chpass", "changed\n");
  choose("Encryption", 2);
  create(std::nullopt);  // save panel cancelled
  answerSheet("kept");
  settle();
  EXPECT_EQ(controller->encryptPassword(), "kept");
  run("Create");
  QTest::keyClick(controller->passwordSheet(), Qt::Key_Escape);
  open("Change password", std::nullopt);
  EXPECT_FALSE(sheetShown());  // the open panel comes first
  open("Change password", bundle);
  answerSheet(std::nullopt);
  EXPECT_TRUE(tool.calls().empty());
  ASSERT_EQ(posted.size(), 3u);
  for (size_t i = 1; i < posted.size(); ++i) EXPECT_TRUE(posted[i].name == "Password-Cancel" && posted[i].userInfo.isEmpty());
  create("/V/New.sparsebundle");
  answerSheet("for the new image");
  settle();
  open("Change password", bundle);
  EXPECT_EQ(tool.calls().size(), 1u);  // the new password comes first
  answerSheet(QStringLiteral("nouveau é"));
  settle();
  EXPECT_EQ(pane(), "Cancelled creation of sparse bundle.\nCancelled change of password.\nChange password:\nchanged\n");
  ASSERT_EQ(tool.calls().size(), 2u);
  EXPECT_TRUE(tool.calls()[0].ends_with("/V/New.sparsebundle<for the new image"));
  EXPECT_EQ(tool.calls()[1], "chpass|" + b + "|-newstdinpass<" + QStringLiteral("nouveau é").toStdString());
  EXPECT_EQ(controller->encryptPassword(), "for the new image");  // neither read nor changed by chpass
}

TEST_F(FlowTest, ResizeAndCompactSendTheirListsAndCompactHintsAfterFailures) {
  choose("Size unit", 2);
  for (const char* size : {"1.5", "abc", ""}) {
    type("Maximum size", size);
    open("Resize", bundle);
  }
  auto* battery = control<QCheckBox>("Battery");
  tool.answer("compact", "reclaimed\n", 1);
  battery->setChecked(true);
  open("Compact", bundle);
  tool.answer("compact", "ERROR FAILED\n");
  battery->setTristate(true);
  battery->setCheckState(Qt::PartiallyChecked);
  open("Compact", bundle);
  tool.answer("compact", "compaction failed\n");
  open("Compact", bundle);
  EXPECT_EQ(tool.calls(), (List{"resize|-size|1.5t|" + b, "compact|-batteryallowed|" + b, "compact|" + b, "compact|" + b}));
  const std::string hint = "If this failed, is your Mac running on battery?\nIf so, to compact the sparse bundle "
                           "either tick the Battery checkbox or connect your Mac to mains power, and try again.\n";
  EXPECT_EQ(pane(), "Resize:\nCompact:\n" + failure(1) + hint + "Compact:\nERROR FAILED\n" +
                        "Compact:\ncompaction failed\n" + hint);
}

TEST_F(FlowTest, ChangeBandSizeRefusesEncryptedSourcesThenReadsTheBandSizeAfterTheSavePanel) {
  tool.answer("isencrypted", "encrypted: YES\n");
  tool.answer("convert", "converted\n");
  controller->append("earlier\n");
  open("Change band size", bundle);
  EXPECT_EQ(window->findChild<QFileDialog*>("savePanel"), nullptr);  // refused before the save panel
  tool.answer("isencrypted", "encrypted: yes\n");  // another letter case is no encryption
  for (const char* band : {"0", "0.5", "abc", "2.9", "8"}) {  // typed while the save panel is open
    type("Band size", "1");
    controller->setNextOpenPath(bundle);
    controller->setNextSavePath("/b/New.sparsebundle");
    press("Change band size");
    QCoreApplication::processEvents();  // the open panel closes: only the encryption test has run
    EXPECT_EQ(tool.calls().back(), "isencrypted|" + b) << band;
    type("Band size", band);
    settle();
  }
  const std::string test = "isencrypted|" + b, convert = "convert|" + b + "|-format|UDSB|-o|/b/New.sparsebundle|-imagekey|";
  EXPECT_EQ(tool.calls(), (List{test, test, test, test, test, convert + "sparse-band-size=4000", test,
                                convert + "sparse-band-size=16000"}));
  EXPECT_EQ(pane(), "earlier\nCan't change band size for an encrypted sparse bundle.\n"
                    "Change band size:\nconverted\nChange band size:\nconverted\n");
}

// The real tool sits beside the tests' executables once it is built.
class EndToEnd : public FlowTest {
 protected:
  EndToEnd() { toolPath = defaultHdiutilCommand(); }
};

long long bandBytes(const QString& bundle) {
  QFile plist(QDir(bundle).filePath("Info.plist"));
  if (!plist.open(QIODevice::ReadOnly)) return -1;
  const auto match = QRegularExpression("<key>band-size</key>\\s*<integer>(\\d+)</integer>").match(plist.readAll());
  return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

TEST_F(EndToEnd, CreateGetInfoCompactAndChangeBandSizeOnDisk) {
  if (!QFileInfo(QString::fromStdString(toolPath)).isExecutable()) GTEST_SKIP() << toolPath << " is not built";
  QTemporaryDir scratch;
  const QString created = scratch.filePath("Shared Data.sparsebundle"), converted = scratch.filePath("8MB.sparsebundle");
  setControls("64", 0, "1", 0, 4, 0);
  create(created);
  EXPECT_TRUE(QFileInfo(QDir(created).filePath("token")).exists() && QDir(created).exists("bands"));
  open("Get info", created);
  EXPECT_TRUE(pane().starts_with("Sparsebundle info:\n") && pane().ends_with("encrypted: NO\n")) << pane();
  const size_t infoEnd = pane().size();
  open("Compact", created);
  EXPECT_EQ(pane().find("Compact:\n"), infoEnd) << pane();
  type("Band size", "8");
  controller->setNextSavePath(converted);
  open("Change band size", created);
  EXPECT_NE(pane().find("Change band size:\n"), std::string::npos) << pane();
  EXPECT_EQ(pane().find("\xE2\x9A\xA0"), std::string::npos) << pane();  // no run failed
  EXPECT_EQ(bandBytes(created), 2048 * 512);  // made with 1 MB bands, and left as it was
  EXPECT_EQ(bandBytes(converted), 16000LL * 512);
}

}  // namespace
}  // namespace quorbel::test
