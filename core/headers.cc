#include "core/headers.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <unordered_map>

#include "core/file.h"
#include "core/str_cat.h"

namespace drelix {

namespace {

inline bool is_lower_or_digit(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

inline bool is_continuation(std::uint8_t b) {
  return (b & 0xC0) == 0x80;
}

// The number of bytes `text` takes once escaped; lets render size the zone before writing it.
std::size_t escaped_size(std::string_view text) {
  std::size_t n = text.size();
  for (char c : text) n += (c == '\\' || c == '\n') ? 1 : 0;
  return n;
}

// Writes the escaped form of `text` at `out` (which has room for escaped_size(text) bytes);
// returns the position after it.
std::uint8_t* write_escaped(std::string_view text, std::uint8_t* out) {
  for (char c : text) {
    if (c == '\\') {
      *out++ = '\\';
      *out++ = '\\';
    } else if (c == '\n') {
      *out++ = '\\';
      *out++ = 'n';
    } else {
      *out++ = static_cast<std::uint8_t>(c);
    }
  }
  return out;
}

// The one error for a bad key, shared by set and parse so a caller sees the same text either way.
Error invalid_key(std::string_view key) {
  return Error::usage(str_cat("invalid header key ", drelix::quoted(key)));
}

// True when none of the 8 bytes at `p` has its high bit set.
inline bool word_is_ascii(const std::uint8_t* p) {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return (w & 0x8080808080808080ull) == 0;
}

// One non-empty header line: the key before the first colon, the unescaped value after it.
Result<Headers::Pair> parse_line(std::string_view line) {
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) {
    return fail(Error::malformed(str_cat("header line without ':': ", drelix::quoted(line))));
  }
  const std::string_view key = line.substr(0, colon);
  if (!key_is_valid(key)) return fail(invalid_key(key));
  return Headers::Pair(std::string(key), unescape_value(line.substr(colon + 1)));
}

}  // namespace

std::optional<std::string> utf8_error(ByteView bytes) {
  const std::uint8_t* const data = bytes.data();
  const std::size_t n = bytes.size();
  std::size_t i = 0;

  // Reports the sequence starting at `start`: `bad` bytes form its maximal invalid subpart, or
  // bad == 0 when the input ends inside an otherwise valid prefix.
  auto report = [](std::size_t start, std::size_t bad) -> std::optional<std::string> {
    if (bad == 0) return str_cat("incomplete utf-8 byte sequence from index ", start);
    return str_cat("invalid utf-8 sequence of ", bad, " bytes from index ", start);
  };

  while (i < n) {
    // Zones are mostly ASCII text followed by zero fill: skip them a word at a time.
    while (i + 8 <= n && word_is_ascii(data + i)) i += 8;
    if (i >= n) break;
    const std::uint8_t lead = data[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }

    // The allowed range of the second byte depends on the lead: it is what rules out overlong
    // forms (E0, F0), UTF-16 surrogates (ED) and code points above U+10FFFF (F4).
    std::size_t width;
    std::uint8_t lo = 0x80, hi = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      width = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      width = 3;
      if (lead == 0xE0) lo = 0xA0;
      if (lead == 0xED) hi = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      width = 4;
      if (lead == 0xF0) lo = 0x90;
      if (lead == 0xF4) hi = 0x8F;
    } else {
      // Stray continuation bytes, C0/C1 (always overlong) and F5..FF (beyond U+10FFFF).
      return report(i, 1);
    }

    if (i + 1 >= n) return report(i, 0);
    if (data[i + 1] < lo || data[i + 1] > hi) return report(i, 1);
    for (std::size_t k = 2; k < width; ++k) {
      if (i + k >= n) return report(i, 0);
      if (!is_continuation(data[i + k])) return report(i, k);
    }
    i += width;
  }
  return std::nullopt;
}

bool key_is_valid(std::string_view key) {
  if (!key.empty() && key.front() == '_') key.remove_prefix(1);
  if (key.empty() || !is_lower_or_digit(key.front())) return false;
  return std::all_of(key.begin() + 1, key.end(),
                     [](char c) { return is_lower_or_digit(c) || c == '_'; });
}

std::string escape_value(std::string_view text) {
  std::string out(escaped_size(text), '\0');
  write_escaped(text, reinterpret_cast<std::uint8_t*>(out.data()));
  return out;
}

std::string unescape_value(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t bs = text.find('\\', i);
    if (bs == std::string_view::npos) {
      out.append(text.substr(i));
      break;
    }
    out.append(text.substr(i, bs - i));
    // A trailing backslash has nothing to escape and is dropped; before any other character it
    // is dropped too, so that unescaping never fails on text written by hand.
    if (bs + 1 < text.size()) {
      const char next = text[bs + 1];
      out.push_back(next == 'n' ? '\n' : next);
    }
    i = bs + 2;
  }
  return out;
}

std::optional<std::string_view> Headers::get(std::string_view key) const {
  for (const auto& [k, v] : pairs_) {
    if (k == key) return std::string_view(v);
  }
  return std::nullopt;
}

Status Headers::set(std::string_view key, std::string_view value) {
  if (!key_is_valid(key)) return fail(invalid_key(key));
  for (auto& [k, v] : pairs_) {
    if (k == key) {
      v.assign(value);
      return {};
    }
  }
  pairs_.emplace_back(std::string(key), std::string(value));
  return {};
}

Status Headers::set_user(std::string_view key, std::string_view value) {
  if (!key.empty() && key.front() == '_') {
    return fail(
        Error::usage(str_cat("user header key ", drelix::quoted(key), " may not start with '_'")));
  }
  return set(key, value);
}

Status Headers::set_user_all(std::span<const Pair> pairs) {
  // Reserved first, so that no pair moves (and no key view below dangles) while we append.
  pairs_.reserve(pairs_.size() + pairs.size());
  // Position of the first pair of each key, so that a replaced key keeps its place as set does.
  std::unordered_map<std::string_view, std::size_t> first;
  first.reserve(pairs_.size() + pairs.size());
  for (std::size_t i = 0; i < pairs_.size(); ++i) first.try_emplace(pairs_[i].first, i);
  for (const auto& [key, value] : pairs) {
    if (!key.empty() && key.front() == '_') return set_user(key, value);  // its refusal
    if (!key_is_valid(key)) return fail(invalid_key(key));
    if (auto it = first.find(key); it != first.end()) {
      pairs_[it->second].second = value;
      continue;
    }
    pairs_.emplace_back(key, value);
    first.emplace(pairs_.back().first, pairs_.size() - 1);
  }
  return {};
}

Result<Bytes> Headers::render(std::uint32_t zone_size) const {
  // Size everything first, so that a zone that is too small fails before any work and the
  // output is allocated once.
  std::uint64_t need = 1;  // the empty line that ends the headers
  for (const auto& [k, v] : pairs_) {
    need = sat_add(need, k.size() + 1 + escaped_size(v) + 1);
  }
  if (need > zone_size) return fail(Error::zone_full(need, zone_size));

  Bytes zone(zone_size, 0);
  std::uint8_t* out = zone.data();
  for (const auto& [k, v] : pairs_) {
    out = std::copy(k.begin(), k.end(), out);
    *out++ = ':';
    out = write_escaped(v, out);
    *out++ = '\n';
  }
  *out = '\n';
  return zone;
}

Result<Headers> Headers::parse(ByteView zone) {
  if (auto err = utf8_error(zone)) {
    return fail(Error::malformed(str_cat("header zone is not UTF-8: ", *err)));
  }
  const std::string_view text = as_text(zone);
  Headers headers;
  std::size_t pos = 0;
  // Each iteration takes one piece: the text from `pos` up to the next line feed (or the end).
  // The stop checks look at the first byte before searching, so the zero fill of a large zone
  // is never scanned.
  while (pos < text.size() && text[pos] != '\n' && text[pos] != '\0') {
    const std::size_t nl = text.find('\n', pos);
    const std::size_t end = nl == std::string_view::npos ? text.size() : nl;
    DRELIX_ASSIGN_OR_RETURN(Pair pair, parse_line(text.substr(pos, end - pos)));
    // A header line that runs to the end of the zone was never terminated: the zone was cut or
    // overwritten, and its last value cannot be trusted.
    if (nl == std::string_view::npos) {
      return fail(Error::malformed("header zone has no empty-line terminator"));
    }
    headers.pairs_.push_back(std::move(pair));
    pos = nl + 1;
  }
  return headers;
}

Result<PeekResult> peek_headers(const std::string& path) {
  DRELIX_ASSIGN_OR_RETURN(FilePtr file, env().open_read(path));
  return read_preamble_and_zone(*file, path);
}

Result<PeekResult> read_preamble_and_zone(File& file, const std::string& path) {
  std::array<std::uint8_t, kPreambleSize> block{};
  DRELIX_TRY(file.read_exact_at(0, block));
  DRELIX_ASSIGN_OR_RETURN(Preamble preamble, Preamble::decode(block));

  auto len = file.length();
  if (!len) return fail(std::move(len).error().with_path(path));
  DRELIX_TRY(preamble.check_file_length(*len));

  Bytes zone(preamble.header_area);
  DRELIX_TRY(file.read_exact_at(kPreambleSize, zone));
  DRELIX_ASSIGN_OR_RETURN(Headers headers, Headers::parse(zone));
  return PeekResult{preamble, std::move(headers), *len};
}

}  // namespace drelix
