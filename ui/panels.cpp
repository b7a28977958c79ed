// The panels and the sheet the operations ask for, in one place: the sparse-bundle open panel, the
// save panel for a new bundle and the password sheet. Each is begun with open() and answers from the
// event loop; tests answer the panels through setNextOpenPath / setNextSavePath instead.

#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMetaObject>
#include <QSettings>
#include <memory>

#include "core/tool_contract.h"
#include "operations/operation.h"
#include "ui/password_view_controller.h"
#include "ui/view_controller.h"

namespace quorbel {

namespace {

const QString bundleFilter = QStringLiteral("Sparse bundles (*.sparsebundle)");

constexpr const char* lastFolderKey = "lastBundleFolder";

// Where the panels start: the folder of the last bundle used, kept across runs, else the home folder.
// Never a bundle's inside.
QString startFolder() {
  const QString stored = QSettings().value(QLatin1String(lastFolderKey)).toString();
  if (!stored.isEmpty() && QFileInfo(stored).isDir() && enclosingBundle(stored).isEmpty()) return stored;
  return QDir::homePath();
}

void rememberBundleFolder(const QString& bundle) {
  const QString outermost = enclosingBundle(bundle);
  QSettings().setValue(QLatin1String(lastFolderKey),
                       QFileInfo(outermost.isEmpty() ? bundle : outermost).absolutePath());
}

// Hands the panel's answer on once the dialog's own event handling has unwound.
void answerLater(QObject* context, const PathAnswer& answer, std::optional<QString> path) {
  if (path && !path->isEmpty()) rememberBundleFolder(*path);
  QMetaObject::invokeMethod(
      context, [answer, path = std::move(path)] { answer(path); }, Qt::QueuedConnection);
}

// Answers from the tests' queue, when it holds an answer, as the real panel would: later.
bool answerFromQueue(QObject* context, std::deque<std::optional<QString>>& answers, const PathAnswer& answer) {
  if (answers.empty()) return false;
  answerLater(context, answer, std::move(answers.front()));
  answers.pop_front();
  return true;
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
    if (!chosen.isEmpty() && info.isDir() && enclosingBundle(chosen).isEmpty()) {
      setDirectory(info.absoluteFilePath());
      clearFieldOnceListed(info.absoluteFilePath());
      return;
    }
    QFileDialog::accept();
  }

 private:
  // Empties the name field now and once the new folder's listing has loaded (the dialog puts the
  // name it was given back into the field when the listing arrives).
  void clearFieldOnceListed(const QString& folder) {
    auto* field = findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    auto* model = findChild<QFileSystemModel*>();
    if (!field) return;
    field->clear();
    if (!model) return;
    auto once = std::make_shared<QMetaObject::Connection>();
    *once = connect(model, &QFileSystemModel::directoryLoaded, field, [field, once, folder](const QString& loaded) {
      if (QDir(loaded) != QDir(folder)) return;
      QObject::disconnect(*once);
      field->clear();
    });
  }
};

// Qt's own save panel, kept out of bundles: a bundle entered (double click, Return, a typed path)
// is chosen as the name in the field instead, shown from its folder; a new bundle inside one, or
// over an existing one, is refused with a message and the panel stays.
class BundleSavePanel : public QFileDialog {
 public:
  explicit BundleSavePanel(QWidget* parent) : QFileDialog(parent) {
    connect(this, &QFileDialog::directoryEntered, this, [this](const QString& folder) {
      const QString bundle = enclosingBundle(folder);
      if (bundle.isEmpty()) return;
      // Once the dialog has finished entering it.
      QMetaObject::invokeMethod(
          this,
          [this, bundle] {
            setDirectory(QFileInfo(bundle).absolutePath());
            selectFile(QFileInfo(bundle).fileName());
            // selectFile leaves a focused field alone.
            if (auto* field = findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
              field->setText(QFileInfo(bundle).fileName());
          },
          Qt::QueuedConnection);
    });
  }

  void accept() override {
    const QString chosen = QDir::cleanPath(selectedFiles().value(0));
    const QString around = enclosingBundle(QFileInfo(chosen).absolutePath());
    if (!chosen.isEmpty() && !around.isEmpty())
      return refuse(ViewController::tr("A sparse bundle cannot be saved inside another one. Choose a folder "
                                       "outside “%1”.")
                        .arg(QFileInfo(around).fileName()));
    if (!chosen.isEmpty() && QFileInfo::exists(chosen))
      return refuse(ViewController::tr("“%1” already exists. Choose another name.").arg(QFileInfo(chosen).fileName()));
    QFileDialog::accept();
  }

 private:
  void refuse(const QString& message) {
    auto* box = new QMessageBox(QMessageBox::Warning, windowTitle(), message, QMessageBox::Ok, this);
    box->setObjectName(QStringLiteral("saveRefusal"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
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

void ViewController::beginOpenPanel(const QString& prompt, PathAnswer answer) {
  if (answerFromQueue(this, nextOpenAnswers_, answer)) return;

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
  dialog->setDirectory(startFolder());
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
    const QString bundle = enclosingBundle(directory);
    if (bundle.isEmpty() || !chosen->isEmpty()) return;
    *chosen = bundle;
    QMetaObject::invokeMethod(
        dialog, [dialog] { static_cast<QDialog*>(dialog)->done(QDialog::Accepted); }, Qt::QueuedConnection);
  });
#endif
  connect(dialog, &QDialog::finished, this, [this, dialog, chosen, answer](int result) {
    std::optional<QString> path;
    if (result == QDialog::Accepted) {
      const QString selected = !chosen->isEmpty() ? *chosen : dialog->selectedFiles().value(0);
      const QString bundle = enclosingBundle(selected);  // an item inside a bundle stands for the bundle
      if (!selected.isEmpty()) path = bundle.isEmpty() ? QDir::cleanPath(selected) : bundle;
    }
    answerLater(this, answer, std::move(path));
  });
  dialog->open();
}

void ViewController::beginSavePanel(const QString& proposed, PathAnswer answer) {
  if (answerFromQueue(this, nextSaveAnswers_, answer)) return;

#ifdef Q_OS_MACOS
  auto* dialog = new QFileDialog(window());
#else
  auto* dialog = new BundleSavePanel(window());
#endif
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
  dialog->setDirectory(proposed.isEmpty() ? startFolder() : QFileInfo(proposed).absolutePath());
  if (!proposed.isEmpty()) dialog->selectFile(QFileInfo(proposed).fileName());
  connect(dialog, &QDialog::finished, this, [this, dialog, answer](int result) {
    std::optional<QString> path;
    if (result == QDialog::Accepted && !dialog->selectedFiles().value(0).isEmpty())
      path = QDir::cleanPath(dialog->selectedFiles().value(0));
    answerLater(this, answer, std::move(path));
  });
  dialog->open();
}

PasswordViewController* ViewController::passwordSheet() const { return sheet_.data(); }

void ViewController::askForPassword(PasswordPurpose purpose, PasswordAnswer answer) {
  auto* sheet = new PasswordViewController(window());
  sheet->setMessage(purpose == PasswordPurpose::NewImage ? tr("Type the password of the new sparse bundle twice.")
                                                         : tr("Type the new password of the sparse bundle twice."));
  sheet_ = sheet;
  // The answer goes to the one operation that asked, after the sheet has closed.
  connect(sheet, &PasswordViewController::passwordChosen, this, [this, answer](SecretBytes& password) {
    auto held = std::make_shared<SecretBytes>(std::move(password));
    QMetaObject::invokeMethod(
        this, [answer, held] { answer(std::move(*held)); }, Qt::QueuedConnection);
  });
  connect(sheet, &PasswordViewController::cancelled, this, [this, answer] {
    QMetaObject::invokeMethod(
        this, [answer] { answer(std::nullopt); }, Qt::QueuedConnection);
  });
  sheet->open();
}

}  // namespace quorbel
