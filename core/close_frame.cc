// Closing the tail into a frame, splicing frames encoded elsewhere (the bulk writes), sealing,
// and syncing the raw tail.
//
// A close or a splice changes two regions of the data file: the frames go at the tail start
// (over the uncompressed tail a close replaces) and the file is cut after them, and the header
// zone is rewritten to list them. Both end in commit_frames, whose order is what makes that
// crash-safe: everything is computed and rendered first (so a zone too small for the new frames
// is found before anything is written); the complete new state of both regions then goes into
// the seal journal and is made durable; only then is the data file touched (splice), and only
// once it has been does memory take the new state; the journal goes last. A crash before the
// journal is durable leaves the old file; after it, the next open_append replays the journal and
// finishes the close or splice, whose frame part is exactly the bytes that end up at the tail
// start.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/codec.h"
#include "core/container.h"
#include "core/frame_stats.h"
#include "core/hash.h"
#include "core/journal.h"
#include "core/numbers.h"
#include "core/preview.h"
#include "core/str_cat.h"
#include "core/system_headers.h"

namespace drelix {

Status Container::close_frame(std::uint64_t frame_id, std::int32_t level) {
  DRELIX_TRY(check_writable());
  DRELIX_TRY(io_.write_buffer());

  const std::uint64_t tail_at = tail_start();
  if (tail_length() == 0) return {};  // nothing appended since the last close

  Bytes tail(static_cast<std::size_t>(tail_length()));
  DRELIX_TRY(io_.file->read_exact_at(tail_at, tail));

  // The preview is made once per file, by the first close that finds it missing or empty.
  std::optional<std::string> preview;
  if (lacks_preview(headers_)) preview = render_preview(tail, schema_);
  // The statistics come from the raw records, before compression takes them.
  std::vector<FrameEntries> entries;
  if (keeps_stats_) entries.push_back(entries_for(tail, stats_fields_, schema_.layout.size()));

  DRELIX_ASSIGN_OR_RETURN(const Bytes frame_bytes, compress_frame(std::move(tail), level));
  const Frame frame{
      .id = frame_id,
      .offset = listed_end(frames_),
      .len = frame_bytes.size(),
      .hash = xxh64(frame_bytes),
  };

  std::vector<Frame> frames = frames_;
  frames.push_back(frame);
  const ByteView part(frame_bytes);
  return commit_frames(tail_at, std::span(&part, 1), std::move(frames),
                       Counters{records_, bytes_raw_}, level, preview, entries);
}

std::vector<Headers::Pair> Container::stats_after(std::span<const FrameEntries> added) const {
  std::vector<Headers::Pair> stats;
  std::vector<std::string> column(added.size());
  for (std::size_t k = 0; k < stats_fields_.size(); ++k) {
    for (std::size_t i = 0; i < added.size(); ++i) column[i] = added[i][k];
    std::string key = stats_fields_[k].key();
    std::string value = append_stats(headers_.get(key).value_or(""), frames_.size(), column);
    stats.emplace_back(std::move(key), std::move(value));
  }
  return stats;
}

Result<Zone> Container::render_with_stats(const ZoneChange& change) const {
  Result<Zone> zone = render_zone(headers_, change, preamble_.header_area);
  if (zone || zone.error().kind() != Error::Kind::ZoneFull || change.stats.empty()) return zone;
  std::uint64_t bytes = 0;
  for (const auto& [key, value] : change.stats) {
    bytes = sat_add(bytes, key.size() + 2 + escape_value(value).size());
  }
  return fail(Error::zone_full(zone.error().need(), zone.error().have(),
                               str_cat("the statistics of ", change.stats.size(),
                                       " indexed fields take ", bytes, " bytes")));
}

Status Container::commit_frames(std::uint64_t tail_at, std::span<const ByteView> parts,
                                std::vector<Frame> frames, Counters counters, std::int32_t level,
                                const std::optional<std::string>& preview,
                                std::span<const FrameEntries> added) {
  // Rendered as a copy: the container's memory changes only once the file has.
  const std::vector<Headers::Pair> stats = stats_after(added);
  DRELIX_ASSIGN_OR_RETURN(Zone zone,
                          render_with_stats({&frames, counters, level, preview, stats}));

  if (auto journaled = write_journal(path_, tail_at, zone.image, parts); !journaled) {
    // The journal may be complete on disk even though its write or sync reported failure. Left
    // there, it would be replayed by the next opener and would cut off whatever this container
    // appends from now on, so it has to go; if it cannot be removed, stop writing.
    if (!remove_journal(path_)) io_.broken = true;
    return journaled;
  }

  if (auto spliced = splice(*io_.file, tail_at, zone.image, parts); !spliced) {
    // The file may now be partly spliced while memory still holds the old state: refuse every
    // further write. The journal stays, and open_append on the path completes the close.
    io_.broken = true;
    return spliced;
  }

  frames_ = std::move(frames);
  headers_ = std::move(zone.headers);
  records_ = frame_records_ = counters.records;
  bytes_raw_ = frame_bytes_raw_ = counters.bytes_raw;
  io_.data_end = tail_at;
  for (const ByteView part : parts) io_.data_end = sat_add(io_.data_end, part.size());

  // The close has succeeded either way. But a journal left behind would be replayed by the next
  // opener and cut off everything appended after this close, so if it will not go away, stop
  // this container from writing anything that the replay would destroy.
  if (!remove_journal(path_) && !remove_journal(path_)) io_.broken = true;
  return {};
}

namespace {

// Bytes that always hold the first kPreviewRecords whole records of a longer run of them.
std::size_t preview_span(RecordLayout layout) {
  const std::size_t largest = layout.is_fixed() ? layout.size() : 2 + kMaxPrefixedRecord;
  return kPreviewRecords * largest;
}

}  // namespace

Status Container::check_frame_room(std::size_t k, std::int32_t level, ByteView next) const {
  std::optional<std::string> preview;
  if (lacks_preview(headers_)) {
    // The records the next close starts with: the on-disk tail, the buffer, then `next`, each
    // made of whole records, so their first preview_span bytes hold the first records.
    const std::size_t span = preview_span(schema_.layout);
    const std::uint64_t tail_at = tail_start();
    Bytes head(static_cast<std::size_t>(std::min<std::uint64_t>(tail_length(), span)));
    DRELIX_TRY(io_.file->read_exact_at(tail_at, head));
    for (const ByteView part : {ByteView(io_.buffer), next}) {
      const std::size_t take = std::min(part.size(), span - head.size());
      head.insert(head.end(), part.begin(), part.begin() + static_cast<std::ptrdiff_t>(take));
    }
    preview = render_preview(head, schema_);
  }
  constexpr std::uint64_t kWidest = UINT64_MAX;
  std::vector<Frame> frames = frames_;
  frames.insert(frames.end(), k, Frame{kWidest, kWidest, kWidest, kWidest});
  FrameEntries widest_entries;
  for (const IndexedField& f : stats_fields_) {
    widest_entries.emplace_back(widest_entry(f.type), '0');
  }
  const std::vector<FrameEntries> widest(keeps_stats_ ? k : 0, widest_entries);
  const std::vector<Headers::Pair> stats = stats_after(widest);
  DRELIX_TRY(render_with_stats({&frames, Counters{kWidest, kWidest}, level, preview, stats}));
  return {};
}

Status Container::keep_stats(std::span<const std::string> add) {
  DRELIX_TRY(check_writable());
  Headers headers = headers_;
  std::vector<std::string> fresh;
  for (const std::string& name : add) {
    DRELIX_ASSIGN_OR_RETURN(const IndexedField field, indexable_field(schema_, name));
    if (headers.get(field.key())) continue;
    // A key of its own that holds no frame's entry yet: computed below like an unusable one.
    DRELIX_TRY(headers.set(field.key(), ""));
    fresh.push_back(field.key());
  }
  std::vector<IndexedField> fields = indexed_fields(headers, schema_);

  std::vector<std::size_t> stale;
  for (std::size_t k = 0; k < fields.size(); ++k) {
    const std::string key = fields[k].key();
    const std::string_view value = headers.get(key).value_or("");
    if (std::ranges::find(fresh, key) != fresh.end() ||
        !parse_stats(value, frames_.size(), fields[k].type)) {
      stale.push_back(k);
    }
  }
  if (!stale.empty()) {
    std::vector<std::vector<std::string>> columns(stale.size());
    for (std::size_t i = 0; i < frames_.size(); ++i) {
      DRELIX_ASSIGN_OR_RETURN(const Bytes content, read_frame_at(i));
      for (std::size_t s = 0; s < stale.size(); ++s) {
        columns[s].push_back(entry_for(content, fields[stale[s]], schema_.layout.size()));
      }
    }
    for (std::size_t s = 0; s < stale.size(); ++s) {
      DRELIX_TRY(headers.set(fields[stale[s]].key(), render_stats(columns[s])));
    }
    Headers before = std::move(headers_);
    headers_ = std::move(headers);
    if (Status flushed = flush_headers(); !flushed) {
      headers_ = std::move(before);
      return flushed;
    }
  }
  keeps_stats_ = true;
  stats_fields_ = std::move(fields);
  return {};
}

Status Container::seal(std::uint64_t frame_id, std::int32_t level) {
  DRELIX_TRY(close_frame(frame_id, level));
  DRELIX_TRY(headers_.set(key::kSealed, "true"));
  return flush_headers();
}

Result<std::vector<Frame>> Container::splice_frames(std::span<const Frame> frames,
                                                    std::span<const ByteView> parts,
                                                    std::uint64_t records, std::uint64_t bytes_raw,
                                                    std::int32_t level,
                                                    const std::string& preview,
                                                    std::span<const FrameEntries> entries) {
  DRELIX_TRY(check_writable());
  DRELIX_TRY(io_.write_buffer());
  const std::uint64_t tail_at = tail_start();
  if (tail_length() > 0) {
    return fail(Error::usage("the tail holds records; close it into a frame first"));
  }
  if (frames.size() != parts.size() || frames.empty()) {
    return fail(Error::usage("splice_frames needs one part per frame, and at least one"));
  }
  if (entries.size() != (keeps_stats_ ? frames.size() : 0) ||
      std::ranges::any_of(entries, [&](const FrameEntries& e) {
        return e.size() != stats_fields_.size();
      })) {
    return fail(Error::usage("splice_frames needs each frame's statistics, and only then"));
  }

  // Work on copies: the container's memory changes only once the file has.
  std::vector<Frame> listed = frames_;
  std::uint64_t offset = listed_end(frames_);
  for (std::size_t i = 0; i < frames.size(); ++i) {
    if (parts[i].size() != frames[i].len) {
      return fail(Error::usage(str_cat("frame ", frames[i].id, " is ", parts[i].size(),
                                       " bytes, listed as ", frames[i].len)));
    }
    listed.push_back(Frame{frames[i].id, offset, frames[i].len, frames[i].hash});
    offset = sat_add(offset, frames[i].len);
  }
  const std::size_t before = frames_.size();
  DRELIX_TRY(commit_frames(tail_at, parts, std::move(listed),
                           Counters{sat_add(records_, records), sat_add(bytes_raw_, bytes_raw)},
                           level, preview.empty() ? std::nullopt : std::optional(preview),
                           entries));
  return std::vector<Frame>(frames_.begin() + static_cast<std::ptrdiff_t>(before), frames_.end());
}

Status Container::sync_data() {
  DRELIX_TRY(check_writable());
  DRELIX_TRY(io_.write_buffer());
  return sync_file();
}

}  // namespace drelix
