#include "app/app_delegate.h"

#include <QAction>
#include <QApplication>
#include <QDateTime>
#include <QDesktopServices>
#include <QKeySequence>
#include <QLayout>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QTimer>

#include <utility>

namespace quorbel {

namespace {

const QString applicationTitle = QStringLiteral("Quorbel Sparse Bundle Utility");

// Sizes `window` to fit and centres it on the screen `over` is on (the primary screen without one).
void placeOnScreenOf(QWidget* window, const QWidget* over) {
  const QScreen* screen = over ? over->screen() : QGuiApplication::primaryScreen();
  if (!screen) return;
  const QRect area = screen->availableGeometry();
  window->resize(window->size().boundedTo(area.size() - QSize(16, 48)));
  QRect frame(QPoint(0, 0), window->size());
  frame.moveCenter(area.center());
  window->move(frame.topLeft());
}

}  // namespace

AppDelegate::AppDelegate() : AppDelegate(Seams()) {}

AppDelegate::AppDelegate(Seams seams, QObject* parent) : QObject(parent), m_seams(std::move(seams)) {
  if (!m_seams.settings) {
    m_ownSettings = std::make_unique<QSettings>();
    m_seams.settings = m_ownSettings.get();
  }
  if (!m_seams.now) {
    m_seams.now = [] { return update::referenceSecondsFromUnixMilliseconds(QDateTime::currentMSecsSinceEpoch()); };
  }
  if (!m_seams.runningVersion) {
    m_seams.runningVersion = []() -> std::optional<QString> {
      const QString version = QCoreApplication::applicationVersion();
      return version.isEmpty() ? std::nullopt : std::optional<QString>(version);
    };
  }
  if (!m_seams.openUrl) {
    m_seams.openUrl = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
  }
  if (!m_seams.parts) {
    m_seams.parts = loadDeferredParts;
  }
}

UpdateCheck* AppDelegate::updateChecker() {
  if (m_updateCheck) {
    return m_updateCheck.get();
  }
  const DeferredParts* parts = m_seams.parts();
  if (!parts) {
    return nullptr;
  }
  UpdateCheckEdges edges;
  edges.now = m_seams.now;
  edges.runningVersion = m_seams.runningVersion;
  edges.showError = [this](const QString& message) { showUpdateError(message); };
  edges.askToDownload = [this](const QString& m, const QString& i) { return showUpdateAlert(m, i); };
  edges.markHelpItem = [this] { markUpdateStatusItem(); };
  edges.openAddress = [this](const QUrl& address) { openAddress(address); };
  m_updateCheck =
      parts->makeUpdateCheck(*m_seams.settings, edges, m_seams.updateListAddress, m_seams.downloadHostPrefix);
  return m_updateCheck.get();
}

AppDelegate::~AppDelegate() = default;

namespace {

// The window's own menu bar: a main window's, or one placed at the top of a plain window's layout.
QMenuBar* menuBarOf(QWidget* window) {
  if (auto* main = qobject_cast<QMainWindow*>(window)) {
    return main->menuBar();
  }
  auto* bar = new QMenuBar(window);
  if (window && window->layout()) {
    window->layout()->setMenuBar(bar);
  }
  return bar;
}

// The bar's menu that already holds `action`, if any.
QMenu* menuHolding(QMenuBar* bar, QAction* action) {
  if (!action) {
    return nullptr;
  }
  for (QAction* entry : bar->actions()) {
    if (entry->menu() && entry->menu()->actions().contains(action)) {
      return entry->menu();
    }
  }
  return nullptr;
}

}  // namespace

QMenuBar* AppDelegate::installMenuBar(QWidget* mainWindow, const ViewMenuTargets& view) {
  m_mainWindow = mainWindow;
  QMenuBar* bar = menuBarOf(mainWindow);
  m_menuBar = bar;

  // The application menu; on macOS the roles move About and Quit into the system's application menu.
  auto* appMenu = new QMenu(QStringLiteral("&Quorbel"), bar);
  QAction* about = appMenu->addAction(QStringLiteral("&About Quorbel Sparse Bundle Utility"));
  about->setMenuRole(QAction::AboutRole);
  connect(about, &QAction::triggered, this, &AppDelegate::showAbout);
  appMenu->addSeparator();
  QAction* quit = appMenu->addAction(QStringLiteral("&Quit"));
  quit->setMenuRole(QAction::QuitRole);
  quit->setShortcut(QKeySequence::Quit);
  // Queued, so the menu has closed before the event loop ends. Quitting closes the main window, which
  // asks first while a tool runs.
  connect(
      quit, &QAction::triggered, this,
      [this] {
        if (m_mainWindow)
          m_mainWindow->close();
        else
          QCoreApplication::quit();
      },
      Qt::QueuedConnection);
  const QList<QAction*> existing = bar->actions();
  bar->insertMenu(existing.isEmpty() ? nullptr : existing.front(), appMenu);

  QMenu* viewMenu = menuHolding(bar, view.largerText);
  if (!viewMenu) {
    viewMenu = bar->addMenu(QStringLiteral("&View"));
    for (QAction* action : {view.largerText, view.smallerText}) {
      if (action) {
        viewMenu->addAction(action);
      }
    }
  }

  QMenu* help = bar->addMenu(QStringLiteral("&Help"));
  help->setObjectName(QStringLiteral("helpMenu"));
  QAction* manual = help->addAction(QStringLiteral("Quorbel Sparse Bundle Utility &Help"));
  manual->setShortcut(QKeySequence::HelpContents);
  connect(manual, &QAction::triggered, this, &AppDelegate::openHelp);
  QAction* support = help->addAction(QStringLiteral("&Support Page"));
  connect(support, &QAction::triggered, this, &AppDelegate::openSupport);
  QAction* updates = help->addAction(QStringLiteral("&Updates Page"));
  connect(updates, &QAction::triggered, this, &AppDelegate::openUpdates);
  help->addSeparator();
  // A status display, not a command: it carries a check mark once a check has found this program.
  QAction* status = help->addAction(update::statusItemUncheckedTitle);
  status->setCheckable(true);
  status->setEnabled(false);
  m_helpMenu = help;

#ifdef Q_OS_MACOS
  // A parentless bar is shown while a window without a bar of its own (a help window) is active.
  auto* shared = new QMenuBar(nullptr);
  shared->addMenu(appMenu);
  shared->addMenu(viewMenu);
  shared->addMenu(help);
#endif
  return bar;
}

void AppDelegate::applicationDidFinishLaunching() { checkForUpdateIfDue(); }

void AppDelegate::finishLaunchingAfterFirstFrame(QWidget* window, int latestMilliseconds) {
  m_firstFrameWindow = window;
  window->installEventFilter(this);
  QTimer::singleShot(latestMilliseconds, this, &AppDelegate::finishLaunchingOnce);
}

bool AppDelegate::eventFilter(QObject* watched, QEvent* event) {
  if (watched == m_firstFrameWindow && event->type() == QEvent::Paint) {
    watched->removeEventFilter(this);
    m_firstFrameWindow = nullptr;
    // Queued: the painted frame is put on the screen before the event loop comes back here.
    QTimer::singleShot(0, this, &AppDelegate::finishLaunchingOnce);
  }
  return QObject::eventFilter(watched, event);
}

void AppDelegate::finishLaunchingOnce() {
  if (m_launchFinished) return;
  m_launchFinished = true;
  if (m_firstFrameWindow) m_firstFrameWindow->removeEventFilter(this);
  applicationDidFinishLaunching();
}

void AppDelegate::openHelp() {
  const DeferredParts* parts = m_seams.parts();
  if (!parts) {
    return;
  }
  std::erase_if(m_myHelpWindow, [](const QPointer<QWidget>& w) { return w.isNull(); });
  QWidget* window = m_myHelpWindow.empty() ? nullptr : m_myHelpWindow.front().data();
  if (!window) {
    window = parts->makeHelpWindow(m_seams.helpLookup, m_mainWindow);
    placeOnScreenOf(window, m_mainWindow);
    m_myHelpWindow.emplace_back(window);
  }
  window->show();
  window->raise();
  window->activateWindow();
}

std::vector<QWidget*> AppDelegate::myHelpWindow() const {
  std::vector<QWidget*> open;
  for (const auto& window : m_myHelpWindow) {
    if (window) {
      open.push_back(window.data());
    }
  }
  return open;
}

void AppDelegate::openSupport() { openAddress(m_seams.supportPageAddress); }

void AppDelegate::openUpdates() { openAddress(m_seams.updatesPageAddress); }

void AppDelegate::openAddress(const QUrl& address) {
  if (m_seams.openUrl(address)) return;
  auto* box = new QMessageBox(QMessageBox::Warning, applicationTitle, tr("The address could not be opened."),
                              QMessageBox::Ok, m_mainWindow);
  box->setObjectName(QStringLiteral("linkFailure"));
  box->setAttribute(Qt::WA_DeleteOnClose);
  // The address can be copied into a browser by hand.
  box->setInformativeText(tr("No web browser took it. The address is:\n%1").arg(address.toString()));
  box->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  box->open();
}

void AppDelegate::showAbout() {
  QMessageBox::about(m_mainWindow, QStringLiteral("About ") + applicationTitle,
                     QStringLiteral("<p><b>%1</b></p><p>Version %2</p>"
                                    "<p>Creates, resizes, compacts and converts sparse bundle disk images.</p>")
                         .arg(applicationTitle, QCoreApplication::applicationVersion().toHtmlEscaped()));
}

void AppDelegate::checkForUpdateIfDue() {
  if (UpdateCheck* check = updateChecker()) {
    check->checkForUpdateIfDue();
  }
}

void AppDelegate::showUpdateError(const QString& message) {
  QMessageBox box;
  box.setWindowModality(Qt::ApplicationModal);
  box.setWindowTitle(applicationTitle);
  box.setIcon(QMessageBox::Critical);
  box.setText(update::errorAlertMessage);
  box.setInformativeText(message);
  box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
  box.exec();
}

bool AppDelegate::showUpdateAlert(const QString& messageText, const QString& informativeText) {
  QMessageBox box;
  box.setWindowModality(Qt::ApplicationModal);
  box.setWindowTitle(applicationTitle);
  box.setIcon(QMessageBox::Information);
  box.setText(messageText);
  box.setInformativeText(informativeText);
  box.addButton(update::ignoreButtonTitle, QMessageBox::RejectRole);
  QPushButton* download = box.addButton(update::downloadButtonTitle, QMessageBox::AcceptRole);
  box.setDefaultButton(download);
  box.exec();
  return box.clickedButton() == download;
}

void AppDelegate::markUpdateStatusItem() {
  if (!m_helpMenu) {
    return;
  }
  for (QAction* action : m_helpMenu->actions()) {
    if (action->text() == update::statusItemUncheckedTitle) {
      action->setChecked(true);
      action->setText(update::statusItemCheckedTitle);
      return;
    }
  }
}

}  // namespace quorbel
