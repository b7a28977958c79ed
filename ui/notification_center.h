#pragma once
// A small synchronous notification centre: observers register for a name and are called, in the
// order they registered, while the notification is being posted, whoever the sender is.

#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariantMap>
#include <functional>
#include <vector>

namespace quorbel {

struct Notification {
  QString name;
  QVariantMap userInfo;
};

class NotificationCenter {
 public:
  using Handler = std::function<void(const Notification&)>;

  static NotificationCenter& defaultCenter();

  // `observer` owns the registration: it ends when the observer is destroyed or removed.
  void addObserver(const QObject* observer, const QString& name, Handler handler);
  void removeObserver(const QObject* observer);
  void post(const QString& name, const QVariantMap& userInfo = {});

 private:
  struct Registration {
    QPointer<const QObject> observer;
    QString name;
    Handler handler;
  };
  std::vector<Registration> registrations_;
};

}  // namespace quorbel
