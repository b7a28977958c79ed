#include "app/update_checker.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSettings>

#include <cmath>
#include <utility>

namespace quorbel {

namespace {

double readNumber(const QSettings& settings, const QString& key) {
  bool ok = false;
  const double value = settings.value(key).toDouble(&ok);
  return ok && std::isfinite(value) ? value : 0.0;
}

}  // namespace

update::StoredCheckValues readStoredCheckValues(const QSettings& settings) {
  update::StoredCheckValues stored;
  stored.noUpdateCheck = settings.value(update::noUpdateCheckKey, false).toBool();
  stored.updateCheckInterval = readNumber(settings, update::updateCheckIntervalKey);
  stored.dateLastUpdateCheck = readNumber(settings, update::dateLastUpdateCheckKey);
  return stored;
}

UpdateChecker::UpdateChecker(QSettings& settings, QNetworkAccessManager& network, UpdateCheckEdges edges,
                             QUrl listAddress, QString downloadHostPrefix, QObject* parent)
    : QObject(parent),
      m_settings(settings),
      m_network(network),
      m_edges(std::move(edges)),
      m_listAddress(std::move(listAddress)),
      m_downloadHostPrefix(std::move(downloadHostPrefix)) {}

UpdateChecker::~UpdateChecker() {
  if (m_reply) {
    // Disconnect first: abort() reports the end at once, and this object is half gone.
    m_reply->disconnect(this);
    m_reply->abort();
    m_reply->deleteLater();
  }
}

bool UpdateChecker::isWaiting() const { return !m_reply.isNull(); }

void UpdateChecker::checkForUpdateIfDue() {
  const update::LaunchDecision decision = update::decideLaunch(readStoredCheckValues(m_settings), m_edges.now());
  bool waiting = false;
  if (decision.checkNow) {
    waiting = checkForUpdate();
    // Stored once the request is under way (or its error alert answered), whatever comes of it, so a
    // failing check is not retried before the interval has passed again.
    m_settings.setValue(update::dateLastUpdateCheckKey, m_edges.now());
  }
  m_settings.setValue(update::noUpdateCheckKey, decision.noUpdateCheck);
  m_settings.setValue(update::updateCheckIntervalKey, decision.updateCheckInterval);
  m_settings.sync();
  if (!waiting) {
    emit finished();
  }
}

bool UpdateChecker::checkForUpdate() {
  const std::optional<QString> version = m_edges.runningVersion();
  if (!version || version->isEmpty()) {
    m_edges.showError(update::noVersionMessage);
    return false;
  }
  QNetworkRequest request(m_listAddress);
  request.setTransferTimeout(transferTimeoutMilliseconds);
  QNetworkReply* reply = m_network.get(request);
  m_reply = reply;
  connect(reply, &QNetworkReply::downloadProgress, this, [reply](qint64 received, qint64 total) {
    if (received > maximumBodyBytes || total > maximumBodyBytes) {
      reply->abort();
    }
  });
  const QString runningVersion = *version;
  connect(reply, &QNetworkReply::finished, this, [this, reply, runningVersion] { handleReply(reply, runningVersion); });
  return true;
}

void UpdateChecker::handleReply(QNetworkReply* reply, const QString& runningVersion) {
  reply->deleteLater();
  m_reply = nullptr;

  update::ResponseFacts facts;
  facts.transportError = reply->error() != QNetworkReply::NoError;
  const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
  facts.hasResponse = status.isValid();
  const QString scheme = reply->url().scheme();
  facts.isHttp = scheme == QLatin1String("https") || scheme == QLatin1String("http");
  facts.statusCode = status.toInt();
  if (reply->hasRawHeader("Content-Type")) {
    facts.contentType = QString::fromLatin1(reply->rawHeader("Content-Type"));
  }
  if (!update::acceptResponse(facts)) {
    emit finished();
    return;
  }
  const QByteArray body = reply->readAll();
  if (body.size() > maximumBodyBytes) {
    emit finished();
    return;
  }
  processUpdateList(body, runningVersion);
  emit finished();
}

void UpdateChecker::processUpdateList(const QByteArray& body, const QString& runningVersion) {
  using Kind = update::UpdateAction::Kind;
  for (const update::UpdateAction& action : update::walkUpdateList(body, runningVersion, m_downloadHostPrefix)) {
    switch (action.kind) {
      case Kind::ShowError:
        m_edges.showError(action.informativeText);
        break;
      case Kind::MarkHelpItem:
        m_edges.markHelpItem();
        break;
      case Kind::OfferUpdate:
        if (m_edges.askToDownload(action.messageText, action.informativeText)) {
          m_edges.openAddress(action.address);
        }
        break;
    }
  }
}

}  // namespace quorbel
