#include "ui/notification_center.h"

#include <algorithm>

namespace quorbel {

NotificationCenter& NotificationCenter::defaultCenter() {
  static NotificationCenter center;
  return center;
}

void NotificationCenter::addObserver(const QObject* observer, const QString& name, Handler handler) {
  registrations_.push_back({QPointer<const QObject>(observer), name, std::move(handler)});
}

void NotificationCenter::removeObserver(const QObject* observer) {
  std::erase_if(registrations_, [&](const Registration& r) { return r.observer.isNull() || r.observer == observer; });
}

void NotificationCenter::post(const QString& name, const QVariantMap& userInfo) {
  std::erase_if(registrations_, [](const Registration& r) { return r.observer.isNull(); });
  // Handlers may register or remove observers, so they run from a copy.
  std::vector<Registration> matching;
  for (const auto& r : registrations_)
    if (r.name == name) matching.push_back(r);
  const Notification notification{name, userInfo};
  for (const auto& r : matching)
    if (!r.observer.isNull()) r.handler(notification);
}

}  // namespace quorbel
