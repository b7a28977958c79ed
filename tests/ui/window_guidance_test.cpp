// The window out of the user's way: fields checked as typed, panels that treat a bundle as an item
// and start where the last one was, a guarded quit, focus back where it was, the progress of long
// runs and their end announced on the desktop, and a first size that fits the screen.
#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QDir>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLabel>
#include <QListView>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include "ui/app_style.h"
#include "ui/focus_ring.h"
#include "window_fixture.h"

namespace quorbel::test {
namespace {

TEST(FieldColours, TheErrorColourReadsWellOnLightAndDarkBackgrounds) {
  EXPECT_NEAR(contrastRatio(Qt::black, Qt::white), 21.0, 1e-9);
  EXPECT_NEAR(contrastRatio(QColor(0x77, 0x77, 0x77), Qt::white), 4.48, 0.01);
  for (const QColor base : {QColor(Qt::white), QColor(0xef, 0xef, 0xef), QColor(0x80, 0x80, 0x80),
                            QColor(0x4a, 0x4a, 0x4a), QColor(0x2a, 0x2a, 0x2a), QColor(Qt::black)}) {
    const QColor error = errorColourOn(base);
    EXPECT_GE(contrastRatio(error, base), 4.5) << base.name().toStdString();
    EXPECT_GT(error.red(), error.green()) << base.name().toStdString();  // still a red
  }
}

TEST_F(WindowTest, NumberFieldsAreMarkedAsTypedInLightAndDarkPalettes) {
  QPalette dark;
  dark.setColor(QPalette::Base, QColor(0x2a, 0x2a, 0x2a));
  dark.setColor(QPalette::Text, Qt::white);
  const struct {
    const char* field;
    const char* text;
    bool refused;
  } cases[] = {{"Maximum size", "zehn", true}, {"Maximum size", "0", true}, {"Maximum size", "2.5", false},
               {"Band size", "0", false},      {"Band size", "-1", true},   {"Band size", "8", false}};
  for (const QPalette& palette : {window->palette(), dark}) {
    controller->setPalette(palette);
    for (const auto& c : cases) {
      type(c.field, c.text);
      const QLineEdit* field = control<QLineEdit>(c.field);
      const QColor text = field->palette().color(QPalette::Text), base = field->palette().color(QPalette::Base);
      EXPECT_EQ(text == errorColourOn(base), c.refused) << c.field << " " << c.text;
      EXPECT_GE(contrastRatio(text, base), 4.5);
      EXPECT_EQ(field->accessibleDescription().startsWith("Not accepted: "), c.refused) << c.text;
    }
  }
}

// Return presses the focused button; once the run (or the dialog it opened) is over, the focus is on
// that button again, shown by a ring around it.
TEST_F(WindowTest, ReturnPressesTheFocusedButtonAndTheFocusComesBackToIt) {
  QApplication::setActiveWindow(window.get());
  ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
  tool.answer("imageinfo", "info\n", 0, 0.3);
  for (const char* name : {"Get info", "Create"}) {
    controller->setNextOpenPath("/V/A.sparsebundle");
    choose("Encryption", 1);  // Create asks with the password sheet
    auto* button = control<QPushButton>(name);
    button->setFocus();
    QTest::keyClick(button, Qt::Key_Return);
    if (controller->passwordSheet()) QTest::keyClick(controller->passwordSheet(), Qt::Key_Escape);
    settle();
    EXPECT_EQ(window->focusWidget(), button) << name;
    if (QApplication::activeWindow() != window.get()) continue;  // offscreen, a closed sheet leaves none active
    const auto* ring = window->findChild<FocusRing*>();
    EXPECT_TRUE(ring->isVisible() && ring->target() == button) << name;
    EXPECT_TRUE(ring->geometry().contains(button->geometry().adjusted(-2, -2, 2, 2)));
  }
  EXPECT_EQ(tool.calls().size(), 2u);  // Get info ran; Create was cancelled in the sheet
  EXPECT_TRUE(pane().ends_with("Cancelled creation of sparse bundle.\n"));
}

// The real Linux save panel through Change band size: it starts beside the source with a name
// proposed, never enters a bundle, refuses to save into one or over one, and the folder of the bundle
// used is where the panels of the next run of the program start.
TEST_F(WindowTest, PanelsTreatABundleAsAnItemAndStartWhereTheLastOneWas) {
  QTemporaryDir root;
  const QString folder = QDir(root.path()).filePath("Disks"), source = folder + "/Plain100.sparsebundle";
  ASSERT_TRUE(QDir().mkpath(source + "/bands"));
  tool.answer("isencrypted", "encrypted: NO\n");
  type("Band size", "8");
  controller->setNextOpenPath(source);
  press("Change band size");
  QFileDialog* panel = nullptr;
  ASSERT_TRUE(QTest::qWaitFor([&] { return (panel = window->findChild<QFileDialog*>("savePanel")); }));
  auto* field = panel->findChild<QLineEdit*>("fileNameEdit");
  EXPECT_EQ(QDir(panel->directory()).canonicalPath(), QDir(folder).canonicalPath());
  EXPECT_EQ(field->text(), "Plain100 (8 MB bands).sparsebundle");

  auto* list = panel->findChild<QListView*>("listView");
  const QModelIndex row = panel->findChild<QFileSystemModel*>()->index(source);
  ASSERT_TRUE(QTest::qWaitFor([&] { return list->visualRect(row).isValid(); }));
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(row).center());
  field->clear();
  QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(row).center());
  ASSERT_TRUE(QTest::qWaitFor([&] { return field->text() == "Plain100.sparsebundle"; }));
  EXPECT_EQ(QDir(panel->directory()).canonicalPath(), QDir(folder).canonicalPath());  // not entered
  const std::pair<const char*, const char*> refused[] = {
      {"Plain100.sparsebundle", "“Plain100.sparsebundle” already exists. Choose another name."},
      {"Plain100.sparsebundle/Nested",
       "A sparse bundle cannot be saved inside another one. Choose a folder outside "
       "“Plain100.sparsebundle”."}};
  for (const auto& [typed, message] : refused) {
    field->setText(typed);
    QTest::keyClick(field, Qt::Key_Return);
    QMessageBox* box = nullptr;
    ASSERT_TRUE(QTest::qWaitFor([&] { return (box = panel->findChild<QMessageBox*>("saveRefusal")); }));
    EXPECT_EQ(box->text(), message);
    box->accept();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(panel->isVisible()) << typed;
  }
  EXPECT_FALSE(QFileInfo::exists(source + "/Nested.sparsebundle"));
  field->setText("Eight");
  QTest::keyClick(field, Qt::Key_Return);
  settle();
  ASSERT_EQ(tool.calls().size(), 2u);
  EXPECT_NE(tool.calls()[1].find("|-o|" + QDir(folder).canonicalPath().toStdString() + "/Eight.sparsebundle|"),
            std::string::npos)
      << tool.calls()[1];

  // The next run of the program: its open panel starts in that folder.
  window.reset();
  controller = new ViewController(toolPath);
  window = std::make_unique<MainWindow>(controller);
  window->show();
  press("Get info");
  ASSERT_TRUE(QTest::qWaitFor([&] { return (panel = window->findChild<QFileDialog*>("openPanel")); }));
  EXPECT_EQ(QDir(panel->directory()).canonicalPath(), QDir(folder).canonicalPath());
  panel->reject();
  settle();
  EXPECT_EQ(window->findChild<QLabel*>("statusLine")->text(), "Cancelled");
}

// Closing the window while a tool runs asks first: Cancel keeps the run going, Stop & Quit interrupts
// the tool as Stop does and quits once it has ended.
TEST_F(WindowTest, QuitDuringARunAsksAndStopAndQuitEndsTheToolFirst) {
  for (const bool stopAndQuit : {false, true}) {
    tool.answer("compact", "compacted\n", 0, 30);
    controller->setNextOpenPath("/V/A.sparsebundle");
    press("Compact");
    ASSERT_TRUE(QTest::qWaitFor([&] { return tool.calls().size() == (stopAndQuit ? 2u : 1u); }));
    QString asked, afterAnswer;
    QTimer::singleShot(0, window.get(), [&] { window->close(); });
    QTimer::singleShot(0, window.get(), [&] {
      QMessageBox* box = nullptr;
      if (!QTest::qWaitFor([&] { return (box = window->findChild<QMessageBox*>("quitQuestion")); }))
        return QCoreApplication::exit(41);
      asked = box->text();
      for (QAbstractButton* button : box->buttons())
        if ((box->buttonRole(button) == QMessageBox::RejectRole) != stopAndQuit) button->click();
      afterAnswer = controller->toolRunning() ? "running" : "ended";
      if (!stopAndQuit) QCoreApplication::exit(7);
    });
    QTimer guard;
    guard.singleShot(15000, [] { QCoreApplication::exit(42); });
    EXPECT_EQ(QCoreApplication::exec(), stopAndQuit ? 0 : 7);
    EXPECT_EQ(asked, "Stop the running operation and quit?");
    EXPECT_EQ(afterAnswer, "running");  // Stop & Quit waits for the tool to end
    EXPECT_TRUE(window->isVisible());
    if (!stopAndQuit) press("Stop");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !controller->currentOperation(); }, 10000));
  }
  EXPECT_EQ(pane(), "Compact:\n" + failure(130) + "Compact:\n" + failure(130));  // both stopped by SIGINT
}

// The desktop's notification service, stood in for on a connection of its own to the session bus.
struct NotificationService : QDBusVirtualObject {
  QStringList heard;  // "summary|body"
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    if (message.member() != "Notify") return false;
    heard << message.arguments().value(3).toString() + "|" + message.arguments().value(4).toString();
    connection.send(message.createReply(QVariant::fromValue(1u)));
    return true;
  }
  QString introspect(const QString&) const override { return {}; }
};

// A long run ending while the window is not active is announced through the desktop's notification
// service; a short one, or one the user watches, is not. Its progress shows in the window title.
TEST_F(WindowTest, ALongRunThatEndsUnseenIsAnnouncedOnTheDesktop) {
  if (!qEnvironmentVariableIsSet("QUORBEL_PRIVATE_SESSION_BUS")) GTEST_SKIP() << "needs a private session bus";
  QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "notifications");
  NotificationService service;
  ASSERT_TRUE(bus.registerVirtualObject("/org/freedesktop/Notifications", &service));
  ASSERT_TRUE(bus.registerService("org.freedesktop.Notifications"));
  QStringList titles;
  QObject::connect(window.get(), &QWidget::windowTitleChanged, [&](const QString& title) { titles << title; });
  QWidget elsewhere;
  elsewhere.show();
  controller->setLongRunMilliseconds(1500);
  const struct {
    double seconds;
    bool watched;
    int notices;
  } cases[] = {{2, false, 1}, {2, true, 1}, {0, false, 1}};
  tool.answer("resize", "", 1, 0, "PERCENT:40\nresize: no room\n");
  for (const auto& c : cases) {
    tool.answer("compact", "compacted\n", 0, c.seconds, "PERCENT:40\n");
    QApplication::setActiveWindow(c.watched ? static_cast<QWidget*>(window.get()) : &elsewhere);
    if (c.watched) {
      ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    }
    open("Compact", "/V/A.sparsebundle");
    EXPECT_TRUE(QTest::qWaitFor([&] { return service.heard.size() == c.notices; }, 5000)) << &c - cases;
  }
  open("Resize", "/V/A.sparsebundle");  // short: not announced
  tool.answer("compact", "", 1, 2, "compact: the volume is busy\n");
  QApplication::setActiveWindow(&elsewhere);
  open("Compact", "/V/A.sparsebundle");
  ASSERT_TRUE(QTest::qWaitFor([&] { return service.heard.size() == 2; }, 5000));
  EXPECT_EQ(service.heard,
            (QStringList{"Compact has ended|Done", "Compact has ended|Compact failed: compact: the volume is busy"}));
  EXPECT_TRUE(titles.contains("40% — Quorbel Sparse Bundle Utility")) << titles.join(',').toStdString();
  EXPECT_EQ(window->windowTitle(), "Quorbel Sparse Bundle Utility");
  bus.unregisterService("org.freedesktop.Notifications");
}

TEST(ProgressText, PercentageAndOnceEstimableTheTimeLeft) {
  const std::tuple<double, qint64, const char*> cases[] = {{40, 1000, "40%"},  // too early to tell
                                                           {1, 60000, "1%"},   // too little done to tell
                                                           {40, 20000, "40% — about 30 s left"},
                                                           {90, 9000, "90% — about 5 s left"},
                                                           {50, 120000, "50% — about 2 min left"},
                                                           {10, 3600000, "10% — about 9 h left"},
                                                           {100, 60000, "100%"}};
  for (const auto& [percent, elapsed, text] : cases) EXPECT_EQ(progressText(percent, elapsed), text) << text;
}

// Whatever the screen and the scale factor (tests/ui runs this at scale 2 on a 1600×1000 screen too),
// the window opens within the screen's available area, the status line and Stop included.
TEST(MainWindowLifecycle, TheWindowOpensWithinTheAvailableArea) {
  MainWindow main(new ViewController(std::string("/nonexistent/tool")));
  main.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&main));
  const QRect area = main.screen()->availableGeometry();
  EXPECT_LE(main.width(), area.width());
  EXPECT_LE(main.height(), area.height());
  for (const char* name : {"statusLine", "stopButton"}) {
    const auto* widget = main.findChild<QWidget*>(name);
    const QRect global(widget->mapToGlobal(QPoint(0, 0)), widget->size());
    EXPECT_TRUE(area.contains(global)) << name << " at " << global.x() << "," << global.y();
  }
}

}  // namespace
}  // namespace quorbel::test
