// Resize, Compact and Change band size through the window and the recording fake tool.
#include <QCheckBox>

#include "window_fixture.h"

namespace quorbel::test {
namespace {

const QString bundle = QStringLiteral("/V/Backup.sparsebundle");
const std::string hint =
    "If this failed, is your Mac running on battery?\nIf so, to compact the sparse bundle either tick the Battery "
    "checkbox or connect your Mac to mains power, and try again.\n";

class OperationTest : public WindowTest {
 protected:
  void run(const QString& button, const std::optional<QString>& source = bundle,
           const std::optional<QString>& destination = std::nullopt) {
    controller->setNextOpenPath(source);
    if (destination) controller->setNextSavePath(destination);
    press(button);
    settle();
  }
};

TEST_F(OperationTest, ResizeReadsTheSizeWhenThePanelClosesAndSkipsWhatDoesNotParse) {
  tool.answer("resize", "");
  type("Maximum size", "1.5");
  choose("Size unit", 2);
  run("Resize");
  for (const char* size : {"abc", ""}) {
    type("Maximum size", size);
    run("Resize");
  }
  const auto calls = tool.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].arguments, (List{"resize", "-size", "1.5t", bundle.toStdString()}));
  EXPECT_FALSE(calls[0].standardInput);
  EXPECT_EQ(pane(), "Resize:\n");
}

TEST_F(OperationTest, CompactBatteryArgumentOnlyWhenCheckedAndHintAfterFailures) {
  auto* battery = control<QCheckBox>("Battery");
  tool.answer("compact", "reclaimed\n", 1);
  battery->setChecked(true);
  run("Compact");
  tool.answer("compact", "ERROR FAILED\n");
  battery->setTristate(true);
  battery->setCheckState(Qt::PartiallyChecked);
  run("Compact");
  tool.answer("compact", "compaction failed\n");
  run("Compact");
  const auto calls = tool.calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].arguments, (List{"compact", "-batteryallowed", bundle.toStdString()}));
  EXPECT_EQ(calls[1].arguments, (List{"compact", bundle.toStdString()}));
  EXPECT_EQ(pane(), "Compact:\n" + failure(1) + hint + "Compact:\nERROR FAILED\n" + "Compact:\ncompaction failed\n" + hint);
}

TEST_F(OperationTest, ChangeBandSizeTestsFirstAndReadsTheBandSizeAfterTheSavePanel) {
  tool.answer("convert", "converted\n");
  tool.answer("isencrypted", "encrypted: yes\n");  // another letter case is no encryption
  type("Band size", "1");
  controller->setNextOpenPath("/a/Old.sparsebundle");
  controller->setNextSavePath("/b/New.sparsebundle");
  press("Change band size");
  QCoreApplication::processEvents();  // the open panel closes: only the encryption test has run
  ASSERT_EQ(tool.calls().size(), 1u);
  type("Band size", "8");
  settle();
  tool.answer("isencrypted", "encrypted: YES\n", 1);  // a failed test is no encryption either
  type("Band size", "2.9");
  run("Change band size", "/a/Old.sparsebundle", "/b/New.sparsebundle");

  const auto calls = tool.calls();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0].arguments, (List{"isencrypted", "/a/Old.sparsebundle"}));
  EXPECT_EQ(calls[1].arguments, (List{"convert", "/a/Old.sparsebundle", "-format", "UDSB", "-o", "/b/New.sparsebundle",
                                      "-imagekey", "sparse-band-size=16000"}));
  EXPECT_EQ(calls[3].arguments.back(), "sparse-band-size=4000");
  EXPECT_EQ(pane(), "Change band size:\nconverted\nChange band size:\nconverted\n");
}

TEST_F(OperationTest, ChangeBandSizeRefusesEncryptedSourcesAndEndsSilentlyBelowOne) {
  tool.answer("isencrypted", "encrypted: YES\n");
  controller->append("earlier\n");
  type("Band size", "8");
  run("Change band size", bundle, "/b/Unused.sparsebundle");
  EXPECT_EQ(pane(), "earlier\nCan't change band size for an encrypted sparse bundle.\n");

  tool.answer("isencrypted", "encrypted: NO\n");
  for (const char* band : {"0", "0.5", "abc"}) {
    type("Band size", band);
    run("Change band size", bundle, "/b/New.sparsebundle");
  }
  // The save answer left over from the refusal was the first one used: the save panel came only after the test.
  const auto calls = tool.calls();
  EXPECT_EQ(calls.size(), 4u);
  for (const auto& call : calls) EXPECT_EQ(call.arguments[0], "isencrypted");
  EXPECT_EQ(pane(), "earlier\nCan't change band size for an encrypted sparse bundle.\n");
}

}  // namespace
}  // namespace quorbel::test
