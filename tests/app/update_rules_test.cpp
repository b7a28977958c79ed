// The update check's plain rules: launch decision, response test, download address check, list walk,
// and a replay of the fuzz corpus through the walk.

#include "tests/app/walk_invariants.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <QDir>
#include <QFile>

#include <limits>
#include <utility>

using namespace quorbel::update;

namespace {

const QString prefix = QStringLiteral("https://dl.quorbel.example/get/");

TEST(LaunchDecision, Table) {
  struct {
    StoredCheckValues stored;
    double now;
    bool check;
    double intervalWritten;
  } const cases[] = {
      {{false, 0.0, 0.0}, 8.0e8, true, 43200.0},        // first launch
      {{false, 0.5, 1000.0}, 44200.5, true, 43200.0},   // 0.5 replaced
      {{false, 0.0, 1000.0}, 44199.0, false, 43200.0},  // 0 replaced, not yet due
      {{false, -5.0, 1000.0}, 44201.0, true, 43200.0},  // negative replaced
      {{false, std::numeric_limits<double>::quiet_NaN(), 1000.0}, 44201.0, true, 43200.0},
      {{false, 1.0, 1000.0}, 1001.5, true, 1.0},         // 1.0 kept
      {{false, 3600.0, 5000.0}, 8600.0, false, 3600.0},  // elapsed equal to the interval
      {{false, 3600.0, 9.0e8}, 8.0e8, false, 3600.0},    // clock before the stored date
      {{true, 0.25, 0.0}, 9.0e8, false, 43200.0},        // switched off, still writes both
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    const LaunchDecision d = decideLaunch(c.stored, c.now);
    EXPECT_EQ(d.checkNow, c.check);
    EXPECT_EQ(d.updateCheckInterval, c.intervalWritten);
    EXPECT_EQ(d.noUpdateCheck, c.stored.noUpdateCheck);
  }
  EXPECT_EQ(referenceSecondsFromUnixMilliseconds(978307201500), 1.5);
}

TEST(ResponseTest, StatusAndMediaType) {
  const auto accepts = [](int status, std::optional<QString> type, bool transportError = false) {
    ResponseFacts r;
    r.statusCode = status;
    r.contentType = std::move(type);
    r.transportError = transportError;
    return acceptResponse(r);
  };
  for (int status : {200, 299}) EXPECT_TRUE(accepts(status, QStringLiteral("text/xml"))) << status;
  for (int status : {199, 300, 304, 404, 500}) EXPECT_FALSE(accepts(status, QStringLiteral("text/xml"))) << status;
  for (const char* type : {"text/plain", "text/xml; charset=utf-8", "  text/xml  ;charset=utf-8"})
    EXPECT_TRUE(accepts(200, QString::fromUtf8(type))) << type;
  for (const char* type : {"", "; charset=utf-8", "application/xml", "text/xml2", "TEXT/XML"})
    EXPECT_FALSE(accepts(200, QString::fromUtf8(type))) << type;
  EXPECT_FALSE(accepts(200, std::nullopt));
  EXPECT_FALSE(accepts(200, QStringLiteral("text/xml"), true));
}

TEST(DownloadAddress, OnlyAddressesUnderThePrefixAreOpenedAsParsed) {
  for (const char* raw : {"https://dl.quorbel.example:443/get/a.zip",
                          "https://dl.quorbel.example/get/sub/Quorbel%202.0.dmg?from=app#top"})
    EXPECT_TRUE(checkedDownloadAddress(QString::fromUtf8(raw), prefix)) << raw;
  EXPECT_EQ(checkedDownloadAddress(QStringLiteral("https://DL.quorbel.example/get/a"), prefix)->toString(),
            QStringLiteral("https://dl.quorbel.example/get/a"));
  for (const char* raw : {// the prefix in the query, the path or the user-info; sub-domains and look-alikes
                          "https://evil.example/?u=https://dl.quorbel.example/get/",
                          "https://evil.example/https://dl.quorbel.example/get/x",
                          "https://dl.quorbel.example:x@evil.example/get/", "https://@dl.quorbel.example/get/x",
                          "https://user@dl.quorbel.example/get/x", "https://dl.quorbel.example./get/x",
                          "https://dl.quorbel.example.evil.example/get/x", "https://evil.dl.quorbel.example/get/x",
                          // scheme and port
                          "http://dl.quorbel.example/get/x", "https://dl.quorbel.example:8443/get/x",
                          // backslashes, encoded separators and dot segments
                          "https://dl.quorbel.example\\@evil.example/get/x",
                          "https://dl.quorbel.example%2Fget%2F@evil.example/", "https://dl.quorbel.example/get/../evil",
                          "https://dl.quorbel.example/get/%5C..%5Cevil", "https://dl.quorbel.example/get/%2E%2E%2Fevil",
                          // outside the prefix's path, not absolute, blanks and invisible characters
                          "https://dl.quorbel.example/get-evil/x", "https:///dl.quorbel.example/get/x",
                          "//dl.quorbel.example/get/x", "", " https://dl.quorbel.example/get/x",
                          "https://dl.quorbel.example/get/a%0Ab", "https://dl.quorbel.example/get/\xE2\x80\xAEg.exe"}) {
    EXPECT_FALSE(checkedDownloadAddress(QString::fromUtf8(raw), prefix)) << raw;
  }
  // A prefix without a closing slash still matches whole segments; one that is not https admits nothing.
  EXPECT_FALSE(checkedDownloadAddress(QStringLiteral("https://dl.quorbel.example/getX/a"),
                                      QStringLiteral("https://dl.quorbel.example/get")));
  EXPECT_FALSE(checkedDownloadAddress(QStringLiteral("https://dl.quorbel.example/get/a"),
                                      QStringLiteral("http://dl.quorbel.example/get/")));
}

QByteArray plistXml(const QByteArray& body) {
  return "<?xml version=\"1.0\"?><plist version=\"1.0\">" + body + "</plist>";
}

// One list entry as XML; nullptr leaves a key out.
QByteArray entry(const char* app, const char* version, const char* url = "https://dl.quorbel.example/get/q.dmg") {
  QByteArray xml = "<dict>";
  const std::pair<const char*, const char*> items[] = {{"AppName", app}, {"Version", version}, {"URL", url}};
  for (const auto& [key, value] : items) {
    if (value) xml += QByteArray("<key>") + key + "</key><string>" + value + "</string>";
  }
  return xml + "</dict>";
}

// The binary form of an XML list's root array holding `elements`.
QByteArray binaryList(const QByteArray& elements) {
  const QByteArray xml = plistXml("<array>" + elements + "</array>");
  plist_t root = nullptr;
  plist_from_xml(xml.constData(), static_cast<uint32_t>(xml.size()), &root);
  char* data = nullptr;
  uint32_t length = 0;
  plist_to_bin(root, &data, &length);
  const QByteArray binary(data, static_cast<qsizetype>(length));
  plist_to_bin_free(data);
  plist_free(root);
  return binary;
}

std::vector<UpdateAction> walk(const QByteArray& body, const QString& running = QStringLiteral("1.2")) {
  return walkUpdateList(body, running, prefix);
}

const UpdateAction mark{UpdateAction::Kind::MarkHelpItem, {}, {}, {}};

TEST(UpdateListWalk, UnreadableOrEmptyListsGiveOneErrorAlert) {
  const std::vector unreadable{errorAction(unreadableListMessage)};
  for (const QByteArray& body :
       {QByteArray(), QByteArray("not a property list"), QByteArray("bplist00\x01\x02"),
        QByteArray("<?xml version=\"1.0\"?><plist><array><dict>"), plistXml(entry("Quorbel", "2.0"))}) {
    EXPECT_EQ(walk(body), unreadable) << body.toStdString();
  }
  EXPECT_EQ(walk(plistXml("<array/>")), std::vector{errorAction(emptyListMessage)});

  // A binary list is read, texts beyond ASCII included; but libplist's cycle check is quadratic in the
  // nesting depth, so a deeply nested one is refused before parsing.
  const QByteArray item = entry("Quorbel", "2.0 \xCE\xB2", "https://dl.quorbel.example/get/\xC3\xA9.dmg");
  const QUrl address(QStringLiteral("https://dl.quorbel.example/get/\u00E9.dmg"));
  EXPECT_EQ(walk(binaryList(item)),
            (std::vector{mark, offerFor(QStringLiteral("2.0 \u03B2"), QStringLiteral("1.2"), address)}));
  EXPECT_EQ(walk(binaryList(item), QStringLiteral("2.0 \u03B2")), std::vector{mark});
  EXPECT_EQ(walk(binaryList(item + QByteArray("<array>").repeated(5000) + QByteArray("</array>").repeated(5000))),
            unreadable);
}

TEST(UpdateListWalk, EntriesOfThisApplicationMarkAndOfferInListOrder) {
  EXPECT_TRUE(walk(plistXml("<array>" + entry("OtherApp", "9.9") + "</array>")).empty());
  // The same version only marks; any other is offered. Other applications (the name compares exactly),
  // malformed elements and values give nothing; an entry without a version or a usable address only marks.
  const QUrl q(QStringLiteral("https://dl.quorbel.example/get/q.dmg"));
  EXPECT_EQ(walk(plistXml("<array>" + entry("Quorbel", "1.2") + entry("Quorbel", "1.1") + entry("quorbel", "9.9") +
                          entry("Quorbel ", "9.9") + entry(nullptr, "9.9") +
                          "<string>not a dictionary</string>"
                          "<dict><key>AppName</key><integer>7</integer></dict>" +
                          entry("Quorbel", "1.2 ") + entry("Quorbel", nullptr) + entry("Quorbel", "2.0", nullptr) +
                          entry("Quorbel", "2.0", "https://evil.example/?https://dl.quorbel.example/get/") +
                          "<dict><key>AppName</key><string>Quorbel</string><key>Version</key><real>2.0</real>"
                          "<key>URL</key><string>https://dl.quorbel.example/get/a</string></dict></array>")),
            (std::vector{mark, mark, offerFor(QStringLiteral("1.1"), QStringLiteral("1.2"), q), mark,
                         offerFor(QStringLiteral("1.2 "), QStringLiteral("1.2"), q), mark, mark, mark, mark}));
}

TEST(UpdateListWalk, EveryFuzzCorpusInputKeepsTheInvariants) {
  const QDir corpus(QStringLiteral(QUORBEL_FUZZ_CORPUS));
  const QStringList names = corpus.entryList(QDir::Files, QDir::Name);
  ASSERT_GE(names.size(), 10) << "corpus missing at " << QUORBEL_FUZZ_CORPUS;
  int offers = 0;
  for (const QString& name : names) {
    QFile file(corpus.filePath(name));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << name.toStdString();
    EXPECT_EQ(brokenWalkInvariant(file.readAll(), &offers), "") << name.toStdString();
  }
  EXPECT_GT(offers, 0);  // the seeds include lists that really offer an update
}

}  // namespace
