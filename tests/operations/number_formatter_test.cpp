// The number fields' formatter: what is a number, its plain decimal text and its whole part.
#include <gtest/gtest.h>

#include <limits>

#include "operations/size_rules.h"
#include "ui/number_formatter.h"

namespace quorbel {
namespace {

struct Parsed {
  std::string text;
  std::int64_t integer;
};

std::optional<Parsed> parse(const NumberFormatter& formatter, const QString& text) {
  const auto number = formatter.numberFromString(text);
  if (!number) return std::nullopt;
  return Parsed{number->description, number->integerValue};
}

TEST(NumberFormatter, PlainDecimalTextAndWholePart) {
  const NumberFormatter size(NumberFormatter::Minimum::AboveZero, QLocale::c());
  const std::pair<const char*, Parsed> cases[] = {
      {"100", {"100", 100}},   {"1.5", {"1.5", 1}},   {" 2.50 ", {"2.5", 2}}, {"007", {"7", 7}},
      {"1.0", {"1", 1}},       {".5", {"0.5", 0}},    {"5.", {"5", 5}},       {"0.001", {"0.001", 0}},
      {"99999999999999999999999", {"99999999999999999999999", std::numeric_limits<std::int64_t>::max()}},
  };
  for (const auto& [text, expected] : cases) {
    const auto got = parse(size, text);
    ASSERT_TRUE(got) << text;
    EXPECT_EQ(got->text, expected.text) << text;
    EXPECT_EQ(got->integer, expected.integer) << text;
  }
  for (const char* rejected : {"", " ", "abc", "1e3", "-1", "+1", "1.2.3", "0", "0.0", "1,000", "12 5", "."})
    EXPECT_FALSE(size.numberFromString(rejected)) << rejected;
}

TEST(NumberFormatter, BandSizeAcceptsZeroButNoNegative) {
  const NumberFormatter band(NumberFormatter::Minimum::ZeroOrMore, QLocale::c());
  ASSERT_TRUE(band.numberFromString("0"));
  EXPECT_EQ(band.numberFromString("0")->integerValue, 0);
  EXPECT_EQ(band.numberFromString("0.5")->integerValue, 0);
  EXPECT_EQ(band.numberFromString("2.9")->integerValue, 2);
  EXPECT_FALSE(band.numberFromString("-1"));
  EXPECT_FALSE(band.numberFromString(""));
}

TEST(NumberFormatter, CommaLocaleGivesAPointInTheSizeArgument) {
  const NumberFormatter size(NumberFormatter::Minimum::AboveZero, QLocale(QLocale::German, QLocale::Germany));
  const auto number = size.numberFromString("1,5");
  ASSERT_TRUE(number);
  EXPECT_EQ(sizeArgument(number->description, 2), "1.5t");
  // Where "." groups thousands it is not taken for a decimal point.
  EXPECT_FALSE(size.numberFromString("1.5"));
  EXPECT_EQ(sizeArgument(size.numberFromString("250")->description, 0), "250m");

  const NumberFormatter english(NumberFormatter::Minimum::AboveZero, QLocale(QLocale::English, QLocale::UnitedStates));
  EXPECT_EQ(english.numberFromString("1.5")->description, "1.5");
  EXPECT_FALSE(english.numberFromString("1,5"));

  // A locale whose decimal separator is a comma but whose grouping is not "." accepts both.
  const NumberFormatter french(NumberFormatter::Minimum::AboveZero, QLocale(QLocale::French, QLocale::France));
  EXPECT_EQ(french.numberFromString("1,25")->description, "1.25");
  EXPECT_EQ(french.numberFromString("1.25")->description, "1.25");
}

}  // namespace
}  // namespace quorbel
