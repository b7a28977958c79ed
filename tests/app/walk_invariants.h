#pragma once
// What must hold for the list walk's result whatever the downloaded bytes were; shared by the fuzz
// target and the corpus replay. Returns a description of the first broken rule, or an empty text.

#include "app/update_rules.h"

#include <string>

namespace quorbel::update {

inline std::string brokenWalkInvariant(const QByteArray& body, int* offers = nullptr) {
  const QString prefix = QStringLiteral("https://files.quorbel.example/downloads/");
  const std::vector<UpdateAction> actions = walkUpdateList(body, QStringLiteral("1.0"), prefix);
  for (const UpdateAction& a : actions) {
    const QString& m = a.informativeText;
    if (a.kind == UpdateAction::Kind::ShowError &&
        (actions.size() > 1 || (m != unreadableListMessage && m != emptyListMessage))) {
      return "an error alert among other actions, or an unknown error";
    }
    if (a.kind != UpdateAction::Kind::OfferUpdate) continue;
    if (offers) ++*offers;
    // The opened address must pass the check again as the browser receives it.
    if (a.address.host() != QStringLiteral("files.quorbel.example") ||
        !checkedDownloadAddress(QString::fromUtf8(a.address.toEncoded()), prefix)) {
      return "an offer for an address off the download path: " + a.address.toString().toStdString();
    }
  }
  return {};
}

}  // namespace quorbel::update
