// The update check's plain rules: launch decision, response test, list walk, download address check.

#include "app/update_rules.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cmath>
#include <limits>

using namespace quorbel::update;
using Kind = UpdateAction::Kind;

namespace {

const QString prefix = QStringLiteral("https://files.quorbel.example/downloads/");

// ---------------------------------------------------------------------------------------------------
// Launch decision

struct DecisionCase {
    const char* name;
    StoredCheckValues stored;
    double now;
    bool check;
    double intervalWritten;
};

TEST(LaunchDecision, Table)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const DecisionCase cases[] = {
        {"first launch: nothing stored", {false, 0.0, 0.0}, 8.0e8, true, 43200.0},
        {"interval 0.5 replaced", {false, 0.5, 1000.0}, 1000.0 + 43200.5, true, 43200.0},
        {"interval 0.5 replaced, not yet due", {false, 0.5, 1000.0}, 1000.0 + 100.0, false, 43200.0},
        {"interval 0 replaced", {false, 0.0, 1000.0}, 1000.0 + 43199.0, false, 43200.0},
        {"negative interval replaced", {false, -5.0, 1000.0}, 1000.0 + 43201.0, true, 43200.0},
        {"NaN interval replaced", {false, nan, 1000.0}, 1000.0 + 43201.0, true, 43200.0},
        {"interval 1.0 kept, due", {false, 1.0, 1000.0}, 1001.5, true, 1.0},
        {"interval 1.0 kept, exactly equal", {false, 1.0, 1000.0}, 1001.0, false, 1.0},
        {"elapsed equal to the interval", {false, 3600.0, 5000.0}, 8600.0, false, 3600.0},
        {"elapsed just over the interval", {false, 3600.0, 5000.0}, 8600.001, true, 3600.0},
        {"clock before the stored date", {false, 3600.0, 9.0e8}, 8.0e8, false, 3600.0},
        {"clock past stored date + interval", {false, 3600.0, 9.0e8}, 9.0e8 + 3601.0, true, 3600.0},
        {"noUpdateCheck true, long overdue", {true, 0.25, 0.0}, 9.0e8, false, 43200.0},
    };
    for (const DecisionCase& c : cases) {
        SCOPED_TRACE(c.name);
        const LaunchDecision d = decideLaunch(c.stored, c.now);
        EXPECT_EQ(d.checkNow, c.check);
        EXPECT_EQ(d.updateCheckInterval, c.intervalWritten);
        EXPECT_EQ(d.noUpdateCheck, c.stored.noUpdateCheck);
    }
}

TEST(LaunchDecision, ReferenceDateIsUnixMinus978307200)
{
    EXPECT_EQ(referenceSecondsFromUnixMilliseconds(978307200000), 0.0);
    EXPECT_EQ(referenceSecondsFromUnixMilliseconds(978307201500), 1.5);
    EXPECT_LT(referenceSecondsFromUnixMilliseconds(0), 0.0);
}

// ---------------------------------------------------------------------------------------------------
// Response test

TEST(ResponseTest, StatusCodes)
{
    const std::pair<int, bool> cases[] = {{199, false}, {200, true}, {204, true}, {299, true},
                                          {300, false}, {304, false}, {404, false}, {500, false}};
    for (const auto& [status, accepted] : cases) {
        ResponseFacts r;
        r.statusCode = status;
        r.contentType = QStringLiteral("text/xml");
        EXPECT_EQ(acceptResponse(r), accepted) << status;
    }
}

TEST(ResponseTest, MediaTypes)
{
    const std::pair<std::optional<QString>, bool> cases[] = {
        {std::nullopt, false},
        {QString(), false},
        {QStringLiteral("; charset=utf-8"), false},
        {QStringLiteral("text/xml"), true},
        {QStringLiteral("text/plain"), true},
        {QStringLiteral("text/xml; charset=utf-8"), true},
        {QStringLiteral("text/plain;charset=\"utf-8\"; format=flowed"), true},
        {QStringLiteral("  text/xml  ;charset=utf-8"), true},
        {QStringLiteral("application/xml"), false},
        {QStringLiteral("application/x-plist"), false},
        {QStringLiteral("text/html"), false},
        {QStringLiteral("text/xml2"), false},
        {QStringLiteral("text/xmlfoo; x=text/xml"), false},
        {QStringLiteral("TEXT/XML"), false},
    };
    for (const auto& [type, accepted] : cases) {
        ResponseFacts r;
        r.statusCode = 200;
        r.contentType = type;
        EXPECT_EQ(acceptResponse(r), accepted) << (type ? qPrintable(*type) : "(absent)");
    }
}

TEST(ResponseTest, TransportFailuresWinOverAGoodStatus)
{
    ResponseFacts good;
    good.statusCode = 200;
    good.contentType = QStringLiteral("text/plain");
    ASSERT_TRUE(acceptResponse(good));

    ResponseFacts failed = good;
    failed.transportError = true;
    EXPECT_FALSE(acceptResponse(failed));
    ResponseFacts none = good;
    none.hasResponse = false;
    EXPECT_FALSE(acceptResponse(none));
    ResponseFacts notHttp = good;
    notHttp.isHttp = false;
    EXPECT_FALSE(acceptResponse(notHttp));
}

// ---------------------------------------------------------------------------------------------------
// Download address check

TEST(DownloadAddress, AcceptedAddressesAreParsedAndKept)
{
    const char* accepted[] = {
        "https://files.quorbel.example/downloads/Quorbel-2.0.dmg",
        "https://files.quorbel.example/downloads/",
        "https://FILES.Quorbel.example/downloads/a.zip",
        "https://files.quorbel.example:443/downloads/a.zip",
        "https://files.quorbel.example/downloads/sub/a.zip?from=app#top",
        "https://files.quorbel.example/downloads/Quorbel%202.0.dmg",
    };
    for (const char* raw : accepted) {
        const std::optional<QUrl> url = checkedDownloadAddress(QString::fromUtf8(raw), prefix);
        ASSERT_TRUE(url.has_value()) << raw;
        EXPECT_EQ(url->host(), QStringLiteral("files.quorbel.example")) << raw;
        EXPECT_EQ(url->scheme(), QStringLiteral("https")) << raw;
    }
    // The parsed address is what is opened: the host comes out normalised.
    EXPECT_EQ(checkedDownloadAddress(QStringLiteral("https://FILES.quorbel.example/downloads/a"), prefix)->toString(),
              QStringLiteral("https://files.quorbel.example/downloads/a"));
}

TEST(DownloadAddress, RefusedAddresses)
{
    const char* refused[] = {
        // the prefix somewhere other than at the start
        "https://evil.example/?u=https://files.quorbel.example/downloads/",
        "https://evil.example/https://files.quorbel.example/downloads/x",
        "https://evil.example/#https://files.quorbel.example/downloads/",
        // user-info, empty user-info
        "https://files.quorbel.example:x@evil.example/downloads/",
        "https://user@files.quorbel.example/downloads/x",
        "https://@files.quorbel.example/downloads/x",
        // the host as a sub-domain or a look-alike
        "https://files.quorbel.example.evil.example/downloads/x",
        "https://evil.files.quorbel.example/downloads/x",
        "https://files.quorbel.example./downloads/x",
        "https://files-quorbel.example/downloads/x",
        // scheme and port
        "http://files.quorbel.example/downloads/x",
        "ftp://files.quorbel.example/downloads/x",
        "https://files.quorbel.example:8443/downloads/x",
        "https://files.quorbel.example:80/downloads/x",
        // backslash and encoding tricks
        "https://files.quorbel.example\\@evil.example/downloads/x",
        "https://evil.example\\.files.quorbel.example/downloads/x",
        "https://files.quorbel.example/downloads\\..\\..\\evil",
        "https://files.quorbel.example/downloads/%5C..%5Cevil",
        "https://files.quorbel.example%2Fdownloads%2F@evil.example/",
        "https://files.quorbel.example/downloads/../evil",
        "https://files.quorbel.example/downloads/%2e%2e/evil",
        "https://files.quorbel.example/downloads/%2E%2E%2Fevil",
        "https://files.quorbel.example/downloads/./../x",
        // outside the prefix's path, or not an address
        "https://files.quorbel.example/download/x",
        "https://files.quorbel.example/downloads-evil/x",
        "https://files.quorbel.example/",
        "https:files.quorbel.example/downloads/x",
        "https:///files.quorbel.example/downloads/x",
        "//files.quorbel.example/downloads/x",
        "files.quorbel.example/downloads/x",
        "",
        // blanks and invisible characters
        " https://files.quorbel.example/downloads/x",
        "https://files.quorbel.example/downloads/x\n",
        "https://files.quorbel.example/downloads/a b",
        "https://files.quorbel.example/downloads/a%0Ab",
        "https://files.quorbel.example/downloads/\xE2\x80\xAE" "gmd.exe",
    };
    for (const char* raw : refused) {
        const std::optional<QUrl> url = checkedDownloadAddress(QString::fromUtf8(raw), prefix);
        EXPECT_FALSE(url.has_value()) << raw << " -> " << (url ? qPrintable(url->toString()) : "");
    }
}

TEST(DownloadAddress, PrefixWithoutClosingSlashStillMatchesWholeSegments)
{
    const QString bare = QStringLiteral("https://files.quorbel.example/downloads");
    EXPECT_TRUE(checkedDownloadAddress(QStringLiteral("https://files.quorbel.example/downloads/a"), bare));
    EXPECT_FALSE(checkedDownloadAddress(QStringLiteral("https://files.quorbel.example/downloadsX/a"), bare));
    // A prefix that is not https refuses everything rather than widening the check.
    EXPECT_FALSE(checkedDownloadAddress(QStringLiteral("https://files.quorbel.example/downloads/a"),
                                        QStringLiteral("http://files.quorbel.example/downloads/")));
}

// ---------------------------------------------------------------------------------------------------
// List walk

struct Entry {
    const char* appName;
    const char* version;
    const char* url;
};

QString xmlEscaped(const char* text)
{
    return QString::fromUtf8(text).toHtmlEscaped();
}

QByteArray xmlList(std::initializer_list<Entry> entries)
{
    QString xml = QStringLiteral(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
        "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\">\n<array>\n");
    for (const Entry& e : entries) {
        xml += QStringLiteral("<dict>");
        if (e.appName) xml += QStringLiteral("<key>AppName</key><string>%1</string>").arg(xmlEscaped(e.appName));
        if (e.version) xml += QStringLiteral("<key>Version</key><string>%1</string>").arg(xmlEscaped(e.version));
        if (e.url) xml += QStringLiteral("<key>URL</key><string>%1</string>").arg(xmlEscaped(e.url));
        xml += QStringLiteral("</dict>\n");
    }
    xml += QStringLiteral("</array>\n</plist>\n");
    return xml.toUtf8();
}

QByteArray xmlDocument(const char* body)
{
    return QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n") + body +
           "\n</plist>\n";
}

std::vector<UpdateAction> walk(const QByteArray& body, const char* running = "1.2")
{
    return walkUpdateList(body, QString::fromUtf8(running), prefix);
}

const UpdateAction mark{Kind::MarkHelpItem, {}, {}, {}};

TEST(UpdateListWalk, UnreadableOrEmptyListsGiveOneErrorAlert)
{
    const std::vector<UpdateAction> unreadable{errorAction(unreadableListMessage)};
    EXPECT_EQ(walk(QByteArray()), unreadable);
    EXPECT_EQ(walk("this is not a property list"), unreadable);
    EXPECT_EQ(walk("<?xml version=\"1.0\"?><plist><array><dict>"), unreadable);
    EXPECT_EQ(walk("bplist00\x01\x02"), unreadable);
    // a root that is not an array
    EXPECT_EQ(walk(xmlDocument("<dict><key>AppName</key><string>Quorbel</string></dict>")), unreadable);
    EXPECT_EQ(walk(xmlDocument("<string>Quorbel</string>")), unreadable);

    EXPECT_EQ(walk(xmlDocument("<array/>")), std::vector<UpdateAction>{errorAction(emptyListMessage)});
    EXPECT_EQ(walk(xmlDocument("<array></array>")), std::vector<UpdateAction>{errorAction(emptyListMessage)});

    const UpdateAction e = errorAction(emptyListMessage);
    EXPECT_EQ(e.messageText, QStringLiteral("An error occurred:"));
    EXPECT_EQ(e.informativeText, QStringLiteral("Update Property List has no entries."));
}

TEST(UpdateListWalk, OtherApplicationsOnlyDoNothing)
{
    EXPECT_TRUE(walk(xmlList({{"OtherApp", "9.9", "https://files.quorbel.example/downloads/o.dmg"},
                              {"quorbel", "9.9", "https://files.quorbel.example/downloads/q.dmg"},
                              {"Quorbel ", "9.9", "https://files.quorbel.example/downloads/q.dmg"},
                              {"Lacking", nullptr, nullptr},
                              {nullptr, "9.9", "https://files.quorbel.example/downloads/q.dmg"}}))
                    .empty());
}

TEST(UpdateListWalk, EqualVersionMarksTheItemWithoutAlert)
{
    EXPECT_EQ(walk(xmlList({{"Quorbel", "1.2", "https://files.quorbel.example/downloads/q.dmg"}})),
              std::vector<UpdateAction>{mark});
}

TEST(UpdateListWalk, AnyDifferentVersionIsOffered)
{
    const QUrl address(QStringLiteral("https://files.quorbel.example/downloads/q.dmg"));
    for (const char* listed : {"1.1", "1.3", "1.2 ", "01.2"}) {
        const std::vector<UpdateAction> actions =
            walk(xmlList({{"Quorbel", listed, "https://files.quorbel.example/downloads/q.dmg"}}));
        ASSERT_EQ(actions.size(), 2u) << listed;
        EXPECT_EQ(actions[0], mark);
        EXPECT_EQ(actions[1], offerFor(QString::fromUtf8(listed), QStringLiteral("1.2"), address));
    }
    const UpdateAction offer = offerFor(QStringLiteral("2.0"), QStringLiteral("1.2"), address);
    EXPECT_EQ(offer.messageText, QStringLiteral("An update to this app to version 2.0 is available."));
    EXPECT_EQ(offer.informativeText,
              QStringLiteral("You are currently running Quorbel version 1.2.\nPlease choose whether to download "
                             "this update now in your default browser."));
}

TEST(UpdateListWalk, TwoEntriesGiveTwoOffersInListOrder)
{
    const std::vector<UpdateAction> actions =
        walk(xmlList({{"Quorbel", "2.0", "https://files.quorbel.example/downloads/a.dmg"},
                      {"Other", "5.0", "https://files.quorbel.example/downloads/o.dmg"},
                      {"Quorbel", "2.1", "https://files.quorbel.example/downloads/b.dmg"}}));
    ASSERT_EQ(actions.size(), 4u);
    EXPECT_EQ(actions[0], mark);
    EXPECT_EQ(actions[1].address.path(), QStringLiteral("/downloads/a.dmg"));
    EXPECT_EQ(actions[2], mark);
    EXPECT_EQ(actions[3].address.path(), QStringLiteral("/downloads/b.dmg"));
}

TEST(UpdateListWalk, RefusedOrMissingAddressesAndMalformedElementsAreSkipped)
{
    const QByteArray body = xmlDocument(R"(<array>
        <string>not a dictionary</string>
        <array><string>Quorbel</string></array>
        <dict><key>AppName</key><integer>7</integer></dict>
        <dict><key>AppName</key><string>Quorbel</string><key>Version</key><real>2.0</real>
              <key>URL</key><string>https://files.quorbel.example/downloads/a</string></dict>
        <dict><key>AppName</key><string>Quorbel</string><key>Version</key><string>2.0</string></dict>
        <dict><key>AppName</key><string>Quorbel</string><key>Version</key><string>2.0</string>
              <key>URL</key><string>https://evil.example/?https://files.quorbel.example/downloads/</string></dict>
        <dict><key>AppName</key><string>Quorbel</string><key>Version</key><string>2.0</string>
              <key>URL</key><string>not an address</string></dict>
        <dict><key>AppName</key><string>Quorbel</string><key>Version</key><string>3.0</string>
              <key>URL</key><string>https://files.quorbel.example/downloads/good.dmg</string></dict>
    </array>)");
    const std::vector<UpdateAction> actions = walk(body);
    // Five Quorbel dictionaries: each marks the item; only the last has an address worth offering.
    ASSERT_EQ(actions.size(), 6u);
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(actions[i], mark) << i;
    }
    EXPECT_EQ(actions[5].kind, Kind::OfferUpdate);
    EXPECT_EQ(actions[5].address.toString(), QStringLiteral("https://files.quorbel.example/downloads/good.dmg"));
}

TEST(UpdateListWalk, BinaryListsAndNonAsciiTextsAreRead)
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
    // The same version with a non-ASCII letter counts as equal: no offer.
    EXPECT_EQ(walkUpdateList(binary, QStringLiteral("2.0 \u03B2"), prefix), std::vector<UpdateAction>{mark});
}

}  // namespace
