#include "ui/main_window.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QMenuBar>

#include "ui/view_controller.h"

namespace quorbel {

MainWindow::MainWindow(ViewController* controller, QWidget* parent) : QMainWindow(parent), controller_(controller) {
  setObjectName(QStringLiteral("mainWindow"));
  setCentralWidget(controller_);
  viewMenu_ = menuBar()->addMenu(tr("&View"));
  viewMenu_->setObjectName(QStringLiteral("viewMenu"));
  viewMenu_->addAction(controller_->largerTextAction());
  viewMenu_->addAction(controller_->smallerTextAction());
  resize(820, 600);
}

void MainWindow::closeEvent(QCloseEvent* event) {
  QMainWindow::closeEvent(event);
  QCoreApplication::exit(0);
}

}  // namespace quorbel
