#include "ui/app_style.h"

#include <QApplication>
#include <QIconEngine>
#include <QPainter>
#include <QStyleFactory>
#include <optional>

namespace quorbel {

QStyle* freshApplicationStyle() {
  const QStyle* current = QApplication::style();
  if (const auto* proxy = qobject_cast<const QProxyStyle*>(current)) current = proxy->baseStyle();
  return current ? QStyleFactory::create(current->name()) : nullptr;
}

QSize PaddedButtonStyle::sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& contents,
                                          const QWidget* widget) const {
  if (type != CT_PushButton) return QProxyStyle::sizeFromContents(type, option, contents, widget);
  const int frame = pixelMetric(PM_DefaultFrameWidth, option, widget);
  return contents + QSize(2 * (14 + frame), 2 * (4 + frame));
}

namespace {

// An icon engine that asks `style` for the standard icon when the icon is first used.
class DeferredStandardIcon : public QIconEngine {
 public:
  DeferredStandardIcon(const QStyle* style, QStyle::StandardPixmap which) : style_(style), which_(which) {}

  void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override {
    real().paint(painter, rect, Qt::AlignCenter, mode, state);
  }
  QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
    return real().pixmap(size, mode, state);
  }
  QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state, qreal scale) override {
    return real().pixmap(size, scale, mode, state);
  }
  QSize actualSize(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
    return real().actualSize(size, mode, state);
  }
  QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override {
    return real().availableSizes(mode, state);
  }
  bool isNull() override { return false; }
  QString key() const override { return QStringLiteral("DeferredStandardIcon"); }
  QIconEngine* clone() const override { return new DeferredStandardIcon(*this); }

 private:
  const QIcon& real() {
    if (!icon_) icon_ = style_ ? style_->standardIcon(which_) : QIcon();
    return *icon_;
  }

  const QStyle* style_;
  QStyle::StandardPixmap which_;
  std::optional<QIcon> icon_;
};

}  // namespace

QIcon DeferredExtensionIconStyle::standardIcon(StandardPixmap icon, const QStyleOption* option,
                                               const QWidget* widget) const {
  if (icon == SP_ToolBarHorizontalExtensionButton || icon == SP_ToolBarVerticalExtensionButton)
    return QIcon(new DeferredStandardIcon(baseStyle(), icon));
  return QProxyStyle::standardIcon(icon, option, widget);
}

void installStartupStyle() { QApplication::setStyle(new DeferredExtensionIconStyle); }

}  // namespace quorbel
