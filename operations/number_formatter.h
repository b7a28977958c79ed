#pragma once
// Turns the text of a number field into a number, or nothing.
//
// Accepted: optional blanks around, decimal digits with at most one decimal separator (the locale's,
// and "." as well where the locale does not use "." for grouping). Not accepted: signs, grouping
// separators, exponents, any other character, and numbers below the formatter's minimum.
// The number keeps its exact decimal text, so no digit is lost to floating point.

#include <QLocale>
#include <QString>
#include <cstdint>
#include <optional>
#include <string>

namespace quorbel {

struct FormattedNumber {
  // Plain decimal text: "." as the decimal point, no leading or trailing zeros ("1.5", "100", "0.25").
  std::string description;
  // The whole part; a fraction is dropped. Saturates at the largest 64-bit value.
  std::int64_t integerValue = 0;
};

class NumberFormatter {
 public:
  enum class Minimum { AboveZero, ZeroOrMore };

  explicit NumberFormatter(Minimum minimum, QLocale locale = QLocale());

  std::optional<FormattedNumber> numberFromString(const QString& text) const;

  Minimum minimum() const { return minimum_; }
  void setLocale(const QLocale& locale) { locale_ = locale; }

 private:
  Minimum minimum_;
  QLocale locale_;
};

}  // namespace quorbel
