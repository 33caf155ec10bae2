// validate: reads a whole file and lists what is wrong with it.
//
// Faults that keep the file from opening fail the call; every later fault becomes one problem
// line and the checks go on. Each frame's bytes are read once, in pieces: every piece is hashed
// for the checksum and passed on to the decoder, whose content is counted record by record as it
// comes. Nothing holds a whole frame or the whole tail, so memory stays bounded whatever a frame
// declares or the tail holds, while the lines are those a separate checksum read and content
// read would give.
//
// The file is opened as it stands (open_listed): frames that a cut end of the file has taken,
// entries that break the order rule, and a tail that begins with a cut frame are problems to
// report like any other, not reasons to refuse the file.

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/container.h"
#include "core/damaged.h"
#include "core/frame_stats.h"
#include "core/frame_stream.h"
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

// The report's problem list, capped: lines past the cap are dropped without trace, and are
// not even built.
class Problems {
 public:
  explicit Problems(std::vector<std::string>& lines) : lines_(lines) {}

  template <class... Parts>
  void add(const Parts&... parts) {
    if (lines_.size() < kMaxProblems) lines_.push_back(str_cat(parts...));
  }
  bool full() const { return lines_.size() >= kMaxProblems; }

 private:
  std::vector<std::string>& lines_;
};

// The statistics a file stores, to be checked frame by frame: the indexed fields whose value
// parsed, and each one's entries in frame order.
struct StoredStats {
  std::vector<IndexedField> fields;
  std::vector<std::vector<std::string>> entries;
};

// Walks the records of one frame's content or of the tail as they stream by: counts them, takes
// the range of each of `fields` and runs the caller's check, whose lines are held until the
// content is known to be whole (a frame that fails to decode reports that alone, as if its
// records were never seen).
class Walk {
 public:
  Walk(RecordLayout layout, const RecordCheck& check, std::string label,
       std::span<const IndexedField> fields = {})
      : label_(std::move(label)),
        ranges_(fields.begin(), fields.end()),
        records_(layout, check || !fields.empty()
                             ? RecordStream::Visit([this, &check](ByteView record) {
                                 for (FieldRange& range : ranges_) range.feed(record);
                                 if (!check || held_.size() >= kMaxProblems) return;
                                 if (std::optional<std::string> failure = check(record)) {
                                   held_.push_back(str_cat(label_, *failure));
                                 }
                               })
                             : RecordStream::Visit()) {}
  Walk(const Walk&) = delete;
  Walk& operator=(const Walk&) = delete;

  void feed(ByteView piece) { records_.feed(piece); }
  const RecordStream& records() const { return records_; }
  void report_checks(Problems& problems) const {
    for (const std::string& line : held_) problems.add(line);
  }
  // A line for each field whose stored entry for frame `index` is not the range walked.
  void report_stats(const StoredStats& stats, std::size_t index, Problems& problems) const {
    for (std::size_t k = 0; k < ranges_.size(); ++k) {
      const std::string& stored = stats.entries[k][index];
      const std::string walked = ranges_[k].entry();
      if (stored == walked) continue;
      problems.add(label_, stats.fields[k].key(), " says ", quoted(stored),
                   ", the records give ", quoted(walked));
    }
  }

 private:
  std::string label_;
  std::vector<std::string> held_;
  std::vector<FieldRange> ranges_;
  RecordStream records_;
};

// Checks one frame: the checksum line, then either the content's error or its torn line and
// the check's lines. Returns the frame's whole records, 0 when its content could not be read.
std::uint64_t check_frame(const ListedFile& c, std::size_t index, const RecordCheck& check,
                          const StoredStats& stats, Problems& problems) {
  const Frame& f = c.frames[index];
  const std::string label = str_cat("frame ", f.id, ": ");
  const Result<std::uint64_t> start = stored_start(f, c.data_start, c.file_len);
  if (!start) {  // the text names the frame
    problems.add(start.error().to_string());
    return 0;
  }
  Walk walk(c.schema.layout, check, label, stats.fields);
  Result<StreamedFrame> streamed =
      stream_frame(*c.file, *start, f.len, [&walk](ByteView piece) { walk.feed(piece); });
  if (!streamed) {
    // A separate checksum read and content read of the same range would both fail this way.
    if (f.hash != 0) problems.add(label, streamed.error().to_string());
    problems.add(label, streamed.error().to_string());
    return 0;
  }
  if (f.hash != 0 && streamed->hash != f.hash) {
    problems.add(checksum_mismatch(f, streamed->hash).to_string());
  }
  if (!streamed->content) {
    problems.add(label, streamed->content.error().to_string());
    return 0;
  }
  const RecordCount count = walk.records().count();
  if (Status whole = check_no_torn(str_cat("frame ", f.id), count); !whole) {
    problems.add(whole.error().message());
  }
  walk.report_checks(problems);
  walk.report_stats(stats, index, problems);
  return count.records;
}

// Checks the tail's whole records in pieces; returns how many there are. A tail that begins
// with a cut frame holds none: the same pieces tell.
std::uint64_t check_tail(const ListedFile& c, const RecordCheck& check, Problems& problems) {
  const std::uint64_t tail = c.tail_start();
  const std::uint64_t len = c.file_len - tail;
  Walk walk(c.schema.layout, check, "tail: ");
  CutFrameProbe probe;
  Result<std::uint64_t> got = read_pieces(*c.file, tail, len, [&](ByteView piece) {
    walk.feed(piece);
    if (!probe.settled()) probe.feed(piece);
  });
  // The whole tail was there when the file was opened: a shorter read is an end of file.
  if (got && *got < len) got = fail(Error::io_eof());
  if (!got) {
    problems.add("tail: ", got.error().to_string());
    return 0;
  }
  if (probe.cut()) {
    problems.add(cut_tail_text(len));
    return 0;
  }
  walk.report_checks(problems);
  return walk.records().count().records;
}

void check_schema_hash(const ListedFile& c, Problems& problems) {
  const std::string_view stored = c.headers.get(key::kSchemaHash).value_or("");
  const std::string computed = c.schema.hash_hex();
  if (stored != computed) {
    problems.add("_schema_hash is ", stored, ", the fields hash to ", computed);
  }
}

// What checking one listed frame found: its lines (those of the order rule first) and its
// whole records. Frames are checked a window at a time on several threads, each into its own
// result, and the results are taken in list order, so the lines are those of a check of one
// frame after another.
struct FrameResult {
  std::vector<std::string> lines;
  std::uint64_t records = 0;
};

void check_listed(const ListedFile& c, std::size_t i, const FramePlace& place,
                  const RecordCheck& check, const StoredStats& stats, FrameResult& out) {
  out.lines.clear();
  Problems problems(out.lines);
  if (place.placement != Placement::kInOrder) problems.add(place.fault);
  // An overlapping entry's bytes belong to an earlier one, already checked and counted.
  const bool overlaps = place.placement == Placement::kOverlap;
  out.records = overlaps ? 0 : check_frame(c, i, check, stats, problems);
}

// The statistics keys that parse, for the frames to be checked against; a line for each that
// does not (a wrong entry count among them).
StoredStats stored_stats(const ListedFile& c, Problems& problems) {
  StoredStats stats;
  for (IndexedField& field : indexed_fields(c.headers, c.schema)) {
    const std::string key = field.key();
    Result<std::vector<std::string>> entries =
        parse_stats(c.headers.get(key).value_or(""), c.frames.size(), field.type);
    if (!entries) {
      problems.add(key, ": ", entries.error().message());
      continue;
    }
    stats.fields.push_back(std::move(field));
    stats.entries.push_back(std::move(*entries));
  }
  return stats;
}

// The checks of a file already open; from here on every fault is a problem line, nothing fails
// the call but a stop.
Result<ValidateReport> validate_listed(const ListedFile& c, const RecordCheck& check,
                                       const Progress& progress, std::size_t threads,
                                       bool check_stats) {
  ValidateReport report;
  Problems problems(report.problems);
  std::uint64_t frame_records = 0;

  check_schema_hash(c, problems);
  const StoredStats stats = check_stats ? stored_stats(c, problems) : StoredStats{};

  const std::vector<FramePlace> places = place_frames(c.frames);
  const std::uint64_t total = c.frames.size();
  threads = std::max<std::size_t>(threads, 1);
  // A few frames in flight per thread: memory stays that of a few streamed frames.
  std::vector<FrameResult> window(threads * 2);
  for (std::size_t first = 0; first < c.frames.size(); first += window.size()) {
    if (!keep_going(progress, report.frames, total)) return fail(cancelled());
    const std::size_t count = std::min(window.size(), c.frames.size() - first);
    DRELIX_TRY(run_tasks(count, threads, [&](std::size_t k, std::size_t) -> Status {
      check_listed(c, first + k, places[first + k], check, stats, window[k]);
      return {};
    }));
    for (std::size_t k = 0; k < count; ++k) {
      if (k != 0 && !keep_going(progress, report.frames, total)) return fail(cancelled());
      report.frames = sat_add(report.frames, 1);
      for (const std::string& line : window[k].lines) problems.add(line);
      frame_records = sat_add(frame_records, window[k].records);
      report.records = sat_add(report.records, window[k].records);
    }
  }
  report.records = sat_add(report.records, check_tail(c, check, problems));

  if (!keep_going(progress, report.frames, total)) return fail(cancelled());
  const std::uint64_t stored = parse_counter(c.headers.get(key::kRecords).value_or("0"));
  if (stored != frame_records) {
    problems.add("_records says ", stored, ", the frames hold ", frame_records);
  }
  return report;
}

}  // namespace

Result<ValidateReport> validate(const std::string& path, const RecordCheck& check,
                                const Progress& progress, std::size_t threads, bool check_stats) {
  DRELIX_TRY(replay_journal(path));
  remove_stale_repack(path);
  DRELIX_ASSIGN_OR_RETURN(const ListedFile c, open_listed(path));
  return validate_listed(c, check, progress, threads, check_stats);
}

Result<ValidateReport> validate_object(FilePtr file, const std::string& name,
                                       const RecordCheck& check, const Progress& progress,
                                       std::size_t threads, bool check_stats) {
  DRELIX_ASSIGN_OR_RETURN(const ListedFile c, open_listed(std::move(file), name));
  return validate_listed(c, check, progress, threads, check_stats);
}

}  // namespace drelix
