// The panels of the operations: the shared sparse-bundle open panel and the save panel for a new
// bundle. Both are begun with open() and finish in a completion; tests answer them through
// setNextOpenPath / setNextSavePath instead.

#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMetaObject>
#include <deque>
#include <functional>
#include <memory>

#include "core/tool_contract.h"
#include "ui/view_controller.h"

namespace quorbel {

namespace {

const QString bundleSuffix = QStringLiteral(".sparsebundle");
const QString bundleFilter = QStringLiteral("Sparse bundles (*.sparsebundle)");

using PanelFinish = std::function<void(std::optional<QString>)>;

// Answers a panel from the tests' queue, when it holds an answer, as the real panel would: later,
// from the event loop.
bool answerFromQueue(QObject* context, std::deque<std::optional<QString>>& answers, const PanelFinish& finish) {
  if (answers.empty()) return false;
  auto answer = std::move(answers.front());
  answers.pop_front();
  QMetaObject::invokeMethod(context, [finish, answer] { finish(answer); }, Qt::QueuedConnection);
  return true;
}

// Hands the panel's result to `finish` once the dialog's own event handling has unwound.
void finishLater(QObject* context, const PanelFinish& finish, std::optional<QString> path) {
  QMetaObject::invokeMethod(context, [finish, path = std::move(path)] { finish(path); }, Qt::QueuedConnection);
}

#ifndef Q_OS_MACOS
// Qt's own open panel in folder mode, where a bundle is the folder it is. Choosing a folder that is
// not a bundle (OK, Return, or its name typed in the field) opens it, as any file dialog does with a
// folder, and the panel stays; only a *.sparsebundle folder is an answer.
class BundleOpenPanel : public QFileDialog {
 public:
  using QFileDialog::QFileDialog;

  void accept() override {
    const QString chosen = selectedFiles().value(0);
    const QFileInfo info(chosen);
    if (!chosen.isEmpty() && info.isDir() && !QDir::cleanPath(chosen).endsWith(bundleSuffix)) {
      setDirectory(info.absoluteFilePath());
      if (auto* field = findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) field->clear();
      return;
    }
    QFileDialog::accept();
  }
};

// Names the panels' pop-up menus for screen readers; Qt's dialog gives them no label relation.
void nameFileDialogPopUps(QFileDialog* dialog) {
  if (auto* lookIn = dialog->findChild<QComboBox*>(QStringLiteral("lookInCombo")))
    lookIn->setAccessibleName(QFileDialog::tr("Look in"));
  if (auto* types = dialog->findChild<QComboBox*>(QStringLiteral("fileTypeCombo")))
    types->setAccessibleName(QFileDialog::tr("Files of type"));
}
#endif

}  // namespace

void ViewController::beginOpenPanel(const QString& prompt, PathCompletion completion) {
  // The completion goes on only for OK with a path that names a sparse bundle; anything else ends
  // the operation silently, like a cancel. A completion that arrives while a tool runs is dropped.
  const PanelFinish finish = [this, completion = std::move(completion)](std::optional<QString> path) {
    if (!path || !path->endsWith(bundleSuffix) || busy()) return;
    completion(*path);
  };
  if (answerFromQueue(this, nextOpenAnswers_, finish)) return;

#ifdef Q_OS_MACOS
  auto* dialog = new QFileDialog(window());
#else
  auto* dialog = new BundleOpenPanel(window());
#endif
  dialog->setObjectName(QStringLiteral("openPanel"));
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setAcceptMode(QFileDialog::AcceptOpen);
  dialog->setLabelText(QFileDialog::Accept, prompt);
  dialog->setWindowTitle(prompt);
  auto chosen = std::make_shared<QString>();
#ifdef Q_OS_MACOS
  // The native panel offers a bundle as one item.
  dialog->setFileMode(QFileDialog::ExistingFile);
  dialog->setNameFilter(bundleFilter);
#else
  // Qt's own dialog sees a bundle as the folder it is: it offers folders, and entering a
  // *.sparsebundle folder chooses it instead of showing its bands.
  dialog->setOption(QFileDialog::DontUseNativeDialog);
  dialog->setFileMode(QFileDialog::Directory);
  dialog->setOption(QFileDialog::ShowDirsOnly);
  dialog->setNameFilter(bundleFilter);
  // The field asks for a bundle (after setFileMode, which names it "Directory:").
  dialog->setLabelText(QFileDialog::FileName, tr("Sparse bundle:"));
  nameFileDialogPopUps(dialog);
  connect(dialog, &QFileDialog::directoryEntered, dialog, [dialog, chosen](const QString& directory) {
    if (!directory.endsWith(bundleSuffix) || !chosen->isEmpty()) return;
    *chosen = directory;
    QMetaObject::invokeMethod(dialog, [dialog] { static_cast<QDialog*>(dialog)->done(QDialog::Accepted); }, Qt::QueuedConnection);
  });
#endif
  connect(dialog, &QDialog::finished, this, [this, dialog, chosen, finish](int result) {
    std::optional<QString> path;
    if (result == QDialog::Accepted) {
      const QString selected = !chosen->isEmpty() ? *chosen : dialog->selectedFiles().value(0);
      if (!selected.isEmpty()) path = QDir::cleanPath(selected);
    }
    finishLater(this, finish, std::move(path));
  });
  dialog->open();
}

void ViewController::beginSavePanel(PathCompletion completion) {
  const PanelFinish finish = [this, completion = std::move(completion)](std::optional<QString> path) {
    if (!path || path->isEmpty() || busy()) return;
    // The new image's name always carries the extension.
    if (!path->endsWith(bundleSuffix)) path->append(bundleSuffix);
    completion(*path);
  };
  if (answerFromQueue(this, nextSaveAnswers_, finish)) return;

  auto* dialog = new QFileDialog(window());
  dialog->setObjectName(QStringLiteral("savePanel"));
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setAcceptMode(QFileDialog::AcceptSave);
  dialog->setFileMode(QFileDialog::AnyFile);
  dialog->setDefaultSuffix(QString::fromLatin1(tool::bundleExtension.data(), tool::bundleExtension.size()));
  dialog->setNameFilter(bundleFilter);
#ifndef Q_OS_MACOS
  dialog->setOption(QFileDialog::DontUseNativeDialog);
  nameFileDialogPopUps(dialog);
#endif
  connect(dialog, &QDialog::finished, this, [this, dialog, finish](int result) {
    std::optional<QString> path;
    if (result == QDialog::Accepted && !dialog->selectedFiles().value(0).isEmpty())
      path = QDir::cleanPath(dialog->selectedFiles().value(0));
    finishLater(this, finish, std::move(path));
  });
  dialog->open();
}

}  // namespace quorbel
