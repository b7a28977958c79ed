#pragma once
// What must hold for the list walk's result whatever the downloaded bytes were. Shared by the fuzz
// target and the corpus replay; returns a description of the first broken rule, or an empty text.

#include "app/update_rules.h"

#include <string>

namespace quorbel::update {

inline std::string brokenWalkInvariant(const std::vector<UpdateAction>& actions, const QString& hostPrefix)
{
    using Kind = UpdateAction::Kind;
    if (!actions.empty() && actions.front().kind == Kind::ShowError) {
        if (actions.size() != 1) {
            return "an error alert together with other actions";
        }
        const QString& m = actions.front().informativeText;
        if (m != unreadableListMessage && m != emptyListMessage) {
            return "an error alert with an unknown message";
        }
        return {};
    }
    const QUrl prefix(hostPrefix);
    int marks = 0;
    for (const UpdateAction& a : actions) {
        switch (a.kind) {
        case Kind::ShowError:
            return "an error alert after the walk began";
        case Kind::MarkHelpItem:
            ++marks;
            break;
        case Kind::OfferUpdate:
            if (marks == 0) {
                return "an offer before any entry marked the Help item";
            }
            if (a.address.scheme() != QLatin1String("https") || a.address.host() != prefix.host() ||
                !a.address.userInfo().isEmpty()) {
                return "an offer for an address off the download host: " + a.address.toString().toStdString();
            }
            if (!checkedDownloadAddress(QString::fromUtf8(a.address.toEncoded()), hostPrefix)) {
                return "an offered address that fails the check once encoded: " + a.address.toString().toStdString();
            }
            if (!a.messageText.startsWith(QLatin1String("An update to this app to version "))) {
                return "an offer without the update message";
            }
            break;
        }
    }
    return {};
}

// The running version and prefix the fuzz target and the replay use.
inline const QString fuzzRunningVersion = QStringLiteral("1.0");
inline const QString fuzzHostPrefix = QStringLiteral("https://files.quorbel.example/downloads/");

}  // namespace quorbel::update
