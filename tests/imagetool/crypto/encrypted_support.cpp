#include "encrypted_support.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace quorbel::imagetool::test {

namespace {

// Spawns `argv` with `input` on a pipe to its standard input and its output to files in `scratch`.
int spawnWithInput(const std::vector<std::string>& argv, const std::string& input, const std::string& outPath,
                   const std::string& errPath, const std::vector<std::string>& env) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<std::string> words = argv;
  std::vector<char*> args;
  for (auto& w : words) args.push_back(w.data());
  args.push_back(nullptr);
  std::vector<std::string> envWords;
  for (char** e = environ; *e != nullptr; ++e) envWords.emplace_back(*e);
  envWords.insert(envWords.end(), env.begin(), env.end());
  std::vector<char*> envp;
  for (auto& w : envWords) envp.push_back(w.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  // The child gets its own session: no controlling terminal, so a missing password cannot block on one.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
  const int rc = ::posix_spawn(&pid, args[0], &actions, &attr, args.data(), envp.data());
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[0]);
  if (rc != 0) {
    ::close(fds[1]);
    return -1;
  }
  ::signal(SIGPIPE, SIG_IGN);
  for (std::size_t done = 0; done < input.size();) {
    const ssize_t n = ::write(fds[1], input.data() + done, input.size() - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::close(fds[1]);
  return pid;
}

RunResult waitFor(int pid, const std::string& outPath, const std::string& errPath) {
  RunResult r;
  int status = 0;
  if (pid > 0 && ::waitpid(pid, &status, 0) == pid) r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = exists(outPath) ? readFile(outPath) : "";
  r.err = exists(errPath) ? readFile(errPath) : "";
  return r;
}

}  // namespace

RunResult runToolWithInput(const std::vector<std::string>& args, const std::string& input,
                           const std::vector<std::string>& env) {
  Scratch scratch;
  std::vector<std::string> argv{QUORBEL_IMAGETOOL};
  argv.insert(argv.end(), args.begin(), args.end());
  const int pid = spawnWithInput(argv, input, scratch / "out", scratch / "err", env);
  return waitFor(pid, scratch / "out", scratch / "err");
}

int startToolWithInput(const std::vector<std::string>& args, const std::string& input) {
  std::vector<std::string> argv{QUORBEL_IMAGETOOL};
  argv.insert(argv.end(), args.begin(), args.end());
  return spawnWithInput(argv, input, "/dev/null", "/dev/null", {});
}

bool decryptBundle(const std::string& bundle, const std::string& password, const std::string& image, bool skipMissing,
                   std::string* why) {
  Scratch scratch;
  std::vector<std::string> argv{"/usr/bin/python3",
                                std::string(QUORBEL_SOURCE_DIR) + "/tests/imagetool/crypto/read_encrypted_bundle.py",
                                bundle, image};
  if (skipMissing) argv.push_back("--skip-missing");
  const int pid = spawnWithInput(argv, password, scratch / "out", scratch / "err", {});
  const RunResult r = waitFor(pid, scratch / "out", scratch / "err");
  if (why != nullptr) *why = r.err;
  return r.status == 0;
}

RunResult createEncrypted(const std::string& path, const std::string& size, const std::string& fileSystem,
                          const std::string& cipher, const std::string& password, const std::string& bandSectors) {
  std::vector<std::string> args{"create", "-size", size, "-type", "SPARSEBUNDLE", "-encryption", cipher, "-stdinpass"};
  if (!bandSectors.empty()) {
    args.push_back("-imagekey");
    args.push_back("sparse-band-size=" + bandSectors);
  }
  for (const std::string& w : {std::string("-fs"), fileSystem, std::string("-volname"), std::string("Vault"), path})
    args.push_back(w);
  return runToolWithInput(args, password);
}

}  // namespace quorbel::imagetool::test
