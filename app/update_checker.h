#pragma once
// The launch-time update check at its platform edges: settings, clock, one HTTPS download, and the
// alerts, Help menu and browser, which the application supplies as callbacks (tests supply fakes).

#include "app/update_rules.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

class QNetworkAccessManager;
class QNetworkReply;
class QSettings;

namespace quorbel {

// What the check needs from the application around it.
struct UpdateCheckEdges {
  // Seconds since 2001-01-01 00:00:00 UTC.
  std::function<double()> now;
  // The running version; nothing or an empty text when the application has none.
  std::function<std::optional<QString>()> runningVersion;
  // Error alert with the particular message; returns when the user has answered.
  std::function<void(const QString& message)> showError;
  // Update alert with "Ignore" and "Download"; true when the user chose "Download".
  std::function<bool(const QString& messageText, const QString& informativeText)> askToDownload;
  // The Help menu's status item: check mark and "Checked for update", if the item is still there.
  std::function<void()> markHelpItem;
  // Opens an address in the default web browser; the result is not looked at.
  std::function<void(const QUrl& address)> openAddress;
};

class UpdateChecker : public QObject {
  Q_OBJECT
 public:
  // The platform's default request time-out: a transfer without progress for this long is dropped.
  static constexpr int transferTimeoutMilliseconds = 60'000;
  // An update list is a few hundred bytes; a body beyond this is dropped silently.
  static constexpr qint64 maximumBodyBytes = 1 << 20;

  UpdateChecker(QSettings& settings, QNetworkAccessManager& network, UpdateCheckEdges edges,
                QUrl listAddress = QUrl(QStringLiteral(QUORBEL_UPDATE_LIST_ADDRESS)),
                QString downloadHostPrefix = QStringLiteral(QUORBEL_DOWNLOAD_HOST_PREFIX), QObject* parent = nullptr);
  ~UpdateChecker() override;

  // Reads the three stored values, starts a check when one is due, and writes the values back.
  void checkForUpdateIfDue();

  // True while a download is under way.
  bool isWaiting() const;

 signals:
  // The check has ended, whatever the outcome (also when none was due).
  void finished();

 private:
  // Starts the download; false when it ended at once (no running version).
  bool checkForUpdate();
  void handleReply(QNetworkReply* reply, const QString& runningVersion);
  void processUpdateList(const QByteArray& body, const QString& runningVersion);

  QSettings& m_settings;
  QNetworkAccessManager& m_network;
  UpdateCheckEdges m_edges;
  QUrl m_listAddress;
  QString m_downloadHostPrefix;
  QPointer<QNetworkReply> m_reply;
};

// Reads the stored values as written by any earlier version, including texts from a hand-edited file:
// a value that does not read as a number counts as absent.
update::StoredCheckValues readStoredCheckValues(const QSettings& settings);

}  // namespace quorbel
