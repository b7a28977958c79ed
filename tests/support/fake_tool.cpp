// A recording stand-in for the disk-image tool. For every run it appends to $QUORBEL_FAKE_DIR/calls
// one record of its arguments and standard input, byte for byte:
//   "call <argc>\n" then per argument "<length>:<bytes>\n",
//   then "stdin <length>:<bytes>\n" when standard input is a pipe, or "stdin none\n" otherwise.
// Its report and exit status come from $QUORBEL_FAKE_DIR/<verb>.out and <verb>.status
// (missing: empty report, status 0); <verb>.sleep holds milliseconds to work before answering.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>

namespace {

std::string readFile(const std::string& path, bool& found) {
  std::ifstream in(path, std::ios::binary);
  found = static_cast<bool>(in);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

int main(int argc, char** argv) {
  const char* dirValue = std::getenv("QUORBEL_FAKE_DIR");
  if (!dirValue) return 97;
  const std::string dir = dirValue;
  const std::string verb = argc > 1 ? argv[1] : "";

  std::ostringstream record;
  record << "call " << (argc - 1) << "\n";
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    record << argument.size() << ":" << argument << "\n";
  }
  struct stat info {};
  if (fstat(0, &info) == 0 && S_ISFIFO(info.st_mode)) {
    std::string input;
    char buffer[4096];
    ssize_t got;
    while ((got = read(0, buffer, sizeof buffer)) > 0) input.append(buffer, static_cast<std::size_t>(got));
    record << "stdin " << input.size() << ":" << input << "\n";
  } else {
    record << "stdin none\n";
  }
  std::ofstream(dir + "/calls", std::ios::binary | std::ios::app) << record.str();

  bool found = false;
  const std::string sleepText = readFile(dir + "/" + verb + ".sleep", found);
  if (found) std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(sleepText.c_str())));
  const std::string report = readFile(dir + "/" + verb + ".out", found);
  std::fwrite(report.data(), 1, report.size(), stdout);
  const std::string status = readFile(dir + "/" + verb + ".status", found);
  return found ? std::atoi(status.c_str()) : 0;
}
