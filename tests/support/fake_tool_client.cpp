#include "fake_tool.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace quorbel::test {

FakeTool::FakeTool() {
  std::string pattern = (std::filesystem::temp_directory_path() / "quorbel-fake-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("no scratch folder");
  dir_ = pattern;
  setenv("QUORBEL_FAKE_DIR", dir_.c_str(), 1);
}

FakeTool::~FakeTool() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

std::string FakeTool::path() { return QUORBEL_FAKE_TOOL; }

void FakeTool::answer(const std::string& verb, const std::string& report, int status) const {
  std::ofstream(dir_ / (verb + ".out"), std::ios::binary) << report;
  std::ofstream(dir_ / (verb + ".status")) << status;
}

void FakeTool::workFor(const std::string& verb, int milliseconds) const {
  std::ofstream(dir_ / (verb + ".sleep")) << milliseconds;
}

std::vector<RecordedCall> FakeTool::calls() const {
  std::ifstream in(dir_ / "calls", std::ios::binary);
  const std::string all(std::istreambuf_iterator<char>(in), {});
  std::vector<RecordedCall> calls;
  std::size_t at = 0;
  auto readLength = [&](char stop) {
    const std::size_t end = all.find(stop, at);
    const std::size_t value = std::stoul(all.substr(at, end - at));
    at = end + 1;
    return value;
  };
  auto readBytes = [&] {
    const std::size_t length = readLength(':');
    std::string bytes = all.substr(at, length);
    at += length + 1;  // the line feed after the bytes
    return bytes;
  };
  while (all.compare(at, 5, "call ") == 0) {
    at += 5;
    RecordedCall call;
    for (std::size_t n = readLength('\n'); n > 0; --n) call.arguments.push_back(readBytes());
    if (all.compare(at, 11, "stdin none\n") == 0) {
      at += 11;
    } else {
      at += 6;  // "stdin "
      call.standardInput = readBytes();
    }
    calls.push_back(std::move(call));
  }
  return calls;
}

}  // namespace quorbel::test
