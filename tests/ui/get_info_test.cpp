// Get info end to end through the recording fake tool, and the window while a tool runs.
#include <QCursor>
#include <QLabel>
#include <QTimer>

#include "window_fixture.h"

namespace quorbel::test {
namespace {

class GetInfoTest : public WindowTest {
 protected:
  void getInfo(const std::optional<QString>& path) {
    controller->setNextOpenPath(path);
    press("Get info");
    settle();
  }
};

const QString bundle = QStringLiteral("/Volumes/Data/Backup.sparsebundle");

TEST_F(GetInfoTest, ReplacesThePaneWithTheHeadingAndBothReports) {
  tool.answer("imageinfo", "Format: UDSB\nSize: 1048576\n");
  tool.answer("isencrypted", "encrypted: NO\n");
  controller->append("earlier text\n");
  getInfo(bundle);
  EXPECT_EQ(pane(), "Sparsebundle info:\nFormat: UDSB\nSize: 1048576\nencrypted: NO\n");

  const auto calls = tool.calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].arguments, (std::vector<std::string>{"imageinfo", bundle.toStdString()}));
  EXPECT_EQ(calls[1].arguments, (std::vector<std::string>{"isencrypted", bundle.toStdString()}));
  EXPECT_FALSE(calls[0].standardInput.has_value());
  EXPECT_FALSE(calls[1].standardInput.has_value());
}

TEST_F(GetInfoTest, BothFailuresStillReplaceThePaneAndNothingIsInsertedBetweenReports) {
  tool.answer("imageinfo", "ignored\n", 1);
  tool.answer("isencrypted", "ignored\n", 1);
  controller->append("earlier text\n");
  getInfo(bundle);
  EXPECT_EQ(pane(), "Sparsebundle info:\n" + failure(1) + failure(1));
  EXPECT_EQ(tool.calls().size(), 2u);

  tool.answer("imageinfo", "no line feed");
  tool.answer("isencrypted", "encrypted: NO");
  getInfo(bundle);
  EXPECT_EQ(pane(), "Sparsebundle info:\nno line feedencrypted: NO");
}

TEST_F(GetInfoTest, CancelOrAPathThatIsNoBundleLeavesEverythingAsItWas) {
  controller->append("kept\n");
  getInfo(std::nullopt);
  getInfo(QStringLiteral("/Volumes/Data/notes.txt"));
  getInfo(QStringLiteral("/Volumes/Data/Backup.sparsebundle.old"));
  EXPECT_EQ(pane(), "kept\n");
  EXPECT_TRUE(tool.calls().empty());
}

TEST_F(GetInfoTest, AnAwkwardPathReachesTheToolAsOneUnchangedArgument) {
  const QString awkward = QStringLiteral("/tmp/My \"Disk\" 'Ünïcødé' $HOME *.sparsebundle");
  getInfo(awkward);
  const auto calls = tool.calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].arguments, (std::vector<std::string>{"imageinfo", awkward.toStdString()}));
  EXPECT_EQ(calls[1].arguments, (std::vector<std::string>{"isencrypted", awkward.toStdString()}));
}

TEST_F(GetInfoTest, WhileAToolRunsTheWindowPaintsShowsWhatRunsAndIgnoresPresses) {
  tool.answer("imageinfo", "info\n");
  tool.workFor("imageinfo", 600);
  controller->setNextOpenPath(bundle);
  // A second operation's answer, which would be used if a second press started anything.
  controller->setNextOpenPath(bundle);

  QString statusDuringRun;
  bool busyCursor = false;
  int ticks = 0;
  QTimer during;
  QObject::connect(&during, &QTimer::timeout, [&] {
    ++ticks;
    if (ticks != 3) return;
    statusDuringRun = window->findChild<QLabel*>("statusLine")->text();
    busyCursor = QApplication::overrideCursor() && QApplication::overrideCursor()->shape() == Qt::WaitCursor;
    press("Get info");
    press("Resize");
    controller->doCompactButton();
  });
  during.start(50);
  press("Get info");
  settle();
  during.stop();

  EXPECT_GE(ticks, 5);  // events went on being handled while the tool worked
  EXPECT_EQ(statusDuringRun, "Running: Get info…");
  EXPECT_TRUE(busyCursor);
  EXPECT_EQ(tool.calls().size(), 2u);  // imageinfo and isencrypted of the one Get info
  EXPECT_EQ(window->findChild<QLabel*>("statusLine")->text(), "Ready");
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);

  // Once the run is over the window works again.
  press("Get info");
  settle();
  EXPECT_EQ(tool.calls().size(), 4u);
}

}  // namespace
}  // namespace quorbel::test
