#include "ui/output_log.h"

#include <QFontDatabase>
#include <QPlainTextEdit>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>
#include <algorithm>
#include <cmath>

namespace quorbel {

namespace fontsize {
double larger(double size) { return std::min(size + step, largest); }
double smaller(double size) { return std::max(size - step, smallest); }
double fromStored(double stored, bool present) {
  if (!present || !std::isfinite(stored) || stored < smallest) return defaultSize;
  return stored;
}
}  // namespace fontsize

OutputLog::OutputLog(QPlainTextEdit* pane, double fontSize) : pane_(pane), fontSize_(fontSize) {
  if (!pane_) return;
  pane_->setReadOnly(true);
  // Every write would otherwise be kept for undo: the pane would hold its text twice.
  pane_->document()->setUndoRedoEnabled(false);
  pane_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  applyStyle();
}

void OutputLog::applyStyle() {
  QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  font.setPointSizeF(fontSize_);
  font.setWeight(QFont::Normal);
  font.setStyleHint(QFont::Monospace);
  pane_->setFont(font);
  // The text colour is the palette's, so it follows a light or dark appearance.
}

void OutputLog::append(const QString& text) {
  if (!pane_ || text.isEmpty()) return;
  QTextCursor cursor(pane_->document());
  cursor.movePosition(QTextCursor::End);
  cursor.insertText(text, QTextCharFormat());
}

void OutputLog::replace(const QString& text) {
  if (!pane_) return;
  pane_->setPlainText(text);
}

void OutputLog::restyle(double fontSize) {
  fontSize_ = fontSize;
  if (pane_) applyStyle();
}

QString OutputLog::text() const {
  if (!pane_) return {};
  QString raw = pane_->document()->toRawText();
  raw.replace(QChar::ParagraphSeparator, u'\n');
  return raw;
}

}  // namespace quorbel
