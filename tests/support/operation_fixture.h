#pragma once
// Operation-test support: a scripted host in place of the window (queued panel and sheet answers,
// the control values, a pane kept as text), a runner of the recording fake tool, and a helper that
// runs one operation to its end.

#include <QTest>
#include <deque>
#include <memory>

#include "operations/operation.h"
#include "window_fixture.h"

namespace quorbel::test {

class ScriptedHost : public OperationHost {
 public:
  ControlValues values;
  std::deque<std::optional<QString>> openAnswers, saveAnswers;
  std::deque<std::optional<std::string>> passwordAnswers;
  QStringList asked;  // "open:<prompt>", "save", "password:new image" / "password:new password"
  QString pane;

  ControlValues controlValues() const override { return values; }
  void beginOpenPanel(const QString& prompt, PathAnswer answer) override {
    asked << "open:" + prompt;
    later(answer, take(openAnswers));
  }
  void beginSavePanel(const QString& proposed, PathAnswer answer) override {
    asked << (proposed.isEmpty() ? QStringLiteral("save") : "save:" + proposed);
    later(answer, take(saveAnswers));
  }
  void askForPassword(PasswordPurpose purpose, PasswordAnswer answer) override {
    asked << (purpose == PasswordPurpose::NewImage ? "password:new image" : "password:new password");
    std::optional<std::string> typed;
    if (!passwordAnswers.empty()) {
      typed = passwordAnswers.front();
      passwordAnswers.pop_front();
    }
    QMetaObject::invokeMethod(
        &context_,
        [answer, typed] {
          if (typed)
            answer(SecretBytes(*typed));
          else
            answer(std::nullopt);
        },
        Qt::QueuedConnection);
  }
  void append(const QString& text) override { pane += text; }
  void replace(const QString& text) override { pane = text; }

 private:
  static std::optional<QString> take(std::deque<std::optional<QString>>& answers) {
    if (answers.empty()) return std::nullopt;
    auto answer = answers.front();
    answers.pop_front();
    return answer;
  }
  void later(const PathAnswer& answer, std::optional<QString> path) {
    QMetaObject::invokeMethod(
        &context_, [answer, path] { answer(path); }, Qt::QueuedConnection);
  }
  QObject context_;
};

class OperationTest : public ::testing::Test {
 protected:
  // Runs a fresh operation of type Op to its end and returns how it ended.
  template <class Op>
  OperationResult run() {
    Op operation(host, *runner);
    bool ended = false;
    QObject::connect(&operation, &Operation::finished, [&] { ended = true; });
    operation.start();
    EXPECT_TRUE(QTest::qWaitFor([&] { return ended; }, 20000)) << "the operation did not end";
    return operation.result();
  }
  void useTool(std::string path) { runner = std::make_unique<ToolRunner>(std::move(path)); }
  std::string pane() const { return host.pane.toStdString(); }

  FakeTool tool;
  ScriptedHost host;
  std::unique_ptr<ToolRunner> runner = std::make_unique<ToolRunner>(QUORBEL_FAKE_TOOL);
};

}  // namespace quorbel::test
