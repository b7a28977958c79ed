#pragma once
// The help window: the manual as PDF pages and, on a second tab, as text a screen reader can read; both
// reload every time the window comes on screen. And the window controller that one "Help" command makes
// afresh.

#include "app/help_document.h"

#include <QMainWindow>
#include <QWidget>

#include <memory>

class QPdfDocument;
class QPdfView;
class QTabWidget;
class QTextEdit;

namespace quorbel {

class HelpViewController : public QWidget {
    Q_OBJECT
public:
    explicit HelpViewController(ResourceLookup lookup = lookUpEmbeddedResource, QWidget* parent = nullptr);
    ~HelpViewController() override;

    QPdfView* helpPDFView() const { return m_helpPDFView; }
    void setHelpPDFView(QPdfView* view) { m_helpPDFView = view; }
    // The manual's text ("QuorbelHelp"."md" rendered), on the tab behind the pages.
    QTextEdit* helpTextView() const { return m_helpTextView; }
    QTabWidget* tabs() const { return m_tabs; }
    // The document loaded at the last appearance; null before the first, or when it was unreadable.
    QPdfDocument* thePDFDocument() const { return m_thePDFDocument.get(); }

    void viewDidLoad();
    // Loads "QuorbelHelp"."pdf" into the PDF view and "QuorbelHelp"."md" into the text view. A missing
    // document leaves its view as it was; an unreadable one leaves it empty. Neither shows a message.
    void viewDidAppear();

protected:
    void showEvent(QShowEvent* event) override;

private:
    ResourceLookup m_lookup;
    QPdfView* m_helpPDFView = nullptr;
    QTextEdit* m_helpTextView = nullptr;
    QTabWidget* m_tabs = nullptr;
    std::unique_ptr<QPdfDocument> m_thePDFDocument;
};

// The help window itself, made afresh by every "Help" command with the main window as its parent;
// closing it frees it.
class HelpWindowController : public QMainWindow {
    Q_OBJECT
public:
    explicit HelpWindowController(ResourceLookup lookup = lookUpEmbeddedResource, QWidget* parent = nullptr);
    ~HelpWindowController() override;

    QMainWindow* window() { return this; }
    HelpViewController* contentViewController() const { return m_content; }

    // Shows the window and brings it to the front.
    void showWindow();

private:
    HelpViewController* m_content = nullptr;
};

}  // namespace quorbel
