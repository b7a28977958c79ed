#pragma once
// The main window: the ViewController's view inside a window with a menu bar. The View menu holds
// the output text size actions; the application shell adds its own menus. Closing it ends the
// application, whatever other windows are open; while a tool runs it first asks whether to stop it.

#include <QMainWindow>
#include <QPointer>

class QMessageBox;

namespace quorbel {

class ViewController;

// The window's first size: `wanted`, made to fit the screen's `available` area with room for the
// window frame.
QSize fittedWindowSize(QSize wanted, QSize available);

class MainWindow : public QMainWindow {
  Q_OBJECT
 public:
  explicit MainWindow(ViewController* controller, QWidget* parent = nullptr);
  ViewController* viewController() const { return controller_; }
  QMenu* viewMenu() const { return viewMenu_; }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void askToStopAndQuit();
  void stopAndQuit();

  QPointer<QMessageBox> quitQuestion_;
  ViewController* controller_;
  QMenu* viewMenu_;
};

}  // namespace quorbel
