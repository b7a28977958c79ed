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
  void SetUp() override {
    WindowTest::SetUp();
    ASSERT_TRUE(folder.isValid());
    QDir root(folder.path());
    ASSERT_TRUE(root.mkpath("Disk One.sparsebundle/bands"));
    ASSERT_TRUE(root.mkpath("Plain folder"));
  }

  QFileDialog* openPanel() {
    QFileDialog* dialog = nullptr;
    EXPECT_TRUE(QTest::qWaitFor([&] { return (dialog = window->findChild<QFileDialog*>("openPanel")) && dialog->isVisible(); }));
    return dialog;
  }

  // Waits until the dialog lists the entry and returns its place in the list.
  QModelIndex entry(QFileDialog* dialog, const QString& name) {
    auto* model = dialog->findChild<QFileSystemModel*>();
    const QString path = QDir(folder.path()).filePath(name);
    QModelIndex index;
    EXPECT_TRUE(QTest::qWaitFor([&] {
      index = model->index(path);
      return index.isValid() && model->rowCount(index.parent()) >= 2;
    }));
    return index;
  }

  QTemporaryDir folder;
};

TEST_F(OpenPanelTest, EnteringASparseBundleFolderChoosesIt) {
  tool.answer("imageinfo", "info\n");
  press("Get info");
  QFileDialog* dialog = openPanel();
  ASSERT_NE(dialog, nullptr);
  EXPECT_TRUE(dialog->testOption(QFileDialog::DontUseNativeDialog));
  dialog->setDirectory(folder.path());
  const QModelIndex bundle = entry(dialog, "Disk One.sparsebundle");
  ASSERT_TRUE(bundle.isValid());

  auto* list = dialog->findChild<QListView*>("listView");
  ASSERT_NE(list, nullptr);
  // Find the row of the bundle in what the list shows.
  QModelIndex row;
  for (int r = 0; r < list->model()->rowCount(list->rootIndex()); ++r) {
    const QModelIndex candidate = list->model()->index(r, 0, list->rootIndex());
    if (candidate.data().toString() == "Disk One.sparsebundle") row = candidate;
  }
  ASSERT_TRUE(row.isValid());
  list->scrollTo(row);
  const QPoint centre = list->visualRect(row).center();
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, centre);
  QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, centre);

  const std::string expected = QDir(folder.path()).filePath("Disk One.sparsebundle").toStdString();
  ASSERT_TRUE(QTest::qWaitFor([&] { return tool.calls().size() == 2; }));
  EXPECT_EQ(tool.calls()[0].arguments, (std::vector<std::string>{"imageinfo", expected}));
  EXPECT_EQ(pane(), "Sparsebundle info:\ninfo\n");
  EXPECT_TRUE(QTest::qWaitFor([&] { return !window->findChild<QFileDialog*>("openPanel"); }));
}

TEST_F(OpenPanelTest, TypingTheBundleNameAndConfirmingChoosesIt) {
  press("Compact");
  QFileDialog* dialog = openPanel();
  ASSERT_NE(dialog, nullptr);
  dialog->setDirectory(folder.path());
  entry(dialog, "Disk One.sparsebundle");
  auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
  ASSERT_NE(name, nullptr);
  QTest::keyClicks(name, "Disk One.sparsebundle");
  QTest::keyClick(name, Qt::Key_Return);
  const std::string expected = QDir(folder.path()).filePath("Disk One.sparsebundle").toStdString();
  ASSERT_TRUE(QTest::qWaitFor([&] { return tool.calls().size() == 1; }));
  EXPECT_EQ(tool.calls()[0].arguments, (std::vector<std::string>{"compact", expected}));
}

TEST_F(OpenPanelTest, ChoosingAnOrdinaryFolderOrCancellingRunsNothing) {
  press("Resize");
  QFileDialog* dialog = openPanel();
  ASSERT_NE(dialog, nullptr);
  dialog->setDirectory(folder.path());
  entry(dialog, "Plain folder");
  dialog->selectFile(QDir(folder.path()).filePath("Plain folder"));
  static_cast<QDialog*>(dialog)->accept();
  settle();
  EXPECT_TRUE(tool.calls().empty());

  press("Resize");
  dialog = openPanel();
  ASSERT_NE(dialog, nullptr);
  dialog->reject();
  settle();
  EXPECT_TRUE(tool.calls().empty());
  EXPECT_EQ(pane(), "");
}

}  // namespace
}  // namespace quorbel::test
