// The window against the real Linux disk-image tool, checked on disk. Skipped where the tool has
// not been built.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "flow_fixture.h"

namespace quorbel::test {
namespace {

class EndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!QFileInfo(QString::fromStdString(defaultHdiutilCommand())).isExecutable())
      GTEST_SKIP() << "quorbel-imagetool is not built beside the tests: " << defaultHdiutilCommand();
    ASSERT_TRUE(scratch.isValid());
    controller = new ViewController();  // the tool beside the application's executable
    controller->setTerminate([] {});
    window = std::make_unique<MainWindow>(controller);
    window->show();
  }
  void press(const char* name) {
    for (QAbstractButton* button : window->findChildren<QAbstractButton*>())
      if (button->accessibleName() == name) return QTest::mouseClick(button, Qt::LeftButton);
    FAIL() << "no button " << name;
  }
  void settle() {
    for (int i = 0; i < 10; ++i) QCoreApplication::processEvents();
  }
  QString path(const QString& name) const { return QDir(scratch.path()).filePath(name); }
  QString infoPlist(const QString& bundle) const {
    QFile file(QDir(bundle).filePath("Info.plist"));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
  }
  static long long bandSize(const QString& plist) {
    const auto match = QRegularExpression("<key>band-size</key>\\s*<integer>(\\d+)</integer>").match(plist);
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
  }

  QTemporaryDir scratch;
  ViewController* controller = nullptr;
  std::unique_ptr<MainWindow> window;
};

TEST_F(EndToEndTest, CreateGetInfoCompactAndChangeBandSizeOnDisk) {
  const QString bundle = path("Shared Data.sparsebundle");
  controller->maxSizeTextbox->setText("64");
  controller->maxSizePopup->setCurrentIndex(0);
  controller->bandSizeTextbox->setText("1");
  controller->filesystemPopup->setCurrentText("exFAT");
  controller->setNextSavePath(bundle);
  press("Create");
  settle();
  const std::string afterCreate = controller->outputText().toStdString();
  EXPECT_EQ(afterCreate.find("\xE2\x9A\xA0"), std::string::npos) << afterCreate;
  ASSERT_TRUE(QFileInfo(bundle).isDir()) << afterCreate;
  EXPECT_TRUE(QFileInfo(QDir(bundle).filePath("token")).exists());
  EXPECT_TRUE(QFileInfo(QDir(bundle).filePath("bands")).isDir());
  EXPECT_EQ(bandSize(infoPlist(bundle)), 2048 * 512);

  controller->setNextOpenPath(bundle);
  press("Get info");
  settle();
  const QString info = controller->outputText();
  EXPECT_TRUE(info.startsWith("Sparsebundle info:\n")) << info.toStdString();
  EXPECT_TRUE(info.endsWith("encrypted: NO\n")) << info.toStdString();

  controller->setNextOpenPath(bundle);
  press("Compact");
  settle();
  const QString compacted = controller->outputText().mid(info.size());
  EXPECT_TRUE(compacted.startsWith("Compact:\n")) << compacted.toStdString();
  EXPECT_FALSE(compacted.contains(QStringLiteral("\u26A0"))) << compacted.toStdString();

  const QString converted = path("Shared Data 8MB.sparsebundle");
  controller->bandSizeTextbox->setText("8");
  controller->setNextOpenPath(bundle);
  controller->setNextSavePath(converted);
  press("Change band size");
  settle();
  const QString changed = controller->outputText();
  EXPECT_TRUE(changed.contains("Change band size:\n")) << changed.toStdString();
  ASSERT_TRUE(QFileInfo(converted).isDir()) << changed.toStdString();
  EXPECT_EQ(bandSize(infoPlist(converted)), 16000LL * 512);
  EXPECT_EQ(bandSize(infoPlist(bundle)), 2048 * 512);  // the source is left as it was
}

}  // namespace
}  // namespace quorbel::test
