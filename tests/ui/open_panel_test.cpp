// The real Linux open panel: a plain folder chosen in it opens, only a *.sparsebundle folder is an
// answer, and its field says what it asks for.
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLineEdit>
#include <QSignalSpy>

#include "window_fixture.h"

namespace quorbel::test {
namespace {

TEST_F(WindowTest, TheOpenPanelOpensPlainFoldersAndAnswersOnlyWithABundle) {
  QTemporaryDir root;
  const QString folder = QDir(root.path()).filePath("Plain Folder");
  const QString bundle = QDir(folder).filePath("Inner.sparsebundle");
  ASSERT_TRUE(QDir().mkpath(bundle + "/bands"));
  tool.answer("imageinfo", "info\n");
  press("Get info");
  QFileDialog* dialog = nullptr;
  ASSERT_TRUE(QTest::qWaitFor([&] { return (dialog = window->findChild<QFileDialog*>("openPanel")); }));
  EXPECT_EQ(dialog->labelText(QFileDialog::FileName), "Sparse bundle:");
  EXPECT_EQ(dialog->findChild<QComboBox*>("lookInCombo")->accessibleName(), "Look in");
  dialog->setDirectory(root.path());
  auto* field = dialog->findChild<QLineEdit*>("fileNameEdit");
  ASSERT_TRUE(field);

  // A plain folder, typed and confirmed, and then the current folder itself: the panel opens the
  // first and stays, and neither is taken for a bundle.
  QSignalSpy listed(dialog->findChild<QFileSystemModel*>(), &QFileSystemModel::directoryLoaded);
  for (const QString& typed : {QStringLiteral("Plain Folder"), QString()}) {
    field->setText(typed);
    QTest::keyClick(field, Qt::Key_Return);
    // The new folder's listing loads (once: the second time the panel stays where it is).
    ASSERT_TRUE(QTest::qWaitFor([&] {
      return std::any_of(listed.begin(), listed.end(), [&](const QList<QVariant>& loaded) {
        return QDir(loaded.value(0).toString()) == QDir(folder);
      });
    }));
    QCoreApplication::processEvents();
    EXPECT_TRUE(dialog->isVisible()) << typed.toStdString();
    EXPECT_EQ(QDir(dialog->directory()).canonicalPath(), QDir(folder).canonicalPath());
    EXPECT_TRUE(field->text().isEmpty()) << field->text().toStdString();  // ready for the next name
    EXPECT_TRUE(tool.calls().empty());
  }

  // The bundle inside it is the answer.
  field->setText("Inner.sparsebundle");
  QTest::keyClick(field, Qt::Key_Return);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !tool.calls().empty(); }));
  EXPECT_EQ(tool.calls()[0], "imageinfo|" + QDir(bundle).canonicalPath().toStdString());
}

}  // namespace
}  // namespace quorbel::test
