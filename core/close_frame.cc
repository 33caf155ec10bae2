// Closing the tail into a frame, and sealing.
//
// A close changes two regions of the data file: the uncompressed tail becomes the frame (and
// the file is cut after it), and the header zone is rewritten to list it. The order below is
// what makes that crash-safe: everything is computed and rendered first (so a zone too small
// for one more frame is found before anything is written), the complete new state of both
// regions then goes into the seal journal and is made durable, and only then is the data file
// touched. A crash before the journal is durable leaves the old file; after it, the next
// open_append replays the journal and finishes the close.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/codec.h"
#include "core/container.h"
#include "core/hash.h"
#include "core/journal.h"
#include "core/numbers.h"
#include "core/preview.h"
#include "core/system_headers.h"

namespace drelix {

Status Container::close_frame(std::uint64_t frame_id, std::int32_t level) {
  DRELIX_TRY(check_writable());
  DRELIX_TRY(io_.write_buffer());

  const std::uint64_t tail_at = tail_start();
  if (io_.data_end <= tail_at) return {};  // nothing appended since the last close

  Bytes tail(static_cast<std::size_t>(io_.data_end - tail_at));
  DRELIX_TRY(io_.file->read_exact_at(tail_at, tail));

  // The preview is made once per file, by the first close that finds it missing or empty.
  std::optional<std::string> preview;
  if (lacks_preview(headers_)) preview = render_preview(tail, schema_);

  DRELIX_ASSIGN_OR_RETURN(const Bytes frame_bytes, compress_frame(std::move(tail), level));
  const Frame frame{
      .id = frame_id,
      .offset = tail_at > data_start_ ? tail_at - data_start_ : 0,
      .len = frame_bytes.size(),
      .hash = xxh64(frame_bytes),
  };

  std::vector<Frame> frames = frames_;
  frames.push_back(frame);
  const ByteView part(frame_bytes);
  return commit_frames(tail_at, std::span(&part, 1), std::move(frames),
                       Counters{records_, bytes_raw_}, level, preview);
}

Status Container::commit_frames(std::uint64_t tail_at, std::span<const ByteView> parts,
                                std::vector<Frame> frames, Counters counters, std::int32_t level,
                                const std::optional<std::string>& preview) {
  // Work on copies: the container's memory changes only once the file has.
  Headers headers = headers_;
  if (preview.has_value() && lacks_preview(headers)) {
    DRELIX_TRY(headers.set(key::kPreview, *preview));
  }
  DRELIX_TRY(set_frame_headers(headers, frames, counters, level));
  DRELIX_ASSIGN_OR_RETURN(const Bytes zone, headers.render(preamble_.header_area));

  if (auto journaled = write_journal_parts(path_, tail_at, zone, parts); !journaled) {
    // The journal may be complete on disk even though its write or sync reported failure. Left
    // there, it would be replayed by the next opener and would cut off whatever this container
    // appends from now on, so it has to go; if it cannot be removed, stop writing.
    if (!remove_journal(path_)) io_.broken = true;
    return journaled;
  }

  if (auto spliced = splice_parts(*io_.file, tail_at, zone, parts); !spliced) {
    // The file may now be partly spliced while memory still holds the old state: refuse every
    // further write. The journal stays, and open_append on the path completes the close.
    io_.broken = true;
    return spliced;
  }

  frames_ = std::move(frames);
  headers_ = std::move(headers);
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
  Headers headers = headers_;
  if (lacks_preview(headers)) {
    // The records the next close starts with: the on-disk tail, the buffer, then `next`, each
    // made of whole records, so their first preview_span bytes hold the first records.
    const std::size_t span = preview_span(schema_.layout);
    const std::uint64_t tail_at = tail_start();
    const std::uint64_t on_disk = io_.data_end > tail_at ? io_.data_end - tail_at : 0;
    Bytes head(static_cast<std::size_t>(std::min<std::uint64_t>(on_disk, span)));
    DRELIX_TRY(io_.file->read_exact_at(tail_at, head));
    for (const ByteView part : {ByteView(io_.buffer), next}) {
      const std::size_t take = std::min(part.size(), span - head.size());
      head.insert(head.end(), part.begin(), part.begin() + static_cast<std::ptrdiff_t>(take));
    }
    DRELIX_TRY(headers.set(key::kPreview, render_preview(head, schema_)));
  }
  constexpr std::uint64_t kWidest = UINT64_MAX;
  std::vector<Frame> frames = frames_;
  frames.insert(frames.end(), k, Frame{kWidest, kWidest, kWidest, kWidest});
  DRELIX_TRY(set_frame_headers(headers, frames, Counters{kWidest, kWidest}, level));
  DRELIX_TRY(headers.render(preamble_.header_area));
  return {};
}

Status Container::seal(std::uint64_t frame_id, std::int32_t level) {
  DRELIX_TRY(close_frame(frame_id, level));
  DRELIX_TRY(headers_.set(key::kSealed, "true"));
  return flush_headers();
}

}  // namespace drelix
