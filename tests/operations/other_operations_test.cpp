// Resize, Compact and Change band size through the window and the recording fake tool.
#include "flow_fixture.h"

namespace quorbel::test {
namespace {

const std::string hint =
    "If this failed, is your Mac running on battery?\nIf so, to compact the sparse bundle either tick the Battery "
    "checkbox or connect your Mac to mains power, and try again.\n";
const QString bundle = QStringLiteral("/Volumes/Data/Backup.sparsebundle");

class ResizeTest : public FlowTest {
 protected:
  void resize(const std::optional<QString>& path) {
    controller->setNextOpenPath(path);
    press("Resize");
    settle();
  }
};

TEST_F(ResizeTest, SizeAndUnitReadWhenThePanelClosesBehindTheHeading) {
  tool.answer("resize", "resized\n");
  type("Maximum size", "20");
  choose("Size unit", 1);
  resize(bundle);
  type("Maximum size", "1.5");
  choose("Size unit", 2);
  choose("Encryption", 2);  // plays no part
  resize(bundle);
  tool.answer("resize", "");
  resize(bundle);

  const auto calls = tool.calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].arguments, (List{"resize", "-size", "20g", bundle.toStdString()}));
  EXPECT_EQ(calls[1].arguments, (List{"resize", "-size", "1.5t", bundle.toStdString()}));
  EXPECT_FALSE(calls[1].standardInput.has_value());
  EXPECT_FALSE(sheetShown());
  EXPECT_EQ(pane(), "Resize:\nresized\nResize:\nresized\nResize:\n");
}

TEST_F(ResizeTest, UnparsableSizeOrCancelRunsAndWritesNothing) {
  type("Maximum size", "abc");
  resize(bundle);
  type("Maximum size", "");
  resize(bundle);
  type("Maximum size", "20");
  resize(std::nullopt);
  EXPECT_TRUE(tool.calls().empty());
  EXPECT_EQ(pane(), "");

  tool.answer("resize", "", 1);
  resize(bundle);
  EXPECT_EQ(pane(), "Resize:\n" + failure(1));
}

class CompactTest : public FlowTest {
 protected:
  void compact() {
    controller->setNextOpenPath(bundle);
    press("Compact");
    settle();
  }
};

TEST_F(CompactTest, BatteryArgumentOnlyForTheCheckedState) {
  compact();
  setBattery(Qt::Checked);
  compact();
  setBattery(Qt::PartiallyChecked);
  compact();
  const auto calls = tool.calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].arguments, (List{"compact", bundle.toStdString()}));
  EXPECT_EQ(calls[1].arguments, (List{"compact", "-batteryallowed", bundle.toStdString()}));
  EXPECT_EQ(calls[2].arguments, (List{"compact", bundle.toStdString()}));
  EXPECT_EQ(control<QCheckBox>("Battery")->checkState(), Qt::PartiallyChecked);  // left as the user set it
}

TEST_F(CompactTest, HintFollowsTextsThatReadLikeAFailure) {
  struct Case {
    std::string report;
    int status;
    bool hinted;
  };
  const Case cases[] = {
      {"reclaimed 12 MB\n", 1, true},           {"reclaimed 12 MB\n", 0, false}, {"compaction failed\n", 0, true},
      {"3 Errors\n", 0, true},                   {"ERROR FAILED\n", 0, false},    {"", 0, false},
  };
  for (const auto& c : cases) {
    controller->replace("");
    tool.answer("compact", c.report, c.status);
    compact();
    const std::string shown = c.status == 0 ? c.report : failure(c.status);
    EXPECT_EQ(pane(), "Compact:\n" + shown + (c.hinted ? hint : "")) << c.report << " status " << c.status;
  }
}

class ChangeBandSizeTest : public FlowTest {
 protected:
  void changeBand(const std::optional<QString>& source, const std::optional<QString>& destination) {
    controller->setNextOpenPath(source);
    if (source) controller->setNextSavePath(destination);
    press("Change band size");
    settle();
  }
};

TEST_F(ChangeBandSizeTest, TestsEncryptionFirstThenConvertsWithTheBandSizeReadAfterTheSavePanel) {
  tool.answer("isencrypted", "encrypted: NO\n");
  tool.answer("convert", "converted\n");
  type("Band size", "1");
  controller->setNextOpenPath("/a/Old.sparsebundle");
  controller->setNextSavePath("/b/New.sparsebundle");
  press("Change band size");
  QCoreApplication::processEvents();  // the open panel closes: the encryption test runs
  ASSERT_EQ(tool.calls().size(), 1u);
  type("Band size", "8");  // changed while the save panel is open: this value counts
  settle();

  auto calls = tool.calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].arguments, (List{"isencrypted", "/a/Old.sparsebundle"}));
  EXPECT_EQ(calls[1].arguments, (List{"convert", "/a/Old.sparsebundle", "-format", "UDSB", "-o", "/b/New.sparsebundle",
                                      "-imagekey", "sparse-band-size=16000"}));
  EXPECT_FALSE(calls[1].standardInput.has_value());

  type("Band size", "9");
  choose("Band unit", 1);
  changeBand("/a/Old.sparsebundle", "/b/New.sparsebundle");
  type("Band size", "2.9");
  choose("Band unit", 0);
  changeBand("/a/Old.sparsebundle", "/b/New.sparsebundle");
  calls = tool.calls();
  ASSERT_EQ(calls.size(), 6u);
  EXPECT_EQ(calls[3].arguments.back(), "sparse-band-size=16777216");
  EXPECT_EQ(calls[5].arguments.back(), "sparse-band-size=4000");
  EXPECT_EQ(pane(), "Change band size:\nconverted\nChange band size:\nconverted\nChange band size:\nconverted\n");
}

TEST_F(ChangeBandSizeTest, AnEncryptedSourceIsRefusedBeforeTheSavePanel) {
  tool.answer("isencrypted", "path: x\nencrypted: YES\n");
  controller->append("earlier\n");
  type("Band size", "8");
  changeBand("/a/Secret.sparsebundle", "/b/New.sparsebundle");
  EXPECT_EQ(pane(), "earlier\nCan't change band size for an encrypted sparse bundle.\n");
  EXPECT_EQ(tool.calls().size(), 1u);

  // The unused save answer is still waiting: the save panel was never begun. A marker in another
  // letter case, or a failed test, is no encryption.
  tool.answer("isencrypted", "encrypted: yes\n");
  controller->setNextOpenPath("/a/Other.sparsebundle");
  press("Change band size");
  settle();
  tool.answer("isencrypted", "encrypted: YES\n", 1);
  changeBand("/a/Third.sparsebundle", "/b/Third.sparsebundle");
  const auto calls = tool.calls();
  ASSERT_EQ(calls.size(), 5u);
  EXPECT_EQ(calls[2].arguments[1], "/a/Other.sparsebundle");
  EXPECT_EQ(calls[2].arguments[5], "/b/New.sparsebundle");
  EXPECT_EQ(calls[4].arguments[0], "convert");
}

TEST_F(ChangeBandSizeTest, BandSizeBelowOneOrUnparsableEndsSilentlyAfterTheSavePanel) {
  controller->append("earlier\n");
  for (const char* band : {"0", "0.5", "", "abc", "-2"}) {
    type("Band size", band);
    changeBand("/a/Old.sparsebundle", "/b/New.sparsebundle");
  }
  changeBand("/a/Old.sparsebundle", std::nullopt);
  changeBand(std::nullopt, std::nullopt);
  const auto calls = tool.calls();
  ASSERT_EQ(calls.size(), 6u);  // only the encryption tests
  for (const auto& call : calls) EXPECT_EQ(call.arguments[0], "isencrypted");
  EXPECT_EQ(pane(), "earlier\n");
}

}  // namespace
}  // namespace quorbel::test
