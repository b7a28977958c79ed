#include "fake_tool.h"

#include <QDir>
#include <QFile>

namespace quorbel::test {
namespace {
void write(const QString& path, const std::string& bytes) {
  QFile file(path);
  if (file.open(QIODevice::WriteOnly)) file.write(bytes.data(), static_cast<qint64>(bytes.size()));
}
}  // namespace

FakeTool::FakeTool() { qputenv("QUORBEL_FAKE_DIR", QFile::encodeName(dir_.path())); }

void FakeTool::answer(const std::string& verb, const std::string& report, int status) const {
  write(dir_.filePath(QString::fromStdString(verb + ".out")), report);
  write(dir_.filePath(QString::fromStdString(verb + ".status")), std::to_string(status));
}

void FakeTool::workFor(const std::string& verb, double seconds) const {
  write(dir_.filePath(QString::fromStdString(verb + ".sleep")), std::to_string(seconds));
}

std::vector<RecordedCall> FakeTool::calls() const {
  std::vector<RecordedCall> calls;
  for (int n = 0;; ++n) {
    QFile args(dir_.filePath(QStringLiteral("%1.args").arg(n)));
    if (!args.open(QIODevice::ReadOnly)) return calls;
    RecordedCall call;
    const QByteArray all = args.readAll();
    for (qsizetype at = 0, end; (end = all.indexOf('\0', at)) >= 0; at = end + 1)
      call.arguments.push_back(all.mid(at, end - at).toStdString());
    if (QFile input(dir_.filePath(QStringLiteral("%1.stdin").arg(n))); input.open(QIODevice::ReadOnly))
      call.standardInput = input.readAll().toStdString();
    calls.push_back(std::move(call));
  }
}

}  // namespace quorbel::test
