#include "ui/main_window.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>

#include "ui/view_controller.h"

namespace quorbel {

MainWindow::MainWindow(ViewController* controller, QWidget* parent) : QMainWindow(parent), controller_(controller) {
  setObjectName(QStringLiteral("mainWindow"));
  setCentralWidget(controller_);
  viewMenu_ = menuBar()->addMenu(tr("&View"));
  viewMenu_->setObjectName(QStringLiteral("viewMenu"));
  viewMenu_->addAction(controller_->largerTextAction());
  viewMenu_->addAction(controller_->smallerTextAction());
  resize(fittedWindowSize(QSize(820, 600), screen()->availableGeometry().size()));
}

QSize fittedWindowSize(QSize wanted, QSize available) {
  // The frame's title bar and borders lie outside the size given to resize().
  const QSize frame(16, 48);
  return wanted.boundedTo((available - frame).expandedTo(QSize(1, 1)));
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (controller_->toolRunning()) {
    event->ignore();
    askToStopAndQuit();
    return;
  }
  QMainWindow::closeEvent(event);
  QCoreApplication::exit(0);
}

void MainWindow::askToStopAndQuit() {
  if (quitQuestion_) return quitQuestion_->raise();
  // No title of its own: the application's name, not the window's running percentage.
  auto* box = new QMessageBox(QMessageBox::Question, QString(), tr("Stop the running operation and quit?"),
                              QMessageBox::NoButton, this);
  box->setObjectName(QStringLiteral("quitQuestion"));
  box->setAttribute(Qt::WA_DeleteOnClose);
  QPushButton* stop = box->addButton(tr("&Stop && Quit"), QMessageBox::DestructiveRole);
  box->setDefaultButton(box->addButton(QMessageBox::Cancel));  // keeps working
  connect(box, &QMessageBox::buttonClicked, this, [this, stop](QAbstractButton* clicked) {
    if (clicked == stop) stopAndQuit();
  });
  quitQuestion_ = box;
  box->open();
}

// Stops the tool as Stop does and quits once it has ended (at once if it already has).
void MainWindow::stopAndQuit() {
  if (!controller_->toolRunning()) return QCoreApplication::exit(0);
  connect(controller_, &ViewController::toolRunEnded, this, [] { QCoreApplication::exit(0); });
  controller_->doStopButton();
}

}  // namespace quorbel
