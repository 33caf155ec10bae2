// rebuild_headers: derives _frames, _records and _bytes_raw from the data section, lists the
// headers that disagree, and with `fix` writes the derived values into the zone.
//
// The scan walks the data section from its start. A position that begins with the zstd magic
// is decoded to learn where the frame ends. A position without the magic where a stored
// _frames entry begins is taken to be that entry stored raw (a level-0 close or repack), since
// raw bytes carry no mark of their own. Anywhere else the scan stops and the rest is tail.
// Because stopping short of listed frames would make the derived list drop them, `fix` refuses
// to write in that case rather than expose their bytes as tail.

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/codec.h"
#include "core/container.h"
#include "core/frames.h"
#include "core/hash.h"
#include "core/journal.h"
#include "core/maintenance.h"
#include "core/numbers.h"
#include "core/schema.h"
#include "core/str_cat.h"

namespace drelix {

namespace {

// The first read at a frame's start; doubled after each failed decode while more data remains.
constexpr std::uint64_t kFirstWindow = 262144;
constexpr std::uint64_t kWindowCeiling = std::uint64_t{1} << 63;

// The stored entries by offset, so that a derived frame finds the entry beginning where it
// begins (the first such entry in list order) without a search of the whole list.
class StoredIndex {
 public:
  explicit StoredIndex(const std::vector<Frame>& stored) : stored_(stored) {
    by_offset_.reserve(stored.size());
    for (std::size_t i = 0; i < stored.size(); ++i) by_offset_.push_back({stored[i].offset, i});
    std::sort(by_offset_.begin(), by_offset_.end());
  }

  // The first entry (in list order) that begins at `offset`, or nullptr.
  const Frame* at(std::uint64_t offset) const {
    auto it = first_at(offset);
    if (it == by_offset_.end() || it->first != offset) return nullptr;
    return &stored_[it->second];
  }

  // The first entry (in list order) that begins at `offset` and could be a raw frame there:
  // not empty (the scan must advance) and within the `remaining` bytes of the data section.
  const Frame* raw_at(std::uint64_t offset, std::uint64_t remaining) const {
    for (auto it = first_at(offset); it != by_offset_.end() && it->first == offset; ++it) {
      const Frame& f = stored_[it->second];
      if (f.len > 0 && f.len <= remaining) return &f;
    }
    return nullptr;
  }

 private:
  using Entry = std::pair<std::uint64_t, std::size_t>;  // offset, position in the list

  std::vector<Entry>::const_iterator first_at(std::uint64_t offset) const {
    return std::lower_bound(by_offset_.begin(), by_offset_.end(), Entry{offset, 0});
  }

  const std::vector<Frame>& stored_;
  std::vector<Entry> by_offset_;
};

// What the scan derived from the data section.
struct Derived {
  std::vector<Frame> frames;
  std::uint64_t records = 0;
  std::uint64_t bytes_raw = 0;
  std::uint64_t end = 0;  // where the scan stopped, relative to data start
};

// One frame found by the scan: its length in the file, its checksum and its content.
struct Found {
  std::uint64_t len = 0;
  std::uint64_t hash = 0;
  Bytes content;
};

// Decodes the zstd frame at `pos`, offering a growing window until it decodes or all
// `remaining` bytes have been offered.
Result<Found> decode_at(File& file, std::uint64_t pos, std::uint64_t remaining) {
  for (std::uint64_t window = kFirstWindow;; window *= 2) {
    DRELIX_ASSIGN_OR_RETURN(Bytes bytes, read_at(file, pos, std::min(window, remaining)));
    Result<DecodedFrame> decoded = decode_one_frame(bytes);
    if (decoded) {
      // The window already holds the frame's bytes: hashing them here equals reading them again.
      const ByteView frame(bytes.data(), static_cast<std::size_t>(decoded->consumed));
      return Found{decoded->consumed, xxh64(frame), std::move(decoded->content)};
    }
    if (bytes.size() >= remaining) return fail(std::move(decoded).error());
    if (window >= kWindowCeiling) return fail(Error::malformed("frame is impossibly large"));
  }
}

// Reads the stored entry `f` as a raw frame. Nothing when its bytes are no longer all there.
Result<std::optional<Found>> read_raw_at(File& file, std::uint64_t pos, const Frame& f) {
  DRELIX_ASSIGN_OR_RETURN(Bytes bytes, read_at(file, pos, f.len));
  if (bytes.size() < f.len) return std::optional<Found>();
  const std::uint64_t hash = xxh64(bytes);
  return std::optional<Found>(Found{f.len, hash, std::move(bytes)});
}

// The end of the stored frame that reaches furthest into the data section.
std::uint64_t stored_end(const std::vector<Frame>& stored) {
  std::uint64_t end = 0;
  for (const Frame& f : stored) end = std::max(end, sat_add(f.offset, f.len));
  return end;
}

// Walks the data section of `c` from its start (see the file comment).
Result<Derived> scan(Container& c, const Progress& progress) {
  const std::vector<Frame>& stored = c.frames();
  const StoredIndex index(stored);
  const std::uint64_t data_start = c.data_start();
  const std::uint64_t data_len = c.data_end() > data_start ? c.data_end() - data_start : 0;
  std::uint64_t next_id = 0;
  for (const Frame& f : stored) next_id = std::max(next_id, sat_add(f.id, 1));

  const std::uint64_t listed_end = stored_end(stored);
  Derived d;
  std::uint64_t pos = 0;
  while (pos < data_len) {
    const std::uint64_t found_so_far = d.frames.size();
    if (!keep_going(progress, found_so_far, std::max<std::uint64_t>(stored.size(), found_so_far))) {
      return fail(cancelled());
    }
    const std::uint64_t at = sat_add(data_start, pos);
    const std::uint64_t remaining = data_len - pos;
    DRELIX_ASSIGN_OR_RETURN(const Bytes head, read_at(c.file(), at, 4));
    const Frame* entry = index.at(pos);

    Found found;
    if (starts_with_zstd_magic(head)) {
      Result<Found> decoded = decode_at(c.file(), at, remaining);
      // Past every listed frame lies the tail, whose records may well begin with the magic by
      // chance: bytes there that do not decode are the tail, not a damaged frame.
      if (!decoded && pos >= listed_end) break;
      if (!decoded) return fail(std::move(decoded).error());
      found = std::move(*decoded);
    } else if (const Frame* raw_entry = index.raw_at(pos, remaining)) {
      DRELIX_ASSIGN_OR_RETURN(std::optional<Found> raw, read_raw_at(c.file(), at, *raw_entry));
      if (!raw) break;
      found = std::move(*raw);
    } else {
      break;
    }

    const std::uint64_t torn = for_each_record(
        found.content, c.schema().layout, [&d](ByteView) { d.records = sat_add(d.records, 1); });
    if (torn != 0) {
      return fail(Error::malformed(
          str_cat("frame at offset ", pos, ": ", torn, " torn bytes inside a closed frame")));
    }
    d.bytes_raw = sat_add(d.bytes_raw, found.content.size());

    // An entry that begins here names this frame; otherwise the entry at the same position in
    // the list does, and a frame beyond the stored list gets a fresh id.
    const std::size_t position = d.frames.size();
    std::uint64_t id;
    if (entry != nullptr) {
      id = entry->id;
    } else if (position < stored.size()) {
      id = stored[position].id;
    } else {
      id = next_id;
      next_id = sat_add(next_id, 1);
    }
    d.frames.push_back(Frame{id, pos, found.len, found.hash});
    pos = sat_add(pos, found.len);
  }
  d.end = pos;
  return d;
}

void compare_counter(const Headers& headers, std::string_view key, std::uint64_t derived,
                     std::vector<std::string>& differences) {
  const std::string_view stored = headers.get(key).value_or("0");
  const std::string derived_text = to_decimal(derived);
  if (stored != derived_text)
    differences.push_back(str_cat(key, ": ", stored, " -> ", derived_text));
}

// Writes the derived values into the zone: _frames, then the two counters, rendered to the
// zone's size (ZoneFull before any write), written at 16 and synchronised.
Status write_zone(Container& c, const Derived& d) {
  Headers headers = c.headers();
  DRELIX_TRY(headers.set("_frames", render_frames(d.frames)));
  DRELIX_TRY(headers.set("_records", to_decimal(d.records)));
  DRELIX_TRY(headers.set("_bytes_raw", to_decimal(d.bytes_raw)));
  DRELIX_ASSIGN_OR_RETURN(const Bytes zone, headers.render(c.preamble().header_area));
  DRELIX_TRY(c.file().write_all_at(kPreambleSize, zone));
  return c.file().sync();
}

}  // namespace

Result<RebuildReport> rebuild_headers(const std::string& path, bool fix, const Progress& progress) {
  DRELIX_TRY(replay_journal(path));
  DRELIX_ASSIGN_OR_RETURN(Container c, Container::open_inner(path, fix));
  DRELIX_ASSIGN_OR_RETURN(const Derived d, scan(c, progress));
  const std::uint64_t found = d.frames.size();
  if (!keep_going(progress, found, std::max<std::uint64_t>(c.frames().size(), found))) {
    return fail(cancelled());
  }

  RebuildReport report;
  const std::string stored_frames = render_frames(c.frames());
  const std::string derived_frames = render_frames(d.frames);
  if (stored_frames != derived_frames) {
    report.differences.push_back(str_cat("_frames: ", drelix::quoted(stored_frames), " -> ",
                                         drelix::quoted(derived_frames)));
  }
  compare_counter(c.headers(), "_records", d.records, report.differences);
  compare_counter(c.headers(), "_bytes_raw", d.bytes_raw, report.differences);

  if (!fix || report.differences.empty()) return report;
  if (d.end < stored_end(c.frames())) {
    return fail(
        Error::malformed(str_cat("the data section has bytes no frame accounts for at offset ",
                                 d.end, "; refusing to rewrite _frames")));
  }
  DRELIX_TRY(write_zone(c, d));
  report.fixed = true;
  return report;
}

}  // namespace drelix
