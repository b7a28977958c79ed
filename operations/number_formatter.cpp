#include "operations/number_formatter.h"

#include <limits>

namespace quorbel {

NumberFormatter::NumberFormatter(Minimum minimum, QLocale locale)
    : minimum_(minimum), locale_(std::move(locale)) {}

std::optional<FormattedNumber> NumberFormatter::numberFromString(const QString& text) const {
  const QString trimmed = text.trimmed();
  const QString localeSeparator = locale_.decimalPoint();
  const bool dotIsGrouping = locale_.groupSeparator() == QStringLiteral(".");

  std::string whole, fraction;
  bool seenSeparator = false;
  for (qsizetype i = 0; i < trimmed.size();) {
    const QChar c = trimmed.at(i);
    if (c >= u'0' && c <= u'9') {
      (seenSeparator ? fraction : whole).push_back(static_cast<char>(c.unicode()));
      ++i;
      continue;
    }
    qsizetype separatorLength = 0;
    if (trimmed.mid(i).startsWith(localeSeparator)) separatorLength = localeSeparator.size();
    else if (c == u'.' && !dotIsGrouping) separatorLength = 1;
    if (separatorLength == 0 || seenSeparator) return std::nullopt;
    seenSeparator = true;
    i += separatorLength;
  }
  if (whole.empty() && fraction.empty()) return std::nullopt;

  whole.erase(0, whole.find_first_not_of('0'));
  if (const auto last = fraction.find_last_not_of('0'); last == std::string::npos) fraction.clear();
  else fraction.erase(last + 1);

  const bool isZero = whole.empty() && fraction.empty();
  if (isZero && minimum_ == Minimum::AboveZero) return std::nullopt;

  FormattedNumber number;
  number.description = whole.empty() ? "0" : whole;
  if (!fraction.empty()) number.description += "." + fraction;
  constexpr auto largest = std::numeric_limits<std::int64_t>::max();
  for (char digit : whole) {
    const int value = digit - '0';
    if (number.integerValue > (largest - value) / 10) {
      number.integerValue = largest;
      break;
    }
    number.integerValue = number.integerValue * 10 + value;
  }
  return number;
}

}  // namespace quorbel
