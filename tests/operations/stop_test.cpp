// Stop at random moments of a compaction and a conversion by the real tool, judged by the bundles'
// content (every non-zero 4 KiB block of the disk image at its offset), read here without the tool.
// A stopped conversion leaves no new bundle or a complete one, and its source as it was. A stopped
// compaction leaves the bundle as it was or as a complete compaction leaves it, down to the holes in
// each band.
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTimer>
#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <set>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "operation_fixture.h"
#include "operations/argument_lists.h"

namespace quorbel::test {
namespace {

namespace fs = std::filesystem;
// The image's content: offset of each non-zero 4 KiB block → its digest; the image size first.
using Content = std::map<long long, QByteArray>;

long long plistInteger(const QByteArray& plist, const char* key) {
  const auto match =
      QRegularExpression(QStringLiteral("<key>%1</key>\\s*<integer>(\\d+)</integer>").arg(key)).match(plist);
  return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

Content contentOf(const QString& bundle) {
  QFile plist(QDir(bundle).filePath("Info.plist"));
  if (!plist.open(QIODevice::ReadOnly)) return {};
  const QByteArray text = plist.readAll();
  const long long bandSize = plistInteger(text, "band-size"), size = plistInteger(text, "size");
  Content content{{-1, QByteArray::number(size)}};
  const QByteArray zeros(4096, '\0');
  for (const QFileInfo& band : QDir(QDir(bundle).filePath("bands")).entryInfoList(QDir::Files)) {
    bool hex = false;
    const long long index = band.fileName().toLongLong(&hex, 16);
    QFile in(band.filePath());
    if (!hex || !in.open(QIODevice::ReadOnly)) return {{-2, "unreadable band " + band.fileName().toUtf8()}};
    for (long long offset = 0; !in.atEnd(); offset += 4096) {
      QByteArray block = in.read(4096);
      block.append(zeros.left(4096 - block.size()));
      if (block != zeros)
        content[index * bandSize + offset] = QCryptographicHash::hash(block, QCryptographicHash::Sha256);
    }
  }
  return content;
}

std::set<std::string> namesIn(const QString& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder.toStdString())) names.insert(entry.path().filename().string());
  return names;
}

class StopTest : public OperationTest {
 protected:
  void SetUp() override {
    useTool(defaultToolPath());
    if (!QFileInfo(QString::fromStdString(runner->launchPath())).isExecutable())
      GTEST_SKIP() << "the tool is not built";
    // A 300 MB volume with 1 MiB bands, and noise in most bands of its free space.
    ToolRun create;
    create.launchPath = runner->launchPath();
    create.arguments = {
        "create", "-size", "300m",     "-type", "SPARSEBUNDLE",        "-imagekey", "sparse-band-size=2048",
        "-fs",    "HFS+J", "-volname", "Noise", original.toStdString()};
    ASSERT_EQ(runTool(create).status, 0);
    std::mt19937 noise(7);
    for (int band = 24; band < 290; ++band) {
      QFile out(QDir(original).filePath(QStringLiteral("bands/%1").arg(band, 0, 16)));
      QByteArray bytes(4096, '\0');
      for (auto& byte : bytes) byte = static_cast<char>(noise());
      ASSERT_TRUE(out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size());
    }
  }
  static std::string defaultToolPath() {
    return QDir(QCoreApplication::applicationDirPath()).filePath("quorbel-imagetool").toStdString();
  }
  QString fresh(const QString& name) {
    const QString copy = scratch.filePath(name);
    fs::remove_all(copy.toStdString());
    fs::copy(original.toStdString(), copy.toStdString(), fs::copy_options::recursive);
    return copy;
  }
  // Runs the tool's `arguments`, stopping it after `stopAfterMs` (negative: never). Returns the
  // milliseconds it took.
  qint64 run(const ArgumentList& arguments, int stopAfterMs) {
    QElapsedTimer clock;
    clock.start();
    bool done = false;
    EXPECT_TRUE(runner->start(arguments, std::nullopt, [&](ToolOutcome) { done = true; }));
    if (stopAfterMs >= 0) QTimer::singleShot(stopAfterMs, runner.get(), [this] { runner->stop(); });
    EXPECT_TRUE(QTest::qWaitFor([&] { return done; }, 60000));
    return clock.elapsed();
  }

  QTemporaryDir scratch;
  QString original = scratch.filePath("original.sparsebundle");
  std::mt19937 moments{std::random_device{}()};
};

// Each band's name → its size and where its data lies (the rest are holes), as the file system tells
// it. (Its block count would also include the file system's own extent blocks, which come and go with
// the timing of write-back.)
std::map<std::string, std::vector<long long>> allocationOf(const QString& bundle) {
  std::map<std::string, std::vector<long long>> maps;
  for (const auto& entry : fs::directory_iterator(QDir(bundle).filePath("bands").toStdString())) {
    const int fd = ::open(entry.path().c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
      if (fd >= 0) ::close(fd);
      continue;
    }
    std::vector<long long>& map = maps[entry.path().filename().string()];
    map.push_back(st.st_size);
    for (off_t at = 0; at < st.st_size;) {
      const off_t data = ::lseek(fd, at, SEEK_DATA);
      if (data < 0) break;
      const off_t hole = ::lseek(fd, data, SEEK_HOLE);
      map.push_back(data);
      map.push_back(hole);
      at = hole;
    }
    ::close(fd);
  }
  return maps;
}

TEST_F(StopTest, ACompactionStoppedAnywhereLeavesTheBundleAsItWasOrWhollyCompacted) {
  // Without its partition map the volume's free space is unknown, so every band is read and only its
  // zero blocks go: bands of alternating data and zero blocks (the costliest plans) make it take long
  // enough to be stopped midway.
  {
    QFile first(QDir(original).filePath(QStringLiteral("bands/0")));
    ASSERT_TRUE(first.open(QIODevice::ReadWrite) && first.write(QByteArray(34 * 512, '\0')) == 34 * 512);
  }
  std::mt19937 noise(3);
  for (int band = 24; band < 290; ++band) {
    QFile out(QDir(original).filePath(QStringLiteral("bands/%1").arg(band, 0, 16)));
    QByteArray bytes(1 << 20, '\0');
    for (int block = 0; block < 256; block += 2)
      for (int i = 0; i < 4096; ++i) bytes[block * 4096 + i] = static_cast<char>(noise() | 1);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size());
  }
  const Content before = contentOf(original);
  ASSERT_GT(before.size(), 260u);
  const auto allocatedBefore = allocationOf(fresh("stopped.sparsebundle"));
  const QString reference = fresh("reference.sparsebundle");
  const qint64 took = run(compactArguments(true, reference.toStdString()), -1);
  const Content complete = contentOf(reference);
  const auto allocatedAfter = allocationOf(reference);
  ASSERT_NE(complete, before);  // the compaction drops the noise
  for (int round = 0; round < 8; ++round) {
    const int moment = std::uniform_int_distribution<int>(0, static_cast<int>(took) + 10)(moments);
    const QString bundle = fresh("stopped.sparsebundle");
    run(compactArguments(true, bundle.toStdString()), moment);
    const Content after = contentOf(bundle);
    const auto allocated = allocationOf(bundle);
    EXPECT_TRUE((after == before && allocated == allocatedBefore) || (after == complete && allocated == allocatedAfter))
        << "stopped after " << moment << " ms of " << took << "; content as before " << (after == before)
        << ", as complete " << (after == complete) << "; allocation as before " << (allocated == allocatedBefore)
        << ", as complete " << (allocated == allocatedAfter);

    EXPECT_EQ(namesIn(scratch.path()),
              (std::set<std::string>{"original.sparsebundle", "reference.sparsebundle", "stopped.sparsebundle"}));
  }
}

TEST_F(StopTest, AConversionStoppedAnywhereLeavesNoHalfMadeBundleAndTheSourceAsItWas) {
  const Content source = contentOf(original);
  const QString reference = scratch.filePath("reference.sparsebundle");
  const qint64 took = run(convertArguments(original.toStdString(), reference.toStdString(), 8192), -1);
  const Content complete = contentOf(reference);
  ASSERT_EQ(complete.at(-1), source.at(-1));
  const QString destination = scratch.filePath("converted.sparsebundle");
  for (int round = 0; round < 4; ++round) {
    const int moment = std::uniform_int_distribution<int>(0, static_cast<int>(took))(moments);
    fs::remove_all(destination.toStdString());
    run(convertArguments(original.toStdString(), destination.toStdString(), 8192), moment);
    EXPECT_EQ(contentOf(original), source) << "stopped after " << moment << " ms of " << took;
    const bool made = QFileInfo::exists(destination);
    EXPECT_TRUE(!made || contentOf(destination) == complete) << "stopped after " << moment << " ms of " << took;
    std::set<std::string> expected{"original.sparsebundle", "reference.sparsebundle"};
    if (made) expected.insert("converted.sparsebundle");
    EXPECT_EQ(namesIn(scratch.path()), expected) << "stopped after " << moment << " ms";
  }
}

// A resize is built beside the bundle and swapped in whole: stopped anywhere, the path holds the old
// bundle exactly, or the resized one with both property lists saying the new size and the blocks where
// a complete resize puts them (their content differs by the volume's modification dates).
TEST_F(StopTest, AResizeStoppedAnywhereLeavesTheOldBundleOrTheWholeNewOne) {
  const Content before = contentOf(original);
  const QString reference = fresh("reference.sparsebundle");
  const qint64 took = run(resizeArguments("900m", reference.toStdString()), -1);
  const Content complete = contentOf(reference);
  ASSERT_EQ(complete.at(-1), "943718400");
  const auto offsets = [](const Content& content) {
    std::set<long long> keys;
    for (const auto& block : content) keys.insert(block.first);
    return keys;
  };
  for (int round = 0; round < 6; ++round) {
    const int moment = std::uniform_int_distribution<int>(0, static_cast<int>(took))(moments);
    const QString bundle = fresh("stopped.sparsebundle");
    run(resizeArguments("900m", bundle.toStdString()), moment);
    const Content after = contentOf(bundle);
    QFile plist(QDir(bundle).filePath("Info.plist")), backup(QDir(bundle).filePath("Info.bckup"));
    ASSERT_TRUE(plist.open(QIODevice::ReadOnly) && backup.open(QIODevice::ReadOnly));
    const bool resized = after.at(-1) == complete.at(-1);
    EXPECT_TRUE(resized ? offsets(after) == offsets(complete) && plist.readAll() == backup.readAll() : after == before)
        << "stopped after " << moment << " ms of " << took;
    EXPECT_EQ(namesIn(scratch.path()),
              (std::set<std::string>{"original.sparsebundle", "reference.sparsebundle", "stopped.sparsebundle"}))
        << "stopped after " << moment << " ms";
  }
}

}  // namespace
}  // namespace quorbel::test
