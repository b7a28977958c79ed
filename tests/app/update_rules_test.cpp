// The update check's plain rules: launch decision, response test, download address check, list walk.

#include "app/update_rules.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <algorithm>
#include <array>
#include <limits>

using namespace quorbel::update;
using Kind = UpdateAction::Kind;

namespace {

const QString prefix = QStringLiteral("https://files.quorbel.example/downloads/");

TEST(LaunchDecision, Table)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char* name;
        StoredCheckValues stored;
        double now;
        bool check;
        double intervalWritten;
    } const cases[] = {
        {"first launch", {false, 0.0, 0.0}, 8.0e8, true, 43200.0},
        {"0.5 replaced", {false, 0.5, 1000.0}, 1000.0 + 43200.5, true, 43200.0},
        {"0 replaced, not yet due", {false, 0.0, 1000.0}, 1000.0 + 43199.0, false, 43200.0},
        {"negative replaced", {false, -5.0, 1000.0}, 1000.0 + 43201.0, true, 43200.0},
        {"NaN replaced", {false, nan, 1000.0}, 1000.0 + 43201.0, true, 43200.0},
        {"1.0 kept", {false, 1.0, 1000.0}, 1001.5, true, 1.0},
        {"elapsed equal to the interval", {false, 3600.0, 5000.0}, 8600.0, false, 3600.0},
        {"clock before the stored date", {false, 3600.0, 9.0e8}, 8.0e8, false, 3600.0},
        {"clock past stored date + interval", {false, 3600.0, 9.0e8}, 9.0e8 + 3601.0, true, 3600.0},
        {"noUpdateCheck, overdue", {true, 0.25, 0.0}, 9.0e8, false, 43200.0},
    };
    for (const Case& c : cases) {
        const LaunchDecision d = decideLaunch(c.stored, c.now);
        EXPECT_EQ(d.checkNow, c.check) << c.name;
        EXPECT_EQ(d.updateCheckInterval, c.intervalWritten) << c.name;
        EXPECT_EQ(d.noUpdateCheck, c.stored.noUpdateCheck) << c.name;
    }
    EXPECT_EQ(referenceSecondsFromUnixMilliseconds(978307201500), 1.5);
}

TEST(ResponseTest, StatusAndMediaType)
{
    const auto accepts = [](int status, std::optional<QString> type) {
        ResponseFacts r;
        r.statusCode = status;
        r.contentType = std::move(type);
        return acceptResponse(r);
    };
    for (int status : {200, 204, 299}) EXPECT_TRUE(accepts(status, QStringLiteral("text/xml"))) << status;
    for (int status : {199, 300, 304, 404, 500}) EXPECT_FALSE(accepts(status, QStringLiteral("text/xml"))) << status;

    for (const char* type : {"text/plain", "text/xml; charset=utf-8", "  text/xml  ;charset=utf-8"}) {
        EXPECT_TRUE(accepts(200, QString::fromUtf8(type))) << type;
    }
    EXPECT_FALSE(accepts(200, std::nullopt));
    for (const char* type : {"", "; charset=utf-8", "application/xml", "text/html", "text/xml2", "TEXT/XML"}) {
        EXPECT_FALSE(accepts(200, QString::fromUtf8(type))) << type;
    }

    ResponseFacts failed;
    failed.statusCode = 200;
    failed.contentType = QStringLiteral("text/xml");
    failed.transportError = true;
    EXPECT_FALSE(acceptResponse(failed));
}

TEST(DownloadAddress, AcceptedAddressesAreOpenedAsParsed)
{
    for (const char* raw : {"https://files.quorbel.example/downloads/Quorbel-2.0.dmg",
                            "https://files.quorbel.example:443/downloads/a.zip",
                            "https://files.quorbel.example/downloads/sub/a.zip?from=app#top",
                            "https://files.quorbel.example/downloads/Quorbel%202.0.dmg"}) {
        EXPECT_TRUE(checkedDownloadAddress(QString::fromUtf8(raw), prefix)) << raw;
    }
    EXPECT_EQ(checkedDownloadAddress(QStringLiteral("https://FILES.quorbel.example/downloads/a"), prefix)->toString(),
              QStringLiteral("https://files.quorbel.example/downloads/a"));
}

TEST(DownloadAddress, RefusedAddresses)
{
    const char* refused[] = {
        // the prefix elsewhere than at the start; user-info; sub-domains and look-alikes
        "https://evil.example/?u=https://files.quorbel.example/downloads/",
        "https://evil.example/https://files.quorbel.example/downloads/x",
        "https://files.quorbel.example:x@evil.example/downloads/",
        "https://user@files.quorbel.example/downloads/x",
        "https://@files.quorbel.example/downloads/x",
        "https://files.quorbel.example.evil.example/downloads/x",
        "https://evil.files.quorbel.example/downloads/x",
        "https://files.quorbel.example./downloads/x",
        // scheme and port
        "http://files.quorbel.example/downloads/x",
        "https://files.quorbel.example:8443/downloads/x",
        // backslashes, encoded separators and dot segments
        "https://files.quorbel.example\\@evil.example/downloads/x",
        "https://evil.example\\.files.quorbel.example/downloads/x",
        "https://files.quorbel.example/downloads/%5C..%5Cevil",
        "https://files.quorbel.example%2Fdownloads%2F@evil.example/",
        "https://files.quorbel.example/downloads/../evil",
        "https://files.quorbel.example/downloads/%2E%2E%2Fevil",
        // outside the prefix's path, not absolute, blanks and invisible characters
        "https://files.quorbel.example/downloads-evil/x",
        "https:///files.quorbel.example/downloads/x",
        "//files.quorbel.example/downloads/x",
        "",
        " https://files.quorbel.example/downloads/x",
        "https://files.quorbel.example/downloads/a%0Ab",
        "https://files.quorbel.example/downloads/\xE2\x80\xAE" "gmd.exe",
    };
    for (const char* raw : refused) {
        EXPECT_FALSE(checkedDownloadAddress(QString::fromUtf8(raw), prefix)) << raw;
    }
    // A prefix without a closing slash still matches whole segments; one that is not https admits nothing.
    const QString bare = QStringLiteral("https://files.quorbel.example/downloads");
    EXPECT_FALSE(checkedDownloadAddress(QStringLiteral("https://files.quorbel.example/downloadsX/a"), bare));
    EXPECT_FALSE(checkedDownloadAddress(QStringLiteral("https://files.quorbel.example/downloads/a"),
                                        QStringLiteral("http://files.quorbel.example/downloads/")));
}

// An XML update list; each entry is AppName, Version, URL, with nullptr for a key left out.
QByteArray xmlList(std::initializer_list<std::array<const char*, 3>> entries)
{
    QString xml = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><array>");
    const char* keys[] = {"AppName", "Version", "URL"};
    for (const auto& e : entries) {
        xml += QStringLiteral("<dict>");
        for (int k = 0; k < 3; ++k) {
            if (e[k]) xml += QStringLiteral("<key>%1</key><string>%2</string>").arg(keys[k], QString::fromUtf8(e[k]).toHtmlEscaped());
        }
        xml += QStringLiteral("</dict>");
    }
    return (xml + QStringLiteral("</array></plist>\n")).toUtf8();
}

QByteArray xmlDocument(const char* body)
{
    return QByteArray("<?xml version=\"1.0\"?><plist version=\"1.0\">") + body + "</plist>";
}

std::vector<UpdateAction> walk(const QByteArray& body)
{
    return walkUpdateList(body, QStringLiteral("1.2"), prefix);
}

const UpdateAction mark{Kind::MarkHelpItem, {}, {}, {}};
const char* const qUrl = "https://files.quorbel.example/downloads/q.dmg";

TEST(UpdateListWalk, UnreadableOrEmptyListsGiveOneErrorAlert)
{
    const std::vector<UpdateAction> unreadable{errorAction(unreadableListMessage)};
    for (const QByteArray& body : {QByteArray(), QByteArray("not a property list"), QByteArray("bplist00\x01\x02"),
                                   QByteArray("<?xml version=\"1.0\"?><plist><array><dict>"),
                                   xmlDocument("<dict><key>AppName</key><string>Quorbel</string></dict>")}) {
        EXPECT_EQ(walk(body), unreadable) << body.toStdString();
    }
    EXPECT_EQ(walk(xmlDocument("<array/>")), std::vector<UpdateAction>{errorAction(emptyListMessage)});
    EXPECT_EQ(errorAction(emptyListMessage).messageText, QStringLiteral("An error occurred:"));
}

TEST(UpdateListWalk, OnlyThisApplicationsEntriesCount)
{
    EXPECT_TRUE(walk(xmlList({{"OtherApp", "9.9", qUrl}, {"quorbel", "9.9", qUrl}, {"Quorbel ", "9.9", qUrl},
                              {"Lacking", nullptr, nullptr}, {nullptr, "9.9", qUrl}}))
                    .empty());
    // The same version marks the status item and offers nothing.
    EXPECT_EQ(walk(xmlList({{"Quorbel", "1.2", qUrl}})), std::vector<UpdateAction>{mark});
}

TEST(UpdateListWalk, AnyOtherVersionIsOfferedInListOrder)
{
    const std::vector<UpdateAction> actions =
        walk(xmlList({{"Quorbel", "1.1", qUrl}, {"Other", "5.0", qUrl}, {"Quorbel", "1.2 ", qUrl}}));
    const QUrl address(QString::fromUtf8(qUrl));
    EXPECT_EQ(actions, (std::vector<UpdateAction>{mark, offerFor(QStringLiteral("1.1"), QStringLiteral("1.2"), address),
                                                  mark, offerFor(QStringLiteral("1.2 "), QStringLiteral("1.2"), address)}));
    EXPECT_EQ(actions[1].messageText, QStringLiteral("An update to this app to version 1.1 is available."));
    EXPECT_EQ(actions[1].informativeText,
              QStringLiteral("You are currently running Quorbel version 1.2.\nPlease choose whether to download "
                             "this update now in your default browser."));
}

TEST(UpdateListWalk, MalformedElementsAndRefusedAddressesAreSkipped)
{
    const std::vector<UpdateAction> actions = walk(xmlDocument(R"(<array>
        <string>not a dictionary</string>
        <dict><key>AppName</key><integer>7</integer></dict>
        <dict><key>AppName</key><string>Quorbel</string><key>Version</key><real>2.0</real>
              <key>URL</key><string>https://files.quorbel.example/downloads/a</string></dict>
        <dict><key>AppName</key><string>Quorbel</string><key>Version</key><string>2.0</string></dict>
        <dict><key>AppName</key><string>Quorbel</string><key>Version</key><string>2.0</string>
              <key>URL</key><string>https://evil.example/?https://files.quorbel.example/downloads/</string></dict>
        <dict><key>AppName</key><string>Quorbel</string><key>Version</key><string>3.0</string>
              <key>URL</key><string>https://files.quorbel.example/downloads/good.dmg</string></dict>
    </array>)"));
    ASSERT_EQ(actions.size(), 5u);
    EXPECT_EQ(std::count(actions.begin(), actions.end(), mark), 4);
    EXPECT_EQ(actions[4].address.toString(), QStringLiteral("https://files.quorbel.example/downloads/good.dmg"));
}

TEST(UpdateListWalk, BinaryListsWithNonAsciiTextsAreRead)
{
    plist_t root = plist_new_array();
    plist_t entry = plist_new_dict();
    plist_dict_set_item(entry, "AppName", plist_new_string("Quorbel"));
    plist_dict_set_item(entry, "Version", plist_new_string("2.0 \xCE\xB2"));
    plist_dict_set_item(entry, "URL", plist_new_string("https://files.quorbel.example/downloads/\xC3\xA9.dmg"));
    plist_array_append_item(root, entry);
    char* data = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &data, &length);
    const QByteArray binary(data, static_cast<qsizetype>(length));
    plist_to_bin_free(data);
    plist_free(root);

    const std::vector<UpdateAction> actions = walk(binary);
    ASSERT_EQ(actions.size(), 2u);
    EXPECT_EQ(actions[1].messageText, QStringLiteral("An update to this app to version 2.0 \u03B2 is available."));
    EXPECT_EQ(actions[1].address.path(), QStringLiteral("/downloads/\u00E9.dmg"));
    EXPECT_EQ(walkUpdateList(binary, QStringLiteral("2.0 \u03B2"), prefix), std::vector<UpdateAction>{mark});
}

TEST(UpdateListWalk, DeeplyNestedBinaryListIsRefusedBeforeParsing)
{
    // libplist's cycle check is quadratic in the depth; such a list would stall the main thread.
    plist_t root = plist_new_array();
    plist_t inner = root;
    for (int depth = 0; depth < 5000; ++depth) {
        plist_t next = plist_new_array();
        plist_array_append_item(inner, next);
        inner = next;
    }
    char* data = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &data, &length);
    const QByteArray binary(data, static_cast<qsizetype>(length));
    plist_to_bin_free(data);
    plist_free(root);
    EXPECT_EQ(walk(binary), std::vector<UpdateAction>{errorAction(unreadableListMessage)});
}

}  // namespace
