#pragma once
// Test side of the recording fake tool: a scratch folder, the tool's answers, the recorded runs.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quorbel::test {

struct RecordedCall {
  std::vector<std::string> arguments;
  std::optional<std::string> standardInput;  // nullopt: standard input was not a pipe
};

class FakeTool {
 public:
  FakeTool();   // a fresh scratch folder; QUORBEL_FAKE_DIR points at it
  ~FakeTool();  // removes it

  static std::string path();  // the fake tool's executable
  const std::filesystem::path& dir() const { return dir_; }

  void answer(const std::string& verb, const std::string& report, int status = 0) const;
  void workFor(const std::string& verb, int milliseconds) const;
  std::vector<RecordedCall> calls() const;

 private:
  std::filesystem::path dir_;
};

}  // namespace quorbel::test
