#pragma once
// The window's status line: a label that screen readers know as the window's status bar. It shows its
// whole text, wrapped, and the keyboard reaches it. A new status
// reaches them as a text change carrying the line shown (and a change of its accessible name); where the
// line sums up a longer text (a failure's whole reason) that text is its tooltip and accessible
// description, announced before the line.

#include <QLabel>

namespace quorbel {

class StatusLine : public QLabel {
  Q_OBJECT
 public:
  explicit StatusLine(QWidget* parent = nullptr);
  // Shows `text`, with `detail` as the tooltip and description (empty: none).
  void setStatus(const QString& text, const QString& detail = {});
};

}  // namespace quorbel
