#pragma once
// What the first window does not need, kept out of the program's start: the help window (Qt Pdf) and
// the update check's download (Qt Network). They live in a module loaded on first use (Linux) or are
// linked in (macOS, tests); the application delegate reaches them only through this table.

#include <QString>
#include <QUrl>
#include <memory>

#include "app/help_document.h"

class QObject;
class QSettings;
class QWidget;

namespace quorbel {

struct UpdateCheckEdges;

// The update check as the delegate drives it.
class UpdateCheck {
 public:
  virtual ~UpdateCheck() = default;
  virtual void checkForUpdateIfDue() = 0;
  // The checker itself (an UpdateChecker, for tests that wait for its signal).
  virtual QObject* object() = 0;
};

struct DeferredParts {
  // A fresh help window (a window of its own, freed when closed) showing the manual found by `lookup`;
  // an empty lookup finds the manual embedded in the parts (kept out of the program, which never reads it).
  QWidget* (*makeHelpWindow)(const ResourceLookup& lookup, QWidget* parent);
  std::unique_ptr<UpdateCheck> (*makeUpdateCheck)(QSettings& settings, const UpdateCheckEdges& edges,
                                                  const QUrl& listAddress, const QString& downloadHostPrefix);
};

// The table, loaded on the first call; nullptr (with a warning) when the module cannot be loaded.
const DeferredParts* loadDeferredParts();

}  // namespace quorbel

// The module's one entry point.
extern "C" const quorbel::DeferredParts* quorbelDeferredParts();
