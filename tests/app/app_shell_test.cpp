// The application shell with real widgets: menus, help windows, web links, and the update check's
// alerts and Help menu item driven through a local server.

#include "app/app_delegate.h"
#include "tests/app/tiny_http_server.h"
#include "ui/main_window.h"
#include "ui/storyboard.h"
#include "ui/view_controller.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPdfDocument>
#include <QPdfView>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace quorbel;

namespace {

struct SeenAlert {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString text;
    QString informativeText;
    QStringList buttons;
};

// Answers every alert that comes up with the button titled `answer`, recording what it showed.
class AlertAnswerer {
public:
    explicit AlertAnswerer(QString answer) : m_answer(std::move(answer))
    {
        QObject::connect(&m_timer, &QTimer::timeout, [this] { poll(); });
        m_timer.start(10);
    }
    QList<SeenAlert> seen;

private:
    void poll()
    {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || box == m_last) {
            return;
        }
        m_last = box;
        SeenAlert alert{box->icon(), box->text(), box->informativeText(), {}};
        QAbstractButton* chosen = nullptr;
        for (QAbstractButton* b : box->buttons()) {
            alert.buttons << b->text();
        }
        // Buttons in the order they were added: the dialog's own order depends on the platform style.
        std::sort(alert.buttons.begin(), alert.buttons.end());
        for (QAbstractButton* b : box->buttons()) {
            if (b->text() == m_answer) chosen = b;
        }
        seen << alert;
        QTimer::singleShot(0, box, [chosen, box] { chosen ? chosen->click() : box->reject(); });
    }
    QString m_answer;
    QTimer m_timer;
    QPointer<QMessageBox> m_last;
};

struct Shell {
    QTemporaryDir dir;
    QSettings settings{dir.filePath("defaults.ini"), QSettings::IniFormat};
    QMainWindow mainWindow;
    QList<QUrl> opened;
    int lookups = 0;
    std::optional<QString> helpPath = embeddedHelpDocumentPath();
    int larger = 0;
    int smaller = 0;
    QAction largerText{QStringLiteral("Larger Text")};
    QAction smallerText{QStringLiteral("Smaller Text")};
    std::unique_ptr<AppDelegate> delegate;

    explicit Shell(QUrl listAddress = QUrl(QStringLiteral("http://127.0.0.1:9/")))
    {
        AppDelegate::Seams seams;
        seams.settings = &settings;
        seams.now = [] { return 800'000'000.0; };
        seams.runningVersion = [] { return std::optional<QString>(QStringLiteral("1.0")); };
        seams.openUrl = [this](const QUrl& u) { opened << u; };
        seams.helpLookup = [this](const QString&, const QString&) {
            ++lookups;
            return helpPath;
        };
        seams.updateListAddress = listAddress;
        seams.downloadHostPrefix = QStringLiteral("https://files.quorbel.example/downloads/");
        delegate = std::make_unique<AppDelegate>(seams);
        QObject::connect(&largerText, &QAction::triggered, [this] { ++larger; });
        QObject::connect(&smallerText, &QAction::triggered, [this] { ++smaller; });
        delegate->installMenuBar(&mainWindow, {&largerText, &smallerText});
    }

    QAction* action(const QString& menu, const QString& text) const
    {
        for (QAction* m : delegate->menuBar()->actions()) {
            if (m->text().remove(QLatin1Char('&')) != menu || !m->menu()) continue;
            for (QAction* a : m->menu()->actions()) {
                if (a->text().remove(QLatin1Char('&')) == text) return a;
            }
        }
        return nullptr;
    }

    bool runUpdateCheck()
    {
        bool done = false;
        QObject::connect(&delegate->updateChecker(), &UpdateChecker::finished, [&done] { done = true; });
        delegate->applicationDidFinishLaunching();
        return QTest::qWaitFor([&done] { return done; }, 15000);
    }
};

TEST(AppShellMenus, MenusHoldTheirCommandsAndSendThem)
{
    Shell shell;
    QStringList titles;
    for (QAction* m : shell.delegate->menuBar()->actions()) titles << m->text().remove(QLatin1Char('&'));
    EXPECT_EQ(titles, (QStringList{"Quorbel", "View", "Help"}));

    ASSERT_TRUE(shell.action("Quorbel", "About Quorbel Sparse Bundle Utility"));
    QAction* quit = shell.action("Quorbel", "Quit");
    ASSERT_TRUE(quit);
    EXPECT_EQ(quit->shortcut(), QKeySequence(QKeySequence::Quit));

    QAction* larger = shell.action("View", "Larger Text");
    QAction* smaller = shell.action("View", "Smaller Text");
    ASSERT_TRUE(larger && smaller);
    larger->trigger();
    larger->trigger();
    smaller->trigger();
    EXPECT_EQ(shell.larger, 2);
    EXPECT_EQ(shell.smaller, 1);

    shell.action("Help", "Support Page")->trigger();
    shell.action("Help", "Updates Page")->trigger();
    EXPECT_EQ(shell.opened, (QList<QUrl>{QUrl(QStringLiteral(QUORBEL_SUPPORT_PAGE_ADDRESS)),
                                         QUrl(QStringLiteral(QUORBEL_UPDATES_PAGE_ADDRESS))}));
    // The built-in addresses lie under the reserved domain.
    EXPECT_TRUE(shell.opened[0].host().endsWith(QLatin1String(".example")));

    QAction* status = shell.action("Help", "Update not checked");
    ASSERT_TRUE(status);
    EXPECT_FALSE(status->isChecked());
    shell.delegate->applicationWillTerminate();  // does nothing, harmlessly
}

TEST(AppShellHelp, EachOpenHelpMakesAFreshWindowThatShowsTheManual)
{
    Shell shell;
    QAction* help = shell.action("Help", "Quorbel Sparse Bundle Utility Help");
    ASSERT_TRUE(help);
    for (int i = 0; i < 3; ++i) help->trigger();
    const auto& windows = shell.delegate->myHelpWindow();
    ASSERT_EQ(windows.size(), 3u);
    EXPECT_NE(windows[0].get(), windows[1].get());
    for (const auto& w : windows) {
        EXPECT_TRUE(w->window()->isVisible());
        HelpViewController* content = w->contentViewController();
        ASSERT_TRUE(content->thePDFDocument());
        EXPECT_GE(content->thePDFDocument()->pageCount(), 4);
        EXPECT_EQ(content->helpPDFView()->document(), content->thePDFDocument());
        EXPECT_EQ(content->helpPDFView()->zoomMode(), QPdfView::ZoomMode::FitToWidth);
    }
    for (const auto& w : windows) w->window()->close();
    EXPECT_EQ(shell.delegate->myHelpWindow().size(), 3u);
    EXPECT_FALSE(windows[0]->window()->isVisible());
}

TEST(AppShellHelp, ShowingAHiddenHelpWindowAgainReloadsTheDocument)
{
    Shell shell;
    shell.delegate->openHelp();
    HelpWindowController& w = *shell.delegate->myHelpWindow().front();
    const int afterFirst = shell.lookups;
    EXPECT_GE(afterFirst, 1);
    const QPdfDocument* first = w.contentViewController()->thePDFDocument();
    ASSERT_TRUE(first);
    w.window()->hide();
    w.showWindow();
    EXPECT_GT(shell.lookups, afterFirst);
    ASSERT_TRUE(w.contentViewController()->thePDFDocument());
    EXPECT_EQ(w.contentViewController()->helpPDFView()->document(), w.contentViewController()->thePDFDocument());
}

TEST(AppShellHelp, MissingOrUnreadableManualGivesAnEmptyViewerAndNoAlert)
{
    QTemporaryDir dir;
    const QString junk = dir.filePath("QuorbelHelp.pdf");
    {
        QFile f(junk);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("%PDF-1.4 this is not really a PDF");
    }
    for (const std::optional<QString>& path : {std::optional<QString>(), std::optional<QString>(junk),
                                               std::optional<QString>(dir.filePath("absent.pdf"))}) {
        Shell shell;
        shell.helpPath = path;
        shell.delegate->openHelp();
        const HelpViewController* content = shell.delegate->myHelpWindow().front()->contentViewController();
        EXPECT_EQ(content->thePDFDocument(), nullptr);
        EXPECT_EQ(content->helpPDFView()->document(), nullptr);
        QTest::qWait(20);
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
        shell.delegate->myHelpWindow().front()->window()->close();
    }

    // A window that showed the manual and then finds it missing keeps what it showed.
    Shell shell;
    shell.delegate->openHelp();
    HelpWindowController& w = *shell.delegate->myHelpWindow().front();
    const QPdfDocument* shown = w.contentViewController()->thePDFDocument();
    ASSERT_TRUE(shown);
    shell.helpPath.reset();
    w.window()->hide();
    w.showWindow();
    EXPECT_EQ(w.contentViewController()->thePDFDocument(), shown);
    // ...and one that finds it unreadable shows nothing.
    shell.helpPath = junk;
    w.window()->hide();
    w.showWindow();
    EXPECT_EQ(w.contentViewController()->thePDFDocument(), nullptr);
    EXPECT_EQ(w.contentViewController()->helpPDFView()->document(), nullptr);
}

QByteArray updateList(std::initializer_list<const char*> versions)
{
    QByteArray xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><array>";
    for (const char* v : versions) {
        xml += QByteArray("<dict><key>AppName</key><string>Quorbel</string><key>Version</key><string>") + v +
               "</string><key>URL</key><string>https://files.quorbel.example/downloads/" + v +
               ".dmg</string></dict>";
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

    ASSERT_EQ(answerer.seen.size(), 2);
    EXPECT_EQ(answerer.seen[0].icon, QMessageBox::Information);
    EXPECT_EQ(answerer.seen[0].text, QStringLiteral("An update to this app to version 2.0 is available."));
    EXPECT_EQ(answerer.seen[1].text, QStringLiteral("An update to this app to version 2.1 is available."));
    EXPECT_EQ(answerer.seen[0].informativeText,
              QStringLiteral("You are currently running Quorbel version 1.0.\nPlease choose whether to download "
                             "this update now in your default browser."));
    EXPECT_EQ(answerer.seen[0].buttons, (QStringList{"Download", "Ignore"}));
    EXPECT_EQ(shell.opened, (QList<QUrl>{QUrl(QStringLiteral("https://files.quorbel.example/downloads/2.0.dmg")),
                                         QUrl(QStringLiteral("https://files.quorbel.example/downloads/2.1.dmg"))}));

    // The status item was marked once; the second entry found no unmarked item.
    EXPECT_EQ(shell.action("Help", "Update not checked"), nullptr);
    QAction* status = shell.action("Help", "Checked for update");
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->isChecked());
}

TEST(AppShellUpdate, IgnoreOpensNothingAndEqualVersionShowsNoAlert)
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
    server.body = updateList({"1.0"});
    Shell shell(server.address());
    AlertAnswerer answerer(QStringLiteral("Download"));
    ASSERT_TRUE(shell.runUpdateCheck());
    QTest::qWait(30);
    EXPECT_TRUE(answerer.seen.isEmpty());
    ASSERT_TRUE(shell.action("Help", "Checked for update"));
    EXPECT_TRUE(shell.action("Help", "Checked for update")->isChecked());
}

TEST(AppShellUpdate, ErrorAlertIsCriticalWithOneOkButton)
{
    TinyHttpServer server;
    server.contentType = "text/plain";
    server.body = updateList({});  // an empty array
    Shell shell(server.address());
    AlertAnswerer answerer(QStringLiteral("OK"));
    ASSERT_TRUE(shell.runUpdateCheck());
    ASSERT_EQ(answerer.seen.size(), 1);
    EXPECT_EQ(answerer.seen[0].icon, QMessageBox::Critical);
    EXPECT_EQ(answerer.seen[0].text, QStringLiteral("An error occurred:"));
    EXPECT_EQ(answerer.seen[0].informativeText, QStringLiteral("Update Property List has no entries."));
    EXPECT_EQ(answerer.seen[0].buttons, QStringList{"OK"});
    ASSERT_TRUE(shell.action("Help", "Update not checked"));
    EXPECT_EQ(shell.settings.value(QStringLiteral("dateLastUpdateCheck")).toDouble(), 800'000'000.0);
}

}  // namespace

namespace {

// The real main window from the storyboard with the delegate's menus, as the program entry builds it.
TEST(AppShellMainWindow, MenusJoinTheMainWindowsBarWithOneViewMenu)
{
    QTemporaryDir dir;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.path());
    QSettings settings(dir.filePath("defaults.ini"), QSettings::IniFormat);

    std::unique_ptr<QMainWindow> window(storyboard::instantiateInitialController());
    auto* main = qobject_cast<MainWindow*>(window.get());
    ASSERT_TRUE(main);
    AppDelegate::Seams seams;
    seams.settings = &settings;
    seams.openUrl = [](const QUrl&) {};
    AppDelegate delegate(seams);
    delegate.installMenuBar(main, {main->viewController()->largerTextAction(), main->viewController()->smallerTextAction()});

    EXPECT_EQ(delegate.menuBar(), main->menuBar());
    QStringList titles;
    for (QAction* m : main->menuBar()->actions()) titles << m->text().remove(QLatin1Char('&'));
    EXPECT_EQ(titles, (QStringList{"Quorbel", "View", "Help"}));
    ASSERT_EQ(main->viewMenu()->actions().size(), 2);
    EXPECT_TRUE(main->viewMenu()->actions()[0]->shortcuts().contains(QKeySequence(QKeySequence::ZoomIn)));

    // The Help menu's manual command opens a help window through the storyboard.
    window->show();
    for (QAction* a : delegate.helpMenu()->actions()) {
        if (a->shortcut() == QKeySequence(QKeySequence::HelpContents)) a->trigger();
    }
    ASSERT_EQ(delegate.myHelpWindow().size(), 1u);
    EXPECT_TRUE(delegate.myHelpWindow().front()->isVisible());
    EXPECT_TRUE(delegate.myHelpWindow().front()->contentViewController()->thePDFDocument());
}

}  // namespace
