// validate: reads a whole file and lists what is wrong with it.
//
// Faults that keep the file from opening fail the call; every later fault becomes one problem
// line and the checks go on. Each frame's bytes are read once: the same buffer is hashed for
// the checksum and then decoded for the content, which keeps one frame in memory at a time and
// halves the reads, while giving the lines a separate checksum read and content read would.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/codec.h"
#include "core/container.h"
#include "core/hash.h"
#include "core/journal.h"
#include "core/maintenance.h"
#include "core/numbers.h"
#include "core/schema.h"
#include "core/str_cat.h"

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

 private:
  std::vector<std::string>& lines_;
};

// What reading one frame gave: the content, or the error a content read met.
using FrameContent = Result<Bytes>;

// The content of `bytes` (the frame's bytes, exactly `len` of them) as read_frame_body would
// decode it: empty, one decoded zstd frame, or the stored bytes of a level-0 frame.
FrameContent content_of(Bytes bytes) {
  if (bytes.empty()) return Bytes();
  if (!starts_with_zstd_magic(bytes)) return bytes;
  DRELIX_ASSIGN_OR_RETURN(DecodedFrame decoded, decode_one_frame(bytes));
  return std::move(decoded.content);
}

// Reads one frame once for both the checksum and the content. Adds the checksum line (and the
// checksum step's unreadable line) itself; returns the content or the content step's error.
FrameContent read_checked_frame(Container& c, const Frame& f, Problems& problems) {
  const std::uint64_t start = sat_add(c.data_start(), f.offset);
  const std::uint64_t end = sat_add(start, f.len);
  const bool fits = start != UINT64_MAX && end != UINT64_MAX && end <= c.data_end();
  if (!fits) {
    // The open has already refused such frames; should one get here, the content read's own
    // checks produce the exact error, after the checksum read over the saturated range.
    if (f.hash != 0) {
      Result<Bytes> bytes = read_at(c.file(), start, f.len);
      if (!bytes) {
        problems.add("frame ", f.id, ": ", bytes.error().to_string());
      } else if (const std::uint64_t h = xxh64(*bytes); h != f.hash) {
        problems.add("frame ", f.id, ": checksum mismatch, _frames says ", to_hex16(f.hash),
                     ", the bytes hash to ", to_hex16(h));
      }
    }
    return c.read_frame_body(f);
  }

  Result<Bytes> bytes = read_at(c.file(), start, f.len);
  if (!bytes) {
    // A separate content read of the same range would fail the same way.
    if (f.hash != 0) problems.add("frame ", f.id, ": ", bytes.error().to_string());
    return fail(std::move(bytes).error());
  }
  if (f.hash != 0) {
    if (const std::uint64_t h = xxh64(*bytes); h != f.hash) {
      problems.add("frame ", f.id, ": checksum mismatch, _frames says ", to_hex16(f.hash),
                   ", the bytes hash to ", to_hex16(h));
    }
  }
  // The file ended inside the frame: an exact read of the content would meet end of file.
  if (bytes->size() < f.len) return fail(Error::io_eof());
  return content_of(std::move(*bytes));
}

struct Walked {
  std::uint64_t records = 0;  // whole records
  std::uint64_t torn = 0;     // trailing bytes that are not a whole record
};

// Counts the records of `data` without building a record list.
Walked count_records(ByteView data, RecordLayout layout) {
  Walked w;
  w.torn = for_each_record(data, layout, [&w](ByteView) { w.records = sat_add(w.records, 1); });
  return w;
}
// Runs the caller's check over every whole record of `data`; each failure becomes a line
// that starts with `label`.
template <class... Label>
void run_check(ByteView data, RecordLayout layout, const RecordCheck& check, Problems& problems,
               const Label&... label) {
  if (!check) return;
  for_each_record(data, layout, [&](ByteView record) {
    if (std::optional<std::string> failure = check(record)) problems.add(label..., *failure);
  });
}

void check_schema_hash(const Container& c, Problems& problems) {
  const std::string_view stored = c.headers().get("_schema_hash").value_or("");
  const std::string computed = c.schema().hash_hex();
  if (stored != computed) {
    problems.add("_schema_hash is ", stored, ", the fields hash to ", computed);
  }
}

}  // namespace

Result<ValidateReport> validate(const std::string& path, const RecordCheck& check,
                                const Progress& progress) {
  DRELIX_TRY(replay_journal(path));
  DRELIX_ASSIGN_OR_RETURN(Container c, Container::open_read(path));
  // From here on every fault is a problem line; nothing fails the call.

  ValidateReport report;
  Problems problems(report.problems);
  std::uint64_t frame_records = 0;
  const RecordLayout layout = c.schema().layout;

  check_schema_hash(c, problems);

  const std::uint64_t total = c.frames().size();
  for (const Frame& f : c.frames()) {
    if (!keep_going(progress, report.frames, total)) return fail(cancelled());
    report.frames = sat_add(report.frames, 1);
    FrameContent content = read_checked_frame(c, f, problems);
    if (!content) {
      problems.add("frame ", f.id, ": ", content.error().to_string());
      continue;
    }
    const Walked w = count_records(*content, layout);
    if (w.torn != 0) problems.add("frame ", f.id, ": ", w.torn, " torn bytes");
    frame_records = sat_add(frame_records, w.records);
    report.records = sat_add(report.records, w.records);
    run_check(*content, layout, check, problems, "frame ", f.id, ": ");
  }

  if (Result<Bytes> tail = c.read_tail(); !tail) {
    problems.add("tail: ", tail.error().to_string());
  } else {
    report.records = sat_add(report.records, count_records(*tail, layout).records);
    run_check(*tail, layout, check, problems, "tail: ");
  }

  if (!keep_going(progress, report.frames, total)) return fail(cancelled());
  const std::uint64_t stored = parse_counter(c.headers().get("_records").value_or("0"));
  if (stored != frame_records) {
    problems.add("_records says ", stored, ", the frames hold ", frame_records);
  }
  return report;
}

}  // namespace drelix
