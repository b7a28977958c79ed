#pragma once
// What must hold for the list walk's result whatever the downloaded bytes were. Shared by the fuzz
// target and the corpus replay; returns a description of the first broken rule, or an empty text.

#include "app/update_rules.h"

#include <string>

namespace quorbel::update {

inline const QString fuzzRunningVersion = QStringLiteral("1.0");
inline const QString fuzzHostPrefix = QStringLiteral("https://files.quorbel.example/downloads/");

inline std::string brokenWalkInvariant(const std::vector<UpdateAction>& actions)
{
    using Kind = UpdateAction::Kind;
    if (!actions.empty() && actions.front().kind == Kind::ShowError) {
        const QString& m = actions.front().informativeText;
        return actions.size() == 1 && (m == unreadableListMessage || m == emptyListMessage)
                   ? std::string()
                   : "an error alert with other actions or an unknown message";
    }
    bool marked = false;
    for (const UpdateAction& a : actions) {
        if (a.kind == Kind::ShowError) return "an error alert after the walk began";
        marked = marked || a.kind == Kind::MarkHelpItem;
        if (a.kind != Kind::OfferUpdate) continue;
        if (!marked) return "an offer before any entry marked the Help item";
        // The opened address must pass the check again as the browser receives it.
        if (a.address.host() != QStringLiteral("files.quorbel.example") ||
            !checkedDownloadAddress(QString::fromUtf8(a.address.toEncoded()), fuzzHostPrefix)) {
            return "an offer for an address off the download path: " + a.address.toString().toStdString();
        }
    }
    return {};
}

}  // namespace quorbel::update
