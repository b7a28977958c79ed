// The application shell with real widgets: menus, help windows and the embedded manual, web links, and
// the update check's alerts and Help menu item driven through a one-response HTTP server on 127.0.0.1.

#include "app/app_delegate.h"
#include "app/help_window.h"
#include "ui/main_window.h"
#include "ui/view_controller.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QMessageBox>
#include <QPdfDocument>
#include <QPdfView>
#include <QRegularExpression>
#include <QScreen>
#include <QSettings>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QTimer>

using namespace quorbel;

namespace {

// Answers every request with one canned response (status line and headers after "HTTP/1.1 ", then the
// body) and records the requests it saw.
struct HttpServer : QObject {
  QByteArray head, body;
  QList<QByteArray> requests;
  QTcpServer server;

  HttpServer(QByteArray h, QByteArray b) : head(std::move(h)), body(std::move(b)) {
    EXPECT_TRUE(server.listen(QHostAddress::LocalHost, 0));
    connect(&server, &QTcpServer::newConnection, this, [this] {
      while (QTcpSocket* socket = server.nextPendingConnection()) {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, received = QByteArray()]() mutable {
          if (!(received += socket->readAll()).contains("\r\n\r\n")) return;
          requests << received;
          socket->write("HTTP/1.1 " + head + "\r\nContent-Length: " + QByteArray::number(body.size()) +
                        "\r\nConnection: close\r\n\r\n" + body);
          socket->disconnectFromHost();
        });
      }
    });
  }
  QUrl address() const {
    return QUrl(QStringLiteral("http://127.0.0.1:%1/updates/list.plist").arg(server.serverPort()));
  }
};

// Answers every alert with the button titled `answer` (or else its first), recording
// "icon|text|informative text|buttons".
struct AlertAnswerer {
  explicit AlertAnswerer(const QString& answer) {
    QObject::connect(&timer, &QTimer::timeout, [this, answer] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box || box == last) return;
      last = box;
      QStringList buttons;
      QAbstractButton* pick = box->buttons().value(0);  // an unexpected alert must not block the test
      for (QAbstractButton* b : box->buttons()) {
        buttons << b->text();
        if (b->text() == answer) pick = b;
      }
      if (pick) QTimer::singleShot(0, pick, &QAbstractButton::click);
      buttons.sort();
      seen << QStringLiteral("%1|%2|%3|%4")
                  .arg(int(box->icon()))
                  .arg(box->text(), box->informativeText(), buttons.join(','));
    });
    timer.start(10);
  }
  QTimer timer;
  QPointer<QMessageBox> last;
  QStringList seen;
};

// The main window as the program entry builds it, with a delegate whose platform edges are fakes.
struct Shell {
  QTemporaryDir dir;
  QSettings settings{dir.filePath("defaults.ini"), QSettings::IniFormat};
  std::unique_ptr<QMainWindow> window;
  QList<QUrl> opened;
  bool browserTakesLinks = true;
  std::optional<QString> version = QStringLiteral("1.0");
  std::optional<QString> helpPath = lookUpEmbeddedResource(QStringLiteral("QuorbelHelp"), QStringLiteral("pdf"));
  std::unique_ptr<AppDelegate> delegate;

  explicit Shell(QUrl listAddress = QUrl(QStringLiteral("http://127.0.0.1:9/"))) {
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());  // the window's own
    window = std::make_unique<MainWindow>(new ViewController(std::string("/nonexistent/tool")));
    delegate = std::make_unique<AppDelegate>(AppDelegate::Seams{
        .settings = &settings,
        .now = [] { return 800'000'000.0; },
        .runningVersion = [this] { return version; },
        .openUrl = [this](const QUrl& u) { return opened << u, browserTakesLinks; },
        .helpLookup =
            [this](const QString& name, const QString& extension) {
              return extension == QLatin1String("pdf") ? helpPath : lookUpEmbeddedResource(name, extension);
            },
        .updateListAddress = listAddress,
        .downloadHostPrefix = QStringLiteral("https://files.quorbel.example/downloads/"),
        .parts = [] { return quorbelDeferredParts(); }});
    ViewController* controller = static_cast<MainWindow*>(window.get())->viewController();
    delegate->installMenuBar(window.get(), {controller->largerTextAction(), controller->smallerTextAction()});
  }

  QAction* action(const QString& menu, const QString& text) const {
    for (QAction* m : window->menuBar()->actions()) {
      for (QAction* a : m->text().remove('&') == menu ? m->menu()->actions() : QList<QAction*>()) {
        if (a->text().remove('&') == text) return a;
      }
    }
    return nullptr;
  }
};

TEST(AppShell, MenuBarCommandsAndHelpWindowsWithTheManual) {
  Shell shell;
  QStringList titles;
  for (QAction* m : shell.window->menuBar()->actions()) titles << m->text().remove('&');
  EXPECT_EQ(titles, (QStringList{"Quorbel", "View", "Help"}));  // the window's View menu is kept, once
  EXPECT_TRUE(shell.action("Quorbel", "About Quorbel Sparse Bundle Utility") && shell.action("View", "Larger Text"));
  QAction* quit = shell.action("Quorbel", "Quit");
  QAction* status = shell.action("Help", "Update not checked");
  ASSERT_TRUE(quit && status);
  EXPECT_EQ(quit->shortcut(), QKeySequence(QKeySequence::Quit));
  EXPECT_FALSE(status->isChecked());
  shell.action("Help", "Support Page")->trigger();
  shell.action("Help", "Updates Page")->trigger();
  EXPECT_EQ(shell.opened, (QList<QUrl>{QUrl(QStringLiteral(QUORBEL_SUPPORT_PAGE_ADDRESS)),
                                       QUrl(QStringLiteral(QUORBEL_UPDATES_PAGE_ADDRESS))}));
  EXPECT_TRUE(shell.opened[0].host().endsWith(QLatin1String(".example")));  // the reserved domain

  // A link no browser takes says so, with the address there to be copied.
  shell.browserTakesLinks = false;
  shell.action("Help", "Support Page")->trigger();
  auto* refusal = shell.window->findChild<QMessageBox*>("linkFailure");
  ASSERT_TRUE(refusal && refusal->isVisible());
  EXPECT_TRUE(refusal->informativeText().endsWith(QStringLiteral(QUORBEL_SUPPORT_PAGE_ADDRESS)));
  EXPECT_TRUE(refusal->textInteractionFlags() & Qt::TextSelectableByKeyboard);
  refusal->accept();

  // "Help" shows one window, centred on the main window's screen, raised again by the next command
  // (F1) and closed by Escape or Ctrl+W.
  QAction* help = shell.action("Help", "Quorbel Sparse Bundle Utility Help");
  ASSERT_TRUE(help);
  EXPECT_EQ(help->shortcut(), QKeySequence(QKeySequence::HelpContents));
  std::vector<HelpWindowController*> windows;
  const auto openWindows = [&] {
    windows.clear();
    for (QWidget* w : shell.delegate->myHelpWindow()) windows.push_back(qobject_cast<HelpWindowController*>(w));
  };
  for (const QKeySequence& closing : {QKeySequence(Qt::Key_Escape), QKeySequence(Qt::CTRL | Qt::Key_W)}) {
    help->trigger();
    openWindows();
    ASSERT_EQ(windows.size(), 1u);
    QPointer<HelpWindowController> first = windows[0];
    first->lower();
    help->trigger();
    openWindows();
    EXPECT_EQ(windows, std::vector<HelpWindowController*>{first.data()});
    const QRect area = shell.window->screen()->availableGeometry();
    EXPECT_LE((first->geometry().center() - area.center()).manhattanLength(), 4);
    EXPECT_TRUE(area.contains(first->geometry()));
    QApplication::setActiveWindow(first);
    ASSERT_TRUE(QTest::qWaitForWindowActive(first));
    QTest::keySequence(first, closing);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(first.isNull()) << closing.toString().toStdString();  // closed and freed
  }
  help->trigger();
  openWindows();
  ASSERT_EQ(windows.size(), 1u);
  const auto shown = [&windows](std::size_t i) {
    EXPECT_TRUE(windows[i]->isVisible());
    const HelpViewController* content = windows[i]->contentViewController();
    EXPECT_EQ(content->helpPDFView()->document(), content->thePDFDocument());
    return content->thePDFDocument();
  };
  ASSERT_TRUE(shown(0));
  EXPECT_EQ(windows[0]->contentViewController()->helpPDFView()->zoomMode(), QPdfView::ZoomMode::FitToWidth);

  // The embedded manual, built from its Markdown source, holds every heading, the file systems and buttons.
  QPdfDocument& pdf = *shown(0);
  EXPECT_EQ(pdf.metaData(QPdfDocument::MetaDataField::Title).toString(), "Quorbel Sparse Bundle Utility Manual");
  const auto collapsed = [](QString text) { return text.replace(QRegularExpression("\\s+"), " ").trimmed(); };
  QString text;
  for (int page = 0; page < pdf.pageCount(); ++page) text += pdf.getAllText(page).text() + ' ';
  text = collapsed(text);
  QFile source(QStringLiteral(QUORBEL_MANUAL_SOURCE));
  ASSERT_TRUE(source.open(QIODevice::ReadOnly));
  QStringList words{"HFS+J",
                    "Case-sensitive APFS",
                    "exFAT",
                    "MS-DOS",
                    "UDF",
                    "Change band size",
                    "Change password",
                    "Get info",
                    "Compact",
                    "Resize",
                    "Battery",
                    "AES-256"};
  const QRegularExpression heading(QStringLiteral("^#{1,3} +(.+)$"), QRegularExpression::MultilineOption);
  for (auto it = heading.globalMatch(QString::fromUtf8(source.readAll())); it.hasNext();) {
    words << collapsed(it.next().captured(1));
  }
  EXPECT_GE(words.size(), 22);
  for (const QString& word : words) EXPECT_TRUE(text.contains(word)) << word.toStdString();
  EXPECT_FALSE(lookUpEmbeddedResource(QStringLiteral("NoSuchManual"), QStringLiteral("pdf")));

  // The same manual as text behind the pages, readable through the accessibility interface.
  QTextEdit* textView = windows[0]->contentViewController()->helpTextView();
  QAccessibleInterface* textIface = QAccessible::queryAccessibleInterface(textView);
  ASSERT_TRUE(textIface && textIface->textInterface());
  EXPECT_EQ(textIface->text(QAccessible::Name), "Manual text");
  const QString spoken = collapsed(textIface->textInterface()->text(0, textIface->textInterface()->characterCount()));
  for (const QString& word : words) EXPECT_TRUE(spoken.contains(word)) << "text: " << word.toStdString();
  EXPECT_EQ(windows[0]->contentViewController()->tabs()->tabText(1), "Text");

  // A missing manual gives a fresh window an empty viewer; an unreadable one empties a window that
  // showed it when it appears again. Neither raises an alert.
  windows[0]->close();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  shell.helpPath.reset();
  help->trigger();
  openWindows();
  ASSERT_EQ(windows.size(), 1u);
  EXPECT_FALSE(shown(0));
  QTemporaryDir dir;
  QFile junk(dir.filePath("QuorbelHelp.pdf"));
  ASSERT_TRUE(junk.open(QIODevice::WriteOnly) && junk.write("%PDF-1.4 this is not really a PDF") > 0);
  junk.close();
  shell.helpPath = junk.fileName();
  windows[0]->hide();
  windows[0]->showWindow();
  EXPECT_FALSE(shown(0));
  QCoreApplication::processEvents();
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

QByteArray updateList(std::initializer_list<const char*> versions) {
  QByteArray xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><array>";
  for (const char* v : versions) {
    xml += QByteArray("<dict><key>AppName</key><string>Quorbel</string><key>Version</key><string>") + v +
           "</string><key>URL</key><string>https://files.quorbel.example/downloads/" + v + ".dmg</string></dict>";
  }
  return xml + "</array></plist>\n";
}

TEST(AppShell, LaunchCheckAlertsOpensAndMarksOrStaysSilent) {
  // Icons: 1 information, 3 critical.
  const QString offer = QStringLiteral(
      "1|An update to this app to version %1 is available.|You are currently "
      "running Quorbel version 1.0.\nPlease choose whether to download this "
      "update now in your default browser.|Download,Ignore");
  const QString error = QStringLiteral("3|An error occurred:|%1|OK");
  const auto dmg = [](const char* v) {
    return QUrl(QStringLiteral("https://files.quorbel.example/downloads/%1.dmg").arg(QLatin1String(v)));
  };
  const QByteArray one = updateList({"2.0"}), xml = "200 OK\r\nContent-Type: text/xml; charset=utf-8",
                   plain = "200 OK\r\nContent-Type: text/plain";
  struct Case {
    QByteArray head, body;
    QString answer{};
    QStringList alerts{};
    QList<QUrl> opened{};
    bool marked = false, noVersion = false;
    QByteArray defaults{};  // the settings file as a user may have written it
    double interval = 43200.0, date = 800'000'000.0;
  } const cases[] = {
      {xml,
       updateList({"2.0", "2.1"}),
       "Download",
       {offer.arg("2.0"), offer.arg("2.1")},
       {dmg("2.0"), dmg("2.1")},
       true},
      {xml, updateList({"0.9"}), "Ignore", {offer.arg("0.9")}, {}, true},
      {plain, updateList({}), "OK", {error.arg("Update Property List has no entries.")}},
      {plain, "<html>gateway</html>", "OK", {error.arg("Error in update Property List.")}},
      {xml, one, "OK", {error.arg("Can't check for updates:\nNo app version string found.")}, {}, false, true},
      // Refused responses are silent: a status, a media type, none, no server, an oversized body.
      {"300 Multiple Choices\r\nContent-Type: text/xml", one},  // no error from Qt, unlike 4xx
      {"200 OK\r\nContent-Type: application/xml", one},
      {"200 OK", one},
      {"", one},
      {xml, one + QByteArray(UpdateChecker::maximumBodyBytes, ' ')},
      // No request when switched off (both values still written) or not yet due: exactly the interval.
      {xml, one, "", {}, {}, false, false, "[General]\nnoUpdateCheck=true\nupdateCheckInt=0.5\n", 43200.0, 0.0},
      {xml,
       one,
       "",
       {},
       {},
       false,
       false,
       "[General]\nupdateCheckInt=7200\ndateLastUpdateCheck=799992800\n",
       7200.0,
       799'992'800.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(&c - cases);
    auto server = std::make_unique<HttpServer>(c.head, c.body);
    const QUrl address = server->address();
    if (c.head.isEmpty()) server.reset();  // the port is closed again
    Shell shell(address);
    QFile defaults(shell.settings.fileName());
    ASSERT_TRUE(defaults.open(QIODevice::WriteOnly) && defaults.write(c.defaults) == c.defaults.size());
    defaults.close();
    shell.settings.sync();
    if (c.noVersion) shell.version.reset();
    AlertAnswerer answerer(c.answer);
    ASSERT_TRUE(shell.delegate->updateChecker());
    QSignalSpy done(qobject_cast<UpdateChecker*>(shell.delegate->updateChecker()->object()), &UpdateChecker::finished);
    shell.delegate->applicationDidFinishLaunching();
    ASSERT_TRUE(!done.isEmpty() || done.wait(15000));
    QCoreApplication::processEvents();  // an alert or a request made on the way out arrives here
    EXPECT_EQ(answerer.seen, c.alerts);
    EXPECT_EQ(shell.opened, c.opened);
    QAction* item = shell.action("Help", c.marked ? "Checked for update" : "Update not checked");
    ASSERT_TRUE(item);  // marked once, even by two entries
    EXPECT_EQ(item->isChecked(), c.marked);
    EXPECT_EQ(shell.settings.value(QStringLiteral("noUpdateCheck")).toBool(), c.defaults.contains("=true"));
    EXPECT_EQ(shell.settings.value(QStringLiteral("updateCheckInt")).toDouble(), c.interval);
    EXPECT_EQ(shell.settings.value(QStringLiteral("dateLastUpdateCheck")).toDouble(), c.date);
    if (!server) continue;
    ASSERT_EQ(server->requests.size(), c.noVersion || !c.defaults.isEmpty() ? 0 : 1);
    EXPECT_TRUE(server->requests.isEmpty() || server->requests[0].startsWith("GET /updates/list.plist HTTP/1.1\r\n"));
  }
}

// The launch check loads the network module, so it waits for the main window's first frame; it runs
// once however often the window is painted, and also for a window that is never painted.
TEST(AppShell, TheLaunchCheckWaitsForTheFirstFrameAndRunsOnce) {
  struct FirstPaint : QObject {
    std::function<void()> seen;
    bool eventFilter(QObject*, QEvent* event) override {
      if (event->type() == QEvent::Paint && seen) std::exchange(seen, nullptr)();
      return false;
    }
  };
  QTemporaryDir dir;
  QSettings settings(dir.filePath("defaults.ini"), QSettings::IniFormat);
  int checks = 0;  // each launch check first asks for the module that holds it
  auto delegateCountingChecks = [&] {
    AppDelegate::Seams seams;
    seams.settings = &settings;
    seams.parts = [&]() -> const DeferredParts* { return ++checks, nullptr; };
    return std::make_unique<AppDelegate>(std::move(seams));
  };

  auto delegate = delegateCountingChecks();
  QWidget window;
  window.resize(300, 200);
  int checksAtFirstPaint = -1;
  FirstPaint spy;
  spy.seen = [&] { checksAtFirstPaint = checks; };
  window.installEventFilter(&spy);
  delegate->finishLaunchingAfterFirstFrame(&window, 300);  // painted well before
  QCoreApplication::processEvents();
  EXPECT_EQ(checks, 0) << "checked before the window was shown";
  window.show();
  ASSERT_TRUE(QTest::qWaitFor([&] { return checks > 0; }, 5000));
  EXPECT_EQ(checksAtFirstPaint, 0);
  window.repaint();
  window.hide();
  window.show();
  bool pastTheLatest = false;  // the delegate's own deadline has fired by then
  QTimer::singleShot(300, [&] { QTimer::singleShot(0, [&] { pastTheLatest = true; }); });
  ASSERT_TRUE(QTest::qWaitFor([&] { return pastTheLatest; }));
  EXPECT_EQ(checks, 1);

  checks = 0;
  delegate = delegateCountingChecks();
  QWidget neverShown;
  delegate->finishLaunchingAfterFirstFrame(&neverShown, 100);
  ASSERT_TRUE(QTest::qWaitFor([&] { return checks > 0; }, 5000));
  QCoreApplication::processEvents();
  EXPECT_EQ(checks, 1);
}

}  // namespace

// The program loads the help window and the update check from the module beside it; the module makes
// the same help window as the parts linked into this test.
TEST(AppShell, TheDeferredPartsLoadFromTheModuleBesideTheProgram) {
  const DeferredParts* parts = loadDeferredParts();
  ASSERT_TRUE(parts) << "the module quorbel-parts was not found beside "
                     << QCoreApplication::applicationDirPath().toStdString();
  ASSERT_NE(parts, quorbelDeferredParts());  // the module's own table, not the one linked in
  QWidget parent;
  QPointer<QWidget> help = parts->makeHelpWindow(lookUpEmbeddedResource, &parent);
  ASSERT_TRUE(help);
  EXPECT_TRUE(help->isWindow());
  EXPECT_EQ(help->windowTitle(), "Quorbel Sparse Bundle Utility Help");
  help->show();
  help->close();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(help.isNull());  // freed when closed
}
