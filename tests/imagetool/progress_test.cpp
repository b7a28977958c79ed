// Progress lines of the real tool: written only when asked, well formed, rising to 100 on success,
// throttled, never on standard output; and the window's operation objects turn them into progress
// updates while the pane and the failure reason never see them.
#include <fcntl.h>
#include <unistd.h>

#include <QDir>
#include <QTemporaryDir>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>

#include "imagetool/progress.h"
#include "operation_fixture.h"
#include "operations/compact.h"
#include "operations/resize.h"
#include "support.h"

namespace quorbel::test {
namespace {

namespace fs = std::filesystem;

struct ToolResult {
  int status = -1;
  std::string out, err;
  std::vector<double> percents;  // the progress lines of `err`, in order
  std::vector<std::string> otherErr;
  double seconds = 0;
};

std::string fileText(const fs::path& path) { return imagetool::test::readFile(path.string()); }

// Runs the tool with `arguments` (bundle names in `dir`), the password (if any) on standard input, and
// the progress variable set to `variable` (nullptr: unset). Every progress line must be well formed.
ToolResult runImagetool(const fs::path& dir, std::vector<std::string> arguments, const char* variable,
                        const std::string& stdinText = "") {
  for (auto& a : arguments)
    if (a.ends_with(".sparsebundle")) a = (dir / a).string();
  const auto began = std::chrono::steady_clock::now();
  std::vector<std::string> env;
  if (variable) env.push_back("QUORBEL_PROGRESS=" + std::string(variable));
  const auto r = imagetool::test::runTool(arguments, env, stdinText);
  ToolResult run;
  run.status = r.status, run.out = std::regex_replace(r.out, std::regex(dir.string() + "/"), ""), run.err = r.err;
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  static const std::regex form(R"(PERCENT:(\d{1,3}(\.\d+)?))");
  std::istringstream lines(run.err);
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (std::regex_match(line, m, form)) {
      run.percents.push_back(std::stod(m[1]));
    } else {
      EXPECT_EQ(line.rfind("PERCENT", 0), std::string::npos) << "malformed progress line: " << line;
      run.otherErr.push_back(line);
    }
  }
  return run;
}

void expectRisingTo100(const std::vector<double>& p, const std::string& what) {
  ASSERT_FALSE(p.empty()) << what << ": no progress lines";
  for (std::size_t i = 0; i < p.size(); ++i) {
    EXPECT_GE(p[i], 0) << what;
    EXPECT_LE(p[i], 100) << what;
    if (i > 0) {
      EXPECT_GE(p[i], p[i - 1]) << what << ": line " << i << " goes down";
    }
  }
  EXPECT_EQ(p.back(), 100) << what;
  EXPECT_EQ(std::count(p.begin(), p.end(), 100.0), 1) << what << ": 100 said before the end";
}

class ProgressTest : public OperationTest {
 protected:
  void SetUp() override {
    if (!fs::exists(QUORBEL_IMAGETOOL)) GTEST_SKIP() << "the tool is not built";
    root = fs::path(scratch.path().toStdString());
    for (const char* d : {"on", "off"}) fs::create_directories(root / d);
  }
  // A 300 MB HFS+ volume with 1 MiB bands, and `noisyBands` bands of its free space full of noise; with
  // `unreadable`, its first band is noise too, so that no free space is known and every band is read.
  void makeNoisyBundle(const fs::path& dir, int noisyBands, std::size_t noiseBytes, bool unreadable = false) {
    ASSERT_EQ(runImagetool(dir,
                           {"create", "-size", "300m", "-type", "SPARSEBUNDLE", "-imagekey", "sparse-band-size=2048",
                            "-fs", "HFS+J", "-volname", "Noise", "a.sparsebundle"},
                           nullptr)
                  .status,
              0);
    std::mt19937 noise(11);
    std::string bytes(noiseBytes, '\0');
    for (int band = 24; band < 24 + noisyBands; ++band) {
      for (auto& b : bytes) b = static_cast<char>(noise());
      std::ofstream(dir / "a.sparsebundle/bands" / (std::stringstream() << std::hex << band).str(), std::ios::binary)
          << bytes;
    }
    if (unreadable) std::ofstream(dir / "a.sparsebundle/bands/0", std::ios::binary) << bytes;
  }
  QTemporaryDir scratch;
  fs::path root;
};

// Every long verb, run once with the variable and once without on identical inputs: the same report,
// progress lines only when asked, and those rising to 100.
TEST_F(ProgressTest, LongVerbsReportOnlyWhenAskedAndLeaveTheirReportAlone) {
  makeNoisyBundle(root / "on", 120, 8192);
  makeNoisyBundle(root / "off", 120, 8192);
  struct Case {
    std::string name;
    std::vector<std::string> arguments;
    std::string input;
  };
  const std::vector<Case> cases{
      {"compact", {"compact", "-batteryallowed", "a.sparsebundle"}, ""},
      {"convert",
       {"convert", "a.sparsebundle", "-format", "UDSB", "-o", "b.sparsebundle", "-imagekey", "sparse-band-size=8192"},
       ""},
      {"resize larger", {"resize", "-size", "500m", "b.sparsebundle"}, ""},
      {"resize smaller", {"resize", "-size", "200m", "b.sparsebundle"}, ""},
      {"create HFS+",
       {"create", "-size", "200m", "-type", "SPARSEBUNDLE", "-fs", "HFS+", "-volname", "P", "c.sparsebundle"},
       ""},
      {"create encrypted",
       {"create", "-size", "64m", "-type", "SPARSEBUNDLE", "-encryption", "AES-128", "-stdinpass", "-fs", "HFS+J",
        "-volname", "E", "e.sparsebundle"},
       "secret"},
  };
  bool unset = true;
  for (const Case& c : cases) {
    const ToolResult on = runImagetool(root / "on", c.arguments, "1", c.input);
    // Any value but "1" is as good as none.
    const ToolResult off = runImagetool(root / "off", c.arguments, (unset = !unset) ? nullptr : "0", c.input);
    EXPECT_EQ(on.status, 0) << c.name << ": " << on.err;
    EXPECT_EQ(off.status, 0) << c.name << ": " << off.err;
    EXPECT_EQ(on.out, off.out) << c.name;
    EXPECT_TRUE(on.otherErr.empty()) << c.name << ": " << on.err;
    EXPECT_EQ(off.err, "") << c.name;
    EXPECT_LE(on.percents.size(), static_cast<std::size_t>(on.seconds * 10) + 3) << c.name;
    expectRisingTo100(on.percents, c.name);
  }
}

// The reporter itself, driven for 0.6 s of steadily rising work in this process (its standard error
// caught in a file): about ten lines a second, half a point apart at least, never down, one 100.
TEST_F(ProgressTest, TheReporterIsThrottledAndNeverGoesDown) {
  ASSERT_EQ(::setenv("QUORBEL_PROGRESS", "1", 1), 0);
  const fs::path caught = root / "err";
  const int saved = ::dup(2);
  const int file = ::open(caught.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_TRUE(saved >= 0 && file >= 0);
  ::dup2(file, 2);
  ::close(file);
  const auto began = std::chrono::steady_clock::now();
  imagetool::progress::span(10, 100);
  std::uint64_t calls = 0;
  for (double elapsed = 0; elapsed < 0.6;
       elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count()) {
    imagetool::progress::at(static_cast<std::uint64_t>(elapsed * 1000), 600);
    imagetool::progress::at(0, 600);  // a late smaller figure is not shown
    ++calls;
  }
  imagetool::progress::span(5, 6);  // an earlier part of the scale is not shown either
  imagetool::progress::finish();
  imagetool::progress::finish();
  ::dup2(saved, 2);
  ::close(saved);
  ::unsetenv("QUORBEL_PROGRESS");
  std::vector<double> p;
  std::istringstream lines(fileText(caught));
  for (std::string line; std::getline(lines, line);) {
    ASSERT_EQ(line.rfind("PERCENT:", 0), 0u) << line;
    p.push_back(std::stod(line.substr(8)));
  }
  ASSERT_GT(calls, 1000u);
  expectRisingTo100(p, "reporter");
  EXPECT_EQ(p.front(), 10);
  EXPECT_GE(p.size(), 5u);
  EXPECT_LE(p.size(), 9u);  // 0.6 s at ten a second, the first and the final line
  for (std::size_t i = 1; i + 1 < p.size(); ++i) EXPECT_GE(p[i] - p[i - 1], 0.5) << i;
}

// A refused resize may have begun reporting, but never says 100, and its reason is the one line.
TEST_F(ProgressTest, AFailureNeverReaches100AndItsReasonHasNoProgressLine) {
  makeNoisyBundle(root / "on", 1, 4096);
  const ToolResult on = runImagetool(root / "on", {"resize", "-size", "1m", "a.sparsebundle"}, "1");
  EXPECT_NE(on.status, 0);
  EXPECT_EQ(std::count(on.percents.begin(), on.percents.end(), 100.0), 0);
  ASSERT_EQ(on.otherErr.size(), 1u) << on.err;
  EXPECT_NE(on.otherErr[0].find("smallest -size"), std::string::npos) << on.err;
}

// The window's side: the runner passes the real tool's figures on as progress, and neither the pane nor
// the reason of a failure carries a progress line.
TEST_F(ProgressTest, TheOperationsShowTheToolsFiguresAndKeepThemOutOfThePaneAndReason) {
  makeNoisyBundle(root / "on", 100, 1 << 20, true);
  runner = std::make_unique<ToolRunner>(QUORBEL_IMAGETOOL, std::vector<std::string>{"QUORBEL_PROGRESS=1"});
  std::vector<double> seen;
  QObject::connect(runner.get(), &ToolRunner::progress, [&](double percent) { seen.push_back(percent); });
  const QString bundle = QString::fromStdString((root / "on/a.sparsebundle").string());

  host.values.batteryAllowed = true;
  host.openAnswers.push_back(bundle);
  const OperationResult compacted = run<CompactOperation>();
  EXPECT_EQ(compacted.kind, OperationResult::Kind::Done) << pane();
  expectRisingTo100(seen, "compact through the runner");
  EXPECT_EQ(pane().find("PERCENT"), std::string::npos) << pane();
  EXPECT_NE(pane().find("Reclaimed"), std::string::npos) << pane();

  seen.clear();
  host.pane.clear();
  host.values.maxSizeText = "1";
  host.values.maxSizeUnit = 0;  // MB: smaller than the volume's data
  host.openAnswers.push_back(bundle);
  const OperationResult refused = run<ResizeOperation>();
  EXPECT_EQ(refused.kind, OperationResult::Kind::Failed);
  EXPECT_FALSE(seen.empty());  // it began reporting before it refused
  // (the damaged first band makes it refuse)
  EXPECT_TRUE(refused.reason.startsWith(QStringLiteral("quorbel-imagetool: resize: "))) << refused.reason.toStdString();
  EXPECT_FALSE(refused.reason.contains(QStringLiteral("PERCENT"))) << refused.reason.toStdString();
  EXPECT_EQ(pane().find("PERCENT"), std::string::npos) << pane();
}

}  // namespace
}  // namespace quorbel::test
