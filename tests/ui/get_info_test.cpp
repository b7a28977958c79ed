// Get info end to end through the recording fake tool, and the window while a tool runs.
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

const QString bundle = QStringLiteral("/tmp/My \"Disk\" 'Ünïcødé' $HOME *.sparsebundle");

TEST_F(GetInfoTest, ReplacesThePaneWithHeadingAndBothReportsPathAsOneArgument) {
  tool.answer("imageinfo", "Format: UDSB\n");
  tool.answer("isencrypted", "encrypted: NO\n");
  controller->append("earlier text\n");
  getInfo(bundle);
  EXPECT_EQ(pane(), "Sparsebundle info:\nFormat: UDSB\nencrypted: NO\n");
  const auto calls = tool.calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].arguments, (List{"imageinfo", bundle.toStdString()}));
  EXPECT_EQ(calls[1].arguments, (List{"isencrypted", bundle.toStdString()}));
  EXPECT_FALSE(calls[0].standardInput || calls[1].standardInput);
}

TEST_F(GetInfoTest, FailuresAndUnterminatedReportsFollowEachOtherUnchanged) {
  tool.answer("imageinfo", "ignored\n", 1);
  tool.answer("isencrypted", "ignored\n", 1);
  getInfo(bundle);
  EXPECT_EQ(pane(), "Sparsebundle info:\n" + failure(1) + failure(1));
  tool.answer("imageinfo", "no line feed");
  tool.answer("isencrypted", "encrypted: NO");
  getInfo(bundle);
  EXPECT_EQ(pane(), "Sparsebundle info:\nno line feedencrypted: NO");
}

TEST_F(GetInfoTest, CancelOrAPathThatIsNoBundleChangesNothing) {
  controller->append("kept\n");
  getInfo(std::nullopt);
  getInfo(QStringLiteral("/Volumes/Data/notes.txt"));
  getInfo(QStringLiteral("/Volumes/Data/Backup.sparsebundle.old"));
  EXPECT_EQ(pane(), "kept\n");
  EXPECT_TRUE(tool.calls().empty());
}

TEST_F(GetInfoTest, WhileAToolRunsTheWindowPaintsShowsWhatRunsAndIgnoresPresses) {
  tool.workFor("imageinfo", 0.6);
  controller->setNextOpenPath(bundle);
  controller->setNextOpenPath(bundle);  // would be taken by a second operation if one started
  QString status;
  bool busyCursor = false;
  int ticks = 0;
  QTimer during;
  QObject::connect(&during, &QTimer::timeout, [&] {
    if (++ticks != 3) return;
    status = window->findChild<QLabel*>("statusLine")->text();
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
  EXPECT_EQ(status, "Running: Get info…");
  EXPECT_TRUE(busyCursor);
  EXPECT_EQ(tool.calls().size(), 2u);  // the one Get info's two runs
  EXPECT_EQ(window->findChild<QLabel*>("statusLine")->text(), "Ready");
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  press("Get info");  // once the run is over the window works again
  settle();
  EXPECT_EQ(tool.calls().size(), 4u);
}

}  // namespace
}  // namespace quorbel::test
