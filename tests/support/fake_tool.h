#pragma once
// Test side of the recording fake tool (fake_tool): its answers and the runs it recorded.

#include <QTemporaryDir>
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
  FakeTool();  // a fresh scratch folder for this tool's records
  static std::string path() { return QUORBEL_FAKE_TOOL; }
  void answer(const std::string& verb, const std::string& report, int status = 0) const;
  void workFor(const std::string& verb, double seconds) const;
  std::vector<RecordedCall> calls() const;

 private:
  QTemporaryDir dir_;
};

}  // namespace quorbel::test
