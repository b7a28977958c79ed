#include "ui/app_style.h"

#include <QApplication>
#include <QIconEngine>
#include <QPainter>
#include <QStyleFactory>
#include <algorithm>
#include <cmath>
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

namespace {

double relativeLuminance(const QColor& colour) {
  const auto channel = [](double value) {
    return value <= 0.04045 ? value / 12.92 : std::pow((value + 0.055) / 1.055, 2.4);
  };
  const QColor rgb = colour.toRgb();
  return 0.2126 * channel(rgb.redF()) + 0.7152 * channel(rgb.greenF()) + 0.0722 * channel(rgb.blueF());
}

}  // namespace

double contrastRatio(const QColor& first, const QColor& second) {
  const double a = relativeLuminance(first), b = relativeLuminance(second);
  return (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05);
}

QColor errorColourOn(const QColor& background) {
  // A dark red on light backgrounds, a light red on dark ones, moved away from the background
  // until it reads well.
  const bool light = relativeLuminance(background) > 0.18;
  QColor colour = light ? QColor(0xb0, 0x1c, 0x1c) : QColor(0xff, 0x8a, 0x80);
  for (int step = 0; step < 40 && contrastRatio(colour, background) < 4.5; ++step) {
    const float h = colour.hslHueF(), s = colour.hslSaturationF(), l = colour.lightnessF();
    colour = QColor::fromHslF(h, s, std::clamp(l + (light ? -0.025f : 0.025f), 0.0f, 1.0f));
  }
  return colour;
}

void installStartupStyle() { QApplication::setStyle(new DeferredExtensionIconStyle); }

}  // namespace quorbel
