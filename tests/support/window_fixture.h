#pragma once
// Widget-test support: the test side of the recording fake tool (fake_tool), and a main window that
// runs it, worked as a user does: controls are found by their accessible names.

#include <QAbstractButton>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>
#include <memory>

#include "ui/main_window.h"
#include "ui/password_view_controller.h"
#include "ui/view_controller.h"

namespace quorbel::test {

using List = std::vector<std::string>;

inline std::string failure(int status) { return "\xE2\x9A\xA0\xEF\xB8\x8F error " + std::to_string(status) + "\n"; }

// The fake's answers per verb and the runs it recorded, kept in a scratch folder of its own.
class FakeTool {
 public:
  FakeTool() { qputenv("QUORBEL_FAKE_DIR", QFile::encodeName(dir_.path())); }
  // From now on `verb` prints `report`, takes `seconds` and exits with `status`, saying `errors` on
  // standard error.
  void answer(const QString& verb, const std::string& report, int status = 0, double seconds = 0,
              const std::string& errors = {}) const {
    write(verb + ".out", QByteArray::fromStdString(report));
    write(verb + ".status", QByteArray::number(status));
    write(verb + ".sleep", QByteArray::number(seconds));
    write(verb + ".err", QByteArray::fromStdString(errors));
  }
  // The QUORBEL_PROGRESS value run N saw ("unset" when it had none).
  std::string progressSetting(int n) const { return read(QString::number(n) + ".env").value_or("missing").toStdString(); }
  // The QUORBEL_ASKPASS value run N saw ("unset" when it had none).
  std::string askpassSetting(int n) const { return read(QString::number(n) + ".askpass").value_or("missing").toStdString(); }
  // The runs, one string each: the arguments joined by "|", then "<" and the standard input where
  // that was a pipe.
  List calls() const {
    List calls;
    for (int n = 0; auto arguments = read(QString::number(n) + ".args"); ++n) {
      arguments->chop(1);  // the last argument's NUL
      arguments->replace('\0', '|');
      if (const auto input = read(QString::number(n) + ".stdin")) arguments->append('<' + *input);
      calls.push_back(arguments->toStdString());
    }
    return calls;
  }

 private:
  std::optional<QByteArray> read(const QString& name) const {
    QFile in(dir_.filePath(name));
    return in.open(QIODevice::ReadOnly) ? std::optional(in.readAll()) : std::nullopt;
  }
  void write(const QString& name, const QByteArray& bytes) const {
    QFile out(dir_.filePath(name));
    ASSERT_TRUE(out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size());
  }
  QTemporaryDir dir_;
};

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QSettings().clear();
    controller = new ViewController(toolPath);
    window = std::make_unique<MainWindow>(controller);
    window->show();
  }

  template <class T = QWidget>
  T* control(const QString& name) const {
    for (T* candidate : window->findChildren<T*>())
      if (candidate->accessibleName() == name) return candidate;
    ADD_FAILURE() << "no control named " << name.toStdString();
    return nullptr;
  }
  void type(const QString& field, const QString& text) {
    control<QLineEdit>(field)->clear();
    QTest::keyClicks(control<QLineEdit>(field), text);
  }
  void choose(const QString& popup, int index) { control<QComboBox>(popup)->setCurrentIndex(index); }
  void press(const QString& button) { QTest::mouseClick(control<QAbstractButton>(button), Qt::LeftButton); }
  // Lets queued answers arrive and what they start run to its end (tool steps run on a worker).
  void settle() {
    for (int i = 0; i < 10; ++i) QCoreApplication::processEvents();
    EXPECT_TRUE(QTest::qWaitFor([&] { 
      return !controller->currentOperation() || (controller->passwordSheet() && controller->passwordSheet()->isVisible());
    }, 20000));
    for (int i = 0; i < 10; ++i) QCoreApplication::processEvents();
  }
  void run(const QString& button) { press(button); settle(); }
  // Runs an operation that starts with the open panel, answered with `path` (nullopt: Cancel).
  void open(const QString& button, const std::optional<QString>& path) {
    controller->setNextOpenPath(path);
    run(button);
  }
  std::string pane() const { return controller->outputText().toStdString(); }

  FakeTool tool;
  std::string toolPath = QUORBEL_FAKE_TOOL;
  ViewController* controller = nullptr;
  std::unique_ptr<MainWindow> window;
};

}  // namespace quorbel::test
