// The update check end to end against a small HTTP server on 127.0.0.1: settings read and written,
// one GET, the response test, and the alerts, menu marks and browser openings that follow.

#include "app/update_checker.h"
#include "tests/app/tiny_http_server.h"

#include <gtest/gtest.h>

#include <QNetworkAccessManager>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace quorbel;

namespace {

const QString prefix = QStringLiteral("https://files.quorbel.example/downloads/");

QByteArray listOffering(const char* version)
{
    return QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><array>"
                      "<dict><key>AppName</key><string>Other</string></dict>"
                      "<dict><key>AppName</key><string>Quorbel</string><key>Version</key><string>") +
           version +
           "</string><key>URL</key><string>https://files.quorbel.example/downloads/q.dmg</string></dict>"
           "</array></plist>\n";
}

// One launch: fake edges that record what the check asked for.
struct Launch {
    QTemporaryDir dir;
    std::unique_ptr<QSettings> settings;
    QNetworkAccessManager network;
    double clock = 800'000'000.0;
    std::optional<QString> version = QStringLiteral("1.0");
    bool answerDownload = true;
    QStringList errors;
    QStringList asked;
    int marks = 0;
    QList<QUrl> opened;

    Launch() : settings(std::make_unique<QSettings>(dir.filePath("defaults.ini"), QSettings::IniFormat)) {}

    UpdateCheckEdges edges()
    {
        UpdateCheckEdges e;
        e.now = [this] { return clock; };
        e.runningVersion = [this] { return version; };
        e.showError = [this](const QString& m) { errors << m; };
        e.askToDownload = [this](const QString& m, const QString& i) {
            asked << m + QLatin1Char('|') + i;
            return answerDownload;
        };
        e.markHelpItem = [this] { ++marks; };
        e.openAddress = [this](const QUrl& u) { opened << u; };
        return e;
    }

    // Runs checkForUpdateIfDue and waits until the check has ended.
    bool run(const QUrl& listAddress)
    {
        UpdateChecker checker(*settings, network, edges(), listAddress, prefix);
        bool done = false;
        QObject::connect(&checker, &UpdateChecker::finished, [&done] { done = true; });
        checker.checkForUpdateIfDue();
        return QTest::qWaitFor([&done] { return done; }, 15000);
    }

    double stored(const QString& key) const { return settings->value(key).toDouble(); }
};

TEST(UpdateCheckNetwork, FirstLaunchOffersANewerVersionAndOpensTheParsedAddress)
{
    TinyHttpServer server;
    server.body = listOffering("2.0");
    Launch launch;
    ASSERT_TRUE(launch.run(server.address()));

    ASSERT_EQ(server.requests.size(), 1);
    EXPECT_TRUE(server.requests[0].startsWith("GET /updates/list.plist HTTP/1.1\r\n"));
    EXPECT_EQ(launch.marks, 1);
    ASSERT_EQ(launch.asked.size(), 1);
    EXPECT_EQ(launch.asked[0], QStringLiteral("An update to this app to version 2.0 is available.|You are currently "
                                              "running Quorbel version 1.0.\nPlease choose whether to download "
                                              "this update now in your default browser."));
    EXPECT_EQ(launch.opened, QList<QUrl>{QUrl(QStringLiteral("https://files.quorbel.example/downloads/q.dmg"))});
    EXPECT_TRUE(launch.errors.isEmpty());
    EXPECT_EQ(launch.settings->value(QStringLiteral("noUpdateCheck")).toBool(), false);
    EXPECT_EQ(launch.stored(QStringLiteral("updateCheckInt")), 43200.0);
    EXPECT_EQ(launch.stored(QStringLiteral("dateLastUpdateCheck")), 800'000'000.0);
}

TEST(UpdateCheckNetwork, IgnoreOpensNothingAndEqualVersionOnlyMarks)
{
    TinyHttpServer server;
    server.body = listOffering("2.0");
    Launch ignoring;
    ignoring.answerDownload = false;
    ASSERT_TRUE(ignoring.run(server.address()));
    EXPECT_EQ(ignoring.asked.size(), 1);
    EXPECT_TRUE(ignoring.opened.isEmpty());

    server.body = listOffering("1.0");
    Launch equal;
    ASSERT_TRUE(equal.run(server.address()));
    EXPECT_EQ(equal.marks, 1);
    EXPECT_TRUE(equal.asked.isEmpty());
}

TEST(UpdateCheckNetwork, RejectedResponsesAreSilentButStillMoveTheDate)
{
    struct Case {
        QByteArray status;
        QByteArray contentType;
    };
    const Case cases[] = {{"404 Not Found", "text/xml"},
                          {"500 Internal Server Error", "text/xml"},
                          {"200 OK", "application/xml"},
                          {"200 OK", ""}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status.toStdString() + " / " + c.contentType.toStdString());
        TinyHttpServer server;
        server.status = c.status;
        server.contentType = c.contentType;
        server.body = listOffering("2.0");
        Launch launch;
        ASSERT_TRUE(launch.run(server.address()));
        EXPECT_EQ(server.requests.size(), 1);
        EXPECT_EQ(launch.marks, 0);
        EXPECT_TRUE(launch.asked.isEmpty());
        EXPECT_TRUE(launch.errors.isEmpty());
        EXPECT_EQ(launch.stored(QStringLiteral("dateLastUpdateCheck")), 800'000'000.0);
    }
}

TEST(UpdateCheckNetwork, UnreachableServerIsSilent)
{
    QUrl closed;
    {
        TinyHttpServer server;  // take a free port, then close it
        closed = server.address();
    }
    Launch launch;
    ASSERT_TRUE(launch.run(closed));
    EXPECT_TRUE(launch.errors.isEmpty());
    EXPECT_EQ(launch.marks, 0);
    EXPECT_EQ(launch.stored(QStringLiteral("dateLastUpdateCheck")), 800'000'000.0);
}

TEST(UpdateCheckNetwork, UnreadableListShowsTheErrorAlertAndOversizedBodyIsDropped)
{
    TinyHttpServer server;
    server.contentType = "text/plain";
    server.body = "<html>gateway says hello</html>";
    Launch launch;
    ASSERT_TRUE(launch.run(server.address()));
    EXPECT_EQ(launch.errors, QStringList{QStringLiteral("Error in update Property List.")});

    server.body = listOffering("2.0") + QByteArray(UpdateChecker::maximumBodyBytes + 1, ' ');
    Launch big;
    ASSERT_TRUE(big.run(server.address()));
    EXPECT_TRUE(big.errors.isEmpty());
    EXPECT_TRUE(big.asked.isEmpty());
    EXPECT_EQ(big.marks, 0);
}

TEST(UpdateCheckNetwork, NoRequestWhenSwitchedOffOrNotDue)
{
    TinyHttpServer server;
    server.body = listOffering("2.0");

    Launch off;
    off.settings->setValue(QStringLiteral("noUpdateCheck"), true);
    off.settings->setValue(QStringLiteral("updateCheckInt"), 0.5);
    ASSERT_TRUE(off.run(server.address()));
    EXPECT_EQ(off.settings->value(QStringLiteral("noUpdateCheck")).toBool(), true);
    EXPECT_EQ(off.stored(QStringLiteral("updateCheckInt")), 43200.0);
    EXPECT_FALSE(off.settings->contains(QStringLiteral("dateLastUpdateCheck")));
    EXPECT_EQ(off.marks, 0);

    Launch recent;
    recent.settings->setValue(QStringLiteral("dateLastUpdateCheck"), recent.clock - 100.0);
    ASSERT_TRUE(recent.run(server.address()));
    EXPECT_EQ(recent.stored(QStringLiteral("dateLastUpdateCheck")), recent.clock - 100.0);

    QTest::qWait(50);  // give a stray connection the chance to arrive
    EXPECT_TRUE(server.requests.isEmpty());
}

TEST(UpdateCheckNetwork, HandWrittenSettingsAreReadAsNumbers)
{
    TinyHttpServer server;
    server.body = listOffering("2.0");
    Launch launch;
    {
        QFile file(launch.dir.filePath("defaults.ini"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("[General]\nnoUpdateCheck=false\nupdateCheckInt=7200\ndateLastUpdateCheck=799990000\n");
    }
    launch.settings = std::make_unique<QSettings>(launch.dir.filePath("defaults.ini"), QSettings::IniFormat);
    launch.clock = 799'990'000.0 + 7200.0;  // exactly the interval: not due
    ASSERT_TRUE(launch.run(server.address()));
    EXPECT_TRUE(server.requests.isEmpty());
    EXPECT_EQ(launch.stored(QStringLiteral("updateCheckInt")), 7200.0);

    launch.clock += 1.0;
    ASSERT_TRUE(launch.run(server.address()));
    EXPECT_EQ(server.requests.size(), 1);
    EXPECT_EQ(launch.stored(QStringLiteral("dateLastUpdateCheck")), launch.clock);
}

TEST(UpdateCheckNetwork, MissingVersionShowsTheErrorAndSendsNothing)
{
    TinyHttpServer server;
    Launch launch;
    launch.version = std::nullopt;
    ASSERT_TRUE(launch.run(server.address()));
    EXPECT_EQ(launch.errors, QStringList{QStringLiteral("Can't check for updates:\nNo app version string found.")});
    EXPECT_EQ(launch.stored(QStringLiteral("dateLastUpdateCheck")), 800'000'000.0);
    QTest::qWait(50);
    EXPECT_TRUE(server.requests.isEmpty());
}

}  // namespace
