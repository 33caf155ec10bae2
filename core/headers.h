// The header zone: an ordered list of (key, value) text pairs rendered into exactly H bytes.
//
// Zone bytes: for each pair "key:escaped-value\n", then one more "\n", then zero bytes up to H.
// Values escape backslash as "\\" and line feed as "\n"; nothing else is escaped.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"
#include "core/preamble.h"

namespace drelix {

class File;

class Headers {
 public:
  using Pair = std::pair<std::string, std::string>;

  Headers() = default;

  // The value of the first pair whose key equals `key`, or nothing. The view lives as long as
  // the pair is not replaced.
  std::optional<std::string_view> get(std::string_view key) const;

  // Replaces the first pair with this key in place, else appends. Error::Usage
  // "invalid header key {}" (key quoted) when the key is not valid; the list is then unchanged.
  Status set(std::string_view key, std::string_view value);

  // As set, but refuses keys starting with "_": Error::Usage
  // "user header key {} may not start with '_'" (key quoted).
  Status set_user(std::string_view key, std::string_view value);

  // set_user for each pair in order, in time linear in the number of pairs (one lookup table
  // instead of a scan per key). Stops at the first refused key; pairs before it stay set.
  Status set_user_all(std::span<const Pair> pairs);

  // The zone of exactly `zone_size` bytes, or Error::ZoneFull{need, have}.
  Result<Bytes> render(std::uint32_t zone_size) const;

  // Parses all H bytes of a zone (zero fill included). Error::Malformed for non-UTF-8 text, a
  // line without ':' or a missing terminator; Error::Usage for an invalid key.
  static Result<Headers> parse(ByteView zone);

  const std::vector<Pair>& pairs() const { return pairs_; }
  std::size_t size() const { return pairs_.size(); }

 private:
  std::vector<Pair> pairs_;
};

std::string escape_value(std::string_view text);
std::string unescape_value(std::string_view text);
// At most one leading "_", then [a-z0-9][a-z0-9_]*.
bool key_is_valid(std::string_view key);

// Checks `bytes` is UTF-8. On failure returns the decoder's description: "invalid utf-8
// sequence of N bytes from index I" or "incomplete utf-8 byte sequence from index I".
std::optional<std::string> utf8_error(ByteView bytes);

struct PeekResult {
  Preamble preamble;
  Headers headers;
  std::uint64_t file_len = 0;
};

// Reads exactly the preamble and the zone of the file at `path` (nothing of the data section,
// no journal replay).
Result<PeekResult> peek_headers(const std::string& path);
// The same for a file already open; `path` names it in a failure to learn its length.
Result<PeekResult> read_preamble_and_zone(File& file, const std::string& path);

}  // namespace drelix
