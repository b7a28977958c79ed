#include "core/command_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <chrono>
#include <filesystem>
#include <fstream>

namespace quorbel {
namespace {

const std::string helper = QUORBEL_CHILD_HELPER;
const std::string failurePrefix = "\xE2\x9A\xA0\xEF\xB8\x8F error ";

std::string run(std::vector<std::string> arguments, const std::optional<std::string>& password = std::nullopt) {
  return CommandRunner(helper, arguments, password);
}

bool noChildLeft() { return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD; }

TEST(CommandRunner, ResultShapes) {
  struct Case {
    std::vector<std::string> arguments;
    std::optional<std::string> password;
    std::string expected;
  };
  const std::string multibyte = "pässwörd 🔑";
  const Case cases[] = {
      {{"print", ""}, {}, ""},
      {{"print", "line one\nline two\n"}, {}, "line one\nline two\n"},
      {{"print", "no final line feed"}, {}, "no final line feed"},
      // Failures drop what the child printed on both streams.
      {{"print", "report\n", "1"}, {}, failurePrefix + "1\n"},
      {{"print", "report\n", "255"}, {}, failurePrefix + "255\n"},
      {{"kill", std::to_string(SIGTERM)}, {}, failurePrefix + std::to_string(SIGTERM) + "\n"},
      {{"kill", std::to_string(SIGKILL)}, {}, failurePrefix + std::to_string(SIGKILL) + "\n"},
      {{"args", "/Volumes/My Data/\"Back'up\".sparsebundle", "", "Ünï", "$HOME", "*"},
       {},
       "[/Volumes/My Data/\"Back'up\".sparsebundle]\n[]\n[Ünï]\n[$HOME]\n[*]\n"},
      // A password arrives as its bytes alone, then end-of-file; an empty one is end-of-file at once.
      {{"stdin"}, std::string(), ""},
      {{"stdin"}, multibyte, multibyte},
      {{"stdin"}, std::string("two\nlines"), "two\nlines"},
      // Invalid UTF-8 is repaired once, at the end.
      {{"hex", "41ff42"},
       {},
       "A\xEF\xBF\xBD"
       "B"},
      {{"hex", "e282"}, {}, "\xEF\xBF\xBD"},
  };
  for (const auto& c : cases) EXPECT_EQ(run(c.arguments, c.password), c.expected) << c.arguments[0];
  EXPECT_EQ(failurePrefix.size(), 13u);
  EXPECT_TRUE(noChildLeft());
}

TEST(CommandRunner, ToolThatCannotRunGivesOneFailureLine) {
  const std::string missing = "/nonexistent/quorbel-tool";
  const auto notExecutable = std::filesystem::temp_directory_path() / "quorbel-not-executable";
  std::ofstream(notExecutable) << "#!/bin/sh\necho hi\n";
  std::filesystem::permissions(notExecutable, std::filesystem::perms::owner_read);
  const std::pair<std::string, std::string> cases[] = {{missing, "No such file"}, {notExecutable, "Permission denied"}};
  for (const auto& [path, reason] : cases) {
    const std::string text = CommandRunner(path, {"imageinfo"}, std::string("secret"));
    EXPECT_EQ(text.rfind(failurePrefix, 0), 0u) << text;
    EXPECT_NE(text.find(path), std::string::npos) << text;
    EXPECT_NE(text.find(reason), std::string::npos) << text;
    EXPECT_EQ(text.find('\n'), text.size() - 1) << text;
  }
  std::filesystem::remove(notExecutable);
}

TEST(CommandRunner, AbsentPasswordLeavesTheApplicationsStandardInput) {
  struct stat own {};
  ASSERT_EQ(fstat(0, &own), 0);
  EXPECT_EQ(run({"stdin-identity"}), std::to_string(own.st_dev) + ":" + std::to_string(own.st_ino) + "\n");
}

TEST(CommandRunner, LargeInputAndOutputNeverDeadlockNorHurtTheCaller) {
  // The child echoes 1 MiB while it is still being fed: both pipes are full at once.
  std::string password(1 << 20, 'p');
  for (std::size_t i = 0; i < password.size(); i += 4099) password[i] = static_cast<char>('a' + i % 26);
  EXPECT_EQ(run({"stdin"}, password), password);

  const std::size_t size = 64u << 20;
  EXPECT_EQ(run({"bytes", std::to_string(size)}), std::string(size, 'x'));
  EXPECT_EQ(run({"bytes", std::to_string(size), "read-input-first"}, std::string(100000, 'k')).size(), size);

  // A child that exits without reading: SIGPIPE would kill this test process if it reached it.
  EXPECT_EQ(run({"no-read"}, std::string(4 << 20, 'p')), "");
  sigset_t pending;
  sigpending(&pending);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);

  // Several MiB of 2-, 3- and 4-byte characters cross read boundaries; none may be split.
  const std::string unit = "é€😀a";
  const std::string text = run({"repeat", unit, "400000"});
  ASSERT_EQ(text.size(), unit.size() * 400000);
  EXPECT_EQ(text.find("\xEF\xBF\xBD"), std::string::npos);
  EXPECT_TRUE(noChildLeft());
}

TEST(CommandRunner, ChildStartsCleanOnlyStandardDescriptorsDefaultSignalsEmptyMask) {
  const int leaky = open("/dev/null", O_RDONLY);  // opened without close-on-exec
  ASSERT_GE(leaky, 3);
  EXPECT_EQ(run({"fds"}), "0\n1\n2\n");
  EXPECT_EQ(run({"fds"}, std::string("pw")), "0\n1\n2\n");
  close(leaky);

  struct sigaction ignore {
  }, oldInt{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGINT, &ignore, &oldInt);
  sigset_t usr1, oldMask;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &usr1, &oldMask);
  const std::string text = run({"signals"});
  pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
  sigaction(SIGINT, &oldInt, nullptr);

  // Hexadecimal bit sets; the C library keeps its own internal signals (32 and up) ignored.
  const auto mask = [&](const char* key) { return std::stoull(text.substr(text.find(key) + 8, 16), nullptr, 16); };
  EXPECT_EQ(mask("SigBlk:"), 0u) << text;
  EXPECT_EQ(mask("SigIgn:") & 0x7FFFFFFFull, 0u) << text;
}

TEST(CommandRunner, WaitingKeepsTheCallbackRunningAndIsNotHeldByGrandchildren) {
  int calls = 0;
  EXPECT_EQ(CommandRunner(helper, {"sleep", "400"}, std::nullopt, [&] { ++calls; }), "done\n");
  EXPECT_GE(calls, 3);   // about every 50 ms over 400 ms
  EXPECT_LE(calls, 12);  // but not in a busy loop

  // The grandchild keeps standard output open for 20 s; the result comes when the child ends.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(run({"background"}), "parent done\n");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
  EXPECT_TRUE(noChildLeft());
}

}  // namespace
}  // namespace quorbel
