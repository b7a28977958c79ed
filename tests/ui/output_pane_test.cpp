// The output pane: appends, replace, restyle, and the font size with its limits and stored value.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontMetricsF>
#include <QPlainTextEdit>
#include <QTextBlock>

#include "ui/output_log.h"
#include "window_fixture.h"

namespace quorbel::test {
namespace {

using OutputPaneTest = WindowTest;

TEST_F(OutputPaneTest, WritesKeepEveryCharacterAndRestyleGivesAllTextTheNewSize) {
  const QString text = QStringLiteral("tab\there, no-break\u00A0space, é and e\u0301, 🔑\n\nno line feed");
  controller->append(text.left(20));
  controller->append(text.mid(20));
  controller->append("|next\n");
  EXPECT_EQ(controller->outputText(), text + "|next\n");  // nothing put between appends
  controller->incFontSize();
  controller->incFontSize();
  EXPECT_EQ(controller->outputText(), text + "|next\n");

  QPlainTextEdit* pane = controller->outputTextbox;
  EXPECT_DOUBLE_EQ(pane->font().pointSizeF(), 14.0);
  const QFontMetricsF metrics(pane->font());  // fixed pitch
  EXPECT_DOUBLE_EQ(metrics.horizontalAdvance("iiiiiiii"), metrics.horizontalAdvance("MMMMMMMM"));
  for (QTextBlock block = pane->document()->begin(); block.isValid(); block = block.next())
    for (auto it = block.begin(); !it.atEnd(); ++it)  // no piece keeps a size of its own
      EXPECT_FALSE(it.fragment().charFormat().hasProperty(QTextFormat::FontPointSize));

  controller->replace("Sparsebundle info:\n");
  EXPECT_EQ(pane->toPlainText(), "Sparsebundle info:\n");
}

TEST_F(OutputPaneTest, SizeStaysWithinItsLimitsAndIsStoredAtEveryChange) {
  for (int i = 0; i < 20; ++i) controller->decFontSize();
  EXPECT_DOUBLE_EQ(controller->theFontSize(), 4.0);
  QSettings().remove("fontSize");
  controller->decFontSize();  // at the limit it is stored again
  EXPECT_DOUBLE_EQ(QSettings().value("fontSize").toDouble(), 4.0);
  for (int i = 0; i < 70; ++i) controller->incFontSize();
  EXPECT_DOUBLE_EQ(controller->theFontSize(), 60.0);
  EXPECT_DOUBLE_EQ(QSettings().value("fontSize").toDouble(), 60.0);
}

// The settings file as a person or another program may have written it: every value is text.
TEST(StoredFontSize, HandWrittenValuesReadByTheRule) {
  const std::pair<const char*, double> cases[] = {
      {"fontSize=100", 100.0}, {"fontSize=12.5", 12.5}, {"fontSize=\"20\"", 20.0}, {"fontSize=4", 4.0},
      {"fontSize=3.5", 12.0},  {"fontSize=0", 12.0},    {"", 12.0},              {"fontSize=abc", 12.0},
      {"fontSize=inf", 12.0},  {"fontSize=nan", 12.0},
  };
  for (const auto& [line, expected] : cases) {
    QSettings().clear();
    const QString file = QSettings().fileName();
    QDir().mkpath(QFileInfo(file).path());
    QFile out(file);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
    out.write(QByteArray("[General]\n") + line + "\n");
    out.close();
    ViewController fresh(std::string("/nonexistent/tool"));
    EXPECT_DOUBLE_EQ(fresh.theFontSize(), expected) << line;
    EXPECT_DOUBLE_EQ(fresh.outputTextbox->font().pointSizeF(), expected) << line;
  }
  // From a stored 100 the steps are 60 up and 99 down; from 12.5 the step up gives 13.5.
  EXPECT_DOUBLE_EQ(fontsize::larger(100.0), 60.0);
  EXPECT_DOUBLE_EQ(fontsize::smaller(100.0), 99.0);
  EXPECT_DOUBLE_EQ(fontsize::larger(12.5), 13.5);
}

}  // namespace
}  // namespace quorbel::test
