// Program entry: the application object, its identity for the user defaults, the main window.

#include <QApplication>
#include <QMainWindow>

#include "ui/storyboard.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  // On macOS the defaults domain is the reversed organisation domain plus the application name,
  // which equals the bundle identifier "example.quorbel.SparseBundleUtility".
  QCoreApplication::setOrganizationName(QStringLiteral("Quorbel"));
  QCoreApplication::setOrganizationDomain(QStringLiteral("quorbel.example"));
  QCoreApplication::setApplicationName(QStringLiteral("SparseBundleUtility"));
  QGuiApplication::setApplicationDisplayName(QStringLiteral("Quorbel Sparse Bundle Utility"));

  QMainWindow* window = quorbel::storyboard::instantiateInitialController();
  window->show();
  const int status = app.exec();
  delete window;
  return status;
}
