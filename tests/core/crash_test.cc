// Every operation that changes a file must survive a crash at any of its steps and a power loss
// after any of them: create, append and flush, frame close and seal, bulk writes, header
// rewrites, the recovery open_append performs itself, header rebuild and repack.
//
// Each case runs its operation once to count the steps, then for every step n (and for no
// crash): crash there, and check what the next writer finds (1) as the disk stands, (2) after a
// power loss keeping each enumerated subset of the unsynced changes, (3) after a second crash at
// every step of the recovery itself, and a power loss on top of that. The file must open, be
// wholly before or wholly after the operation, hold every record that was durable before it, in
// order, read back frame by frame, and validate clean. The one thing tolerated is the format's
// limit: records written but never synced may be lost, and a power loss that keeps a later write
// but not an earlier one brings the earlier bytes back as zeros in the tail.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "core/bulk_write.h"
#include "core/container.h"
#include "core/frames.h"
#include "core/headers.h"
#include "core/journal.h"
#include "core/maintenance.h"
#include "core/numbers.h"
#include "core/preamble.h"
#include "core/schema.h"
#include "core/str_cat.h"
#include "tests/core/sim_env.h"
#include "tests/core/test_util.h"

namespace drelix {
namespace {

using test::all_records;

const std::string kPath = "/sim/ops.drelix";
constexpr std::uint32_t kZone = 4096;
constexpr std::size_t kRecordsPerFrame = 4;
// The level of the frames a case starts with: not the default 3, so that a repack at 3 changes
// every frame.
constexpr std::int32_t kFrameLevel = 1;

enum class Op {
  Create,
  Append,
  FlushHeaders,
  SetUserHeader,
  Close,
  Seal,
  Recover,
  Rebuild,
  Repack,
  BulkWrite
};

struct OpsCase {
  std::string name;
  Op op;
  bool prefixed = false;
  int frames = 0;            // frames closed at kFrameLevel before the operation
  std::size_t durable = 0;   // tail records flushed and synced before the operation
  std::size_t pending = 0;   // tail records flushed but never synced before the operation
  std::size_t added = 0;     // records the operation appends (Append, FlushHeaders, SetUserHeader,
                             // BulkWrite; Close and Seal: left in the closing writer's buffer)
  int flushes = 1;           // flush_data calls the added records are spread over
  std::string key = "note";  // SetUserHeader
  std::int32_t level = 3;    // Repack, Close, Seal
  std::int32_t frame_level = kFrameLevel;  // the frames the case starts with
  std::uint32_t zone = kZone;              // Repack: the new zone size
  std::size_t torn = 0;       // Recover: bytes of a record cut short at the end of the file
  bool journal = false;       // Recover: the durable journal of a close that died before splicing
  std::size_t tear_size = 0;  // 0: whole writes survive or vanish whole
  bool deep = true;           // crash the recovery after each power loss of the first crash, too
};

void PrintTo(const OpsCase& c, std::ostream* os) {
  *os << c.name;
}

// Record bodies with some variety, so that frames are not trivially compressible; prefixed
// ones of 0 to 12 bytes, empty ones included.
Bytes record(bool prefixed, std::size_t i) {
  if (!prefixed) {
    Bytes r(8);
    store_u64le(r.data(), (i + 1) * 0x9E3779B97F4A7C15ULL);
    return r;
  }
  Bytes r(i % 13);
  for (std::size_t j = 0; j < r.size(); ++j) r[j] = static_cast<std::uint8_t>(i * 7 + j + 1);
  return r;
}

Bytes on_disk(bool prefixed, const Bytes& body) {
  Bytes out;
  if (prefixed) {
    out.resize(2);
    store_u16le(out.data(), static_cast<std::uint16_t>(body.size()));
  }
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

Schema schema_for(bool prefixed) {
  return Schema{.name = "ops@1",
                .fields = {{"n", "u64", 0}},
                .layout = prefixed ? RecordLayout::prefixed() : RecordLayout::fixed(8)};
}

Result<Container> create_file(bool prefixed) {
  return Container::create(kPath, schema_for(prefixed), "ops crash test", "sim", 0, kZone,
                           {{"owner", "sim"}});
}

// What a case starts from and what its operation may leave.
struct World {
  SimEnv::State start;
  Bytes base;                  // the durable image before the operation (pending records not in)
  std::vector<Bytes> records;  // the records of `base`, in order
  Bytes fresh;  // bytes the tail may gain, in order: the pending records, then the added ones
  std::size_t pending_bytes = 0;    // the pending records' share of `fresh`
  std::optional<Bytes> before;      // the live image at the start (nothing before a create)
  Bytes after;                      // the image the operation leaves when nothing goes wrong
  std::vector<SimEnv::Step> trace;  // the steps of that run
  // Close, Seal: every image recovery may leave, with the records it must then hold.
  std::vector<std::pair<Bytes, std::vector<Bytes>>> allowed;
};

std::size_t first_added(const OpsCase& c) {
  return static_cast<std::size_t>(c.frames) * kRecordsPerFrame + c.durable + c.pending;
}

Status append_range(Container& k, const OpsCase& c, std::size_t from, std::size_t n) {
  for (std::size_t i = from; i < from + n; ++i) DRELIX_TRY(k.append_record(record(c.prefixed, i)));
  return {};
}

// The operation under test with the crash armed at step `crash_at` (0: none). Whatever the
// operation needs opened first is opened before the steps are counted.
Status run_op(SimEnv& sim, const OpsCase& c, std::uint64_t crash_at) {
  auto arm = [&] {
    sim.reset();
    sim.crash_at(crash_at);
  };
  switch (c.op) {
    case Op::Create: {
      arm();
      auto created = create_file(c.prefixed);
      return created ? Status{} : fail(std::move(created).error());
    }
    case Op::Append:
    case Op::FlushHeaders:
    case Op::SetUserHeader: {
      auto opened = Container::open_append(kPath);
      if (!opened) return fail(std::move(opened).error());
      Container k = std::move(*opened);
      arm();
      const std::size_t per_flush = (c.added + c.flushes - 1) / c.flushes;
      for (std::size_t done = 0; done < c.added; done += per_flush) {
        DRELIX_TRY(append_range(k, c, first_added(c) + done, std::min(per_flush, c.added - done)));
        DRELIX_TRY(k.flush_data());
      }
      if (c.op == Op::FlushHeaders) return k.flush_headers();
      if (c.op == Op::SetUserHeader) return k.set_user_header(c.key, "after");
      return {};
    }
    case Op::Close:
    case Op::Seal: {
      auto opened = Container::open_append(kPath);
      if (!opened) return fail(std::move(opened).error());
      Container k = std::move(*opened);
      DRELIX_TRY(append_range(k, c, first_added(c), c.added));
      arm();
      return c.op == Op::Seal ? k.seal(7, c.level) : k.close_frame(7, c.level);
    }
    case Op::Recover: {
      arm();
      auto opened = Container::open_append(kPath);
      return opened ? Status{} : fail(std::move(opened).error());
    }
    case Op::Rebuild: {
      arm();
      auto rebuilt = rebuild_headers(kPath, true);
      if (!rebuilt) return fail(std::move(rebuilt).error());
      if (!rebuilt->fixed) return fail(Error::usage("rebuild found nothing to fix"));
      return {};
    }
    case Op::BulkWrite: {
      auto opened = Container::open_append(kPath);
      if (!opened) return fail(std::move(opened).error());
      Container k = std::move(*opened);
      std::vector<Bytes> bodies;
      Bytes joined;
      for (std::size_t i = 0; i < c.added; ++i) {
        bodies.push_back(record(c.prefixed, first_added(c) + i));
        joined.insert(joined.end(), bodies.back().begin(), bodies.back().end());
      }
      const std::vector<ByteView> views(bodies.begin(), bodies.end());
      // Several frames, one journal: the whole write is one splice.
      const BulkOptions options{.frame_records = 3, .level = 3, .threads = 2};
      const std::uint64_t first_id = static_cast<std::uint64_t>(c.frames);
      arm();
      auto written = c.prefixed ? bulk_write_bodies(k, views, first_id, options)
                                : bulk_write_fixed(k, joined, first_id, options);
      return written ? Status{} : fail(std::move(written).error());
    }
    case Op::Repack: {
      arm();
      auto packed = c.zone == kZone ? repack(kPath, c.level)
                                    : repack_with_header_area(kPath, c.level, c.zone);
      return packed ? Status{} : fail(std::move(packed).error());
    }
  }
  return {};
}

// Rewrites the zone of the simulated file, durably, behind the engine's back.
void edit_zone(SimEnv& sim, const std::function<void(Headers&)>& edit) {
  Bytes all = *sim.contents(kPath);
  auto headers = Headers::parse(ByteView(all).subspan(kPreambleSize, kZone));
  ASSERT_TRUE(headers.has_value());
  edit(*headers);
  auto zone = headers->render(kZone);
  ASSERT_TRUE(zone.has_value());
  std::copy(zone->begin(), zone->end(), all.begin() + kPreambleSize);
  sim.put(kPath, all);
}

// Leaves the durable journal of a close of the tail that died just before touching the file.
void leave_journal(SimEnv& sim) {
  const SimEnv::State here = sim.snapshot();
  auto close_until = [&](std::uint64_t crash_at) {
    auto opened = Container::open_append(kPath);
    ASSERT_TRUE(opened.has_value());
    sim.reset();
    sim.crash_at(crash_at);
    (void)opened->close_frame(9, 3);
  };
  close_until(0);
  std::uint64_t splice = 0;
  for (std::size_t i = 0; i < sim.trace().size() && splice == 0; ++i) {
    const SimEnv::Step& s = sim.trace()[i];
    if (s.op == SimEnv::Op::Write && s.path == kPath) splice = i + 1;
  }
  ASSERT_NE(splice, 0u);
  sim.restore(here);
  close_until(splice);
  sim.restart();
  ASSERT_TRUE(sim.exists(journal_path(kPath)));
  sim.make_durable();
}

// A close leaves the file before it, with a whole prefix of the buffered records written (torn
// ones are cut off by open_append), or after it; a seal may also stop after its close.
void allow_close_states(SimEnv& sim, const OpsCase& c, World& w) {
  Bytes image = w.base;
  std::vector<Bytes> records = w.records;
  w.allowed.emplace_back(image, records);
  for (std::size_t i = 0; i < c.added; ++i) {
    records.push_back(record(c.prefixed, first_added(c) + i));
    const Bytes disk = on_disk(c.prefixed, records.back());
    image.insert(image.end(), disk.begin(), disk.end());
    w.allowed.emplace_back(image, records);
  }
  w.allowed.emplace_back(w.after, records);
  if (c.op == Op::Seal) {
    OpsCase close = c;
    close.op = Op::Close;
    EXPECT_TRUE(run_op(sim, close, 0));
    w.allowed.emplace_back(*sim.contents(kPath), records);
    sim.restore(w.start);
  }
}

World build_world(SimEnv& sim, const OpsCase& c) {
  World w;
  if (c.op != Op::Create) {
    {
      auto created = create_file(c.prefixed);
      EXPECT_TRUE(created.has_value());
      Container k = std::move(*created);
      std::size_t next = 0;
      for (int f = 0; f < c.frames; ++f) {
        for (std::size_t r = 0; r < kRecordsPerFrame; ++r) {
          w.records.push_back(record(c.prefixed, next++));
          EXPECT_TRUE(k.append_record(w.records.back()));
        }
        EXPECT_TRUE(k.close_frame(static_cast<std::uint64_t>(f), c.frame_level));
      }
      for (std::size_t i = 0; i < c.durable; ++i) {
        w.records.push_back(record(c.prefixed, next++));
        EXPECT_TRUE(k.append_record(w.records.back()));
      }
      EXPECT_TRUE(k.flush_data());
    }
    sim.make_durable();
    if (c.op == Op::FlushHeaders) {
      // A counter spelled with a "+" opens as the same number and is rewritten without it, so
      // the rewrite changes the zone's bytes and a torn or lost one shows.
      edit_zone(sim, [](Headers& h) {
        EXPECT_TRUE(h.set("_records", str_cat("+", h.get("_records").value_or("0"))));
      });
    }
    if (c.op == Op::Rebuild) {
      // The zone as it was before the last close: the last frame's bytes are there, unlisted.
      edit_zone(sim, [&](Headers& h) {
        auto frames = parse_frames(h.get("_frames").value_or(""));
        ASSERT_TRUE(frames.has_value());
        frames->pop_back();
        const std::size_t kept = frames->size() * kRecordsPerFrame;
        std::uint64_t raw = 0;
        for (std::size_t i = 0; i < kept; ++i) raw += on_disk(c.prefixed, w.records[i]).size();
        EXPECT_TRUE(h.set("_frames", render_frames(*frames)));
        EXPECT_TRUE(h.set("_records", to_decimal(kept)));
        EXPECT_TRUE(h.set("_bytes_raw", to_decimal(raw)));
      });
    }
    if (c.journal) leave_journal(sim);
    if (c.torn > 0) {
      Bytes all = *sim.contents(kPath);
      const Bytes cut = on_disk(c.prefixed, record(c.prefixed, 12));  // 14 or 8 bytes
      EXPECT_LT(c.torn, cut.size());
      all.insert(all.end(), cut.begin(), cut.begin() + static_cast<std::ptrdiff_t>(c.torn));
      sim.put(kPath, all);
    }
    w.base = *sim.contents(kPath);
    if (c.pending > 0) {
      auto opened = Container::open_append(kPath);
      EXPECT_TRUE(opened.has_value());
      const std::size_t from = first_added(c) - c.pending;
      EXPECT_TRUE(append_range(*opened, c, from, c.pending));
      EXPECT_TRUE(opened->flush_data());
    }
    w.before = *sim.contents(kPath);
  }
  for (std::size_t i = first_added(c) - c.pending; i < first_added(c) + c.added; ++i) {
    const Bytes disk = on_disk(c.prefixed, record(c.prefixed, i));
    w.fresh.insert(w.fresh.end(), disk.begin(), disk.end());
    if (i < first_added(c)) w.pending_bytes += disk.size();
  }
  w.start = sim.snapshot();

  const Status done = run_op(sim, c, 0);
  EXPECT_TRUE(done.has_value()) << (done ? "" : done.error().to_string());
  w.after = sim.contents(kPath).value_or(Bytes());
  w.trace = sim.trace();
  sim.restore(w.start);
  if (c.op == Op::Close || c.op == Op::Seal) allow_close_states(sim, c, w);
  return w;
}

// Opens the file as the next writer would (or with `recovered` already done) and checks that it
// reads back exactly `want` and validates clean.
std::optional<std::string> read_back(const std::vector<Bytes>& want) {
  {
    auto opened = Container::open_append(kPath);
    if (!opened) return "open_append failed: " + opened.error().to_string();
    auto records = all_records(*opened);
    if (!records) return "reading records failed: " + records.error().to_string();
    if (*records != want) return str_cat("read ", records->size(), " records, want ", want.size());
  }
  auto report = validate(kPath);
  if (!report) return "validate failed: " + report.error().to_string();
  if (!report->problems.empty()) return "validate: " + report->problems.front();
  if (report->records != want.size()) {
    return str_cat("validate counted ", report->records, " records, want ", want.size());
  }
  return std::nullopt;
}

// Where a check stands: the crash point (total + 1 for none) and whether power was lost.
struct Cut {
  std::uint64_t n;
  bool power_lost;
  std::uint64_t total;  // the operation's steps
  bool completed() const { return n > total; }
};

// What the dry run's trace says must have survived a cut at step n: the tail bytes (counted
// from the end of `base`) that a completed sync of the data file hardened, or, without a power
// loss, every byte written before the cut; and whether the zone rewrite was hardened.
struct Hardened {
  std::size_t tail = 0;
  bool zone = false;
};

Hardened hardened(const World& w, const Cut& cut) {
  Hardened h;
  std::uint64_t last_sync = 0;
  for (std::uint64_t i = 1; i < cut.n && i <= w.trace.size(); ++i) {
    const SimEnv::Step& s = w.trace[i - 1];
    if (s.op == SimEnv::Op::Sync && s.path == kPath) last_sync = i;
  }
  const std::uint64_t until =
      cut.power_lost ? last_sync : std::min<std::uint64_t>(cut.n - 1, w.trace.size());
  // The records flushed before the operation began are in the page cache unless power is lost,
  // and durable once a sync of the file completed.
  if (!cut.power_lost || last_sync > 0) h.tail = w.pending_bytes;
  if (until == 0) return h;
  for (std::uint64_t i = 1; i <= until; ++i) {
    const SimEnv::Step& s = w.trace[i - 1];
    if (s.op != SimEnv::Op::Write || s.path != kPath) continue;
    if (s.offset == kPreambleSize) h.zone = true;
    if (s.offset >= w.base.size()) {
      h.tail = std::max<std::size_t>(h.tail, s.offset + s.length - w.base.size());
    }
  }
  return h;
}

// Append, flush_headers, set_user_header: after open_append the file must be `base` (its zone
// possibly rewritten to the one of `after`) plus a tail extension whose every byte is the
// record byte written there, or, after a power loss, zero; at least the hardened bytes exact.
std::optional<std::string> check_tail_op(SimEnv& sim, const OpsCase& c, const World& w,
                                         const Cut& cut) {
  {
    auto opened = Container::open_append(kPath);
    if (!opened) return "open_append failed: " + opened.error().to_string();
  }
  const Bytes file = *sim.contents(kPath);
  const std::size_t zone_end = kPreambleSize + kZone;
  if (file.size() < w.base.size()) {
    return str_cat("the file is ", file.size(), " bytes, shorter than the durable ", w.base.size());
  }
  const ByteView f(file);
  const ByteView base(w.base);
  const ByteView after(w.after);
  if (!std::ranges::equal(f.first(kPreambleSize), base.first(kPreambleSize))) {
    return std::string("the preamble changed");
  }
  const ByteView zone = f.subspan(kPreambleSize, kZone);
  const bool old_zone = std::ranges::equal(zone, base.subspan(kPreambleSize, kZone));
  const bool new_zone = std::ranges::equal(zone, after.subspan(kPreambleSize, kZone));
  Hardened must = hardened(w, cut);
  if (cut.completed() && c.op != Op::Append) {
    // Both header rewrites end in a full sync: once one returns, its zone and every record
    // flushed before it are durable, whatever the steps were.
    must = Hardened{.tail = w.fresh.size(), .zone = true};
  }
  if (!old_zone && !new_zone) return std::string("the zone is neither the old nor the new one");
  if (must.zone && !new_zone) return std::string("a synced zone rewrite was lost");
  if (!std::ranges::equal(f.subspan(zone_end, w.base.size() - zone_end), base.subspan(zone_end))) {
    return std::string("durable frames or tail bytes changed");
  }
  const ByteView extra = f.subspan(w.base.size());
  if (extra.size() > w.fresh.size()) {
    return str_cat("the tail grew by ", extra.size(), " bytes, more than the ", w.fresh.size(),
                   " written");
  }
  for (std::size_t i = 0; i < extra.size(); ++i) {
    const bool exact = extra[i] == w.fresh[i];
    if (!exact && !(cut.power_lost && extra[i] == 0)) {
      return str_cat("tail byte ", i, " past the durable end is neither written nor lost");
    }
    if (!exact && i < must.tail) return str_cat("synced tail byte ", i, " came back as zero");
  }
  if (extra.size() < must.tail) {
    return str_cat("the tail kept ", extra.size(), " of ", must.tail, " hardened bytes");
  }
  const SplitResult grown = split_records(extra, schema_for(c.prefixed).layout);
  if (grown.torn != 0) return str_cat(grown.torn, " torn bytes survived open_append");
  std::vector<Bytes> want = w.records;
  for (ByteView r : grown.records) want.emplace_back(r.begin(), r.end());
  return read_back(want);
}

// Recover: whatever was interrupted, the next open_append ends where an uninterrupted one does.
std::optional<std::string> check_recover(SimEnv& sim, const World& w) {
  {
    auto opened = Container::open_append(kPath);
    if (!opened) return "open_append failed: " + opened.error().to_string();
  }
  if (sim.exists(journal_path(kPath))) return std::string("the journal is still there");
  if (*sim.contents(kPath) != w.after) return std::string("the file is not the recovered one");
  return read_back(w.records);
}

// Close, seal: once the next writer has recovered, the file is one of the allowed images and
// holds that image's records.
std::optional<std::string> check_close(SimEnv& sim, const World& w) {
  {
    auto opened = Container::open_append(kPath);
    if (!opened) return "open_append failed: " + opened.error().to_string();
  }
  if (sim.exists(journal_path(kPath))) return std::string("the journal is still there");
  const Bytes file = *sim.contents(kPath);
  for (const auto& [image, records] : w.allowed) {
    if (image == file) return read_back(records);
  }
  return str_cat("the file (", file.size(), " bytes) is in none of the allowed states");
}

// Bulk write: once the next writer has recovered, the file is the one before or the one after,
// byte for byte (a completed write always the one after), with no journal left.
std::optional<std::string> check_bulk(SimEnv& sim, const OpsCase& c, const World& w,
                                      const Cut& cut) {
  {
    auto opened = Container::open_append(kPath);
    if (!opened) return "open_append failed: " + opened.error().to_string();
  }
  if (sim.exists(journal_path(kPath))) return std::string("the journal is still there");
  const Bytes file = *sim.contents(kPath);
  std::vector<Bytes> want = w.records;
  if (file == w.after) {
    for (std::size_t i = 0; i < c.added; ++i)
      want.push_back(record(c.prefixed, first_added(c) + i));
  } else if (cut.completed()) {
    return std::string("the completed bulk write did not survive");
  } else if (file != w.base) {
    return str_cat("the file (", file.size(), " bytes) is neither the old nor the new one");
  }
  return read_back(want);
}

struct Tally {
  std::uint64_t crash_points = 0;
  std::uint64_t loss_states = 0;
  std::uint64_t recovery_crashes = 0;
  std::uint64_t partial_creates = 0;
  std::vector<std::string> failures;
};

// Create, rebuild, repack: the path names the old file (nothing, for a create) or the new one,
// byte for byte, before anyone recovers anything.
std::optional<std::string> check_image_op(SimEnv& sim, const OpsCase& c, const World& w,
                                          const Cut& cut, Tally& tally) {
  const std::optional<Bytes> live = sim.contents(kPath);
  // Each of these ends in a full sync of the file and of its directory: once it returns, no
  // power loss takes it back.
  if (cut.completed() && live != std::optional<Bytes>(w.after)) {
    return std::string("the completed operation did not survive");
  }
  if (c.op == Op::Create) {
    if (!live) return std::nullopt;
    if (*live != w.after) {
      // A create writes in place: one that dies before its sync leaves a file that lacks its
      // preamble or its zone. No open may take such a file for a drelix file.
      if (Container::open_read(kPath).has_value() || Container::open_append(kPath).has_value()) {
        return str_cat("a partial file of ", live->size(), " bytes opened");
      }
      ++tally.partial_creates;
      return std::nullopt;
    }
  } else if (!live) {
    return std::string("the file is gone");
  } else if (*live == w.before) {
    if (c.op == Op::Rebuild) {
      // Still the damaged zone: running the rebuild again must finish the job.
      if (auto again = rebuild_headers(kPath, true); !again || !again->fixed) {
        return std::string("a second rebuild did not fix the file");
      }
      if (*sim.contents(kPath) != w.after) return std::string("a second rebuild differs");
    }
  } else if (*live != w.after) {
    return str_cat("the file (", live->size(), " bytes) is neither the old nor the new one");
  }
  if (sim.exists(journal_path(kPath))) return std::string("a journal appeared");
  return read_back(w.records);
}

std::optional<std::string> check(SimEnv& sim, const OpsCase& c, const World& w, const Cut& cut,
                                 Tally& tally) {
  switch (c.op) {
    case Op::Append:
    case Op::FlushHeaders:
    case Op::SetUserHeader:
      return check_tail_op(sim, c, w, cut);
    case Op::Close:
    case Op::Seal:
      return check_close(sim, w);
    case Op::Recover:
      return check_recover(sim, w);
    case Op::BulkWrite:
      return check_bulk(sim, c, w, cut);
    case Op::Create:
    case Op::Rebuild:
    case Op::Repack:
      return check_image_op(sim, c, w, cut, tally);
  }
  return std::nullopt;
}

void record_check(SimEnv& sim, const OpsCase& c, const World& w, const Cut& cut,
                  const std::string& where, Tally& tally) {
  if (auto wrong = check(sim, c, w, cut, tally)) {
    if (tally.failures.size() < 8) tally.failures.push_back(where + ": " + *wrong);
  }
}

// Crashes the recovery of the disk as it stands at each of its steps; the next recovery must
// still succeed. Used after a power loss, whose torn records give open_append work of its own.
void crash_recovery(SimEnv& sim, const OpsCase& c, const World& w, const Cut& cut,
                    const std::string& where, Tally& tally) {
  const SimEnv::State here = sim.snapshot();
  sim.reset();
  (void)Container::open_append(kPath);
  const std::uint64_t steps = sim.steps();
  for (std::uint64_t m = 1; m <= steps; ++m) {
    sim.restore(here);
    sim.reset();
    sim.crash_at(m);
    (void)Container::open_append(kPath);
    const std::string again = str_cat(where, ", then recovery crash at ", sim.describe(m));
    sim.restart();
    ++tally.recovery_crashes;
    record_check(sim, c, w, cut, again, tally);
  }
}

// Every power loss the pending changes allow, each checked from `crashed`; with `deeper`, the
// recovery after each loss is crashed at each of its steps too.
void explore_losses(SimEnv& sim, const OpsCase& c, const World& w, const SimEnv::State& crashed,
                    std::uint64_t n, const std::string& where, bool deeper, Tally& tally) {
  sim.restore(crashed);
  const auto choices = SimEnv::loss_choices(sim.pending_count());
  for (std::size_t i = 0; i < choices.size(); ++i) {
    sim.restore(crashed);
    sim.power_loss(choices[i]);
    ++tally.loss_states;
    const std::string lost = str_cat(where, ", power loss #", i);
    if (deeper) {
      const SimEnv::State after_loss = sim.snapshot();
      crash_recovery(sim, c, w, Cut{n, true, w.trace.size()}, lost, tally);
      sim.restore(after_loss);
    }
    record_check(sim, c, w, Cut{n, true, w.trace.size()}, lost, tally);
  }
}

void explore(const OpsCase& c) {
  SimEnv sim;
  ScopedEnv installed(sim);
  const World w = build_world(sim, c);
  ASSERT_FALSE(::testing::Test::HasFailure());
  sim.set_tear_size(c.tear_size);
  const std::uint64_t total = w.trace.size();
  ASSERT_GE(total, 1u);
  // The case must really change the file, or "before" and "after" would be one state.
  ASSERT_FALSE(std::optional<Bytes>(w.after) == w.before) << c.name << " changes nothing";

  Tally tally;
  for (std::uint64_t n = 1; n <= total + 1; ++n) {
    sim.restore(w.start);
    (void)run_op(sim, c, n <= total ? n : 0);
    const std::string cut =
        n <= total ? str_cat("crash at ", sim.describe(n)) : std::string("no crash");
    sim.restart();
    ++tally.crash_points;
    const SimEnv::State crashed = sim.snapshot();

    record_check(sim, c, w, Cut{n, false, w.trace.size()}, cut, tally);
    explore_losses(sim, c, w, crashed, n, cut, c.deep, tally);

    // A second crash during recovery, at each of its steps.
    sim.restore(crashed);
    sim.reset();
    (void)Container::open_append(kPath);
    const std::uint64_t recovery_steps = sim.steps();
    for (std::uint64_t m = 1; m <= recovery_steps; ++m) {
      sim.restore(crashed);
      sim.reset();
      sim.crash_at(m);
      (void)Container::open_append(kPath);
      const std::string again = str_cat(cut, ", then recovery crash at ", sim.describe(m));
      sim.restart();
      ++tally.recovery_crashes;
      const SimEnv::State twice = sim.snapshot();
      record_check(sim, c, w, Cut{n, false, w.trace.size()}, again, tally);
      explore_losses(sim, c, w, twice, n, again, /*deeper=*/false, tally);
    }
  }

  std::printf(
      "[ crash    ] %s: %llu steps, %llu crash points, %llu power-loss states, "
      "%llu recovery crashes, %llu partial creates\n",
      c.name.c_str(), static_cast<unsigned long long>(total),
      static_cast<unsigned long long>(tally.crash_points),
      static_cast<unsigned long long>(tally.loss_states),
      static_cast<unsigned long long>(tally.recovery_crashes),
      static_cast<unsigned long long>(tally.partial_creates));
  ::testing::Test::RecordProperty("crash_points", static_cast<int>(tally.crash_points));
  ::testing::Test::RecordProperty("power_loss_states", static_cast<int>(tally.loss_states));
  for (const std::string& f : tally.failures) ADD_FAILURE() << f;
}

class OpsCrashTest : public ::testing::TestWithParam<OpsCase> {};

TEST_P(OpsCrashTest, RecoversWhollyBeforeOrAfterAtEveryCut) {
  explore(GetParam());
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Cases, OpsCrashTest,
    ::testing::Values(
        OpsCase{.name = "create_fixed", .op = Op::Create},
        OpsCase{.name = "create_prefixed", .op = Op::Create, .prefixed = true},
        OpsCase{.name = "append_three_flushes_fixed", .op = Op::Append, .frames = 1,
                .durable = 3, .added = 6, .flushes = 3},
        OpsCase{.name = "append_after_unsynced_prefixed", .op = Op::Append, .prefixed = true,
                .durable = 2, .pending = 4, .added = 5, .flushes = 2},
        OpsCase{.name = "append_torn_512_byte_writes_prefixed", .op = Op::Append,
                .prefixed = true, .frames = 1, .durable = 60, .added = 300, .flushes = 2,
                .tear_size = 512},
        OpsCase{.name = "flush_headers_hardens_unsynced_fixed", .op = Op::FlushHeaders,
                .frames = 2, .durable = 2, .pending = 3, .added = 4, .flushes = 2},
        OpsCase{.name = "flush_headers_torn_512_byte_writes_fixed", .op = Op::FlushHeaders,
                .frames = 1, .durable = 10, .pending = 70, .added = 70, .tear_size = 512},
        OpsCase{.name = "set_user_header_new_key_fixed", .op = Op::SetUserHeader, .frames = 1,
                .durable = 2, .pending = 2, .added = 2},
        OpsCase{.name = "set_user_header_replaced_key_prefixed", .op = Op::SetUserHeader,
                .prefixed = true, .durable = 3, .pending = 1, .added = 3, .flushes = 3,
                .key = "owner"},
        OpsCase{.name = "close_first_frame_fixed_level3", .op = Op::Close, .durable = 5,
                .level = 3, .frame_level = 3, .deep = false},
        OpsCase{.name = "close_second_frame_prefixed_level0", .op = Op::Close, .prefixed = true,
                .frames = 1, .durable = 6, .level = 0, .frame_level = 3, .deep = false},
        OpsCase{.name = "close_third_frame_fixed_level19", .op = Op::Close, .frames = 2,
                .durable = 3, .level = 19, .frame_level = 3, .deep = false},
        OpsCase{.name = "close_buffered_records_fixed_level1", .op = Op::Close, .frames = 1,
                .durable = 3, .added = 2, .level = 1, .frame_level = 3, .deep = false},
        OpsCase{.name = "seal_prefixed_level3", .op = Op::Seal, .prefixed = true, .frames = 1,
                .durable = 4, .level = 3, .frame_level = 3, .deep = false},
        OpsCase{.name = "close_torn_512_byte_writes_fixed_level0", .op = Op::Close, .frames = 1,
                .durable = 200, .level = 0, .frame_level = 3, .tear_size = 512, .deep = false},
        OpsCase{.name = "close_torn_512_byte_writes_prefixed_level3", .op = Op::Close,
                .prefixed = true, .durable = 150, .added = 3, .level = 3, .frame_level = 3,
                .tear_size = 512, .deep = false},
        OpsCase{.name = "recover_torn_record_fixed", .op = Op::Recover, .frames = 1,
                .durable = 3, .torn = 5},
        OpsCase{.name = "recover_torn_record_prefixed", .op = Op::Recover, .prefixed = true,
                .durable = 4, .torn = 9},
        OpsCase{.name = "recover_journal_fixed", .op = Op::Recover, .frames = 1, .durable = 5,
                .journal = true},
        OpsCase{.name = "recover_journal_and_torn_record_prefixed", .op = Op::Recover,
                .prefixed = true, .durable = 6, .torn = 3, .journal = true},
        OpsCase{.name = "rebuild_lost_last_frame_fixed", .op = Op::Rebuild, .frames = 2,
                .durable = 3},
        OpsCase{.name = "rebuild_lost_last_frame_prefixed", .op = Op::Rebuild, .prefixed = true,
                .frames = 3},
        OpsCase{.name = "repack_level3_same_zone_fixed", .op = Op::Repack, .frames = 2,
                .durable = 3, .level = 3},
        OpsCase{.name = "repack_level0_same_zone_prefixed", .op = Op::Repack, .prefixed = true,
                .frames = 2, .durable = 5, .level = 0},
        OpsCase{.name = "repack_level3_larger_zone_prefixed", .op = Op::Repack,
                .prefixed = true, .frames = 1, .durable = 4, .level = 3, .zone = 8192},
        OpsCase{.name = "repack_level0_larger_zone_fixed", .op = Op::Repack, .frames = 3,
                .level = 0, .zone = 16384},
        OpsCase{.name = "bulk_write_four_frames_fixed", .op = Op::BulkWrite, .frames = 1,
                .added = 10},
        OpsCase{.name = "bulk_write_four_frames_prefixed", .op = Op::BulkWrite,
                .prefixed = true, .added = 10}),
    [](const auto& info) { return info.param.name; });
// clang-format on

// The rebuild cases start from a file whose zone lost its last frame; the rebuild must bring
// back exactly the zone the close had written, or "after" would be a state of its own.
TEST(OpsCrashScenario, RebuildRestoresTheZoneTheLastCloseWrote) {
  for (const bool prefixed : {false, true}) {
    Bytes original;
    {
      SimEnv sim;
      ScopedEnv installed(sim);
      auto created = create_file(prefixed);
      ASSERT_TRUE(created.has_value());
      for (std::uint64_t f = 0; f < 2; ++f) {
        for (std::size_t i = 0; i < kRecordsPerFrame; ++i) {
          ASSERT_TRUE(created->append_record(record(prefixed, f * kRecordsPerFrame + i)));
        }
        ASSERT_TRUE(created->close_frame(f, kFrameLevel));
      }
      original = *sim.contents(kPath);
    }
    SimEnv sim;
    ScopedEnv installed(sim);
    const World w = build_world(
        sim, OpsCase{.name = "rebuild", .op = Op::Rebuild, .prefixed = prefixed, .frames = 2});
    ASSERT_TRUE(w.before.has_value());
    EXPECT_FALSE(*w.before == original) << "the damaged zone must differ";
    EXPECT_TRUE(w.after == original) << (prefixed ? "prefixed" : "fixed");
  }
}

// A close dies after writing its journal but before syncing it; the next opener finds the
// journal intact in the cache and starts splicing it; power is lost. Had the replay not made the
// journal durable before touching the data file, the journal would be gone while the frame
// write over the tail survived, and durable tail records would read back as frame bytes.
TEST(CloseFrameCrashScenario, ReplayMakesTheJournalDurableBeforeSplicing) {
  const OpsCase c{.name = "close", .op = Op::Close, .durable = 5, .frame_level = 3};
  SimEnv sim;
  ScopedEnv installed(sim);
  const World w = build_world(sim, c);
  ASSERT_EQ(w.records.size(), 5u);

  // 1. The close creates and writes its journal (its head, then the frame), then dies at the
  //    journal's sync.
  ASSERT_FALSE(run_op(sim, c, 4).has_value());
  ASSERT_EQ(sim.describe(4), "step 4: sync /sim/ops.drelix.seal");
  sim.restart();

  // 2. The next open_append finds the journal valid in the cache and replays it: it syncs the
  //    journal and its directory (steps 1 and 2), writes the frame over the tail start (step 3)
  //    and dies at the cut (step 4).
  sim.reset();
  sim.crash_at(4);
  ASSERT_FALSE(Container::open_append(kPath).has_value());
  ASSERT_TRUE(sim.describe(3).starts_with("step 3: write /sim/ops.drelix at 4112,"))
      << sim.describe(3);
  sim.restart();

  // 3. Power loss that keeps the frame write: the journal is durable now, so it survives too.
  ASSERT_EQ(sim.pending_count(), 1u);  // the frame write
  sim.power_loss({true});

  // 4. The journal completes the close, and every durable record is there.
  auto opened = Container::open_append(kPath);
  ASSERT_TRUE(opened.has_value()) << opened.error().to_string();
  EXPECT_EQ(opened->frames().size(), 1u);
  auto records = all_records(*opened);
  ASSERT_TRUE(records.has_value());
  EXPECT_TRUE(*records == w.records) << "the durable tail records were lost";
}

// The directory sync that makes the journal's deletion durable fails once. Were that ignored, a
// power loss could bring the journal back, and its replay would cut off records appended and
// synced after the close and roll back a later header rewrite; the retry hardens the deletion.
TEST(CloseFrameCrashScenario, AFailedDirectorySyncAfterTheCloseCostsNoLaterRecords) {
  SimEnv sim;
  ScopedEnv installed(sim);
  {
    auto created = create_file(false);
    ASSERT_TRUE(created.has_value());
    Container c = std::move(*created);
    for (std::size_t i = 0; i < 3; ++i) ASSERT_TRUE(c.append_record(record(false, i)));
    ASSERT_TRUE(c.flush_data());
    sim.make_durable();

    // The first directory sync hardens the journal, the second its deletion.
    sim.fail_nth(SimEnv::Op::SyncDir, sim.count(SimEnv::Op::SyncDir) + 2, EIO);
    ASSERT_TRUE(c.close_frame(1, 3));
    ASSERT_TRUE(sim.exists(kPath));
    ASSERT_FALSE(sim.exists(journal_path(kPath)));

    for (std::size_t i = 3; i < 5; ++i) ASSERT_TRUE(c.append_record(record(false, i)));
    ASSERT_TRUE(c.flush_data());
    // Rewrites the zone and synchronises the file: the two records are durable now.
    ASSERT_TRUE(c.set_user_header("note", "kept"));
  }
  ASSERT_EQ(sim.pending_count(), 0u);  // the retried directory sync hardened the deletion
  sim.power_loss({});

  auto opened = Container::open_append(kPath);
  ASSERT_TRUE(opened.has_value()) << opened.error().to_string();
  auto records = all_records(*opened);
  ASSERT_TRUE(records.has_value());
  EXPECT_EQ(records->size(), 5u);
  EXPECT_EQ(opened->headers().get("note").value_or("<absent>"), std::string("kept"));
}

}  // namespace
}  // namespace drelix
