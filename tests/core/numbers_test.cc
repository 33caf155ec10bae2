#include "core/numbers.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <variant>

namespace drelix {
namespace {

using ParseOutcome = std::variant<std::uint64_t, ParseIntError>;

struct ParseCase {
  std::string text;
  std::uint64_t max;
  int radix;
  ParseOutcome want;
};

std::string describe(const ParseOutcome& o) {
  if (const auto* v = std::get_if<std::uint64_t>(&o)) return "value " + std::to_string(*v);
  return "error " + std::string(reason_text(std::get<ParseIntError>(o)));
}

ParseOutcome outcome(const std::expected<std::uint64_t, ParseIntError>& r) {
  if (r) return *r;
  return r.error();
}

TEST(NumbersTest, ReasonTexts) {
  EXPECT_EQ(reason_text(ParseIntError::Empty), "cannot parse integer from empty string");
  EXPECT_EQ(reason_text(ParseIntError::InvalidDigit), "invalid digit found in string");
  EXPECT_EQ(reason_text(ParseIntError::TooLarge), "number too large to fit in target type");
}

TEST(NumbersTest, ParseUnsignedTable) {
  constexpr std::uint64_t kMax = UINT64_MAX;
  constexpr auto E = ParseIntError::Empty;
  constexpr auto I = ParseIntError::InvalidDigit;
  constexpr auto T = ParseIntError::TooLarge;
  const ParseCase cases[] = {
      // Shape of the text.
      {"", kMax, 10, E},
      {"+", kMax, 10, I},
      {"-", kMax, 10, I},
      {"0", kMax, 10, std::uint64_t{0}},
      {"+0", kMax, 10, std::uint64_t{0}},
      {"007", kMax, 10, std::uint64_t{7}},
      {"+16", kMax, 10, std::uint64_t{16}},
      {"++1", kMax, 10, I},
      {"-1", kMax, 10, I},
      {"1+", kMax, 10, I},
      {" 1", kMax, 10, I},
      {"1 ", kMax, 10, I},
      {"1_000", kMax, 10, I},
      {"1e3", kMax, 10, I},
      {"0x10", kMax, 10, I},
      {std::string("1\0", 2), kMax, 10, I},
      {"\xd9\xa1", kMax, 10, I},  // ARABIC-INDIC DIGIT ONE is not an ASCII digit
      // Range, decimal.
      {"18446744073709551615", kMax, 10, UINT64_MAX},
      {"0000000000000000000000018446744073709551615", kMax, 10, UINT64_MAX},
      {"18446744073709551616", kMax, 10, T},  // the last addition overflows
      {"18446744073709551620", kMax, 10, T},  // the last multiplication overflows
      {"4294967295", UINT32_MAX, 10, std::uint64_t{4294967295}},
      {"4294967296", UINT32_MAX, 10, T},
      {"0", 0, 10, std::uint64_t{0}},
      {"1", 0, 10, T},
      // An invalid character wins over overflow wherever it stands.
      {"99999999999999999999x", kMax, 10, I},
      {"999999999999999999999999x", kMax, 10, I},  // more digits after the overflow
      {"4294967296000+", UINT32_MAX, 10, I},
      {"x99999999999999999999", kMax, 10, I},
      // Hexadecimal.
      {"FF", kMax, 16, std::uint64_t{255}},
      {"+aBcD", kMax, 16, std::uint64_t{0xabcd}},
      {"ffffffffffffffff", kMax, 16, UINT64_MAX},
      {"0ffffffffffffffff", kMax, 16, UINT64_MAX},  // 17 digits that fit
      {"10000000000000000", kMax, 16, T},
      {"1ffffffffffffffff", kMax, 16, T},
      {"1ffffffffffffffffg", kMax, 16, I},
      {"g", kMax, 16, I},
      {"", kMax, 16, E},
  };
  for (const ParseCase& c : cases) {
    const ParseOutcome got = outcome(parse_unsigned(c.text, c.max, c.radix));
    EXPECT_EQ(got, c.want) << "text \"" << c.text << "\" max " << c.max << " radix " << c.radix
                           << ": got " << describe(got) << ", want " << describe(c.want);
  }
  // The defaults are decimal and the full range.
  EXPECT_EQ(parse_unsigned("18446744073709551615"), UINT64_MAX);
  EXPECT_EQ(parse_unsigned("ff").error(), ParseIntError::InvalidDigit);
}

TEST(NumbersTest, ParseCounterIsLenient) {
  const struct {
    std::string text;
    std::uint64_t want;
  } cases[] = {
      {"12", 12},
      {"+5", 5},
      {"0042", 42},
      {"", 0},
      {"x", 0},
      {"-3", 0},
      {" 1", 0},
      {"18446744073709551615", UINT64_MAX},
      {"18446744073709551616", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_counter(c.text), c.want) << c.text;
}

TEST(NumbersTest, Renderers) {
  EXPECT_EQ(to_decimal(0), "0");
  EXPECT_EQ(to_decimal(10), "10");
  EXPECT_EQ(to_decimal(UINT64_MAX), "18446744073709551615");
  EXPECT_EQ(to_decimal_signed(0), "0");
  EXPECT_EQ(to_decimal_signed(-1), "-1");
  EXPECT_EQ(to_decimal_signed(INT64_MAX), "9223372036854775807");
  EXPECT_EQ(to_decimal_signed(INT64_MIN), "-9223372036854775808");
  EXPECT_EQ(to_hex16(0), "0000000000000000");
  EXPECT_EQ(to_hex16(0xabcdef), "0000000000abcdef");
  EXPECT_EQ(to_hex16(0x0123456789abcdefULL), "0123456789abcdef");
  EXPECT_EQ(to_hex16(UINT64_MAX), "ffffffffffffffff");
}

}  // namespace
}  // namespace drelix
