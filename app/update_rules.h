#pragma once
// The update check's rules as plain functions over plain values: whether a launch check is due, whether
// a response is worth reading, what the downloaded list asks the application to do, and whether a
// download address may be opened. The platform (clock, settings, network, alerts, menu, browser) calls
// them from its edges (update_checker.h).

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <optional>
#include <vector>

namespace quorbel::update {

// The application's name in the update list and in the alert's running-version sentence.
inline const QString productName = QStringLiteral("Quorbel");
// Replaces a stored interval below one second: twelve hours.
inline constexpr double defaultUpdateCheckInterval = 43200.0;
// Unix time of 2001-01-01 00:00:00 UTC, the origin of every stored date.
inline constexpr double referenceDateUnixSeconds = 978307200.0;

// The settings keys and the Help menu's status item titles.
inline const QString noUpdateCheckKey = QStringLiteral("noUpdateCheck");
inline const QString updateCheckIntervalKey = QStringLiteral("updateCheckInt");
inline const QString dateLastUpdateCheckKey = QStringLiteral("dateLastUpdateCheck");
inline const QString statusItemUncheckedTitle = QStringLiteral("Update not checked");
inline const QString statusItemCheckedTitle = QStringLiteral("Checked for update");

// Alert texts.
inline const QString errorAlertMessage = QStringLiteral("An error occurred:");
inline const QString noVersionMessage = QStringLiteral("Can't check for updates:\nNo app version string found.");
inline const QString unreadableListMessage = QStringLiteral("Error in update Property List.");
inline const QString emptyListMessage = QStringLiteral("Update Property List has no entries.");
inline const QString ignoreButtonTitle = QStringLiteral("Ignore");
inline const QString downloadButtonTitle = QStringLiteral("Download");

// Seconds since 2001-01-01 00:00:00 UTC for a Unix time in milliseconds.
double referenceSecondsFromUnixMilliseconds(qint64 unixMilliseconds);

// The three stored values as read; absent ones read as false / 0 / 0.
struct StoredCheckValues {
  bool noUpdateCheck = false;
  double updateCheckInterval = 0.0;
  double dateLastUpdateCheck = 0.0;
};

// What the launch does: check or not, and the two values it writes back in every case. When it checks,
// the edge stores the time after the check has been started as the new "dateLastUpdateCheck".
struct LaunchDecision {
  bool checkNow = false;
  bool noUpdateCheck = false;
  double updateCheckInterval = defaultUpdateCheckInterval;
};

LaunchDecision decideLaunch(const StoredCheckValues& stored, double now);

// A response as the network edge sees it.
struct ResponseFacts {
  bool transportError = false;
  bool hasResponse = true;
  bool isHttp = true;
  int statusCode = 0;
  std::optional<QString> contentType;  // the raw Content-Type header, absent when not sent
};

// The media type of a Content-Type header without its parameters and surrounding blanks
// ("text/xml; charset=utf-8" gives "text/xml"); absent when nothing is left.
std::optional<QString> mediaTypeOf(const QString& contentType);

// True when the body should be read: no transport error, an HTTP response, status 200..299 and the media
// type "text/xml" or "text/plain".
bool acceptResponse(const ResponseFacts& response);

// The download address check: the raw text must parse strictly as an absolute address with scheme
// "https", no user-info, the host of `hostPrefix`, the default port and a path inside the prefix's path.
// Returns the parsed address to open, or nothing when the address is refused.
std::optional<QUrl> checkedDownloadAddress(const QString& raw, const QString& hostPrefix);

// One thing the list asks the application to do, in the order the walk found it.
struct UpdateAction {
  enum class Kind {
    ShowError,     // error alert with `informativeText` as the particular message
    MarkHelpItem,  // the Help menu's status item: check mark and "Checked for update"
    OfferUpdate,   // update alert with the two texts; "Download" opens `address`
  };
  Kind kind = Kind::ShowError;
  QString messageText;
  QString informativeText;
  QUrl address;

  friend bool operator==(const UpdateAction&, const UpdateAction&) = default;
};

// The update alert for a listed version.
UpdateAction offerFor(const QString& listedVersion, const QString& runningVersion, const QUrl& address);
UpdateAction errorAction(const QString& message);

// Reads the downloaded body as a property list (XML or binary) and walks its entries in order.
// An unreadable body, or a root that is not an array, gives one ShowError with unreadableListMessage; an
// empty array gives one ShowError with emptyListMessage. Elements that are not dictionaries, and values
// that are not strings, are skipped.
std::vector<UpdateAction> walkUpdateList(const QByteArray& body, const QString& runningVersion,
                                         const QString& hostPrefix);

}  // namespace quorbel::update
