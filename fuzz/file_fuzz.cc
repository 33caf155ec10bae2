// Arbitrary file bytes, given on a copy of their own to each entry point that opens a data file
// (Container::open_read, validate, the header rebuild, Container::open_append with a close) and,
// as the journal beside a small data file, to replay_journal (which every open for appending runs).
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "core/container.h"
#include "core/hash.h"
#include "core/headers.h"
#include "core/journal.h"
#include "core/maintenance.h"
#include "fuzz/fuzz_util.h"

using namespace drelix;
using fuzz::outcome;

namespace {

// The path of the scratch file `name`, made to hold `input` with no journal beside it (a close of
// an earlier input may have left one).
std::string copy_of(const char* name, ByteView input) {
  const std::string path = fuzz::scratch_dir() + "/" + name;
  (void)env().unlink(journal_path(path));
  fuzz::put_file(path, input);
  return path;
}

// open_read, then every frame (read_frame_at) and the tail. Oracles: peek_headers agrees with the
// opened container; reads of listed frames never fail for a reason other than the frame's own
// bytes, and never return bytes whose listed checksum fails; the tail splits into whole records;
// the file is never written.
void check_open_read(const Bytes& input) {
  const std::string path = copy_of("r.drelix", input);
  auto peeked = peek_headers(path);
  auto c = Container::open_read(path);
  if (c) {
    FUZZ_CHECK(peeked && peeked->preamble == c->preamble() &&
                   peeked->headers.pairs() == c->headers().pairs(),
               "peek_headers and open_read disagree: " + outcome(peeked));
    FUZZ_CHECK(!c->writable() && c->data_end() == input.size(), "read-only container state");
    for (std::uint64_t i = 0; fuzz::within_budget(c->frames()) && i < c->frames().size(); ++i) {
      const Frame& f = c->frames()[i];
      auto content = c->read_frame_at(i);
      // The open checked that every frame lies inside the file, so only decoding can fail.
      FUZZ_CHECK(content ? f.hash == 0 || xxh64(ByteView(input).subspan(c->data_start() + f.offset,
                                                                        f.len)) == f.hash
                         : content.error().kind() == Error::Kind::Compression ||
                               content.error().kind() == Error::Kind::Malformed,
                 "frame " + std::to_string(f.id) + ": " + outcome(content));
    }
    auto tail = c->read_tail();
    FUZZ_CHECK(tail && split_records(*tail, c->schema().layout).torn == 0, outcome(tail));
    FUZZ_CHECK(!c->append_record(ByteView()), "read-only container appended");
  } else {
    FUZZ_CHECK(c.error().kind() != Error::Kind::ZoneFull, outcome(c));
  }
  FUZZ_CHECK(fuzz::get_file(path) == input && !fuzz::get_file(journal_path(path)),
             "open_read wrote the file or a journal");
}

// validate reads every frame and the tail, writes nothing, and keeps to its report limits.
void check_validate(const Bytes& input) {
  const std::string path = copy_of("v.drelix", input);
  if (auto peeked = peek_headers(path)) {
    auto frames = parse_frames(peeked->headers.get("_frames").value_or(""));
    if (frames && !fuzz::within_budget(*frames)) return;
  }
  auto report = validate(path);
  FUZZ_CHECK(fuzz::get_file(path) == input, "validate wrote the file");
  if (!report) return;
  FUZZ_CHECK(report->problems.size() <= kMaxProblems, "too many problem lines");
  for (const std::string& p : report->problems) FUZZ_CHECK(!p.empty(), "empty problem line");
}

// The rebuild scan (rebuild_headers with fix=false). Oracles: the file is not written, at most the
// three derived headers differ, nothing is "fixed". When a fix succeeds it reports what the scan
// reported, and a second scan finds nothing to fix.
void check_rebuild(const Bytes& input) {
  const std::string path = copy_of("b.drelix", input);
  auto report = rebuild_headers(path, false);
  FUZZ_CHECK(fuzz::get_file(path) == input && !fuzz::get_file(journal_path(path)),
             "rebuild without fix wrote the file or a journal");
  if (!report) return;
  FUZZ_CHECK(!report->fixed && report->differences.size() <= 3, "report shape");
  auto fixed = rebuild_headers(path, true);
  if (!fixed) return;  // e.g. the derived headers do not fit the zone
  FUZZ_CHECK(
      fixed->differences == report->differences && fixed->fixed == !report->differences.empty(),
      "fix and no-fix scans disagree");
  auto again = rebuild_headers(path, false);
  FUZZ_CHECK(again && again->differences.empty(), "a rebuilt file still differs");
}

// open_append, then one append and a frame close. Oracle: a close never changes the bytes of a
// frame the file listed when it was opened (the close writes at the tail start, so a list whose
// frames reach past it must have been refused).
void check_close(const Bytes& input) {
  const std::string path = copy_of("c.drelix", input);
  auto c = Container::open_append(path);
  if (!c) return;
  // What the listed frames held once the file was open (the open may have cut a torn tail, but
  // never inside a listed frame).
  const std::vector<Frame> listed = c->frames();
  const Bytes before = fuzz::get_file(path).value();
  const RecordLayout layout = c->schema().layout;
  if (layout.is_fixed() && layout.size() > 4096) return;  // keep each run small
  const std::size_t size = input.size();
  if (!c->append_record(Bytes(layout.is_fixed() ? layout.size() : size % 7, 0x5A))) return;
  const Status closed = c->close_frame(size, size % 2 == 0 ? 0 : 1);
  const Bytes after = fuzz::get_file(path).value();
  for (const Frame& f : listed) {
    const std::uint64_t at = c->data_start() + f.offset;
    FUZZ_CHECK(at + f.len <= after.size() &&
                   std::equal(before.begin() + at, before.begin() + at + f.len, after.begin() + at),
               "a close changed frame " + std::to_string(f.id) + ": " + outcome(closed));
  }
}

// The data file every replay starts from: a preamble declaring a 32-byte zone, then a few hundred
// bytes standing for the zone and the data.
constexpr std::uint64_t kZone = 32;

Bytes initial_data() {
  Bytes b = {'D', 'R', 'E', 'L', 'I', 'X', 1, 1, kZone, 0, 0, 0};
  for (std::size_t i = b.size(); i < 300; ++i) b.push_back(static_cast<std::uint8_t>(i * 31 + 7));
  return b;
}

struct Parsed {
  std::uint64_t offset;
  ByteView zone, frame;
};

// The journal format, read without the engine's code; nothing for a journal that is invalid or
// was written for another file (a zone of another size, an offset outside the data).
std::optional<Parsed> read_journal(ByteView j, std::uint64_t file_len) {
  if (j.size() < 38 || std::memcmp(j.data(), "DJRNL2", 6) != 0) return std::nullopt;
  const std::uint64_t p = load_u64le(j.data() + 6), z = load_u64le(j.data() + 30);
  const ByteView payload = j.subspan(22);
  if (p != payload.size() || fnv1a64(payload) != load_u64le(j.data() + 14)) return std::nullopt;
  if (z > p - 16 || p - 16 - z == 0) return std::nullopt;
  const Parsed parsed{load_u64le(payload.data()), payload.subspan(16, z), payload.subspan(16 + z)};
  if (z != kZone || parsed.offset < 16 + kZone || parsed.offset > file_len) return std::nullopt;
  return parsed;
}

// replay_journal. Each run writes a small data file (one of two) and the input as its ".seal",
// then replays. Oracles, checked against an independent reading of the journal format: an invalid
// journal (or one that does not fit the data file) is deleted and the data file is untouched; a
// valid one is spliced exactly (frame at offset, cut after it, zone at 16) and deleted; replay
// fails only when the splice itself cannot be done, and then keeps the journal.
void check_replay(ByteView input) {
  static const Bytes full = initial_data();
  // An input whose length is a multiple of 7 meets a data file too short for a preamble, which
  // no journal fits (the seed "journal_short_data_file" is one).
  const Bytes initial(full.begin(), full.begin() + (input.size() % 7 == 0 ? 15 : full.size()));
  const std::string path = fuzz::scratch_dir() + "/j.drelix", jpath = journal_path(path);
  fuzz::put_file(path, initial);
  fuzz::put_file(jpath, input);
  const std::optional<Parsed> parsed = read_journal(input, initial.size());
  auto replayed = replay_journal(path);
  const bool journal_left = fuzz::get_file(jpath).has_value();
  if (!parsed) {
    return FUZZ_CHECK(replayed && !journal_left && fuzz::get_file(path) == initial,
                      "an invalid journal was replayed or kept: " + outcome(replayed));
  }
  if (!replayed) {
    // Only a splice that the file system refuses (an offset past what it can hold) fails.
    FUZZ_CHECK(replayed.error().kind() == Error::Kind::Io && journal_left, outcome(replayed));
    (void)env().unlink(jpath);
    return;
  }
  FUZZ_CHECK(!journal_left, "replayed journal not deleted");
  // The model: the initial bytes, the frame at its offset and the file cut after it, the zone at
  // 16 (the offset is at least 16 + kZone). A file grown past 1 MiB is checked up to its zone.
  const std::uint64_t frame_end = parsed->offset + parsed->frame.size();  // replay succeeded
  auto file = env().open_read(path);
  FUZZ_CHECK(file && (*file)->length() == frame_end, "spliced file has the wrong length");
  const bool whole = frame_end <= (1 << 20);
  Bytes want = initial;
  want.resize(whole ? frame_end : 16 + kZone, 0);
  if (whole) std::copy(parsed->frame.begin(), parsed->frame.end(), want.begin() + parsed->offset);
  std::copy(parsed->zone.begin(), parsed->zone.end(), want.begin() + 16);
  Bytes got(want.size());
  FUZZ_CHECK((*file)->read_exact_at(0, got) && got == want, "spliced file differs from the model");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Bytes input(data, data + size);
  check_open_read(input);
  check_validate(input);
  check_rebuild(input);
  check_close(input);
  check_replay(input);
  return 0;
}
