#pragma once
// The application delegate: the menu bar, help windows, web links and the launch-time update check.
// Everything the platform decides (settings, clock, version, browser, help resource, addresses) can be
// replaced through Seams, so that tests run the real menus and alerts against fakes.

#include "app/deferred_parts.h"
#include "app/help_document.h"
#include "app/update_checker.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QObject>
#include <QPointer>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QSettings;
class QWidget;

namespace quorbel {

// The main window's text size commands, shown in the View menu.
struct ViewMenuTargets {
  QAction* largerText = nullptr;
  QAction* smallerText = nullptr;
};

// What the platform decides, replaceable by tests; an empty member takes the platform default.
struct AppDelegateSeams {
  QSettings* settings = nullptr;                           // default: the application's own settings
  std::function<double()> now;                             // default: the system clock, seconds since 2001-01-01 UTC
  std::function<std::optional<QString>()> runningVersion;  // default: the application's version
  std::function<bool(const QUrl&)> openUrl;                // default: the desktop's web browser; false: not opened
  ResourceLookup helpLookup;                               // default: the manual embedded in the parts
  QUrl updateListAddress = QUrl(QStringLiteral(QUORBEL_UPDATE_LIST_ADDRESS));
  QString downloadHostPrefix = QStringLiteral(QUORBEL_DOWNLOAD_HOST_PREFIX);
  QUrl supportPageAddress = QUrl(QStringLiteral(QUORBEL_SUPPORT_PAGE_ADDRESS));
  QUrl updatesPageAddress = QUrl(QStringLiteral(QUORBEL_UPDATES_PAGE_ADDRESS));
  std::function<const DeferredParts*()> parts;  // default: loadDeferredParts
};

class AppDelegate : public QObject {
  Q_OBJECT
 public:
  using Seams = AppDelegateSeams;

  AppDelegate();
  explicit AppDelegate(Seams seams, QObject* parent = nullptr);
  ~AppDelegate() override;

  // Completes the main window's menu bar: the application menu (About, Quit) first, View (text size;
  // a View menu the window already has is kept) and Help (manual, support page, updates page, update
  // status item). On macOS the same menus also form the bar shown while another window is active.
  QMenuBar* installMenuBar(QWidget* mainWindow, const ViewMenuTargets& view);
  QMenuBar* menuBar() const { return m_menuBar; }
  QMenu* helpMenu() const { return m_helpMenu; }

  void applicationDidFinishLaunching();
  // Calls applicationDidFinishLaunching once, after `window` has painted its first frame: the launch
  // check loads the network module, which would otherwise hold that frame back. A window not painted
  // within `latestMilliseconds` (started minimised, say) still gets its check then.
  void finishLaunchingAfterFirstFrame(QWidget* window, int latestMilliseconds = 3000);
  // Shows the one help window, made on first use, centred on the main window's screen, and raises it.
  void openHelp();
  void openSupport();
  void openUpdates();
  // Opens `address` in the web browser; one that cannot be opened is named in a message.
  void openAddress(const QUrl& address);
  void showAbout();

  // The help window open now, in a list (a closed one is freed).
  std::vector<QWidget*> myHelpWindow() const;
  // The update check, made on first use; nullptr when its module is missing.
  UpdateCheck* updateChecker();

  // The update check's platform side.
  void checkForUpdateIfDue();
  void showUpdateError(const QString& message);
  bool showUpdateAlert(const QString& messageText, const QString& informativeText);
  void markUpdateStatusItem();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void finishLaunchingOnce();

  Seams m_seams;
  std::unique_ptr<QSettings> m_ownSettings;
  std::unique_ptr<UpdateCheck> m_updateCheck;
  std::vector<QPointer<QWidget>> m_myHelpWindow;
  QPointer<QMenuBar> m_menuBar;
  QPointer<QMenu> m_helpMenu;
  QPointer<QWidget> m_mainWindow;
  QPointer<QWidget> m_firstFrameWindow;
  bool m_launchFinished = false;
};

}  // namespace quorbel
