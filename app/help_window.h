#pragma once
// The help window: a PDF view of the manual that reloads the document every time it comes on screen,
// and the window controller that one "Help" command makes afresh.

#include "app/help_document.h"

#include <QMainWindow>
#include <QWidget>

#include <memory>

class QPdfDocument;
class QPdfView;

namespace quorbel {

class HelpViewController : public QWidget {
    Q_OBJECT
public:
    explicit HelpViewController(ResourceLookup lookup = lookUpEmbeddedResource, QWidget* parent = nullptr);
    ~HelpViewController() override;

    QPdfView* helpPDFView() const { return m_helpPDFView; }
    void setHelpPDFView(QPdfView* view) { m_helpPDFView = view; }
    // The document loaded at the last appearance; null before the first, or when it was unreadable.
    QPdfDocument* thePDFDocument() const { return m_thePDFDocument.get(); }

    void viewDidLoad();
    // Loads "QuorbelHelp"."pdf" into the view. A missing document leaves the view as it was; an
    // unreadable one leaves it empty. Neither shows a message.
    void viewDidAppear();

protected:
    void showEvent(QShowEvent* event) override;

private:
    ResourceLookup m_lookup;
    QPdfView* m_helpPDFView = nullptr;
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
