// runTool: the tool's standard error gathered beside the contract's result, progress lines sorted
// out of it, the environment additions, and Stop.
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <gtest/gtest.h>
#include <thread>

#include "core/command_runner.h"
#include "core/secret.h"

namespace quorbel {
namespace {

const std::string helper = QUORBEL_CHILD_HELPER;
const std::string failurePrefix = "\xE2\x9A\xA0\xEF\xB8\x8F error ";

ToolOutcome runHelper(std::vector<std::string> arguments, std::vector<double>* progress = nullptr,
                      StopSwitch* stopSwitch = nullptr) {
  ToolRun run;
  run.launchPath = helper;
  run.arguments = std::move(arguments);
  run.stopSwitch = stopSwitch;
  if (progress) run.onProgress = [progress](double percent) { progress->push_back(percent); };
  return runTool(run);
}

TEST(ToolRun, StandardErrorIsGatheredBoundedAndNeverChangesTheResult) {
  // Binary bytes are repaired, not dropped; the result is still the contract's.
  ToolOutcome binary = runHelper({"stderr-hex", "6261640aff00fe0a", "1"});
  EXPECT_EQ(binary.text, failurePrefix + "1\n");
  EXPECT_EQ(binary.errors, std::string("bad\n\xEF\xBF\xBD", 7) + std::string(1, '\0') + "\xEF\xBF\xBD\n");
  EXPECT_EQ(runHelper({"stderr-hex", "6f6b0a"}).text, "out\n");  // success: the report alone

  // 8 MiB on standard error: the tool is never stalled, the last words are kept, the rest bounded.
  const ToolOutcome large = runHelper({"stderr-bytes", std::to_string(8 << 20), "4"});
  EXPECT_EQ(large.text, failurePrefix + "4\n");
  EXPECT_LE(large.errors.size(), 2 * errorCaptureLimit);
  EXPECT_GE(large.errors.size(), errorCaptureLimit);
  EXPECT_TRUE(large.errors.ends_with("last words\n")) << large.errors.substr(large.errors.size() - 40);

  // Closed early: what came before the close is kept, the run goes on to the report.
  const ToolOutcome closed = runHelper({"close-stderr"});
  EXPECT_EQ(closed.text, failurePrefix + "3\n");
  EXPECT_EQ(closed.errors, "before closing\n");
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
}

TEST(ToolRun, ProgressLinesGoToTheCallbackAndNeverIntoTheReasonOrTheReport) {
  std::vector<double> progress;
  const ToolOutcome outcome = runHelper({"interleaved"}, &progress);
  EXPECT_EQ(progress, (std::vector<double>{0.5, 25.5, 50.5, 75.5}));  // 100.5 is beyond the range
  EXPECT_EQ(outcome.text, "report 0\nreport 25\nreport 50\nreport 75\nreport 100\n");
  // Out-of-range or malformed figures are text like any other.
  EXPECT_EQ(outcome.errors, "note\nnote\nnote\nnote\nPERCENT:100.5\nnote\nPERCENT:101\nPERCENT:-1\nPERCENT:5x\n");

  const std::pair<const char*, std::optional<double>> lines[] = {
      {"PERCENT:0", 0.0}, {"PERCENT:37.5", 37.5}, {"PERCENT:100", 100.0}, {"PERCENT:100.01", {}},
      {"PERCENT:", {}},   {"PERCENT: 5", {}},     {"percent:5", {}},      {"xPERCENT:5", {}},
      {"PERCENT:1e2", {}}, {"PERCENT:nan", {}}};
  for (const auto& [line, expected] : lines) EXPECT_EQ(progressFromLine(line), expected) << line;
}

TEST(ToolRun, EnvironmentAdditionsReachTheChildAndReplaceInheritedValues) {
  setenv("QUORBEL_TEST_INHERITED", "old", 1);
  ToolRun run;
  run.launchPath = helper;
  run.arguments = {"env", "QUORBEL_TEST_INHERITED", "QUORBEL_TEST_ADDED", "HOME"};
  run.environment = {"QUORBEL_TEST_INHERITED=new", "QUORBEL_TEST_ADDED=a=b c"};
  EXPECT_EQ(runTool(run).text, "new\na=b c\n" + std::string(getenv("HOME")) + "\n");
  unsetenv("QUORBEL_TEST_INHERITED");
}

TEST(ToolRun, StopInterruptsTheChildFromAnotherThreadAtAnyMoment) {
  // Before the start, during a long run, and while standard error floods.
  for (int delayMs : {0, 150}) {
    for (const char* mode : {"sleep", "endless-stderr"}) {
      StopSwitch stopSwitch;
      std::thread stopper;
      if (delayMs == 0) stopSwitch.stop();
      else stopper = std::thread([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        stopSwitch.stop();
      });
      const auto start = std::chrono::steady_clock::now();
      const ToolOutcome outcome = runHelper({mode, "20000"}, nullptr, &stopSwitch);
      if (stopper.joinable()) stopper.join();
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << mode;
      EXPECT_TRUE(outcome.stopped) << mode;
      EXPECT_EQ(outcome.status, SIGINT) << mode;
      EXPECT_EQ(outcome.text, failurePrefix + std::to_string(SIGINT) + "\n") << mode;
    }
  }
  // A child that ignores the interrupt finishes its work: a stop is a request, never a kill.
  StopSwitch stopSwitch;
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // once the child ignores SIGINT
    stopSwitch.stop();
  });
  const ToolOutcome ignored = runHelper({"ignore-int", "400"}, nullptr, &stopSwitch);
  stopper.join();
  EXPECT_EQ(ignored.text, "survived\n");
  EXPECT_TRUE(ignored.stopped);
  // A run without a stop is not marked stopped.
  EXPECT_FALSE(runHelper({"sleep", "10"}).stopped);
}

TEST(SecretBytes, MovesLeaveNothingBehindAndWipeEmpties) {
  SecretBytes first(std::string_view("pässwörd"));
  EXPECT_EQ(first.view(), "pässwörd");
  SecretBytes second(std::move(first));
  EXPECT_TRUE(first.empty());  // NOLINT(bugprone-use-after-move): the moved-from state is the point
  EXPECT_EQ(first.view(), "");
  EXPECT_EQ(second.view(), "pässwörd");
  SecretBytes third(std::string_view("other"));
  third = std::move(second);
  EXPECT_EQ(third.view(), "pässwörd");
  third.wipe();
  EXPECT_TRUE(third.empty());
  char buffer[] = "secret";
  wipeBytes(buffer, sizeof buffer);
  EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, '\0'));
}

}  // namespace
}  // namespace quorbel
