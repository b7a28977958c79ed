#include "translations/translator.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>

namespace quorbel {

std::vector<std::unique_ptr<QTranslator>> installTranslations(const QLocale& locale, const QString& folder) {
  std::vector<std::unique_ptr<QTranslator>> installed;
  const std::pair<QString, QString> sources[] = {
      {QStringLiteral("qtbase"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)},
      {QStringLiteral("quorbel"), folder},
  };
  for (const auto& [name, where] : sources) {
    auto translator = std::make_unique<QTranslator>();
    if (translator->load(locale, name, QStringLiteral("_"), where) &&
        QCoreApplication::installTranslator(translator.get())) {
      installed.push_back(std::move(translator));
    }
  }
  return installed;
}

QString translationsFolder() {
  return QCoreApplication::applicationDirPath() + QStringLiteral("/../share/quorbel/translations");
}

}  // namespace quorbel
