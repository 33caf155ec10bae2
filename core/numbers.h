// The one parser for the unsigned numbers of the format (record sizes, field offsets, frame
// fields, counters) and the decimal/hex renderers that go with it.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace drelix {

// Why a number did not parse; `reason_text` gives the exact wording messages use.
enum class ParseIntError { Empty, InvalidDigit, TooLarge };
std::string_view reason_text(ParseIntError e);
// "cannot parse integer from empty string", "invalid digit found in string",
// "number too large to fit in target type".

// Parses an optional single leading "+" followed by one or more digits of `radix` (10 or 16;
// hex accepts either case), nothing else, whose value is at most `max`. Leading zeros are fine.
// An empty text is Empty; a lone "+" or "-", or any other character, is InvalidDigit; a value
// above `max` is TooLarge.
std::expected<std::uint64_t, ParseIntError> parse_unsigned(std::string_view text,
                                                           std::uint64_t max = UINT64_MAX,
                                                           int radix = 10);

// Lenient counter read (_records, _bytes_raw): anything that does not parse counts as 0.
std::uint64_t parse_counter(std::string_view text);

// Cuts `text` at the first `sep`: returns what precedes it and leaves what follows the
// separator in `text`. Without a separator the whole text is returned and `text` becomes empty,
// so a missing part of a token reads as the empty text.
std::string_view take_until(std::string_view& text, char sep);

std::string to_decimal(std::uint64_t v);
std::string to_decimal_signed(std::int64_t v);
// Exactly 16 lower-case hexadecimal digits, zero-padded.
std::string to_hex16(std::uint64_t v);

}  // namespace drelix
