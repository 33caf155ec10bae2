#include "core/numbers.h"

#include <charconv>

namespace drelix {

namespace {

// The value of `c` as a digit of any radix up to 36, or 36 (too large for every radix) when it
// is not a digit at all.
unsigned digit_value(char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  if (c >= 'a' && c <= 'z') return static_cast<unsigned>(c - 'a') + 10;
  if (c >= 'A' && c <= 'Z') return static_cast<unsigned>(c - 'A') + 10;
  return 36;
}

}  // namespace

std::string_view reason_text(ParseIntError e) {
  switch (e) {
    case ParseIntError::Empty:
      return "cannot parse integer from empty string";
    case ParseIntError::InvalidDigit:
      return "invalid digit found in string";
    case ParseIntError::TooLarge:
      return "number too large to fit in target type";
  }
  return "invalid digit found in string";
}

// One pass, left to right. A character that is not a digit of `radix` is reported as
// InvalidDigit wherever it stands, even after the value has already passed `max`: the text is
// not a number at all, which is the more useful thing to tell a reader of a damaged header. So
// overflow is only remembered while scanning and reported once the whole text proved to be
// digits. Overflow is detected by arithmetic rather than by counting digits, because leading
// zeros are allowed (a 17-digit hash "0ffff..." fits in 64 bits).
std::expected<std::uint64_t, ParseIntError> parse_unsigned(std::string_view text, std::uint64_t max,
                                                           int radix) {
  if (text.empty()) return std::unexpected(ParseIntError::Empty);
  std::size_t i = text.front() == '+' ? 1 : 0;
  // A lone "+" has no digits; a lone "-" fails below as an invalid character.
  if (i == text.size()) return std::unexpected(ParseIntError::InvalidDigit);
  const auto base = static_cast<std::uint64_t>(radix);
  std::uint64_t value = 0;
  bool too_large = false;
  for (; i < text.size(); ++i) {
    const unsigned d = digit_value(text[i]);
    if (d >= base) return std::unexpected(ParseIntError::InvalidDigit);
    if (too_large) continue;
    if (__builtin_mul_overflow(value, base, &value) || __builtin_add_overflow(value, d, &value) ||
        value > max) {
      too_large = true;
    }
  }
  if (too_large) return std::unexpected(ParseIntError::TooLarge);
  return value;
}

std::uint64_t parse_counter(std::string_view text) {
  return parse_unsigned(text).value_or(0);
}

std::string to_decimal(std::uint64_t v) {
  char buf[20];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

std::string to_decimal_signed(std::int64_t v) {
  char buf[20];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

std::string to_hex16(std::uint64_t v) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out(16, '0');
  for (int i = 15; i >= 0; --i) {
    out[static_cast<std::size_t>(i)] = kDigits[v & 0xf];
    v >>= 4;
  }
  return out;
}

std::string_view take_until(std::string_view& text, char sep) {
  const std::size_t at = text.find(sep);
  if (at == std::string_view::npos) {
    const std::string_view all = text;
    text = {};
    return all;
  }
  const std::string_view head = text.substr(0, at);
  text.remove_prefix(at + 1);
  return head;
}

}  // namespace drelix
