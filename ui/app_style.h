#pragma once
// Styles of the window that cost nothing at start-up: padded push buttons without a style sheet, and
// the application style with the tool bar extension icons loaded when first drawn.

#include <QColor>
#include <QIcon>
#include <QProxyStyle>

namespace quorbel {

// A fresh instance of the style the application uses (seen through a proxy), for a proxy of its own;
// nullptr when the factory does not know it (a proxy then takes the desktop's style).
QStyle* freshApplicationStyle();

// Push buttons padded 4 px above and below their label and 14 px at its sides, inside the frame, with
// no minimum width. A style sheet says the same in one line, but it puts every widget below it
// through the style sheet engine, a sixth of the window's start-up time.
class PaddedButtonStyle : public QProxyStyle {
 public:
  explicit PaddedButtonStyle(QStyle* base = freshApplicationStyle()) : QProxyStyle(base) {}
  QSize sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& contents,
                         const QWidget* widget) const override;
};

// Every menu bar asks for its overflow button's icon when it is made; the icon is read from a file
// whose reading first loads every image format plugin. This style hands out an icon that reads the
// real one when it is first drawn, which for a menu bar that fits is never.
class DeferredExtensionIconStyle : public QProxyStyle {
 public:
  explicit DeferredExtensionIconStyle(QStyle* base = freshApplicationStyle()) : QProxyStyle(base) {}
  QIcon standardIcon(StandardPixmap icon, const QStyleOption* option = nullptr,
                     const QWidget* widget = nullptr) const override;
};

// The contrast ratio of two colours as WCAG defines it, from 1 (equal) to 21 (black on white).
double contrastRatio(const QColor& first, const QColor& second);
// A red for text marked as not accepted on `background`, with a contrast ratio of at least 4.5.
QColor errorColourOn(const QColor& background);

// Makes DeferredExtensionIconStyle the application's style; before the first window.
void installStartupStyle();

}  // namespace quorbel
