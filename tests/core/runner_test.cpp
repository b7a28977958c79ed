// runTool against a helper child whose behaviour its arguments choose: the report and the failure
// line, standard input and error, progress lines, the environment, the child's clean start, and Stop.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "core/command_runner.h"
#include "core/secret.h"

namespace quorbel {
namespace {

const std::string failurePrefix = "\xE2\x9A\xA0\xEF\xB8\x8F error ";
std::string failure(int status) { return failurePrefix + std::to_string(status) + "\n"; }

ToolOutcome runHelper(std::vector<std::string> arguments, std::optional<std::string_view> input = {},
                      const std::function<void(ToolRun&)>& adjust = {}) {
  ToolRun run;
  run.launchPath = QUORBEL_CHILD_HELPER;
  run.arguments = std::move(arguments);
  run.input = input;
  if (adjust) adjust(run);
  return runTool(run);
}

bool noChildLeft() { return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD; }

TEST(Runner, ReportsFailureLinesInputAndArgumentsTakeTheirShape) {
  const std::string multibyte = "pässwörd 🔑";
  const struct {
    std::vector<std::string> arguments;
    std::optional<std::string> input;
    std::string text, errors;
  } cases[] = {
      {{"print", ""}, {}, "", "noise\n"},
      {{"print", "line one\nline two\n"}, {}, "line one\nline two\n", "noise\n"},
      {{"print", "no final line feed"}, {}, "no final line feed", "noise\n"},
      // A failure drops the report; what the child said on standard error stays beside it.
      {{"print", "report\n", "1"}, {}, failure(1), "noise\n"},
      {{"print", "report\n", "255"}, {}, failure(255), "noise\n"},
      {{"kill", std::to_string(SIGTERM)}, {}, failure(SIGTERM), ""},
      {{"kill", std::to_string(SIGKILL)}, {}, failure(SIGKILL), ""},
      {{"args", "/Volumes/My Data/\"Back'up\".sparsebundle", "", "Ünï", "$HOME", "*"},
       {},
       "[/Volumes/My Data/\"Back'up\".sparsebundle]\n[]\n[Ünï]\n[$HOME]\n[*]\n",
       ""},
      // A password arrives as its bytes alone, then end-of-file; an empty one is end-of-file at once.
      {{"stdin"}, std::string(), "", ""},
      {{"stdin"}, multibyte, multibyte, ""},
      {{"stdin"}, std::string("two\nlines"), "two\nlines", ""},
      // Invalid UTF-8 is repaired, on either stream; the result is still the contract's.
      {{"hex", "41ff42"},
       {},
       "A\xEF\xBF\xBD"
       "B",
       ""},
      {{"hex", "e282"}, {}, "\xEF\xBF\xBD", ""},
      {{"stderr-hex", "6261640aff00fe0a", "1"}, {}, failure(1), std::string("bad\n\xEF\xBF\xBD\0\xEF\xBF\xBD\n", 12)},
      {{"stderr-hex", "6f6b0a"}, {}, "out\n", "ok\n"},
      // Standard error closed early: what came before is kept, the run goes on to the report.
      {{"close-stderr"}, {}, failure(3), "before closing\n"},
  };
  for (const auto& c : cases) {
    const ToolOutcome outcome = runHelper(c.arguments, c.input);
    EXPECT_EQ(outcome.text, c.text) << c.arguments[0];
    EXPECT_EQ(outcome.errors, c.errors) << c.arguments[0];
    EXPECT_FALSE(outcome.stopped);
  }
  EXPECT_TRUE(noChildLeft());
}

TEST(Runner, AToolThatCannotRunGivesOneFailureLineNamingIt) {
  const auto notExecutable = std::filesystem::temp_directory_path() / "quorbel-not-executable";
  std::ofstream(notExecutable) << "#!/bin/sh\necho hi\n";
  std::filesystem::permissions(notExecutable, std::filesystem::perms::owner_read);
  const std::pair<std::string, std::string> cases[] = {{"/nonexistent/quorbel-tool", "No such file"},
                                                       {notExecutable, "Permission denied"}};
  for (const auto& [path, reason] : cases) {
    const std::string text = runHelper({"imageinfo"}, "secret", [&](ToolRun& r) { r.launchPath = path; }).text;
    EXPECT_EQ(text.rfind(failurePrefix, 0), 0u) << text;
    EXPECT_NE(text.find(path), std::string::npos) << text;
    EXPECT_NE(text.find(reason), std::string::npos) << text;
    EXPECT_EQ(text.find('\n'), text.size() - 1) << text;
  }
  std::filesystem::remove(notExecutable);
}

TEST(Runner, LargeStreamsNeverDeadlockSplitCharactersNorHurtTheCaller) {
  // The child echoes 1 MiB while it is still being fed: both pipes are full at once.
  std::string password(1 << 20, 'p');
  for (std::size_t i = 0; i < password.size(); i += 4099) password[i] = static_cast<char>('a' + i % 26);
  EXPECT_EQ(runHelper({"stdin"}, password).text, password);
  const std::size_t size = 64u << 20;
  EXPECT_EQ(runHelper({"bytes", std::to_string(size)}).text, std::string(size, 'x'));
  EXPECT_EQ(runHelper({"bytes", std::to_string(size), "read-input-first"}, std::string(100000, 'k')).text.size(), size);
  // A child that exits without reading: SIGPIPE would kill this test process if it reached it.
  EXPECT_EQ(runHelper({"no-read"}, std::string(4 << 20, 'p')).text, "");
  sigset_t pending;
  sigpending(&pending);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
  // Several MiB of 2-, 3- and 4-byte characters cross read boundaries; none may be split.
  const std::string unit = "é€😀a";
  const std::string text = runHelper({"repeat", unit, "400000"}).text;
  ASSERT_EQ(text.size(), unit.size() * 400000);
  EXPECT_EQ(text.find("\xEF\xBF\xBD"), std::string::npos);

  // 8 MiB on standard error: the tool is never stalled, and the reason keeps the stream's last
  // 64 KiB or more (a whole suffix of what was written), never its head.
  const ToolOutcome large = runHelper({"stderr-bytes", std::to_string(8 << 20), "4"});
  EXPECT_EQ(large.text, failure(4));
  std::string written;
  for (long long k = 0; static_cast<long long>(written.size()) < (8 << 20); ++k)
    written += "line " + std::to_string(k) + "\n";
  written += "last words\n";
  EXPECT_GE(large.errors.size(), 64u * 1024);
  EXPECT_LE(large.errors.size(), 128u * 1024);
  EXPECT_TRUE(written.ends_with(large.errors)) << large.errors.substr(0, 40);
  EXPECT_TRUE(noChildLeft());
}

TEST(Runner, TheChildStartsCleanAndTheEnvironmentAdditionsReplaceInheritedValues) {
  struct stat own {};
  ASSERT_EQ(fstat(0, &own), 0);  // no input given: the application's standard input is inherited
  EXPECT_EQ(runHelper({"stdin-identity"}).text, std::to_string(own.st_dev) + ":" + std::to_string(own.st_ino) + "\n");
  const int leaky = open("/dev/null", O_RDONLY);  // opened without close-on-exec
  ASSERT_GE(leaky, 3);
  EXPECT_EQ(runHelper({"fds"}).text, "0\n1\n2\n");
  EXPECT_EQ(runHelper({"fds"}, "pw").text, "0\n1\n2\n");
  close(leaky);

  struct sigaction ignore {
  }, oldInt{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGINT, &ignore, &oldInt);
  sigset_t usr1, oldMask;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &usr1, &oldMask);
  const std::string text = runHelper({"signals"}).text;
  pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
  sigaction(SIGINT, &oldInt, nullptr);
  // Hexadecimal bit sets; the C library keeps its own internal signals (32 and up) ignored.
  const auto mask = [&](const char* key) { return std::stoull(text.substr(text.find(key) + 8, 16), nullptr, 16); };
  EXPECT_EQ(mask("SigBlk:"), 0u) << text;
  EXPECT_EQ(mask("SigIgn:") & 0x7FFFFFFFull, 0u) << text;

  setenv("QUORBEL_TEST_INHERITED", "old", 1);
  const auto env = runHelper({"env", "QUORBEL_TEST_INHERITED", "QUORBEL_TEST_ADDED", "HOME"}, {}, [](ToolRun& r) {
    r.environment = {"QUORBEL_TEST_INHERITED=new", "QUORBEL_TEST_ADDED=a=b c"};
  });
  EXPECT_EQ(env.text, "new\na=b c\n" + std::string(getenv("HOME")) + "\n");
  unsetenv("QUORBEL_TEST_INHERITED");
}

TEST(Runner, ProgressLinesGoToTheCallbackAndNeverIntoTheReasonOrTheReport) {
  std::vector<double> progress;
  const ToolOutcome outcome =
      runHelper({"interleaved"}, {}, [&](ToolRun& r) { r.onProgress = [&](double p) { progress.push_back(p); }; });
  EXPECT_EQ(progress, (std::vector<double>{0.5, 25.5, 50.5, 75.5}));  // 100.5 is beyond the range
  EXPECT_EQ(outcome.text, "report 0\nreport 25\nreport 50\nreport 75\nreport 100\n");
  EXPECT_EQ(outcome.errors, "note\nnote\nnote\nnote\nPERCENT:100.5\nnote\nPERCENT:101\nPERCENT:-1\nPERCENT:5x\n");
  const std::pair<const char*, std::optional<double>> lines[] = {
      {"PERCENT:0", 0.0}, {"PERCENT:37.5", 37.5}, {"PERCENT:100", 100.0}, {"PERCENT:100.01", {}}, {"PERCENT:", {}},
      {"PERCENT: 5", {}}, {"percent:5", {}},      {"xPERCENT:5", {}},     {"PERCENT:1e2", {}},    {"PERCENT:nan", {}}};
  for (const auto& [line, expected] : lines) EXPECT_EQ(progressFromLine(line), expected) << line;
}

TEST(Runner, WaitingCallsBackSteadilyAndIsNotHeldByGrandchildren) {
  int calls = 0;
  EXPECT_EQ(runHelper({"sleep", "400"}, {}, [&](ToolRun& r) { r.whileWaiting = [&] { ++calls; }; }).text, "done\n");
  EXPECT_GE(calls, 3);   // about every 50 ms over 400 ms
  EXPECT_LE(calls, 12);  // but not in a busy loop
  // The grandchild keeps standard output open for 20 s; the result comes when the child ends.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(runHelper({"background"}).text, "parent done\n");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
  EXPECT_TRUE(noChildLeft());
}

// Stop, from another thread, before the start or once the child says it is under way (its first
// progress line): while it sleeps, while standard error floods, and while it ignores SIGINT, which
// it survives: a stop is a request, never a kill.
TEST(Runner, StopInterruptsTheChildFromAnotherThreadAtAnyMoment) {
  const struct {
    const char* mode;
    bool early;
    std::string text;
  } cases[] = {{"sleep", true, failure(SIGINT)},
               {"sleep", false, failure(SIGINT)},
               {"endless-stderr", true, failure(SIGINT)},
               {"endless-stderr", false, failure(SIGINT)},
               {"ignore-int", false, "survived\n"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.mode) + (c.early ? " stopped before the start" : " stopped while running"));
    StopSwitch stopSwitch;
    std::promise<void> underWay;
    if (c.early) stopSwitch.stop();
    std::thread stopper([&] {
      underWay.get_future().wait();
      stopSwitch.stop();
    });
    bool told = false;
    const auto start = std::chrono::steady_clock::now();
    const ToolOutcome outcome = runHelper({c.mode, c.early ? "20000" : "400"}, {}, [&](ToolRun& r) {
      r.stopSwitch = &stopSwitch;
      r.onProgress = [&](double) {
        if (!std::exchange(told, true)) underWay.set_value();
      };
    });
    if (!told) underWay.set_value();
    stopper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_TRUE(outcome.stopped);
    EXPECT_EQ(outcome.text, c.text);
  }
  // A run without a stop is not marked stopped.
  EXPECT_FALSE(runHelper({"sleep", "10"}).stopped);
}

TEST(SecretBytes, MovesLeaveNothingBehindAndWipeEmpties) {
  SecretBytes first(std::string_view("pässwörd"));
  SecretBytes second(std::move(first));
  EXPECT_TRUE(first.empty());  // NOLINT(bugprone-use-after-move): the moved-from state is the point
  EXPECT_EQ(first.view(), "");
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
