// The output pane: what appends, replaces and restyles leave in it, and the font size with its
// limits and its stored value.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontMetricsF>
#include <QPlainTextEdit>
#include <QSettings>
#include <QTextBlock>
#include <QTextDocument>

#include "ui/output_log.h"
#include "window_fixture.h"

namespace quorbel::test {
namespace {

class OutputPaneTest : public WindowTest {};

TEST_F(OutputPaneTest, AppendsAddNothingBetweenTextsAndReplaceDropsEverything) {
  controller->append("first line\n");
  controller->append("second ");
  controller->append("");
  controller->append("continues\n\n");
  EXPECT_EQ(pane(), "first line\nsecond continues\n\n");

  controller->replace("Sparsebundle info:\nnew");
  EXPECT_EQ(pane(), "Sparsebundle info:\nnew");
  controller->replace("");
  EXPECT_EQ(pane(), "");
}

TEST_F(OutputPaneTest, RestyleKeepsEveryCharacterAndAllTextTakesTheNewSize) {
  const QString text = QStringLiteral("tab\there, non-breaking\u00A0space, é and e\u0301, 🔑\n\nlast line");
  controller->append(text.left(20));
  controller->append(text.mid(20));
  controller->incFontSize();
  controller->incFontSize();
  EXPECT_EQ(controller->outputText(), text);
  EXPECT_DOUBLE_EQ(controller->theFontSize(), 14.0);

  QPlainTextEdit* pane = controller->outputTextbox;
  EXPECT_DOUBLE_EQ(pane->font().pointSizeF(), 14.0);
  const QFontMetricsF metrics(pane->font());  // fixed pitch: narrow and wide letters take equal room
  EXPECT_DOUBLE_EQ(metrics.horizontalAdvance("iiiiiiii"), metrics.horizontalAdvance("MMMMMMMM"));
  // No piece of text carries a size of its own that would keep it at the old size.
  for (QTextBlock block = pane->document()->begin(); block.isValid(); block = block.next())
    for (auto it = block.begin(); !it.atEnd(); ++it)
      EXPECT_FALSE(it.fragment().charFormat().hasProperty(QTextFormat::FontPointSize));
}

TEST_F(OutputPaneTest, SizeStepsAndLimitsAreWrittenAtOnce) {
  auto stored = [] { return QSettings().value("fontSize").toDouble(); };
  EXPECT_DOUBLE_EQ(controller->theFontSize(), 12.0);
  controller->decFontSize();
  EXPECT_DOUBLE_EQ(stored(), 11.0);
  for (int i = 0; i < 20; ++i) controller->decFontSize();
  EXPECT_DOUBLE_EQ(controller->theFontSize(), 4.0);
  QSettings().remove("fontSize");
  controller->decFontSize();  // at the limit it is stored again
  EXPECT_DOUBLE_EQ(stored(), 4.0);
  for (int i = 0; i < 70; ++i) controller->incFontSize();
  EXPECT_DOUBLE_EQ(controller->theFontSize(), 60.0);
  EXPECT_DOUBLE_EQ(stored(), 60.0);
}

// The settings file as a person or another program may have written it: values are text.
class StoredFontSizeTest : public ::testing::TestWithParam<std::pair<std::string, double>> {};

TEST_P(StoredFontSizeTest, StartsFromTheStoredSizeByTheRule) {
  QSettings().clear();
  const QString file = QSettings().fileName();
  QDir().mkpath(QFileInfo(file).path());
  {
    QFile out(file);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
    out.write(QByteArray("[General]\n") + GetParam().first.c_str() + "\n");
  }
  ViewController fresh(std::string("/nonexistent/tool"));
  EXPECT_DOUBLE_EQ(fresh.theFontSize(), GetParam().second) << GetParam().first;
  EXPECT_DOUBLE_EQ(fresh.outputTextbox->font().pointSizeF(), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(
    HandWritten, StoredFontSizeTest,
    ::testing::Values(std::pair<std::string, double>{"fontSize=100", 100.0}, std::pair<std::string, double>{"fontSize=12.5", 12.5},
                      std::pair<std::string, double>{"fontSize=\"20\"", 20.0}, std::pair<std::string, double>{"fontSize=3.5", 12.0},
                      std::pair<std::string, double>{"fontSize=0", 12.0}, std::pair<std::string, double>{"", 12.0}, std::pair<std::string, double>{"fontSize=abc", 12.0},
                      std::pair<std::string, double>{"fontSize=inf", 12.0}, std::pair<std::string, double>{"fontSize=4", 4.0}));

TEST(FontSizeRules, StartingAboveTheLargestComesDownInOneStepOrGoesDownByOne) {
  EXPECT_DOUBLE_EQ(fontsize::larger(100.0), 60.0);
  EXPECT_DOUBLE_EQ(fontsize::smaller(100.0), 99.0);
  EXPECT_DOUBLE_EQ(fontsize::larger(12.5), 13.5);
  EXPECT_DOUBLE_EQ(fontsize::larger(59.5), 60.0);
  EXPECT_DOUBLE_EQ(fontsize::smaller(4.5), 4.0);
}

}  // namespace
}  // namespace quorbel::test
