#pragma once
// A clearly visible focus indicator for every control of a window: a ring three pixels wide in the
// palette's highlight colour drawn around the control that has the keyboard focus, over whatever
// frame the style draws itself. It takes no input and no focus.

#include <QPointer>
#include <QWidget>

namespace quorbel {

class FocusRing : public QWidget {
  Q_OBJECT
 public:
  static constexpr int width = 3;

  // Follows the focus among the descendants of `host`.
  explicit FocusRing(QWidget* host);
  // The control the ring surrounds now, if any.
  QWidget* target() const { return target_.data(); }

 protected:
  void paintEvent(QPaintEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void follow(QWidget* focused);
  void place();

  QPointer<QWidget> target_;
};

}  // namespace quorbel
