#include "app/help_window.h"

#include <QFile>
#include <QPdfDocument>
#include <QPdfView>
#include <QShortcut>
#include <QTabWidget>
#include <QTextEdit>
#include <QVBoxLayout>

#include <utility>

namespace quorbel {

HelpViewController::HelpViewController(ResourceLookup lookup, QWidget* parent)
    : QWidget(parent), m_lookup(std::move(lookup)) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  m_tabs = new QTabWidget(this);
  m_tabs->setObjectName(QStringLiteral("helpTabs"));
  m_tabs->setDocumentMode(true);
  layout->addWidget(m_tabs);
  auto* view = new QPdfView(m_tabs);
  view->setObjectName(QStringLiteral("helpPDFView"));
  view->setAccessibleName(QStringLiteral("Manual"));
  view->setPageMode(QPdfView::PageMode::MultiPage);
  m_tabs->addTab(view, QStringLiteral("Pages"));
  setHelpPDFView(view);
  // A PDF view exposes no text to a screen reader; the same manual as text does.
  // A read-only text field with a keyboard caret: a screen reader reads it line by line.
  m_helpTextView = new QTextEdit(m_tabs);
  m_helpTextView->setObjectName(QStringLiteral("helpTextView"));
  m_helpTextView->setAccessibleName(QStringLiteral("Manual text"));
  m_helpTextView->setReadOnly(true);
  m_helpTextView->setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);
  m_tabs->addTab(m_helpTextView, QStringLiteral("Text"));
  viewDidLoad();
}

HelpViewController::~HelpViewController() {
  // The view must not keep pointing at a document that goes away before it.
  if (m_helpPDFView) {
    m_helpPDFView->setDocument(nullptr);
  }
}

void HelpViewController::viewDidLoad() {}

void HelpViewController::viewDidAppear() {
  if (const std::optional<QString> text = m_lookup(QStringLiteral("QuorbelHelp"), QStringLiteral("md"))) {
    QFile file(*text);
    const bool readable = file.open(QIODevice::ReadOnly);
    m_helpTextView->setMarkdown(readable ? QString::fromUtf8(file.readAll()) : QString());
  }
  const std::optional<QString> path = m_lookup(QStringLiteral("QuorbelHelp"), QStringLiteral("pdf"));
  if (!path) {
    return;
  }
  auto document = std::make_unique<QPdfDocument>();
  const bool readable = document->load(*path) == QPdfDocument::Error::None && document->pageCount() > 0;
  if (m_helpPDFView) {
    m_helpPDFView->setDocument(readable ? document.get() : nullptr);
    m_helpPDFView->setZoomMode(QPdfView::ZoomMode::FitToWidth);
  }
  // Released only after the view has let go of it.
  m_thePDFDocument = readable ? std::move(document) : nullptr;
}

void HelpViewController::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  viewDidAppear();
}

HelpWindowController::HelpWindowController(ResourceLookup lookup, QWidget* parent) : QMainWindow(parent) {
  setWindowTitle(QStringLiteral("Quorbel Sparse Bundle Utility Help"));
  setObjectName(QStringLiteral("helpWindow"));
  // A window of its own, freed when it closes (or with its parent); it never keeps the application.
  setAttribute(Qt::WA_DeleteOnClose);
  setAttribute(Qt::WA_QuitOnClose, false);
  m_content = new HelpViewController(std::move(lookup), this);
  setCentralWidget(m_content);
  resize(720, 860);
  // Closed from the keyboard as a document window is.
  for (const QKeySequence& keys : {QKeySequence(Qt::Key_Escape), QKeySequence(Qt::CTRL | Qt::Key_W)}) {
    auto* shortcut = new QShortcut(keys, this);
    connect(shortcut, &QShortcut::activated, this, &QWidget::close);
  }
}

HelpWindowController::~HelpWindowController() = default;

void HelpWindowController::showWindow() {
  show();
  raise();
  activateWindow();
}

}  // namespace quorbel
