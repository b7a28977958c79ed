// The window against the real Linux disk-image tool, checked on disk. Skipped where the tool has
// not been built.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "window_fixture.h"

namespace quorbel::test {
namespace {

long long bandSizeOf(const QString& bundle) {
  QFile plist(QDir(bundle).filePath("Info.plist"));
  if (!plist.open(QIODevice::ReadOnly)) return -1;
  const auto match = QRegularExpression("<key>band-size</key>\\s*<integer>(\\d+)</integer>").match(plist.readAll());
  return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

TEST(EndToEnd, CreateGetInfoCompactAndChangeBandSizeOnDisk) {
  if (!QFileInfo(QString::fromStdString(defaultHdiutilCommand())).isExecutable())
    GTEST_SKIP() << "quorbel-imagetool is not built beside the tests: " << defaultHdiutilCommand();
  QTemporaryDir scratch;
  auto* controller = new ViewController();  // the tool beside the application's executable
  MainWindow window(controller);
  window.show();
  auto run = [&](void (ViewController::*action)()) {
    (controller->*action)();
    for (int i = 0; i < 10; ++i) QCoreApplication::processEvents();
    return controller->outputText().toStdString();
  };

  const QString bundle = scratch.filePath("Shared Data.sparsebundle");
  controller->maxSizeTextbox->setText("64");
  controller->bandSizeTextbox->setText("1");
  controller->filesystemPopup->setCurrentText("exFAT");
  controller->setNextSavePath(bundle);
  const std::string created = run(&ViewController::doCreateButton);
  EXPECT_EQ(created.find("\xE2\x9A\xA0"), std::string::npos) << created;
  EXPECT_TRUE(QFileInfo(QDir(bundle).filePath("token")).exists());
  EXPECT_TRUE(QFileInfo(QDir(bundle).filePath("bands")).isDir());
  EXPECT_EQ(bandSizeOf(bundle), 2048 * 512);

  controller->setNextOpenPath(bundle);
  const std::string info = run(&ViewController::doGetInfoButton);
  EXPECT_EQ(info.rfind("Sparsebundle info:\n", 0), 0u) << info;
  EXPECT_TRUE(info.ends_with("encrypted: NO\n")) << info;

  controller->setNextOpenPath(bundle);
  const std::string compacted = run(&ViewController::doCompactButton).substr(info.size());
  EXPECT_EQ(compacted.rfind("Compact:\n", 0), 0u) << compacted;
  EXPECT_EQ(compacted.find("\xE2\x9A\xA0"), std::string::npos) << compacted;

  const QString converted = scratch.filePath("Shared Data 8MB.sparsebundle");
  controller->bandSizeTextbox->setText("8");
  controller->setNextOpenPath(bundle);
  controller->setNextSavePath(converted);
  const std::string changed = run(&ViewController::doChangeBandButton);
  EXPECT_NE(changed.find("Change band size:\n"), std::string::npos) << changed;
  EXPECT_EQ(bandSizeOf(converted), 16000LL * 512);
  EXPECT_EQ(bandSizeOf(bundle), 2048 * 512);  // the source is left as it was
}

}  // namespace
}  // namespace quorbel::test
