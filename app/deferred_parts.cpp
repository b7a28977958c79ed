// The deferred parts' table: the help window and the update check with its own network access.
#include "app/deferred_parts.h"

#include <QNetworkAccessManager>

#include "app/help_window.h"
#include "app/update_checker.h"

namespace quorbel {
namespace {

class NetworkUpdateCheck : public UpdateCheck {
 public:
  NetworkUpdateCheck(QSettings& settings, const UpdateCheckEdges& edges, const QUrl& listAddress,
                     const QString& downloadHostPrefix)
      : checker_(settings, network_, edges, listAddress, downloadHostPrefix) {}
  void checkForUpdateIfDue() override { checker_.checkForUpdateIfDue(); }
  QObject* object() override { return &checker_; }

 private:
  QNetworkAccessManager network_;
  UpdateChecker checker_;
};

QWidget* makeHelpWindow(const ResourceLookup& lookup, QWidget* parent) {
  return new HelpWindowController(lookup ? lookup : ResourceLookup(lookUpEmbeddedResource), parent);
}

std::unique_ptr<UpdateCheck> makeUpdateCheck(QSettings& settings, const UpdateCheckEdges& edges,
                                             const QUrl& listAddress, const QString& downloadHostPrefix) {
  return std::make_unique<NetworkUpdateCheck>(settings, edges, listAddress, downloadHostPrefix);
}

}  // namespace
}  // namespace quorbel

extern "C" const quorbel::DeferredParts* quorbelDeferredParts() {
  static const quorbel::DeferredParts parts{quorbel::makeHelpWindow, quorbel::makeUpdateCheck};
  return &parts;
}
