#pragma once
// The output pane's writes. All text has one style: the system's fixed-pitch font at the current
// size and the palette's text colour. The style lives on the pane (its font), never on pieces of
// text, so an append costs only the new text and a restyle never touches a character.

#include <QString>

class QPlainTextEdit;

namespace quorbel {

// Font-size rules of the pane.
namespace fontsize {
inline constexpr double defaultSize = 12.0;
inline constexpr double smallest = 4.0;
inline constexpr double largest = 60.0;
inline constexpr double step = 1.0;

double larger(double size);   // +1, never above 60 (a size already above 60 comes down to 60)
double smaller(double size);  // -1, never below 4
// A stored value: missing, not a number, not finite or below 4 gives 12; anything else is kept.
double fromStored(double stored, bool present);
}  // namespace fontsize

class OutputLog {
 public:
  OutputLog(QPlainTextEdit* pane, double fontSize);

  // Adds the text at the end; nothing is put between the old content and the new text.
  void append(const QString& text);
  // The pane's whole content becomes the text.
  void replace(const QString& text);
  // Gives all the present text the font at `fontSize`.
  void restyle(double fontSize);

  // The pane's text exactly as written (line feeds as "\n").
  QString text() const;
  double fontSize() const { return fontSize_; }

 private:
  void applyStyle();

  QPlainTextEdit* pane_;
  double fontSize_;
};

}  // namespace quorbel
