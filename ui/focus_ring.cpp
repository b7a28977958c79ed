#include "ui/focus_ring.h"

#include <QApplication>
#include <QEvent>
#include <QPainter>

namespace quorbel {

FocusRing::FocusRing(QWidget* host) : QWidget(host) {
  setObjectName(QStringLiteral("focusRing"));
  setAttribute(Qt::WA_TransparentForMouseEvents);
  setAttribute(Qt::WA_NoSystemBackground);
  setFocusPolicy(Qt::NoFocus);
  hide();
  connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) { follow(now); });
}

void FocusRing::follow(QWidget* focused) {
  // Focus in another window (a dialog) keeps the ring where it was: it shows where focus comes back.
  if (focused && focused->window() != window()) return;
  if (target_) target_->removeEventFilter(this);
  target_ = focused && parentWidget()->isAncestorOf(focused) ? focused : nullptr;
  if (target_) target_->installEventFilter(this);
  place();
}

void FocusRing::place() {
  if (!target_ || !target_->isVisible()) return hide();
  const QRect area(target_->mapTo(parentWidget(), QPoint(0, 0)), target_->size());
  setGeometry(area.adjusted(-width, -width, width, width));
  raise();
  show();
  update();
}

bool FocusRing::eventFilter(QObject* watched, QEvent* event) {
  if (watched == target_ && (event->type() == QEvent::Move || event->type() == QEvent::Resize ||
                             event->type() == QEvent::Show || event->type() == QEvent::Hide))
    place();
  return QWidget::eventFilter(watched, event);
}

void FocusRing::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(palette().color(QPalette::Highlight), width));
  painter.setBrush(Qt::NoBrush);
  const qreal inset = width / 2.0;
  painter.drawRoundedRect(QRectF(rect()).adjusted(inset, inset, -inset, -inset), 4, 4);
}

}  // namespace quorbel
