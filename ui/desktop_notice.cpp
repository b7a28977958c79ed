#include "ui/desktop_notice.h"

#include <QGuiApplication>

#ifdef QUORBEL_DESKTOP_NOTICES
#include <QDBusConnection>
#include <QDBusMessage>
#include <QVariantMap>
#endif

namespace quorbel {

void sendDesktopNotice(const QString& title, const QString& body) {
#ifdef QUORBEL_DESKTOP_NOTICES
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return;
  QDBusMessage call = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
      QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
  QVariantMap hints;
  hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("quorbel"));
  call << QGuiApplication::applicationDisplayName() << 0u << QString() << title << body << QStringList() << hints << -1;
  // No answer is waited for: without a service the bus answers with an error nobody needs to see.
  bus.send(call);
#else
  Q_UNUSED(title);
  Q_UNUSED(body);
#endif
}

}  // namespace quorbel
