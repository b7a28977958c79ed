#include "app/help_document.h"

#include <QFile>

namespace quorbel {

QString embeddedHelpDocumentPath() { return QStringLiteral(":/QuorbelHelp.pdf"); }

std::optional<QString> lookUpEmbeddedResource(const QString& name, const QString& extension) {
  const QString path = QStringLiteral(":/") + name + QLatin1Char('.') + extension;
  if (!QFile::exists(path)) {
    return std::nullopt;
  }
  return path;
}

}  // namespace quorbel
