#include "core/frames.h"

#include <algorithm>
#include <map>
#include <optional>
#include <utility>

#include "core/hash.h"
#include "core/numbers.h"
#include "core/str_cat.h"

namespace drelix {

namespace {

std::size_t decimal_digits(std::uint64_t v) {
  std::size_t n = 1;
  while (v >= 10) {
    v /= 10;
    ++n;
  }
  return n;
}

// Exact length of one rendered token, so that rendering a long list allocates once.
std::size_t token_length(const Frame& f) {
  std::size_t n = decimal_digits(f.id) + 1 + decimal_digits(f.offset) + 1 + decimal_digits(f.len);
  if (f.hash != 0) n += 1 + 16;
  return n;
}

Error bad_frame(std::string_view token, ParseIntError why) {
  return Error::malformed(str_cat("bad frame ", quoted(token), ": ", reason_text(why)));
}

// One "id,offset,len[,hash]" token. The hash is the whole rest after the third comma, so a token
// with a fourth comma fails on its hash part.
Result<Frame> parse_frame_token(std::string_view token) {
  std::string_view rest = token;
  Frame f;
  std::uint64_t* targets[3] = {&f.id, &f.offset, &f.len};
  for (std::uint64_t* target : targets) {
    const auto v = parse_unsigned(take_until(rest, ','));
    if (!v) return fail(bad_frame(token, v.error()));
    *target = *v;
  }
  if (!rest.empty()) {
    const auto h = parse_unsigned(rest, UINT64_MAX, 16);
    if (!h) return fail(bad_frame(token, h.error()));
    f.hash = *h;
  }
  return f;
}

}  // namespace

std::string render_frames(const std::vector<Frame>& frames) {
  std::size_t total = frames.empty() ? 0 : frames.size() - 1;  // the separators
  for (const Frame& f : frames) total += token_length(f);
  std::string out;
  out.reserve(total);
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const Frame& f = frames[i];
    if (i != 0) out += ';';
    out += to_decimal(f.id);
    out += ',';
    out += to_decimal(f.offset);
    out += ',';
    out += to_decimal(f.len);
    if (f.hash != 0) {
      out += ',';
      out += to_hex16(f.hash);
    }
  }
  return out;
}

Result<std::vector<Frame>> parse_frames(std::string_view text) {
  // No reserve: the text comes from the file, and a count of separators says nothing about how
  // many tokens will parse; growth by doubling keeps the parse linear.
  std::vector<Frame> frames;
  std::string_view rest = text;
  while (!rest.empty()) {
    const std::string_view token = take_until(rest, ';');
    if (token.empty()) continue;  // ";;", a leading or a trailing ";"
    DRELIX_ASSIGN_OR_RETURN(Frame f, parse_frame_token(token));
    frames.push_back(f);
  }
  return frames;
}

Status check_frame_hash(const Frame& frame, ByteView stored) {
  if (frame.hash == 0) return {};
  const std::uint64_t actual = xxh64(stored);
  if (actual == frame.hash) return {};
  return fail(checksum_mismatch(frame, actual));
}

Error checksum_mismatch(const Frame& frame, std::uint64_t actual) {
  return Error::malformed(str_cat("frame ", frame.id, ": checksum mismatch, _frames says ",
                                  to_hex16(frame.hash), ", the bytes hash to ", to_hex16(actual)));
}

Status check_frames_disjoint(const std::vector<Frame>& frames) {
  if (frames.empty()) return {};
  const char kAdvice[] = "; run rebuild_headers to derive the frame list from the data";
  const std::uint64_t tail = frames.back().offset + frames.back().len;
  std::vector<const Frame*> by_offset;
  by_offset.reserve(frames.size());
  for (const Frame& f : frames) {
    if (f.offset + f.len > tail) {
      return fail(
          Error::malformed(str_cat("frame ", f.id, " ends at data offset ", f.offset + f.len,
                                   ", after the tail start at ", tail, kAdvice)));
    }
    if (f.len != 0) by_offset.push_back(&f);  // an empty frame occupies nothing
  }
  std::sort(by_offset.begin(), by_offset.end(),
            [](const Frame* a, const Frame* b) { return a->offset < b->offset; });
  for (std::size_t i = 1; i < by_offset.size(); ++i) {
    const Frame& before = *by_offset[i - 1];
    const Frame& f = *by_offset[i];
    if (before.offset + before.len > f.offset) {
      return fail(Error::malformed(str_cat("frames ", before.id, " and ", f.id,
                                           " overlap at data offset ", f.offset, kAdvice)));
    }
  }
  return {};
}

namespace {

// Whether every frame begins at or after the end of the one before it: the list of every sound
// file, told in one pass without building anything.
bool in_file_order(const std::vector<Frame>& frames) {
  std::uint64_t end = 0;
  for (const Frame& f : frames) {
    if (f.len == 0) continue;
    if (f.offset < end) return false;
    end = sat_add(f.offset, f.len);
  }
  return true;
}

}  // namespace

std::vector<FramePlace> place_frames(const std::vector<Frame>& frames) {
  std::vector<FramePlace> places(frames.size());
  if (in_file_order(frames)) return places;
  // The regions of the entries kept so far (disjoint), by offset: end and list position.
  std::map<std::uint64_t, std::pair<std::uint64_t, std::size_t>> kept;
  std::uint64_t furthest = 0;   // the end of the kept region that ends furthest
  std::size_t furthest_at = 0;  // its list position
  auto entry = [&frames](std::size_t i) {
    return str_cat("_frames entry ", i, " (frame ", frames[i].id, ")");
  };
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const Frame& f = frames[i];
    if (f.len == 0) continue;
    const std::uint64_t end = sat_add(f.offset, f.len);
    auto after = kept.upper_bound(f.offset);
    std::optional<std::size_t> overlapped;
    if (after != kept.begin() && std::prev(after)->second.first > f.offset) {
      overlapped = std::prev(after)->second.second;
    } else if (after != kept.end() && after->first < end) {
      overlapped = after->second.second;
    }
    if (overlapped) {
      const Frame& other = frames[*overlapped];
      places[i] = {Placement::kOverlap,
                   str_cat(entry(i), " overlaps ", entry(*overlapped), " at data offset ",
                           std::max(f.offset, other.offset))};
      continue;
    }
    if (!kept.empty() && f.offset < furthest) {
      places[i] = {Placement::kOutOfOrder,
                   str_cat(entry(i), " lies at data offset ", f.offset, ", before ",
                           entry(furthest_at), " listed ahead of it")};
    }
    kept.emplace(f.offset, std::pair{end, i});
    if (end > furthest) {
      furthest = end;
      furthest_at = i;
    }
  }
  return places;
}

Status check_frame_order(const std::vector<Frame>& frames) {
  for (FramePlace& place : place_frames(frames)) {
    if (place.placement != Placement::kInOrder) {
      return fail(Error::malformed(std::move(place.fault)));
    }
  }
  return {};
}

Result<std::uint64_t> stored_start(const Frame& frame, std::uint64_t data_start,
                                   std::uint64_t file_len) {
  std::uint64_t start;
  std::uint64_t end;
  if (__builtin_add_overflow(data_start, frame.offset, &start) ||
      __builtin_add_overflow(start, frame.len, &end)) {
    return fail(Error::malformed(str_cat("frame ", frame.id, " overflows a u64 offset")));
  }
  if (end > file_len) {
    return fail(Error::malformed(
        str_cat("frame ", frame.id, " ends at ", end, " but the file is ", file_len, " bytes")));
  }
  return start;
}

Status check_frames_fit(const std::vector<Frame>& frames, std::uint64_t data_start,
                        std::uint64_t file_len) {
  for (const Frame& f : frames) DRELIX_TRY(stored_start(f, data_start, file_len));
  return {};
}

std::uint64_t listed_end(const std::vector<Frame>& frames) {
  return frames.empty() ? 0 : sat_add(frames.back().offset, frames.back().len);
}

std::uint64_t furthest_end(const std::vector<Frame>& frames) {
  std::uint64_t end = 0;
  for (const Frame& f : frames) end = std::max(end, sat_add(f.offset, f.len));
  return end;
}

std::uint64_t next_frame_id(const std::vector<Frame>& frames) {
  std::uint64_t next = 0;
  for (const Frame& f : frames) next = std::max(next, sat_add(f.id, 1));
  return next;
}

}  // namespace drelix
