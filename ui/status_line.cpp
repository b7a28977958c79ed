#include "ui/status_line.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <algorithm>

namespace quorbel {

namespace {

// The label as a status bar: its name and text are the line shown, its description the whole text.
// The text interface lets a text-changed event carry each new line to a reader as it is shown.
class StatusLineAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
 public:
  explicit StatusLineAccessible(QLabel* line) : QAccessibleWidget(line, QAccessible::StatusBar) {}

  void* interface_cast(QAccessible::InterfaceType type) override {
    if (type == QAccessible::TextInterface) return static_cast<QAccessibleTextInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
  }

  QString text(QAccessible::Text t) const override {
    if (t == QAccessible::Name && line()->accessibleName().isEmpty()) return line()->text();
    if (t == QAccessible::Description && line()->accessibleDescription().isEmpty()) return line()->toolTip();
    return QAccessibleWidget::text(t);
  }

  // Read-only text without a selection or a caret.
  QString text(int startOffset, int endOffset) const override {
    const QString shown = line()->text();
    startOffset = std::clamp(startOffset, 0, static_cast<int>(shown.size()));
    endOffset = std::clamp(endOffset, startOffset, static_cast<int>(shown.size()));
    return shown.mid(startOffset, endOffset - startOffset);
  }
  int characterCount() const override { return static_cast<int>(line()->text().size()); }
  void selection(int, int* startOffset, int* endOffset) const override { *startOffset = *endOffset = 0; }
  int selectionCount() const override { return 0; }
  void addSelection(int, int) override {}
  void removeSelection(int) override {}
  void setSelection(int, int, int) override {}
  int cursorPosition() const override { return 0; }
  void setCursorPosition(int) override {}
  QRect characterRect(int) const override { return {}; }
  int offsetAtPoint(const QPoint&) const override { return -1; }
  void scrollToSubstring(int, int) override {}
  QString attributes(int offset, int* startOffset, int* endOffset) const override {
    *startOffset = *endOffset = offset;
    return {};
  }

 private:
  const QLabel* line() const { return static_cast<const QLabel*>(widget()); }
};

QAccessibleInterface* statusLineInterface(const QString& className, QObject* object) {
  if (className == QLatin1String("quorbel::StatusLine") && object && object->isWidgetType())
    return new StatusLineAccessible(static_cast<QLabel*>(object));
  return nullptr;
}

}  // namespace

StatusLine::StatusLine(QWidget* parent) : QLabel(parent) {
  static const bool installed = (QAccessible::installFactory(statusLineInterface), true);
  Q_UNUSED(installed);
  // The whole text stays readable: wrapped at word boundaries, never cut. No focus and no selection:
  // either gives the label a text control whose own events would repeat each line to screen readers.
  setTextFormat(Qt::PlainText);
  setWordWrap(true);
}

void StatusLine::setStatus(const QString& text, const QString& detail) {
  // The description first, so that a reader fetching it on hearing the new name gets the new one.
  if (toolTip() != detail) {
    setToolTip(detail);
    QAccessibleEvent event(this, QAccessible::DescriptionChanged);
    QAccessible::updateAccessibility(&event);
  }
  const QString old = this->text();
  if (old == text) return;
  // QLabel reports a new text as a name change itself (as long as no fixed accessible name hides it);
  // the text event carries the old and the new line, so a reader need not ask for them.
  setText(text);
  QAccessibleTextUpdateEvent event(this, 0, old, text);
  QAccessible::updateAccessibility(&event);
}

}  // namespace quorbel
