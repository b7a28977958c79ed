#pragma once
// The translations of the user's language for a program of the project: its own texts and Qt's.

#include <QString>
#include <QTranslator>

#include <memory>
#include <vector>

class QLocale;

namespace quorbel {

// Installs on the running application the project's translation for `locale` from `folder` and Qt's
// own from Qt's translations folder; a language without a translation stays English. Each stays
// installed while the returned translator lives.
std::vector<std::unique_ptr<QTranslator>> installTranslations(const QLocale& locale, const QString& folder);

// Where the programs find the project's translations: share/quorbel/translations beside their bin/
// folder, in the build tree as in the install tree.
QString translationsFolder();

}  // namespace quorbel
