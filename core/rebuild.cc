// rebuild_headers: derives _frames, _records and _bytes_raw from the data section, lists the
// headers that disagree, and with `fix` writes the derived values into the zone.
//
// The scan walks the data section from its start. A position that begins with the zstd magic
// is decoded to learn where the frame ends (its block headers only guess it, so that the
// frames after it can be decoded at the same time on other threads). A position without the
// magic where a stored _frames entry begins is taken to be that entry stored raw (a level-0
// close or repack), since raw bytes carry no mark of their own. Anywhere else the scan stops
// and the rest is tail.
// Because stopping short of listed frames would make the derived list drop them, `fix` refuses
// to write in that case rather than expose their bytes as tail. Frames are read in pieces and
// counted as their content streams by, so the scan's memory does not grow with a frame.
// Bytes where the scan stops that begin a zstd frame the end of the file cuts short are what a
// cut left of a frame, not tail records: they are reported, and `fix` refuses to write a list
// that would leave them as the tail.

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/codec.h"
#include "core/container.h"
#include "core/damaged.h"
#include "core/frame_stats.h"
#include "core/frame_stream.h"
#include "core/frames.h"
#include "core/hash.h"
#include "core/journal.h"
#include "core/maintenance.h"
#include "core/numbers.h"
#include "core/record_stream.h"
#include "core/schema.h"
#include "core/str_cat.h"
#include "core/system_headers.h"
#include "core/thread_pool.h"

namespace drelix {

namespace {

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
  std::vector<FrameEntries> entries;  // each frame's statistics, when derived
  std::uint64_t records = 0;
  std::uint64_t bytes_raw = 0;
  std::uint64_t end = 0;  // where the scan stopped, relative to data start
  bool cut_tail = false;  // the bytes from `end` on begin a zstd frame the file cuts short
};

// One frame found by the scan: its length in the file, its checksum, and what its content
// holds (counted as it streamed by, never held whole).
struct Found {
  std::uint64_t len = 0;
  std::uint64_t hash = 0;
  std::uint64_t content_bytes = 0;
  RecordCount records;
  // The bytes proved themselves: a zstd frame that decoded with its own content checksum.
  bool proven = false;
  FrameEntries entries;  // the range of each indexed field asked for
};

// The records of a frame as they stream by: counted, and the range of each field taken.
class Ranges {
 public:
  Ranges(RecordLayout layout, std::span<const IndexedField> fields)
      : ranges_(fields.begin(), fields.end()),
        records_(layout, fields.empty() ? RecordStream::Visit()
                                        : RecordStream::Visit([this](ByteView record) {
                                            for (FieldRange& r : ranges_) r.feed(record);
                                          })) {}
  Ranges(const Ranges&) = delete;
  Ranges& operator=(const Ranges&) = delete;

  void feed(ByteView piece) { records_.feed(piece); }
  RecordCount count() const { return records_.count(); }
  FrameEntries entries() const {
    FrameEntries out;
    for (const FieldRange& r : ranges_) out.push_back(r.entry());
    return out;
  }

 private:
  std::vector<FieldRange> ranges_;
  RecordStream records_;
};

// Decodes the zstd frame at `pos` from at most `remaining` bytes read in pieces, hashing the
// bytes the frame takes and counting its records. The decoder's error, or "truncated zstd
// frame" when the bytes run out first, is the error decoding all `remaining` bytes would give.
Result<Found> decode_at(File& file, std::uint64_t pos, std::uint64_t remaining,
                        RecordLayout layout, std::span<const IndexedField> fields) {
  FrameDecoder decoder;
  Ranges records(layout, fields);
  Xxh64Stream hasher;
  Found found;
  Status decoded;
  auto piece = [&](ByteView bytes) {
    if (!decoded || decoder.done()) return;
    if (found.len == 0) found.proven = declares_content_checksum(bytes);
    Result<std::size_t> took =
        decoder.feed(bytes, [&records](ByteView content) { records.feed(content); });
    if (!took) {
      decoded = fail(std::move(took).error());
      return;
    }
    hasher.update(bytes.first(*took));
    found.len += *took;
  };
  // The pieces stop mattering once the frame has ended; reading on to `remaining` would cost a
  // pass over the rest of the data section.
  DRELIX_TRY(read_pieces(file, pos, remaining, piece, [&] { return !decoded || decoder.done(); }));
  if (!decoded) return fail(std::move(decoded).error());
  if (!decoder.done()) return fail(Error::malformed("truncated zstd frame"));
  found.hash = hasher.digest();
  found.content_bytes = decoder.produced();
  found.records = records.count();
  found.entries = records.entries();
  return found;
}

// Reads the stored entry `f` as a raw frame (its first bytes are not the zstd magic), in
// pieces. Nothing when its bytes are no longer all there.
Result<std::optional<Found>> read_raw_at(File& file, std::uint64_t pos, const Frame& f,
                                         RecordLayout layout,
                                         std::span<const IndexedField> fields) {
  Ranges records(layout, fields);
  DRELIX_ASSIGN_OR_RETURN(
      const StreamedFrame streamed,
      stream_frame(file, pos, f.len, [&records](ByteView piece) { records.feed(piece); }));
  if (!streamed.content) return std::optional<Found>();
  return std::optional<Found>(
      Found{f.len, streamed.hash, f.len, records.count(), false, records.entries()});
}

// Where the zstd frame at `at` ends, added up from its headers (zstd_frame_header_size), or
// nullopt when they do not add up within `remaining` bytes or a read fails. Only a guess at
// where the next frame begins, so that it can be decoded alongside this one: decoding proves it.
std::optional<std::uint64_t> zstd_frame_len(File& file, std::uint64_t at, std::uint64_t remaining) {
  const Result<Bytes> head = read_at(file, at, kZstdMaxHeader);
  if (!head) return std::nullopt;
  const std::optional<std::size_t> header = zstd_frame_header_size(*head);
  if (!header) return std::nullopt;
  std::uint64_t len = *header;
  for (bool last = false; !last;) {
    if (sat_add(len, kZstdBlockHeader) > remaining) return std::nullopt;
    const Result<Bytes> bytes = read_at(file, sat_add(at, len), kZstdBlockHeader);
    if (!bytes) return std::nullopt;
    const std::optional<ZstdBlock> block = zstd_block_header(*bytes);
    if (!block) return std::nullopt;
    len = sat_add(len, kZstdBlockHeader + block->stored);
    last = block->last;
  }
  if (declares_content_checksum(*head)) len = sat_add(len, kZstdChecksum);
  if (len > remaining) return std::nullopt;
  return len;
}

// One position of the scan and what reading there found.
struct Step {
  enum class Kind { kZstd, kRaw, kStop };
  std::uint64_t pos = 0;
  Kind kind = Kind::kStop;
  const Frame* raw_entry = nullptr;                           // the stored entry read raw (kRaw)
  Result<Found> decoded = Found{};                            // kZstd
  Result<std::optional<Found>> raw = std::optional<Found>();  // kRaw: nothing if cut short
};

// Walks the data section of `c` from its start (see the file comment). Frames are found a
// window at a time: where each one ends is guessed from its headers, the window's frames are
// decoded on several threads, and their results are taken in order as one thread would take
// them, so that a guess decoding does not bear out only costs the rest of its window.
class Scan {
 public:
  Scan(const Container& c, File& file, std::span<const IndexedField> fields)
      : c_(c),
        file_(file),
        fields_(fields),
        index_(c.frames()),
        data_start_(c.data_start()),
        data_len_(c.data_end() > data_start_ ? c.data_end() - data_start_ : 0),
        listed_end_(furthest_end(c.frames())) {}

  Result<Derived> run(const Progress& progress, std::size_t threads) {
    const std::vector<Frame>& stored = c_.frames();
    std::uint64_t next_id = next_frame_id(stored);
    const auto going = [&](const Derived& d) {
      const std::uint64_t found = d.frames.size();
      return keep_going(progress, found, std::max<std::uint64_t>(stored.size(), found));
    };

    threads = std::max<std::size_t>(threads, 1);
    // One frame at a time on one thread; a few frames in flight per thread otherwise.
    const std::size_t width = threads == 1 ? 1 : threads * 2;
    std::vector<Step> window;
    Derived d;
    std::uint64_t pos = 0;
    bool stopped = false;
    while (pos < data_len_ && !stopped) {
      if (!going(d)) return fail(cancelled());
      DRELIX_TRY(plan(pos, width, window));
      DRELIX_TRY(run_tasks(window.size(), threads, [&](std::size_t k, std::size_t) -> Status {
        read(window[k]);
        return {};
      }));
      for (std::size_t k = 0; k < window.size() && !stopped; ++k) {
        Step& step = window[k];
        if (step.pos != pos) break;  // a guess decoding did not bear out: plan again from pos
        if (k != 0 && !going(d)) return fail(cancelled());
        DRELIX_ASSIGN_OR_RETURN(std::optional<Found> found, take(step, d));
        if (!found) {
          stopped = true;
          break;
        }
        if (Status whole = check_no_torn(str_cat("frame at offset ", pos), found->records);
            !whole) {
          return fail(Error::malformed(str_cat(whole.error().message(), " inside a closed frame")));
        }
        add(*found, pos, next_id, d);
        pos = sat_add(pos, found->len);
      }
    }
    d.end = pos;
    return d;
  }

 private:
  // What lies at `pos`: a zstd frame, a stored entry to read raw, or nothing the scan may take.
  Result<Step> classify(std::uint64_t pos) const {
    DRELIX_ASSIGN_OR_RETURN(const Bytes head, read_at(file_, sat_add(data_start_, pos), 4));
    Step step;
    step.pos = pos;
    if (starts_with_zstd_magic(head)) {
      step.kind = Step::Kind::kZstd;
    } else if (const Frame* entry = index_.raw_at(pos, data_len_ - pos)) {
      step.kind = Step::Kind::kRaw;
      step.raw_entry = entry;
    }
    return step;
  }

  // Fills `window` with the steps from `pos` on, as far as their lengths can be told before
  // reading them, at most `width`. Only the first position's read may fail the call; a later
  // one that fails is met again as the first of the next window.
  Status plan(std::uint64_t pos, std::size_t width, std::vector<Step>& window) const {
    window.clear();
    DRELIX_ASSIGN_OR_RETURN(Step first, classify(pos));
    window.push_back(std::move(first));
    while (window.size() < width) {
      const Step& last = window.back();
      std::optional<std::uint64_t> len;
      if (last.kind == Step::Kind::kRaw) len = last.raw_entry->len;
      if (last.kind == Step::Kind::kZstd) {
        len = zstd_frame_len(file_, sat_add(data_start_, last.pos), data_len_ - last.pos);
      }
      if (!len) break;
      const std::uint64_t next = sat_add(last.pos, *len);
      if (next >= data_len_) break;
      Result<Step> step = classify(next);
      if (!step) break;
      window.push_back(std::move(*step));
    }
    return {};
  }

  // Reads the frame of `step`, keeping the outcome for take(). Runs on any thread.
  void read(Step& step) const {
    const std::uint64_t at = sat_add(data_start_, step.pos);
    const RecordLayout layout = c_.schema().layout;
    if (step.kind == Step::Kind::kZstd) {
      step.decoded = decode_at(file_, at, data_len_ - step.pos, layout, fields_);
    } else if (step.kind == Step::Kind::kRaw) {
      step.raw = read_raw_at(file_, at, *step.raw_entry, layout, fields_);
    }
  }

  // The frame a step found, or nothing where the scan stops (noting a cut frame there).
  Result<std::optional<Found>> take(Step& step, Derived& d) const {
    if (step.kind == Step::Kind::kRaw) return std::move(step.raw);
    if (step.kind == Step::Kind::kStop) return std::optional<Found>();
    if (step.decoded) return std::optional<Found>(std::move(*step.decoded));
    // Past every listed frame lies the tail, whose records may well begin with the magic by
    // chance: bytes there that do not decode are the tail, not a damaged frame.
    if (step.pos < listed_end_) return fail(std::move(step.decoded).error());
    DRELIX_ASSIGN_OR_RETURN(d.cut_tail, begins_with_cut_frame(file_, sat_add(data_start_, step.pos),
                                                              data_len_ - step.pos));
    return std::optional<Found>();
  }

  // Adds the frame found at `pos` to what the scan derived.
  void add(Found found, std::uint64_t pos, std::uint64_t& next_id, Derived& d) const {
    const std::vector<Frame>& stored = c_.frames();
    const Frame* entry = index_.at(pos);
    d.records = sat_add(d.records, found.records.records);
    d.bytes_raw = sat_add(d.bytes_raw, found.content_bytes);
    // A listed checksum is the only witness of what a raw frame's bytes were: bytes that hash
    // otherwise are damaged, and listing their hash would bless the damage. Only a frame that
    // proved its bytes with its own content checksum may have a stale listed one replaced.
    if (entry != nullptr && entry->hash != 0 && entry->len == found.len && !found.proven) {
      found.hash = entry->hash;
    }

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
    d.entries.push_back(std::move(found.entries));
  }

  const Container& c_;
  File& file_;
  const std::span<const IndexedField> fields_;
  const StoredIndex index_;
  const std::uint64_t data_start_;
  const std::uint64_t data_len_;
  const std::uint64_t listed_end_;
};

void compare_counter(const Headers& headers, std::string_view key, std::uint64_t derived,
                     std::vector<std::string>& differences) {
  const std::string_view stored = headers.get(key).value_or("0");
  const std::string derived_text = to_decimal(derived);
  if (stored != derived_text)
    differences.push_back(str_cat(key, ": ", stored, " -> ", derived_text));
}

// Each statistics key with the value derived from the frames found.
std::vector<Headers::Pair> derived_stats(std::span<const IndexedField> fields, const Derived& d) {
  std::vector<Headers::Pair> stats;
  std::vector<std::string> column(d.entries.size());
  for (std::size_t k = 0; k < fields.size(); ++k) {
    for (std::size_t i = 0; i < d.entries.size(); ++i) column[i] = d.entries[i][k];
    stats.emplace_back(fields[k].key(), render_stats(column));
  }
  return stats;
}

// Writes the derived values into the zone: _frames, the two counters, then the statistics
// (ZoneFull before any write).
Status write_derived(const Container& c, File& file, const Derived& d,
                     std::span<const Headers::Pair> stats) {
  DRELIX_ASSIGN_OR_RETURN(
      const Zone zone,
      render_zone(c.headers(), {&d.frames, Counters{d.records, d.bytes_raw}, {}, {}, stats},
                  c.preamble().header_area));
  return write_zone(file, zone.image);
}

}  // namespace

Result<RebuildReport> rebuild_headers(const std::string& path, bool fix, const Progress& progress,
                                      std::size_t threads, bool stats) {
  DRELIX_TRY(replay_journal(path));
  DRELIX_ASSIGN_OR_RETURN(Container c, Container::open_inner(path, fix));
  const std::vector<IndexedField> fields =
      stats ? indexed_fields(c.headers(), c.schema()) : std::vector<IndexedField>();
  DRELIX_ASSIGN_OR_RETURN(const Derived d, Scan(c, c.file(), fields).run(progress, threads));
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
  compare_counter(c.headers(), key::kRecords, d.records, report.differences);
  compare_counter(c.headers(), key::kBytesRaw, d.bytes_raw, report.differences);
  const std::vector<Headers::Pair> derived = derived_stats(fields, d);
  for (const auto& [key, value] : derived) {
    const std::string_view stored = c.headers().get(key).value_or("");
    if (stored != value) {
      report.differences.push_back(
          str_cat(key, ": ", drelix::quoted(stored), " -> ", drelix::quoted(value)));
    }
  }
  const std::uint64_t data_len = c.data_end() > c.data_start() ? c.data_end() - c.data_start() : 0;
  if (d.cut_tail) report.differences.push_back(cut_tail_text(data_len - d.end));

  if (!fix || report.differences.empty()) return report;
  if (d.cut_tail) {
    return fail(Error::malformed(
        str_cat("the data section ends in a zstd frame cut short at offset ", d.end,
                "; refusing to rewrite _frames (salvage copies what is intact)")));
  }
  if (d.end < furthest_end(c.frames())) {
    return fail(
        Error::malformed(str_cat("the data section has bytes no frame accounts for at offset ",
                                 d.end, "; refusing to rewrite _frames")));
  }
  DRELIX_TRY(write_derived(c, c.file(), d, derived));
  report.fixed = true;
  return report;
}

}  // namespace drelix
