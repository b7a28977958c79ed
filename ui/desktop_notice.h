#pragma once
// A desktop notification through the freedesktop notification service on the session bus. Where no
// bus or no service is there (or on macOS), nothing happens and nothing is reported.

#include <QString>

namespace quorbel {

void sendDesktopNotice(const QString& title, const QString& body);

}  // namespace quorbel
