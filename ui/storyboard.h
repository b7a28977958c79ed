#pragma once
// Our "Main" storyboard: the main window, and a fresh controller for each identifier.
// Add a controller with registerController(identifier, factory) or in the table in storyboard.cpp.

#include <QString>
#include <functional>

class QMainWindow;
class QWidget;

namespace quorbel::storyboard {

using Factory = std::function<QWidget*(QWidget* parent)>;

// A fresh controller for the identifier, or nullptr for an unknown one.
QWidget* instantiateController(const QString& identifier, QWidget* parent = nullptr);
void registerController(const QString& identifier, Factory factory);

// The initial controller: the main window with its ViewController and View menu.
QMainWindow* instantiateInitialController();

}  // namespace quorbel::storyboard
