// The application shell with real widgets: the main window's menus, help windows, web links, and the
// update check's alerts and Help menu item driven through a local server.

#include "app/app_delegate.h"
#include "tests/app/tiny_http_server.h"
#include "ui/main_window.h"
#include "ui/storyboard.h"
#include "ui/view_controller.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPdfDocument>
#include <QPdfView>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace quorbel;

namespace {

// Answers every alert with the button titled `answer`, recording "text|informative text|buttons".
struct AlertAnswerer {
    explicit AlertAnswerer(QString answer)
    {
        QObject::connect(&timer, &QTimer::timeout, [this, answer] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || box == last) return;
            last = box;
            QStringList buttons;
            for (QAbstractButton* b : box->buttons()) buttons << b->text();
            buttons.sort();
            seen << box->text() + '|' + box->informativeText() + '|' + buttons.join(',');
            icons << box->icon();
            for (QAbstractButton* b : box->buttons()) {
                if (b->text() == answer) QTimer::singleShot(0, b, &QAbstractButton::click);
            }
        });
        timer.start(10);
    }
    QTimer timer;
    QPointer<QMessageBox> last;
    QStringList seen;
    QList<QMessageBox::Icon> icons;
};

// The main window as the program entry builds it, with a delegate whose platform edges are fakes.
struct Shell {
    QTemporaryDir dir;
    QSettings settings{dir.filePath("defaults.ini"), QSettings::IniFormat};
    std::unique_ptr<QMainWindow> window;
    QList<QUrl> opened;
    double clock = 800'000'000.0;
    std::optional<QString> version = QStringLiteral("1.0");
    int lookups = 0;
    std::optional<QString> helpPath = embeddedHelpDocumentPath();
    std::unique_ptr<AppDelegate> delegate;

    explicit Shell(QUrl listAddress = QUrl(QStringLiteral("http://127.0.0.1:9/")))
    {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());  // the window's own
        window.reset(storyboard::instantiateInitialController());
        AppDelegate::Seams seams;
        seams.settings = &settings;
        seams.now = [this] { return clock; };
        seams.runningVersion = [this] { return version; };
        seams.openUrl = [this](const QUrl& u) { opened << u; };
        seams.helpLookup = [this](const QString&, const QString&) { return ++lookups, helpPath; };
        seams.updateListAddress = listAddress;
        seams.downloadHostPrefix = QStringLiteral("https://files.quorbel.example/downloads/");
        delegate = std::make_unique<AppDelegate>(seams);
        ViewController* controller = static_cast<MainWindow*>(window.get())->viewController();
        delegate->installMenuBar(window.get(), {controller->largerTextAction(), controller->smallerTextAction()});
    }

    QAction* action(const QString& menu, const QString& text) const
    {
        for (QAction* m : window->menuBar()->actions()) {
            if (m->text().remove('&') != menu) continue;
            for (QAction* a : m->menu()->actions()) {
                if (a->text().remove('&') == text) return a;
            }
        }
        return nullptr;
    }

    double stored(const char* key) const { return settings.value(QLatin1String(key)).toDouble(); }

    bool runUpdateCheck()
    {
        bool done = false;
        QObject::connect(&delegate->updateChecker(), &UpdateChecker::finished, [&done] { done = true; });
        delegate->applicationDidFinishLaunching();
        return QTest::qWaitFor([&done] { return done; }, 15000);
    }
};

TEST(AppShellMenus, MenusJoinTheMainWindowsBarAndSendTheirCommands)
{
    Shell shell;
    QStringList titles;
    for (QAction* m : shell.window->menuBar()->actions()) titles << m->text().remove('&');
    EXPECT_EQ(titles, (QStringList{"Quorbel", "View", "Help"}));  // the window's View menu is kept, once
    ASSERT_TRUE(shell.action("Quorbel", "About Quorbel Sparse Bundle Utility"));
    ASSERT_TRUE(shell.action("Quorbel", "Quit"));
    EXPECT_EQ(shell.action("Quorbel", "Quit")->shortcut(), QKeySequence(QKeySequence::Quit));
    ASSERT_TRUE(shell.action("View", "Larger Text"));

    shell.action("Help", "Support Page")->trigger();
    shell.action("Help", "Updates Page")->trigger();
    EXPECT_EQ(shell.opened, (QList<QUrl>{QUrl(QStringLiteral(QUORBEL_SUPPORT_PAGE_ADDRESS)),
                                         QUrl(QStringLiteral(QUORBEL_UPDATES_PAGE_ADDRESS))}));
    EXPECT_TRUE(shell.opened[0].host().endsWith(QLatin1String(".example")));  // the reserved domain
    ASSERT_TRUE(shell.action("Help", "Update not checked"));
    EXPECT_FALSE(shell.action("Help", "Update not checked")->isChecked());
}

TEST(AppShellHelp, EachOpenHelpMakesAFreshWindowThatShowsTheManual)
{
    Shell shell;
    QAction* help = shell.action("Help", "Quorbel Sparse Bundle Utility Help");
    ASSERT_TRUE(help);
    EXPECT_EQ(help->shortcut(), QKeySequence(QKeySequence::HelpContents));
    for (int i = 0; i < 3; ++i) help->trigger();
    const auto& windows = shell.delegate->myHelpWindow();
    ASSERT_EQ(windows.size(), 3u);
    EXPECT_NE(windows[0].get(), windows[1].get());
    for (const auto& w : windows) {
        EXPECT_TRUE(w->isVisible());
        HelpViewController* content = w->contentViewController();
        ASSERT_TRUE(content->thePDFDocument());
        EXPECT_GE(content->thePDFDocument()->pageCount(), 4);
        EXPECT_EQ(content->helpPDFView()->document(), content->thePDFDocument());
        EXPECT_EQ(content->helpPDFView()->zoomMode(), QPdfView::ZoomMode::FitToWidth);
        w->close();
    }
    EXPECT_EQ(shell.delegate->myHelpWindow().size(), 3u);  // closed windows stay referenced
}

TEST(AppShellHelp, EveryAppearanceReloadsAndAMissingOrUnreadableManualShowsNothingWithoutAlert)
{
    QTemporaryDir dir;
    const QString junk = dir.filePath("QuorbelHelp.pdf");
    QFile f(junk);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("%PDF-1.4 this is not really a PDF");
    f.close();
    for (const std::optional<QString>& path : {std::optional<QString>(), std::optional<QString>(junk)}) {
        Shell shell;
        shell.helpPath = path;
        shell.delegate->openHelp();
        const HelpViewController* content = shell.delegate->myHelpWindow().front()->contentViewController();
        EXPECT_EQ(content->thePDFDocument(), nullptr);
        EXPECT_EQ(content->helpPDFView()->document(), nullptr);
        QTest::qWait(20);
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    }

    Shell shell;
    shell.delegate->openHelp();
    HelpWindowController& w = *shell.delegate->myHelpWindow().front();
    const QPdfDocument* shown = w.contentViewController()->thePDFDocument();
    ASSERT_TRUE(shown);
    const int lookups = shell.lookups;
    shell.helpPath.reset();  // gone: the window keeps what it showed
    w.hide();
    w.showWindow();
    EXPECT_GT(shell.lookups, lookups);
    EXPECT_EQ(w.contentViewController()->thePDFDocument(), shown);
    shell.helpPath = junk;  // unreadable: the window shows nothing
    w.hide();
    w.showWindow();
    EXPECT_EQ(w.contentViewController()->thePDFDocument(), nullptr);
    EXPECT_EQ(w.contentViewController()->helpPDFView()->document(), nullptr);
}

QByteArray updateList(std::initializer_list<const char*> versions)
{
    QByteArray xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><array>";
    for (const char* v : versions) {
        xml += QByteArray("<dict><key>AppName</key><string>Quorbel</string><key>Version</key><string>") + v +
               "</string><key>URL</key><string>https://files.quorbel.example/downloads/" + v + ".dmg</string></dict>";
    }
    return xml + "</array></plist>\n";
}

TEST(AppShellUpdate, TwoOffersComeAsTwoAlertsAndDownloadOpensTheAddress)
{
    TinyHttpServer server;
    server.body = updateList({"2.0", "2.1"});
    Shell shell(server.address());
    AlertAnswerer answerer(QStringLiteral("Download"));
    ASSERT_TRUE(shell.runUpdateCheck());

    ASSERT_EQ(server.requests.size(), 1);
    EXPECT_TRUE(server.requests[0].startsWith("GET /updates/list.plist HTTP/1.1\r\n"));
    EXPECT_EQ(shell.settings.value(QStringLiteral("noUpdateCheck")).toBool(), false);
    EXPECT_EQ(shell.stored("updateCheckInt"), 43200.0);
    EXPECT_EQ(shell.stored("dateLastUpdateCheck"), 800'000'000.0);
    const QString informative = QStringLiteral("You are currently running Quorbel version 1.0.\nPlease choose "
                                               "whether to download this update now in your default browser.");
    EXPECT_EQ(answerer.seen, (QStringList{"An update to this app to version 2.0 is available.|" + informative + "|Download,Ignore",
                                          "An update to this app to version 2.1 is available.|" + informative + "|Download,Ignore"}));
    EXPECT_EQ(answerer.icons, (QList<QMessageBox::Icon>{QMessageBox::Information, QMessageBox::Information}));
    EXPECT_EQ(shell.opened, (QList<QUrl>{QUrl(QStringLiteral("https://files.quorbel.example/downloads/2.0.dmg")),
                                         QUrl(QStringLiteral("https://files.quorbel.example/downloads/2.1.dmg"))}));
    // Marked once; the second entry found no unmarked item.
    EXPECT_EQ(shell.action("Help", "Update not checked"), nullptr);
    ASSERT_TRUE(shell.action("Help", "Checked for update"));
    EXPECT_TRUE(shell.action("Help", "Checked for update")->isChecked());
}

TEST(AppShellUpdate, IgnoreOpensNothingAndAnEmptyListGivesTheCriticalAlert)
{
    TinyHttpServer server;
    server.body = updateList({"0.9"});
    {
        Shell shell(server.address());
        AlertAnswerer answerer(QStringLiteral("Ignore"));
        ASSERT_TRUE(shell.runUpdateCheck());
        EXPECT_EQ(answerer.seen.size(), 1);
        EXPECT_TRUE(shell.opened.isEmpty());
    }
    server.contentType = "text/plain";
    server.body = updateList({});
    Shell shell(server.address());
    AlertAnswerer answerer(QStringLiteral("OK"));
    ASSERT_TRUE(shell.runUpdateCheck());
    EXPECT_EQ(answerer.seen, QStringList{"An error occurred:|Update Property List has no entries.|OK"});
    EXPECT_EQ(answerer.icons, QList<QMessageBox::Icon>{QMessageBox::Critical});
    EXPECT_TRUE(shell.action("Help", "Update not checked"));
}

TEST(AppShellUpdate, RejectedResponsesAreSilentButStillMoveTheDate)
{
    const std::pair<QByteArray, QByteArray> cases[] = {{"404 Not Found", "text/xml"},
                                                       {"500 Internal Server Error", "text/xml"},
                                                       {"200 OK", "application/xml"},
                                                       {"200 OK", ""},
                                                       {"unreachable", ""},
                                                       {"oversized", "text/xml"}};
    for (const auto& [status, contentType] : cases) {
        SCOPED_TRACE(status.toStdString() + " / " + contentType.toStdString());
        auto server = std::make_unique<TinyHttpServer>();
        server->status = status == "oversized" ? "200 OK" : status;
        server->contentType = contentType;
        server->body = updateList({"2.0"});
        if (status == "oversized") server->body += QByteArray(UpdateChecker::maximumBodyBytes, ' ');
        const QUrl address = server->address();
        if (status == "unreachable") server.reset();  // the port is closed again
        Shell shell(address);
        AlertAnswerer answerer(QStringLiteral("OK"));
        ASSERT_TRUE(shell.runUpdateCheck());
        QTest::qWait(30);
        EXPECT_TRUE(answerer.seen.isEmpty());
        EXPECT_TRUE(shell.action("Help", "Update not checked"));
        EXPECT_EQ(shell.stored("dateLastUpdateCheck"), 800'000'000.0);
    }
}

TEST(AppShellUpdate, NoRequestWhenSwitchedOffOrNotDue)
{
    TinyHttpServer server;
    server.body = updateList({"2.0"});
    Shell off(server.address());
    off.settings.setValue(QStringLiteral("noUpdateCheck"), true);
    off.settings.setValue(QStringLiteral("updateCheckInt"), 0.5);
    ASSERT_TRUE(off.runUpdateCheck());
    EXPECT_EQ(off.settings.value(QStringLiteral("noUpdateCheck")).toBool(), true);
    EXPECT_EQ(off.stored("updateCheckInt"), 43200.0);
    EXPECT_FALSE(off.settings.contains(QStringLiteral("dateLastUpdateCheck")));

    // Hand-written values are texts in the file, and still read as numbers.
    Shell handWritten(server.address());
    QFile file(handWritten.dir.filePath("defaults.ini"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[General]\nnoUpdateCheck=false\nupdateCheckInt=7200\ndateLastUpdateCheck=799990000\n");
    file.close();
    handWritten.settings.sync();
    handWritten.clock = 799'990'000.0 + 7200.0;  // exactly the interval: not due
    ASSERT_TRUE(handWritten.runUpdateCheck());
    EXPECT_EQ(handWritten.stored("updateCheckInt"), 7200.0);
    QTest::qWait(50);  // give a stray connection the chance to arrive
    EXPECT_TRUE(server.requests.isEmpty());
    handWritten.clock += 1.0;
    AlertAnswerer answerer(QStringLiteral("Ignore"));
    ASSERT_TRUE(handWritten.runUpdateCheck());
    EXPECT_EQ(server.requests.size(), 1);
    EXPECT_EQ(handWritten.stored("dateLastUpdateCheck"), handWritten.clock);
}

TEST(AppShellUpdate, UnreadableListOrMissingVersionGiveTheirErrorAlerts)
{
    TinyHttpServer server;
    server.contentType = "text/plain";
    server.body = "<html>gateway says hello</html>";
    {
        Shell shell(server.address());
        AlertAnswerer answerer(QStringLiteral("OK"));
        ASSERT_TRUE(shell.runUpdateCheck());
        EXPECT_EQ(answerer.seen, QStringList{"An error occurred:|Error in update Property List.|OK"});
    }
    Shell shell(server.address());
    shell.version.reset();
    AlertAnswerer answerer(QStringLiteral("OK"));
    ASSERT_TRUE(shell.runUpdateCheck());
    EXPECT_EQ(answerer.seen, QStringList{"An error occurred:|Can't check for updates:\nNo app version string found.|OK"});
    EXPECT_EQ(shell.stored("dateLastUpdateCheck"), 800'000'000.0);
    EXPECT_EQ(server.requests.size(), 1);  // only the first launch asked
}

}  // namespace
