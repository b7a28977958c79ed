#pragma once
// The main window: the ViewController's view inside a window with a menu bar. The View menu holds
// the output text size actions; the application shell adds its own menus. Closing it ends the
// application, whatever other windows are open.

#include <QMainWindow>

namespace quorbel {

class ViewController;

class MainWindow : public QMainWindow {
  Q_OBJECT
 public:
  explicit MainWindow(ViewController* controller, QWidget* parent = nullptr);
  ViewController* viewController() const { return controller_; }
  QMenu* viewMenu() const { return viewMenu_; }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  ViewController* controller_;
  QMenu* viewMenu_;
};

}  // namespace quorbel
