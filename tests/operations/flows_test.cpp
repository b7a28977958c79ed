// Every operation without a window: a scripted host answers the panels and the sheet, the recording
// fake tool proves each argument list and standard input byte for byte, the pane is kept as text.
#include "operation_fixture.h"
#include "operations/change_band_size.h"
#include "operations/change_password.h"
#include "operations/compact.h"
#include "operations/create.h"
#include "operations/get_info.h"
#include "operations/resize.h"

namespace quorbel::test {
namespace {

// A path with spaces, quotes, non-ASCII letters and shell characters reaches the tool as one argument.
const QString bundle = QStringLiteral("/tmp/My \"Disk\" 'Ünïcødé' $HOME *.sparsebundle");
const std::string b = bundle.toStdString();
using Kind = OperationResult::Kind;

class FlowTest : public OperationTest {
 protected:
  void setControls(const QString& size, int sizeUnit, const QString& band, int bandUnit, int filesystem,
                   int encryption) {
    host.values = {size, sizeUnit, band, bandUnit, filesystem, encryption, false};
  }
};

TEST_F(FlowTest, GetInfoReplacesThePaneAndEndsSilentlyWithoutABundle) {
  tool.answer("imageinfo", "Format: UDSB\n");
  tool.answer("isencrypted", "encrypted: NO\n");
  host.pane = "earlier text\n";
  host.openAnswers = {bundle};
  EXPECT_EQ(run<GetInfoOperation>().kind, Kind::Done);
  const std::string info = "Sparsebundle info:\nFormat: UDSB\nencrypted: NO\n";
  EXPECT_EQ(pane(), info);
  for (const char* path : {"", "/V/notes.txt", "/V/Backup.sparsebundle.old"}) {
    host.openAnswers = {*path ? std::optional<QString>(path) : std::nullopt};
    EXPECT_NE(run<GetInfoOperation>().kind, Kind::Done) << path;
  }
  EXPECT_EQ(pane(), info);
  tool.answer("imageinfo", "ignored\n", 1, 0, "imageinfo: not a disk image\n");
  tool.answer("isencrypted", "ignored\n", 1, 0, "isencrypted: cannot read Info.plist\n");
  host.openAnswers = {bundle};
  const OperationResult failed = run<GetInfoOperation>();
  EXPECT_EQ(pane(), "Sparsebundle info:\n" + failure(1) + failure(1));  // the reason never reaches the pane
  EXPECT_EQ(failed.kind, Kind::Failed);
  EXPECT_EQ(failed.reason, "isencrypted: cannot read Info.plist");
  EXPECT_EQ(tool.calls(), (List{"imageinfo|" + b, "isencrypted|" + b, "imageinfo|" + b, "isencrypted|" + b}));
  EXPECT_EQ(host.asked.first(), "open:Get Info");
  EXPECT_EQ(tool.progressSetting(0), "unset");  // this runner was not told to ask for progress
}

// The four worked lists of Create.
TEST_F(FlowTest, PlainCreationRunsWithTheSavePanelsNameAndUnparsableNumbersRunNothing) {
  tool.answer("create", "created\n");
  host.pane = "before\n";
  setControls("500", 0, "16", 1, 4, 0);
  for (const char* path : {"/V/Share", "/V/Share.sparsebundle"}) {  // the save panel's name gains the extension
    host.saveAnswers = {path};
    EXPECT_EQ(run<CreateOperation>().kind, Kind::Done);
  }
  tool.answer("create", "half done\n", 1);
  host.saveAnswers = {"/V/Share.sparsebundle"};
  EXPECT_EQ(run<CreateOperation>().reason, "the disk-image tool ended with status 1");  // it said nothing
  for (const auto& [size, band] : {std::pair{"abc", "0"}, {"", "0"}, {"0", "0"}, {"1", "abc"}}) {
    setControls(size, 0, band, 0, 0, 0);
    host.saveAnswers = {"/V/Backup.sparsebundle"};
    EXPECT_EQ(run<CreateOperation>().kind, Kind::NothingDone);
  }
  setControls("1", 0, "0", 0, 0, 0);
  host.saveAnswers = {"/V/Backup.sparsebundle"};
  run<CreateOperation>();
  const std::string share =
      "create|-size|500m|-type|SPARSEBUNDLE|-imagekey|sparse-band-size=16777216|-fs|exFAT|"
      "-volname|Share|/V/Share.sparsebundle";
  EXPECT_EQ(tool.calls(), (List{share, share, share,
                                "create|-size|1m|-type|SPARSEBUNDLE|-fs|HFS+|-volname|Backup|"
                                "/V/Backup.sparsebundle"}));
  EXPECT_EQ(pane(), "before\ncreated\ncreated\n" + failure(1) + failure(1));  // no heading
  EXPECT_FALSE(host.asked.contains("password:new image"));
}

TEST_F(FlowTest, EncryptedCreationAsksFirstThenReadsTheRestWhenTheSavePanelCloses) {
  const std::string decomposed = QStringLiteral("cafe\u0301 🔑").toStdString();
  setControls("1", 0, "0", 0, 0, 1);
  host.passwordAnswers = {decomposed, std::string()};  // an empty password is a password
  host.saveAnswers = {"/V/Vault.sparsebundle", "/V/Media.Library.sparsebundle"};
  // Changed while the sheet and the save panel are open; encrypted all the same.
  setControls("100", 1, "64", 0, 2, 1);
  CreateOperation first(host, *runner);
  QObject::connect(&first, &Operation::finished, [] {});
  first.start();
  setControls("100", 1, "64", 0, 2, 0);
  ASSERT_TRUE(QTest::qWaitFor([&] { return first.isFinished(); }));
  EXPECT_FALSE(first.holdsPassword());
  setControls("2", 2, "0", 0, 3, 1);
  run<CreateOperation>();
  EXPECT_EQ(host.asked, (QStringList{"password:new image", "save", "password:new image", "save"}));
  EXPECT_EQ(
      tool.calls(),
      (List{"create|-size|100g|-type|SPARSEBUNDLE|-encryption|AES-256|-stdinpass|-imagekey|sparse-band-size=128000|"
            "-fs|APFS|-volname|Vault|/V/Vault.sparsebundle<" +
                decomposed,
            "create|-size|2t|-type|SPARSEBUNDLE|-encryption|AES-128|-stdinpass|-fs|Case-sensitive APFS|-volname|"
            "Media|/V/Media.Library.sparsebundle<"}));
}

TEST_F(FlowTest, ACancelledSheetOrPanelRunsNothingAndSaysSoWhereTheOperationDoes) {
  tool.answer("chpass", "changed\n");
  setControls("1", 0, "0", 0, 0, 2);
  host.passwordAnswers = {std::nullopt};  // sheet cancelled: nothing more is asked
  EXPECT_EQ(run<CreateOperation>().kind, Kind::Cancelled);
  host.passwordAnswers = {"kept"};
  host.saveAnswers = {std::nullopt};  // save panel cancelled after the sheet: silent
  EXPECT_EQ(run<CreateOperation>().kind, Kind::Cancelled);
  host.openAnswers = {std::nullopt};  // the open panel comes first
  run<ChangePasswordOperation>();
  host.openAnswers = {bundle};
  host.passwordAnswers = {std::nullopt};
  run<ChangePasswordOperation>();
  EXPECT_TRUE(tool.calls().empty());
  host.openAnswers = {bundle};
  host.passwordAnswers = {QStringLiteral("nouveau é").toStdString()};
  EXPECT_EQ(run<ChangePasswordOperation>().kind, Kind::Done);
  EXPECT_EQ(host.asked, (QStringList{"password:new image", "password:new image", "save", "open:Change password",
                                     "open:Change password", "password:new password", "open:Change password",
                                     "password:new password"}));
  EXPECT_EQ(pane(), "Cancelled creation of sparse bundle.\nCancelled change of password.\nChange password:\nchanged\n");
  EXPECT_EQ(tool.calls(), (List{"chpass|" + b + "|-newstdinpass<" + QStringLiteral("nouveau é").toStdString()}));
}

TEST_F(FlowTest, ResizeAndCompactSendTheirListsAndCompactHintsAfterFailures) {
  for (const char* size : {"1.5", "abc", ""}) {
    setControls(size, 2, "0", 0, 0, 0);
    host.openAnswers = {bundle};
    run<ResizeOperation>();
  }
  tool.answer("compact", "reclaimed\n", 1, 0, "compact: the volume is busy\nsecond line\n");
  host.values.batteryAllowed = true;
  host.openAnswers = {bundle};
  const OperationResult failed = run<CompactOperation>();
  EXPECT_EQ(failed.reason, "compact: the volume is busy\nsecond line");
  tool.answer("compact", "ERROR FAILED\n");
  host.values.batteryAllowed = false;
  host.openAnswers = {bundle};
  run<CompactOperation>();
  tool.answer("compact", "compaction failed\n");
  host.openAnswers = {bundle};
  run<CompactOperation>();
  EXPECT_EQ(tool.calls(),
            (List{"resize|-size|1.5t|" + b, "compact|-batteryallowed|" + b, "compact|" + b, "compact|" + b}));
  const std::string hint =
      "If this failed, is your Mac running on battery?\nIf so, to compact the sparse bundle "
      "either tick the Battery checkbox or connect your Mac to mains power, and try again.\n";
  EXPECT_EQ(pane(), "Resize:\nCompact:\n" + failure(1) + hint + "Compact:\nERROR FAILED\n" +
                        "Compact:\ncompaction failed\n" + hint);
}

TEST_F(FlowTest, ChangeBandSizeRefusesEncryptedSourcesThenReadsTheBandSizeAfterTheSavePanel) {
  tool.answer("isencrypted", "encrypted: YES\n");
  tool.answer("convert", "converted\n");
  host.pane = "earlier\n";
  host.openAnswers = {bundle};
  run<ChangeBandSizeOperation>();
  EXPECT_EQ(host.asked, QStringList{"open:Change band size"});  // refused before the save panel
  tool.answer("isencrypted", "encrypted: yes\n");               // another letter case is no encryption
  for (const char* band : {"0", "0.5", "abc", "2.9", "8"}) {
    host.openAnswers = {bundle};
    host.saveAnswers = {"/b/New.sparsebundle"};
    setControls("1", 0, "1", 0, 0, 0);
    ChangeBandSizeOperation operation(host, *runner);
    operation.start();
    // Typed once the encryption test has run, while the save panel is open.
    ASSERT_TRUE(QTest::qWaitFor([&] { return host.asked.back().startsWith("save"); }));
    host.values.bandSizeText = band;
    ASSERT_TRUE(QTest::qWaitFor([&] { return operation.isFinished(); }));
  }
  const std::string test = "isencrypted|" + b,
                    convert = "convert|" + b + "|-format|UDSB|-o|/b/New.sparsebundle|-imagekey|";
  EXPECT_EQ(tool.calls(), (List{test, test, test, test, test, convert + "sparse-band-size=4000", test,
                                convert + "sparse-band-size=16000"}));
  EXPECT_EQ(pane(),
            "earlier\nCan't change band size for an encrypted sparse bundle.\n"
            "Change band size:\nconverted\nChange band size:\nconverted\n");
}

// What the status line says at each end: Done only after the tool did the work; a silent end by the
// operation's rules says why; the user's own cancel (panel, sheet, the tool's password dialog) is no
// failure.
TEST_F(FlowTest, EveryEndTellsTheStatusLineHowItEnded) {
  tool.answer("isencrypted", "encrypted: NO\n");
  tool.answer("convert", "converted\n");
  tool.answer("compact", "", 1, 0, "quorbel-imagetool: compact: cancelled\n");
  tool.answer("resize", "", 1, 0, "quorbel-imagetool: resize: cancelled halfway\nthe disk is full\n");
  const auto with = [&](const char* size, const char* band, std::optional<QString> open, std::optional<QString> save) {
    setControls(size, 0, band, 0, 0, 0);
    host.openAnswers = {std::move(open)};
    host.saveAnswers = {std::move(save)};
  };
  const std::optional<QString> none, saved = QStringLiteral("/b/New.sparsebundle");
  struct Case {
    const char* name;
    std::function<OperationResult()> run;
    QString status;
  } const cases[] = {
      {"Change band size", [&] { return with("1", "0", bundle, saved), run<ChangeBandSizeOperation>(); },
       "Nothing was done: the band size must be a whole number of 1 or more"},
      {"Change band size", [&] { return with("1", "8", bundle, saved), run<ChangeBandSizeOperation>(); }, "Done"},
      {"Create", [&] { return with("zehn", "0", none, saved), run<CreateOperation>(); },
       "Nothing was done: the maximum size must be a number above 0"},
      {"Create", [&] { return with("1", "-1", none, saved), run<CreateOperation>(); },
       "Nothing was done: the band size must be a number of 0 or more"},
      {"Resize", [&] { return with("", "0", bundle, none), run<ResizeOperation>(); },
       "Nothing was done: the maximum size must be a number above 0"},
      {"Get info", [&] { return with("1", "0", "/V/notes.txt", none), run<GetInfoOperation>(); },
       "Nothing was done: “notes.txt” is not a sparse bundle"},
      {"Get info", [&] { return with("1", "0", none, none), run<GetInfoOperation>(); }, "Cancelled"},
      {"Create", [&] { return with("1", "0", none, none), run<CreateOperation>(); }, "Cancelled"},
      {"Compact", [&] { return with("1", "0", bundle, none), run<CompactOperation>(); }, "Cancelled"},
      {"Resize", [&] { return with("1", "0", bundle, none), run<ResizeOperation>(); },
       "Resize failed: quorbel-imagetool: resize: cancelled halfway\nthe disk is full"},
  };
  for (const Case& c : cases) EXPECT_EQ(statusText(c.name, c.run()), c.status) << &c - cases;
  tool.answer("isencrypted", "encrypted: YES\n");
  with("1", "8", bundle, saved);
  EXPECT_EQ(statusText("Change band size", run<ChangeBandSizeOperation>()),
            "Nothing was done: the sparse bundle is encrypted");
  EXPECT_EQ(tool.calls().size(), 6u);  // two encryption tests, one conversion, compact, resize, one test
}

TEST_F(FlowTest, OneStepAtATimeAndAGoneOperationHearsNothing) {
  tool.answer("compact", "slow\n", 0, 0.5);
  host.openAnswers = {bundle};
  auto operation = std::make_unique<CompactOperation>(host, *runner);
  operation->start();
  ASSERT_TRUE(QTest::qWaitFor([&] { return runner->running(); }));
  EXPECT_FALSE(runner->start({"imageinfo"}, std::nullopt, [](ToolOutcome) {}));  // refused while one runs
  operation.reset();  // the window went away mid-run: its completion must not touch it
  ASSERT_TRUE(QTest::qWaitFor([&] { return !runner->running(); }));
  EXPECT_EQ(pane(), "");
  EXPECT_EQ(tool.calls().size(), 1u);
}

}  // namespace
}  // namespace quorbel::test
