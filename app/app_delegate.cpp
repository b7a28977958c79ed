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
#include <QSettings>

#include <utility>

namespace quorbel {

namespace {

const QString applicationTitle = QStringLiteral("Quorbel Sparse Bundle Utility");

}  // namespace

AppDelegate::AppDelegate() : AppDelegate(Seams()) {}

AppDelegate::AppDelegate(Seams seams, QObject* parent) : QObject(parent), m_seams(std::move(seams))
{
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
        m_seams.openUrl = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    }
    if (!m_seams.helpLookup) {
        m_seams.helpLookup = lookUpEmbeddedResource;
    }

    UpdateCheckEdges edges;
    edges.now = m_seams.now;
    edges.runningVersion = m_seams.runningVersion;
    edges.showError = [this](const QString& message) { showUpdateError(message); };
    edges.askToDownload = [this](const QString& m, const QString& i) { return showUpdateAlert(m, i); };
    edges.markHelpItem = [this] { markUpdateStatusItem(); };
    edges.openAddress = m_seams.openUrl;
    m_updateChecker = std::make_unique<UpdateChecker>(*m_seams.settings, m_network, std::move(edges),
                                                      m_seams.updateListAddress, m_seams.downloadHostPrefix);
}

AppDelegate::~AppDelegate() = default;

QMenuBar* AppDelegate::installMenuBar(QWidget* mainWindow, const ViewMenuTargets& view)
{
    m_mainWindow = mainWindow;
#ifdef Q_OS_MACOS
    // A parentless bar is the application's global menu bar.
    auto* bar = new QMenuBar(nullptr);
#else
    QMenuBar* bar = nullptr;
    if (auto* window = qobject_cast<QMainWindow*>(mainWindow)) {
        bar = window->menuBar();
    } else {
        bar = new QMenuBar(mainWindow);
        if (mainWindow && mainWindow->layout()) {
            mainWindow->layout()->setMenuBar(bar);
        }
    }
#endif
    m_menuBar = bar;

    // The application menu; on macOS the roles move About and Quit into the system's application menu.
    QMenu* appMenu = bar->addMenu(QStringLiteral("&Quorbel"));
    QAction* about = appMenu->addAction(QStringLiteral("&About Quorbel Sparse Bundle Utility"));
    about->setMenuRole(QAction::AboutRole);
    connect(about, &QAction::triggered, this, &AppDelegate::showAbout);
    appMenu->addSeparator();
    QAction* quit = appMenu->addAction(QStringLiteral("&Quit"));
    quit->setMenuRole(QAction::QuitRole);
    quit->setShortcut(QKeySequence::Quit);
    connect(quit, &QAction::triggered, qApp, &QCoreApplication::quit, Qt::QueuedConnection);

    QMenu* viewMenu = bar->addMenu(QStringLiteral("&View"));
    QAction* larger = viewMenu->addAction(QStringLiteral("&Larger Text"));
    larger->setShortcuts({QKeySequence(QKeySequence::ZoomIn), QKeySequence(Qt::CTRL | Qt::Key_Equal)});
    QAction* smaller = viewMenu->addAction(QStringLiteral("&Smaller Text"));
    smaller->setShortcut(QKeySequence::ZoomOut);
    if (view.incFontSize) {
        connect(larger, &QAction::triggered, this, [f = view.incFontSize] { f(); });
    } else {
        larger->setEnabled(false);
    }
    if (view.decFontSize) {
        connect(smaller, &QAction::triggered, this, [f = view.decFontSize] { f(); });
    } else {
        smaller->setEnabled(false);
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
    return bar;
}

void AppDelegate::applicationDidFinishLaunching()
{
    checkForUpdateIfDue();
}

void AppDelegate::applicationWillTerminate() {}

void AppDelegate::openHelp()
{
    auto controller = std::make_unique<HelpWindowController>(m_seams.helpLookup);
    controller->showWindow();
    m_myHelpWindow.push_back(std::move(controller));
}

void AppDelegate::openSupport()
{
    m_seams.openUrl(m_seams.supportPageAddress);
}

void AppDelegate::openUpdates()
{
    m_seams.openUrl(m_seams.updatesPageAddress);
}

void AppDelegate::showAbout()
{
    QMessageBox::about(m_mainWindow, QStringLiteral("About ") + applicationTitle,
                       QStringLiteral("<p><b>%1</b></p><p>Version %2</p>"
                                      "<p>Creates, resizes, compacts and converts sparse bundle disk images.</p>")
                           .arg(applicationTitle, QCoreApplication::applicationVersion().toHtmlEscaped()));
}

void AppDelegate::checkForUpdateIfDue()
{
    m_updateChecker->checkForUpdateIfDue();
}

void AppDelegate::showUpdateError(const QString& message)
{
    QMessageBox box;
    box.setWindowModality(Qt::ApplicationModal);
    box.setWindowTitle(applicationTitle);
    box.setIcon(QMessageBox::Critical);
    box.setText(update::errorAlertMessage);
    box.setInformativeText(message);
    box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    box.exec();
}

bool AppDelegate::showUpdateAlert(const QString& messageText, const QString& informativeText)
{
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

void AppDelegate::markUpdateStatusItem()
{
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
