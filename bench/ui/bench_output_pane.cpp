// The output pane's costs, each against its own baseline:
// - the 10,000th append of a 4 KiB piece against the 10th (target: at most 1.5×), so an append
//   costs only its own text however much the pane holds;
// - restyling a 10 MB pane against setting the same text into a fresh pane (target: at most 1.2×).
// Each figure is the median of repeated timings, and includes the event processing (layout and
// painting) the window does after the write.
#include <QApplication>
#include <QPlainTextEdit>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include "ui/output_log.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsOf(const std::function<void()>& work) {
  const auto start = Clock::now();
  work();
  QCoreApplication::processEvents();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// 4096 characters: 64 lines of 63 characters and a line feed.
QString piece(int number) {
  QString line = QStringLiteral("%1 ").arg(number, 8, 10, QLatin1Char('0'));
  while (line.size() < 63) line += QLatin1Char('a' + static_cast<char>(line.size() % 26));
  line += QLatin1Char('\n');
  return line.repeated(64);
}

struct Pane {
  Pane() : widget(std::make_unique<QPlainTextEdit>()), log(widget.get(), 12.0) {
    widget->resize(800, 500);
    widget->show();
    QCoreApplication::processEvents();
  }
  std::unique_ptr<QPlainTextEdit> widget;
  quorbel::OutputLog log;
};

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);

  // The 10th append, in fresh panes.
  std::vector<double> early;
  for (int trial = 0; trial < 31; ++trial) {
    Pane pane;
    for (int i = 1; i < 10; ++i) pane.log.append(piece(i));
    QCoreApplication::processEvents();
    early.push_back(secondsOf([&] { pane.log.append(piece(10)); }));
  }
  // Appends around the 10,000th, in one pane that has grown to 40 MB.
  std::vector<double> late;
  {
    Pane pane;
    for (int i = 1; i < 9985; ++i) pane.log.append(piece(i));
    QCoreApplication::processEvents();
    for (int i = 9985; i <= 10015; ++i) late.push_back(secondsOf([&] { pane.log.append(piece(i)); }));
  }
  const double appendRatio = median(late) / median(early);

  // Restyling a 10 MB pane against setting the same text into a fresh pane.
  QString tenMegabytes;
  for (int i = 0; tenMegabytes.size() < 10 * 1000 * 1000; ++i) tenMegabytes += piece(i);
  std::vector<double> restyles, fresh;
  for (int trial = 0; trial < 7; ++trial) {
    {
      Pane pane;
      fresh.push_back(secondsOf([&] { pane.log.replace(tenMegabytes); }));
    }
    Pane pane;
    pane.log.replace(tenMegabytes);
    QCoreApplication::processEvents();
    restyles.push_back(secondsOf([&] { pane.log.restyle(pane.log.fontSize() + 1.0); }));
  }
  const double restyleRatio = median(restyles) / median(fresh);

  std::printf("append: 10th %.1f us, 10000th %.1f us, ratio %.2f (target <= 1.5) %s\n", median(early) * 1e6,
              median(late) * 1e6, appendRatio, appendRatio <= 1.5 ? "ok" : "MISSED");
  std::printf("restyle 10 MB: %.1f ms, fresh pane %.1f ms, ratio %.2f (target <= 1.2) %s\n", median(restyles) * 1e3,
              median(fresh) * 1e3, restyleRatio, restyleRatio <= 1.2 ? "ok" : "MISSED");
  return appendRatio <= 1.5 && restyleRatio <= 1.2 ? 0 : 1;
}
