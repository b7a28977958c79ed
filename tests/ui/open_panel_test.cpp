// The real Linux open panel: a *.sparsebundle folder is picked as one item.
#include <QDir>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QListView>
#include <QTemporaryDir>

#include "window_fixture.h"

namespace quorbel::test {
namespace {

class OpenPanelTest : public WindowTest {
 protected:
  // The open panel on screen, showing the scratch folder once its listing has loaded.
  QFileDialog* openPanelAtScratch() {
    QDir(folder.path()).mkpath("Disk One.sparsebundle/bands");
    QDir(folder.path()).mkpath("Plain folder");
    QFileDialog* dialog = nullptr;
    if (!QTest::qWaitFor([&] { return (dialog = window->findChild<QFileDialog*>("openPanel")) && dialog->isVisible(); }))
      return nullptr;
    dialog->setDirectory(folder.path());
    auto* model = dialog->findChild<QFileSystemModel*>();
    EXPECT_TRUE(QTest::qWaitFor([&] { return model->rowCount(model->index(folder.path())) == 2; }));
    return dialog;
  }
  QString inScratch(const QString& name) const { return QDir(folder.path()).filePath(name); }
  QTemporaryDir folder;
};

TEST_F(OpenPanelTest, DoubleClickingASparseBundleFolderChoosesIt) {
  tool.answer("imageinfo", "info\n");
  press("Get info");
  QFileDialog* dialog = openPanelAtScratch();
  ASSERT_NE(dialog, nullptr);
  EXPECT_TRUE(dialog->testOption(QFileDialog::DontUseNativeDialog));
  auto* list = dialog->findChild<QListView*>("listView");
  QModelIndex row;
  for (int r = 0; r < list->model()->rowCount(list->rootIndex()); ++r)
    if (list->model()->index(r, 0, list->rootIndex()).data().toString() == "Disk One.sparsebundle")
      row = list->model()->index(r, 0, list->rootIndex());
  ASSERT_TRUE(row.isValid());
  const QPoint centre = list->visualRect(row).center();
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, centre);
  QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, centre);

  ASSERT_TRUE(QTest::qWaitFor([&] { return tool.calls().size() == 2; }));
  EXPECT_EQ(tool.calls()[0].arguments, (List{"imageinfo", inScratch("Disk One.sparsebundle").toStdString()}));
  EXPECT_EQ(pane(), "Sparsebundle info:\ninfo\n");
}

TEST_F(OpenPanelTest, TypingTheNameChoosesItAndAnOrdinaryFolderRunsNothing) {
  for (const char* name : {"Plain folder", "Disk One.sparsebundle"}) {
    press("Compact");
    QFileDialog* dialog = openPanelAtScratch();
    ASSERT_NE(dialog, nullptr);
    QTest::keyClicks(dialog->findChild<QLineEdit*>("fileNameEdit"), name);
    QTest::keyClick(dialog->findChild<QLineEdit*>("fileNameEdit"), Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window->findChild<QFileDialog*>("openPanel"); }));
    settle();
  }
  const auto calls = tool.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].arguments, (List{"compact", inScratch("Disk One.sparsebundle").toStdString()}));
}

}  // namespace
}  // namespace quorbel::test
