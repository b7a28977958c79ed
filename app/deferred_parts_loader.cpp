// Finds the deferred parts: linked in, or the module "quorbel-parts" beside the program (build tree)
// or in the install tree's private library folder.
#include <QCoreApplication>
#include <QDir>
#include <QLibrary>
#include <QtGlobal>

#include "app/deferred_parts.h"

namespace quorbel {

const DeferredParts* loadDeferredParts() {
#ifdef QUORBEL_PARTS_LINKED
  return quorbelDeferredParts();
#else
  static const DeferredParts* loaded = []() -> const DeferredParts* {
    const QDir programs(QCoreApplication::applicationDirPath());
    QString reasons;
    for (const QString& candidate :
         {programs.filePath(QStringLiteral("quorbel-parts")),
          programs.filePath(QStringLiteral("../" QUORBEL_PARTS_INSTALL_DIR "/quorbel-parts"))}) {
      QLibrary module(candidate);
      using Entry = const DeferredParts* (*)();
      if (auto entry = reinterpret_cast<Entry>(module.resolve("quorbelDeferredParts"))) return entry();
      reasons += QStringLiteral("\n  ") + module.errorString();
    }
    qWarning("The help window and the update check are not available:%s", qPrintable(reasons));
    return nullptr;
  }();
  return loaded;
#endif
}

}  // namespace quorbel
