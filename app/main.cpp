// Program entry: the application object, its identity for the user defaults, the main window, and the
// application delegate with its menus, help windows and launch-time update check.

#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QLocale>
#include <QMainWindow>

#include "app/accessible_combo_box.h"
#include "app/app_delegate.h"
#include "translations/translator.h"
#include "ui/app_style.h"
#include "ui/main_window.h"
#include "ui/view_controller.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  // The user's language for the window, its dialogs and Qt's own (file dialogs, standard buttons).
  const auto translators = quorbel::installTranslations(QLocale(), quorbel::translationsFolder());
  // On macOS the defaults domain is the reversed organisation domain plus the application name,
  // which equals the bundle identifier "example.quorbel.SparseBundleUtility".
  QCoreApplication::setOrganizationName(QStringLiteral("Quorbel"));
  QCoreApplication::setOrganizationDomain(QStringLiteral("quorbel.example"));
  QCoreApplication::setApplicationName(QStringLiteral("SparseBundleUtility"));
  QCoreApplication::setApplicationVersion(QStringLiteral(QUORBEL_VERSION));
  QGuiApplication::setApplicationDisplayName(QStringLiteral("Quorbel Sparse Bundle Utility"));
  // The desktop file's name: desktops match the window to its menu entry and icon by it.
  QGuiApplication::setDesktopFileName(QStringLiteral("example.quorbel.SparseBundleUtility"));
  QIcon icon;
  for (const QFileInfo& size : QDir(QStringLiteral(":/icons")).entryInfoList()) icon.addFile(size.filePath());
  QApplication::setWindowIcon(icon);

  // Before any window exists, so that every pop-up menu gets the interface and every widget the style.
  quorbel::installAccessibleComboBoxes();
  quorbel::installStartupStyle();

  quorbel::AppDelegate delegate;
  auto* controller = new quorbel::ViewController();
  quorbel::MainWindow window(controller);
  delegate.installMenuBar(&window, {controller->largerTextAction(), controller->smallerTextAction()});

  // Launching has finished once the window is on the screen; the launch check waits for that.
  delegate.finishLaunchingAfterFirstFrame(&window);
  window.show();
  return app.exec();
}
