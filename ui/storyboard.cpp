#include "ui/storyboard.h"

#include <QHash>

#include "ui/main_window.h"
#include "ui/password_view_controller.h"
#include "ui/view_controller.h"

namespace quorbel::storyboard {

namespace {

QHash<QString, Factory>& factories() {
  static QHash<QString, Factory> table{
      {QStringLiteral("passwordViewController"),
       [](QWidget* parent) -> QWidget* { return new PasswordViewController(parent); }},
  };
  return table;
}

}  // namespace

QWidget* instantiateController(const QString& identifier, QWidget* parent) {
  const auto found = factories().constFind(identifier);
  return found == factories().constEnd() ? nullptr : (*found)(parent);
}

void registerController(const QString& identifier, Factory factory) { factories().insert(identifier, std::move(factory)); }

QMainWindow* instantiateInitialController() { return new MainWindow(new ViewController()); }

}  // namespace quorbel::storyboard
