#include "core/command_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

namespace quorbel {
namespace {

const std::string helper = QUORBEL_CHILD_HELPER;
const std::string failurePrefix = "\xE2\x9A\xA0\xEF\xB8\x8F error ";

std::string run(std::vector<std::string> arguments, const std::optional<std::string>& password = std::nullopt) {
  return CommandRunner(helper, arguments, password);
}

bool noChildLeft() { return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD; }

TEST(CommandRunnerResult, SuccessReturnsOutputUnchanged) {
  EXPECT_EQ(run({"print", ""}), "");
  EXPECT_EQ(run({"print", "line one\nline two\n"}), "line one\nline two\n");
  EXPECT_EQ(run({"print", "no final line feed"}), "no final line feed");
  EXPECT_TRUE(noChildLeft());
}

TEST(CommandRunnerResult, FailureIsOneLineWithTheStatus) {
  // The 13-byte prefix is part of the contract: callers search for "error" in it.
  EXPECT_EQ(failurePrefix.size(), 13u);
  EXPECT_EQ(run({"print", "report\n", "1"}), failurePrefix + "1\n");
  EXPECT_EQ(run({"print", "report\n", "255"}), failurePrefix + "255\n");
  EXPECT_EQ(run({"print", "", "2"}), failurePrefix + "2\n");
  EXPECT_TRUE(noChildLeft());
}

TEST(CommandRunnerResult, DeathBySignalReportsTheSignalNumber) {
  EXPECT_EQ(run({"kill", std::to_string(SIGTERM)}), failurePrefix + std::to_string(SIGTERM) + "\n");
  EXPECT_EQ(run({"kill", std::to_string(SIGKILL)}), failurePrefix + std::to_string(SIGKILL) + "\n");
  EXPECT_TRUE(noChildLeft());
}

TEST(CommandRunnerResult, ArgumentsArriveOneByOneUnquoted) {
  EXPECT_EQ(run({"args", "/Volumes/My Data/\"Back'up\".sparsebundle", "", "Ünïcødé", "$HOME", "*"}),
            "[/Volumes/My Data/\"Back'up\".sparsebundle]\n[]\n[Ünïcødé]\n[$HOME]\n[*]\n");
}

TEST(CommandRunnerResult, ToolThatCannotRunGivesOneFailureLine) {
  const std::string missing = "/nonexistent/quorbel-tool";
  const std::string text = CommandRunner(missing, {"imageinfo"}, std::nullopt);
  EXPECT_EQ(text.rfind(failurePrefix, 0), 0u) << text;
  EXPECT_NE(text.find(missing), std::string::npos) << text;
  EXPECT_NE(text.find("No such file"), std::string::npos) << text;
  EXPECT_EQ(text.find('\n'), text.size() - 1) << text;

  const auto notExecutable = std::filesystem::temp_directory_path() / "quorbel-not-executable";
  std::ofstream(notExecutable) << "#!/bin/sh\necho hi\n";
  std::filesystem::permissions(notExecutable, std::filesystem::perms::owner_read);
  const std::string denied = CommandRunner(notExecutable, {}, std::string("secret"));
  EXPECT_EQ(denied.rfind(failurePrefix, 0), 0u) << denied;
  EXPECT_NE(denied.find("Permission denied"), std::string::npos) << denied;
  std::filesystem::remove(notExecutable);
  EXPECT_TRUE(noChildLeft());
}

TEST(CommandRunnerInput, AbsentPasswordLeavesTheApplicationsStandardInput) {
  struct stat own{};
  ASSERT_EQ(fstat(0, &own), 0);
  EXPECT_EQ(run({"stdin-identity"}), std::to_string(own.st_dev) + ":" + std::to_string(own.st_ino) + "\n");
}

TEST(CommandRunnerInput, PasswordBytesArriveExactlyThenEndOfFile) {
  EXPECT_EQ(run({"stdin"}, std::string()), "");  // empty: end-of-file at once
  EXPECT_EQ(run({"stdin"}, std::string("pässwörd 🔑")), "pässwörd 🔑");
  EXPECT_EQ(run({"stdin"}, std::string("two\nlines")), "two\nlines");
}

TEST(CommandRunnerInput, LargePasswordAndLargeOutputDoNotDeadlock) {
  // The child echoes 1 MiB while it is still being fed: both pipes are full at once.
  std::string password(1 << 20, 'p');
  for (std::size_t i = 0; i < password.size(); i += 4099) password[i] = static_cast<char>('a' + i % 26);
  EXPECT_EQ(run({"stdin"}, password), password);
}

TEST(CommandRunnerInput, ChildThatIgnoresItsInputCannotHurtTheCaller) {
  // SIGPIPE would kill this test process if it reached it.
  const std::string password(4 << 20, 'p');
  EXPECT_EQ(run({"no-read"}, password), "");
  sigset_t pending;
  sigpending(&pending);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
  EXPECT_TRUE(noChildLeft());
}

TEST(CommandRunnerOutput, SixtyFourMebibytesWithAndWithoutPassword) {
  const std::size_t size = 64u << 20;
  const std::string plain = run({"bytes", std::to_string(size)});
  EXPECT_EQ(plain.size(), size);
  EXPECT_EQ(plain.find_first_not_of('x'), std::string::npos);
  const std::string fed = run({"bytes", std::to_string(size), "read-input-first"}, std::string(100000, 'k'));
  EXPECT_EQ(fed.size(), size);
}

TEST(CommandRunnerOutput, InvalidUtf8BecomesReplacementCharacters) {
  EXPECT_EQ(run({"hex", "41ff42"}), "A\xEF\xBF\xBD" "B");
  EXPECT_EQ(run({"hex", "e282"}), "\xEF\xBF\xBD");  // cut off at the end
}

TEST(CommandRunnerOutput, CharactersAreNeverSplitBetweenReads) {
  // Several MiB of 2-, 3- and 4-byte characters cross every read boundary somewhere.
  const std::string unit = "é€😀a";
  const std::string text = run({"repeat", unit, "400000"});
  ASSERT_EQ(text.size(), unit.size() * 400000);
  EXPECT_EQ(text.find("\xEF\xBF\xBD"), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - unit.size()), unit);
}

TEST(CommandRunnerHygiene, ChildSeesOnlyStandardDescriptors) {
  // A descriptor the application opened without close-on-exec must not leak either.
  const int leaky = open("/dev/null", O_RDONLY);
  ASSERT_GE(leaky, 3);
  EXPECT_EQ(run({"fds"}), "0\n1\n2\n");
  EXPECT_EQ(run({"fds"}, std::string("pw")), "0\n1\n2\n");
  close(leaky);
}

TEST(CommandRunnerHygiene, ChildStartsWithDefaultSignalsAndEmptyMask) {
  struct sigaction ignore{}, oldInt{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGINT, &ignore, &oldInt);
  sigset_t usr1, oldMask;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &usr1, &oldMask);

  const std::string text = run({"signals"});

  pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
  sigaction(SIGINT, &oldInt, nullptr);
  // Masks as hexadecimal bit sets; the C library keeps its own internal signals (32 and up) ignored.
  const auto blocked = std::stoull(text.substr(text.find("SigBlk:") + 8, 16), nullptr, 16);
  const auto ignored = std::stoull(text.substr(text.find("SigIgn:") + 8, 16), nullptr, 16);
  EXPECT_EQ(blocked, 0u) << text;
  EXPECT_EQ(ignored & 0x7FFFFFFFull, 0u) << text;
}

TEST(CommandRunnerWaiting, CallbackRunsWhileTheChildWorks) {
  int calls = 0;
  const std::string text = CommandRunner(helper, {"sleep", "400"}, std::nullopt, [&] { ++calls; });
  EXPECT_EQ(text, "done\n");
  EXPECT_GE(calls, 3);   // about every 50 ms over 400 ms
  EXPECT_LE(calls, 12);  // but not in a busy loop
  EXPECT_TRUE(noChildLeft());
}

TEST(CommandRunnerWaiting, BackgroundGrandchildDoesNotHoldTheCallerHostage) {
  // The grandchild keeps standard output open for 20 s; the result comes when the child ends.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(run({"background"}), "parent done\n");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
  EXPECT_TRUE(noChildLeft());
}

}  // namespace
}  // namespace quorbel
