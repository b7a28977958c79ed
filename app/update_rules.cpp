#include "app/update_rules.h"

#include <plist/plist.h>

#include <cstdint>
#include <limits>
#include <memory>

namespace quorbel::update {

double referenceSecondsFromUnixMilliseconds(qint64 unixMilliseconds) {
  return static_cast<double>(unixMilliseconds) / 1000.0 - referenceDateUnixSeconds;
}

LaunchDecision decideLaunch(const StoredCheckValues& stored, double now) {
  LaunchDecision decision;
  decision.noUpdateCheck = stored.noUpdateCheck;
  // A NaN interval fails "< 1.0" as well as every other comparison; treat it like any unusable value.
  const double interval = stored.updateCheckInterval;
  decision.updateCheckInterval = (interval >= 1.0) ? interval : defaultUpdateCheckInterval;
  // Strictly greater elapsed time; a clock set before the stored date gives a negative elapsed time.
  decision.checkNow = !stored.noUpdateCheck && decision.updateCheckInterval < now - stored.dateLastUpdateCheck;
  return decision;
}

std::optional<QString> mediaTypeOf(const QString& contentType) {
  const qsizetype semicolon = contentType.indexOf(QLatin1Char(';'));
  const QString type = (semicolon < 0 ? contentType : contentType.left(semicolon)).trimmed();
  if (type.isEmpty()) {
    return std::nullopt;
  }
  return type;
}

bool acceptResponse(const ResponseFacts& response) {
  if (response.transportError || !response.hasResponse || !response.isHttp) {
    return false;
  }
  if (response.statusCode < 200 || response.statusCode > 299) {
    return false;
  }
  if (!response.contentType) {
    return false;
  }
  const std::optional<QString> type = mediaTypeOf(*response.contentType);
  return type && (*type == QLatin1String("text/xml") || *type == QLatin1String("text/plain"));
}

namespace {

// Characters that some parsers read differently from others (a backslash is a slash to browsers), and
// anything invisible: an address holding one is refused outright rather than guessed at. A decoded path
// may hold spaces (file names do); the raw text may not.
bool hasAmbiguousCharacters(const QString& text, bool allowSpace) {
  for (const QChar c : text) {
    if (c == QLatin1Char('\\') || (!allowSpace && c.isSpace()) || c.category() == QChar::Other_Control ||
        c.category() == QChar::Other_Format) {
      return true;
    }
  }
  return false;
}

// True when a decoded path has a "." or ".." segment, which a browser would resolve out of the prefix.
bool hasDotSegments(const QString& decodedPath) {
  for (const QStringView segment : QStringView(decodedPath).split(QLatin1Char('/'))) {
    if (segment == QLatin1String(".") || segment == QLatin1String("..")) {
      return true;
    }
  }
  return false;
}

bool hasDefaultHttpsPort(const QUrl& url) { return url.port() == -1 || url.port() == 443; }

}  // namespace

std::optional<QUrl> checkedDownloadAddress(const QString& raw, const QString& hostPrefix) {
  if (raw.isEmpty() || hasAmbiguousCharacters(raw, false)) {
    return std::nullopt;
  }
  const QUrl prefix(hostPrefix, QUrl::StrictMode);
  const QUrl url(raw, QUrl::StrictMode);
  if (!prefix.isValid() || prefix.host().isEmpty() || !url.isValid() || url.isRelative()) {
    return std::nullopt;
  }
  if (url.scheme() != QLatin1String("https") || prefix.scheme() != QLatin1String("https")) {
    return std::nullopt;
  }
  // Any '@' in the authority means user-info, even an empty one ("https://@host/").
  if (!url.userInfo().isEmpty() || url.authority(QUrl::FullyEncoded).contains(QLatin1Char('@'))) {
    return std::nullopt;
  }
  if (url.host().isEmpty() || url.host() != prefix.host() || !hasDefaultHttpsPort(url)) {
    return std::nullopt;
  }
  // The prefix's path with a closing slash, so that "/downloads" never admits "/downloads-evil".
  QString prefixPath = prefix.path(QUrl::FullyDecoded);
  if (!prefixPath.endsWith(QLatin1Char('/'))) {
    prefixPath += QLatin1Char('/');
  }
  const QString path = url.path(QUrl::FullyDecoded);
  if (hasDotSegments(path) || hasAmbiguousCharacters(path, true) || !path.startsWith(prefixPath)) {
    return std::nullopt;
  }
  return url;
}

UpdateAction offerFor(const QString& listedVersion, const QString& runningVersion, const QUrl& address) {
  UpdateAction action;
  action.kind = UpdateAction::Kind::OfferUpdate;
  action.messageText =
      QStringLiteral("An update to this app to version ") + listedVersion + QStringLiteral(" is available.");
  action.informativeText = QStringLiteral("You are currently running ") + productName + QStringLiteral(" version ") +
                           runningVersion +
                           QStringLiteral(
                               ".\nPlease choose whether to download this update now in your "
                               "default browser.");
  action.address = address;
  return action;
}

UpdateAction errorAction(const QString& message) {
  UpdateAction action;
  action.kind = UpdateAction::Kind::ShowError;
  action.messageText = errorAlertMessage;
  action.informativeText = message;
  return action;
}

namespace {

struct PlistFree {
  void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

// The string value under `key`, or nothing when the key is absent or its value is not a string.
std::optional<QString> stringValue(plist_t dictionary, const char* key) {
  plist_t node = plist_dict_get_item(dictionary, key);
  if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) {
    return std::nullopt;
  }
  uint64_t length = 0;
  const char* text = plist_get_string_ptr(node, &length);
  if (text == nullptr || length > static_cast<uint64_t>(std::numeric_limits<qsizetype>::max())) {
    return std::nullopt;
  }
  return QString::fromUtf8(text, static_cast<qsizetype>(length));
}

// libplist checks a binary list for reference cycles by walking each object's ancestors, which costs
// time quadratic in the nesting depth: a 400 KB list nested 60,000 deep takes about a minute on the
// main thread. A real update list has a few dozen objects, so a binary list that declares more than
// this many is refused as unreadable before it is parsed.
constexpr std::uint64_t maximumBinaryObjects = 4096;

bool declaresTooManyBinaryObjects(const QByteArray& body) {
  // The trailer's last 32 bytes: 6 unused or sort bytes, 2 size bytes, then the object count (8 bytes,
  // big-endian), the top object and the offset table's position.
  constexpr qsizetype trailerSize = 32;
  if (!body.startsWith("bplist") || body.size() < 8 + trailerSize) {
    return false;
  }
  const auto* trailer = reinterpret_cast<const unsigned char*>(body.constData() + body.size() - trailerSize);
  std::uint64_t count = 0;
  for (int i = 8; i < 16; ++i) {
    count = (count << 8) | trailer[i];
  }
  return count > maximumBinaryObjects;
}

}  // namespace

std::vector<UpdateAction> walkUpdateList(const QByteArray& body, const QString& runningVersion,
                                         const QString& hostPrefix) {
  plist_t parsed = nullptr;
  if (!body.isEmpty() && body.size() <= std::numeric_limits<uint32_t>::max() && !declaresTooManyBinaryObjects(body)) {
    plist_from_memory(body.constData(), static_cast<uint32_t>(body.size()), &parsed);
  }
  const PlistPtr root(parsed);
  if (!root || plist_get_node_type(root.get()) != PLIST_ARRAY) {
    return {errorAction(unreadableListMessage)};
  }
  const uint32_t count = plist_array_get_size(root.get());
  if (count < 1) {
    return {errorAction(emptyListMessage)};
  }

  std::vector<UpdateAction> actions;
  for (uint32_t i = 0; i < count; ++i) {
    plist_t element = plist_array_get_item(root.get(), i);
    if (element == nullptr || plist_get_node_type(element) != PLIST_DICT) {
      continue;
    }
    if (stringValue(element, "AppName") != productName) {
      continue;
    }
    actions.push_back(UpdateAction{UpdateAction::Kind::MarkHelpItem, {}, {}, {}});
    const std::optional<QString> version = stringValue(element, "Version");
    const std::optional<QString> address = stringValue(element, "URL");
    if (!version || !address || *version == runningVersion) {
      continue;
    }
    if (const std::optional<QUrl> checked = checkedDownloadAddress(*address, hostPrefix)) {
      actions.push_back(offerFor(*version, runningVersion, *checked));
    }
  }
  return actions;
}

}  // namespace quorbel::update
