// Every operation that changes a file, crashed at each of its steps, then (1) as the disk stands,
// (2) after a power loss keeping each enumerated subset of the unsynced changes, (3) after a
// second crash at each step of the recovery, and a power loss on top of that. The file must open,
// be wholly before or after the operation, hold every record durable before it, in order, read
// back frame by frame and validate clean. Tolerated, as the format's limit: records written but
// never synced may be lost, and a power loss keeping a later write but not an earlier one brings
// the earlier bytes back as zeros in the tail.

#include "core/bulk_write.h"
#include "core/frame_stats.h"
#include "core/frame_read.h"
#include "core/journal.h"
#include "core/tail_read.h"
#include "tests/core/test_util.h"

namespace drelix {
namespace {

const std::string kPath = "/sim/ops.drelix";
constexpr std::uint32_t kZone = 4096;
constexpr std::size_t kPerFrame = 4;

// In groups: the tail operations, then those that leave one of a list of images (these first six
// run on the file opened for appending), then those that replace the whole file.
// clang-format off
enum class Op { Append, FlushHeaders, SetUserHeader, Close, Seal, BulkWrite, Recover, Create, Rebuild, Repack };
// clang-format on

struct OpsCase {
  const char* name;
  Op op;
  bool prefixed = false;
  int frames = 0;                // frames closed at frame_level before the operation
  std::size_t durable = 0;       // tail records flushed and synced before the operation
  std::size_t pending = 0;       // tail records flushed but never synced before the operation
  std::size_t added = 0;         // records the operation appends (Close, Seal: left buffered)
  int flushes = 1;               // flush_data calls the added records are spread over
  const char* key = "note";      // SetUserHeader
  std::int32_t level = 3;        // Repack, Close, Seal
  std::int32_t frame_level = 1;  // not 3, so that a repack at 3 changes every frame
  std::uint32_t zone = kZone;    // Repack: the new zone size
  std::size_t torn = 0;          // Recover: bytes of a record cut short at the end of the file
  bool journal = false;       // Recover: the durable journal of a close that died before splicing
  std::size_t tear_size = 0;  // 0: whole writes survive or vanish whole
  bool deep = true;           // crash the recovery after each power loss of the first crash, too
  bool stats = false;         // the writer keeps statistics of the field n

  std::size_t first_added() const { return frames * kPerFrame + durable + pending; }
  // Records i in [from, from + n), with some variety; prefixed ones of 0 to 12 bytes.
  std::vector<Bytes> records(std::size_t from, std::size_t n) const {
    std::vector<Bytes> out;
    for (std::size_t i = from; i < from + n; ++i) {
      Bytes& r = out.emplace_back(prefixed ? i % 13 : 8);
      if (!prefixed) store_u64le(r.data(), (i + 1) * 0x9E3779B97F4A7C15ULL);
      for (std::size_t j = 0; prefixed && j < r.size(); ++j)
        r[j] = static_cast<std::uint8_t>(i * 7 + j + 1);
    }
    return out;
  }
  // Those records as the data section holds them.
  Bytes disk(std::size_t from, std::size_t n) const {
    return prefixed ? test::prefixed(records(from, n)) : test::concat(records(from, n));
  }
  Status append(Container& k, std::size_t from, std::size_t n) const {
    for (const Bytes& r : records(from, n)) DRELIX_TRY(k.append_record(r));
    return {};
  }
  RecordLayout layout() const {
    return prefixed ? RecordLayout::prefixed() : RecordLayout::fixed(8);
  }
  Result<Container> create() const {
    Container::UserHeaders user = {{"owner", "sim"}};
    if (stats) user.emplace_back("drelix_stats_n", "");
    DRELIX_ASSIGN_OR_RETURN(
        Container k, Container::create(kPath, Schema{"ops@1", {{"n", "u64", 0}}, layout()},
                                       "ops crash test", "sim", 0, kZone, user));
    if (stats) DRELIX_TRY(k.keep_stats({}));
    return k;
  }
};

void add_records(ByteView content, RecordLayout layout, std::vector<Bytes>& out) {
  for (ByteView r : split_records(content, layout).records) out.emplace_back(r.begin(), r.end());
}

// The records a reader sees, its frames in list order and then the tail's whole records, with
// nothing recovered or written.
Result<std::vector<Bytes>> reader_records() {
  DRELIX_ASSIGN_OR_RETURN(const Snapshot s, Snapshot::open(kPath));
  const Container& c = s.container();
  std::vector<Bytes> got;
  for (const Frame& frame : c.frames()) {
    DRELIX_ASSIGN_OR_RETURN(const Bytes content, read_checked(c, frame));
    add_records(content, c.schema().layout, got);
  }
  DRELIX_ASSIGN_OR_RETURN(const Bytes tail, s.read_tail_records());
  add_records(tail, c.schema().layout, got);
  return got;
}

// The records of an open container: its frames in list order, then the tail.
Result<std::vector<Bytes>> container_records(const Container& c) {
  std::vector<Bytes> got;
  for (std::size_t i = 0; i <= c.frames().size(); ++i) {
    DRELIX_ASSIGN_OR_RETURN(const Bytes content,
                            i < c.frames().size() ? c.read_frame_at(i) : c.read_tail());
    add_records(content, c.schema().layout, got);
  }
  return got;
}

// Whether each statistics key holds exactly the entries of the frames listed beside it.
std::optional<std::string> stats_match(const Container& c) {
  for (const IndexedField& f : indexed_fields(c.headers(), c.schema())) {
    const std::string_view value = c.headers().get(f.key()).value_or("");
    const auto entries = parse_stats(value, c.frames().size(), f.type);
    if (!entries) return f.key() + ": " + entries.error().to_string();
    for (std::size_t i = 0; i < c.frames().size(); ++i) {
      const Result<Bytes> content = c.read_frame_at(i);
      if (!content || entry_for(*content, f, c.schema().layout.size()) != (*entries)[i])
        return str_cat(f.key(), ": frame ", i, "'s entry is not its range");
    }
  }
  return std::nullopt;
}

// Opens the file as the next writer would and checks that it reads back exactly `want` (its
// frames in list order, then the tail), that its statistics match its frames and that it
// validates clean.
std::optional<std::string> read_back(const std::vector<Bytes>& want) {
  {
    auto c = Container::open_append(kPath);
    if (!c) return "open_append failed: " + c.error().to_string();
    auto got = container_records(*c);
    if (!got) return "reading records failed: " + got.error().to_string();
    if (*got != want) return str_cat("read ", got->size(), " records, want ", want.size());
    if (auto wrong = stats_match(*c)) return wrong;
  }
  auto report = validate(kPath, {}, {}, 1, true);
  if (!report) return "validate failed: " + report.error().to_string();
  if (!report->problems.empty()) return "validate: " + report->problems.front();
  if (report->records != want.size()) return str_cat("validate counted ", report->records);
  return std::nullopt;
}

// Whether the file, once recovered, holds `seen` (what a reader saw before the recovery).
std::optional<std::string> records_match(const std::vector<Bytes>& seen) {
  auto c = Container::open_read(kPath);
  auto got = c ? container_records(*c) : fail(c.error());
  if (!got) return "reading records failed: " + got.error().to_string();
  if (*got != seen)
    return str_cat("a reader saw ", seen.size(), " records, the writer ", got->size());
  return std::nullopt;
}

bool same(ByteView a, ByteView b, std::size_t from, std::size_t n) {
  return std::ranges::equal(a.subspan(from, n), b.subspan(from, n));
}

// Where a check stands: the crash point (past the last step for none) and whether power was lost.
struct Cut {
  std::uint64_t n;
  bool power_lost;
};

struct Explorer {
  Explorer(SimEnv& s, const OpsCase& oc) : sim(s), c(oc) {}
  SimEnv& sim;
  const OpsCase& c;
  SimEnv::State start, at_crash;  // the disk before the operation, and just after its crash
  Bytes base;                     // the durable image before the operation (pending records not in)
  Bytes fresh;  // bytes the tail may gain, in order: the pending records, then the added ones
  std::optional<Bytes> before;  // the live image at the start (nothing before a create)
  Bytes after;                  // the image the operation leaves when nothing goes wrong
  std::uint64_t total = 0;      // the steps of that run
  // All but the tail operations: the images (and their records) the file may be once checked;
  // the last one is `after`.
  std::vector<std::pair<Bytes, std::vector<Bytes>>> allowed;
  std::vector<std::string> failures;

  // The operation with the crash armed at step `crash_at` (0: none); what it needs opened first is
  // opened before the steps are counted.
  Status run_op(std::uint64_t crash_at) {
    std::optional<Container> k;
    if (c.op <= Op::BulkWrite) {
      DRELIX_ASSIGN_OR_RETURN(Container opened, Container::open_append(kPath));
      k.emplace(std::move(opened));
      if (c.stats) DRELIX_TRY(k->keep_stats({}));
    }
    if (c.op == Op::Close || c.op == Op::Seal) DRELIX_TRY(c.append(*k, c.first_added(), c.added));
    sim.reset();
    sim.crash_at(crash_at);
    const std::size_t per_flush = (c.added + c.flushes - 1) / c.flushes;
    // Several frames, one journal: the whole bulk write is one splice.
    const BulkOptions bulk{.frame_records = 3, .level = 3, .threads = 2};
    const std::vector<Bytes> added = c.records(c.first_added(), c.added);
    const auto status = [](const auto& r) { return r ? Status{} : fail(r.error()); };
    switch (c.op) {
      case Op::Append:
      case Op::FlushHeaders:
      case Op::SetUserHeader:
        for (std::size_t done = 0; done < c.added; done += per_flush) {
          DRELIX_TRY(c.append(*k, c.first_added() + done, std::min(per_flush, c.added - done)));
          DRELIX_TRY(k->flush_data());
        }
        if (c.op == Op::FlushHeaders) return k->flush_headers();
        return c.op == Op::SetUserHeader ? k->set_user_header(c.key, "after") : Status{};
      case Op::Close:
        return k->close_frame(7, c.level);
      case Op::Seal:
        return k->seal(7, c.level);
      case Op::BulkWrite:
        if (!c.prefixed) return status(bulk_write_fixed(*k, test::concat(added), c.frames, bulk));
        return status(bulk_write_bodies(*k, std::vector<ByteView>(added.begin(), added.end()),
                                        c.frames, bulk));
      case Op::Recover:
        return status(Container::open_append(kPath));
      case Op::Create:
        return status(c.create());
      case Op::Rebuild:
        return status(rebuild_headers(kPath, true));
      case Op::Repack:
        return status(c.zone == kZone ? repack(kPath, c.level)
                                      : repack_with_header_area(kPath, c.level, c.zone));
    }
    return {};
  }

  // Leaves the durable journal of a close of the tail that died just before touching the file.
  void leave_journal() {
    const SimEnv::State here = sim.snapshot();
    for (std::uint64_t n = 1; n < 100; ++n) {
      sim.restore(here);
      Container k = Container::open_append(kPath).value();
      sim.reset();
      sim.crash_at(n);
      (void)k.close_frame(9, 3);
      if (sim.trace().back().op == SimEnv::Op::Write && sim.trace().back().path == kPath) break;
    }
    sim.restart();
    ASSERT_TRUE(sim.exists(journal_path(kPath)));
    sim.make_durable();
  }

  void build() {
    std::optional<Bytes> original;
    if (c.op != Op::Create) {
      const std::size_t stored = c.frames * kPerFrame + c.durable;
      {
        Container k = c.create().value();
        for (int f = 0; f < c.frames; ++f) {
          EXPECT_TRUE(c.append(k, f * kPerFrame, kPerFrame));
          EXPECT_TRUE(k.close_frame(static_cast<std::uint64_t>(f), c.frame_level));
        }
        EXPECT_TRUE(c.append(k, stored - c.durable, c.durable));
        EXPECT_TRUE(k.flush_data());
      }
      sim.make_durable();
      original = sim.contents(kPath);
      if (c.op == Op::FlushHeaders || c.op == Op::Rebuild) {
        test::rewrite_zone(kPath, [&](Headers& h) {
          // "+n" opens as n and is rewritten without the "+": a torn or lost rewrite shows.
          if (c.op == Op::FlushHeaders) {
            EXPECT_TRUE(h.set("_records", str_cat("+", h.get("_records").value_or("0"))));
            return;
          }
          // The zone as it was before the last close: the last frame's bytes are there, unlisted.
          auto frames = parse_frames(h.get("_frames").value_or("")).value();
          frames.pop_back();
          EXPECT_TRUE(h.set("_frames", render_frames(frames)));
          EXPECT_TRUE(h.set("_records", to_decimal(frames.size() * kPerFrame)));
          EXPECT_TRUE(h.set("_bytes_raw", to_decimal(c.disk(0, frames.size() * kPerFrame).size())));
        });
      }
      if (c.journal) leave_journal();
      if (c.torn > 0) test::write_file(kPath, test::slice(c.disk(12, 1), 0, c.torn), true);
      base = *sim.contents(kPath);
      if (c.pending > 0) {
        Container k = Container::open_append(kPath).value();
        EXPECT_TRUE(c.append(k, stored, c.pending));
        EXPECT_TRUE(k.flush_data());
      }
      before = sim.contents(kPath);
    }
    fresh = c.disk(c.first_added() - c.pending, c.pending + c.added);
    start = sim.snapshot();
    const Status done = run_op(0);
    EXPECT_TRUE(done.has_value()) << (done ? "" : done.error().to_string());
    after = sim.contents(kPath).value_or(Bytes());
    total = sim.steps();
    // A rebuild must bring back exactly the zone the close had written.
    EXPECT_TRUE(c.op != Op::Rebuild || (after == original && before != original));

    // Before the operation, after it, and: after a close, a whole prefix of its buffered records
    // written (torn ones are cut off); after a seal, its close. Not before a create or recovery.
    const std::size_t all = c.first_added() + c.added;
    const bool closes = c.op == Op::Close || c.op == Op::Seal;
    for (std::size_t i = 0; before && i < (closes ? c.added + 1 : c.op == Op::Recover ? 0 : 1); ++i)
      allowed.emplace_back(test::concat({*before, c.disk(c.first_added(), i)}),
                           c.records(0, c.first_added() + i));
    if (c.op == Op::Seal) {
      sim.restore(start);
      OpsCase close = c;
      close.op = Op::Close;
      EXPECT_TRUE(Explorer(sim, close).run_op(0));
      allowed.emplace_back(*sim.contents(kPath), c.records(0, all));
    }
    allowed.emplace_back(after, c.records(0, all));
    sim.restore(start);
  }

  bool completed(const Cut& cut) const { return cut.n > total; }

  // Append, flush_headers, set_user_header: after open_append the file is `base` (its zone
  // possibly the one of `after`) plus a tail extension whose every byte is the record byte
  // written there or, after a power loss, zero; at least the bytes hardened at the cut exact.
  std::optional<std::string> check_tail(const Cut& cut) {
    const Bytes file = *sim.contents(kPath);
    if (file.size() < base.size()) return str_cat("the file shrank to ", file.size(), " bytes");
    // Up to the end of `base`, the file is `base`, its zone possibly the new one.
    const bool new_zone = same(file, after, kPreambleSize, kZone);
    Bytes old = base;
    if (new_zone) std::copy_n(after.begin() + kPreambleSize, kZone, old.begin() + kPreambleSize);
    if (!same(file, old, 0, old.size())) return "a torn zone, or durable bytes changed";
    // What must have survived: the file as the OS held it at the crash or, after a power loss,
    // as stable storage did then. Both header rewrites end in a full sync: once one returns, its
    // zone and every record flushed before it are durable.
    const std::uint64_t id = at_crash.names.at(kPath);
    const Bytes& ref = cut.power_lost ? at_crash.durable.at(id) : at_crash.data.at(id);
    const bool synced = completed(cut) && c.op != Op::Append;
    const std::size_t must_tail =
        synced ? fresh.size() : ref.size() - std::min(ref.size(), base.size());
    if ((synced || same(ref, after, kPreambleSize, kZone)) && !new_zone) return "synced zone lost";
    const ByteView extra = ByteView(file).subspan(base.size());
    if (extra.size() > fresh.size()) return str_cat("the tail grew by ", extra.size(), " bytes");
    if (extra.size() < must_tail) return str_cat("the tail kept ", extra.size(), " of ", must_tail);
    for (std::size_t i = 0; i < extra.size(); ++i) {
      if (extra[i] == fresh[i]) continue;
      if (!cut.power_lost || extra[i] != 0) return str_cat("tail byte ", i, " was never written");
      if (i < must_tail) return str_cat("synced tail byte ", i, " came back as zero");
    }
    const SplitResult grown = split_records(extra, c.layout());
    if (grown.torn != 0) return str_cat(grown.torn, " torn bytes survived open_append");
    std::vector<Bytes> want = c.records(0, c.first_added() - c.pending);  // those of `base`
    for (ByteView r : grown.records) want.emplace_back(r.begin(), r.end());
    return read_back(want);
  }

  // Create, rebuild, repack: the path names the old file (nothing, for a create) or the new one,
  // byte for byte, before anyone recovers anything; each ends in a full sync of the file and its
  // directory, so once it returns no power loss takes it back. Close, seal, recover, bulk write:
  // after open_append, one of the allowed images. Either way, the last one once completed.
  std::optional<std::string> check(const Cut& cut) {
    std::optional<Bytes> live = sim.contents(kPath);
    if (c.op == Op::Create && live != after && !completed(cut)) {
      // A create dying before its sync leaves no file, or one without its preamble or zone: no
      // open may take it for a drelix file.
      if (live && (Container::open_read(kPath) || Container::open_append(kPath)))
        return str_cat("a partial file of ", live->size(), " bytes opened");
      return std::nullopt;
    }
    if (c.op < Op::Create) {
      // A reader before any recovery (a journal read in memory, a torn record left out) sees
      // the records the next writer will, and changes nothing.
      const Result<std::vector<Bytes>> seen = reader_records();
      if (!seen) return "a reader failed: " + seen.error().to_string();
      if (sim.contents(kPath) != live) return std::string("a reader changed the file");
      if (auto opened = Container::open_append(kPath); !opened)
        return "open_append failed: " + opened.error().to_string();
      if (auto wrong = records_match(*seen)) return wrong;
      if (c.op <= Op::SetUserHeader) return check_tail(cut);
      live = sim.contents(kPath);
    }
    if (c.op == Op::Rebuild && live == before && !completed(cut)) {
      // Still the damaged zone: running the rebuild again must finish the job.
      if (auto again = rebuild_headers(kPath, true);
          !again || !again->fixed || sim.contents(kPath) != after) {
        return std::string("a second rebuild did not fix the file");
      }
      live = after;
    }
    if (sim.exists(journal_path(kPath))) return std::string("a journal is left");
    for (std::size_t i = completed(cut) ? allowed.size() - 1 : 0; i < allowed.size(); ++i) {
      if (allowed[i].first == live) return read_back(allowed[i].second);
    }
    return str_cat("the file (", live ? live->size() : 0, " bytes) is none of the allowed");
  }

  // Checks the disk `at`; then, with `lose`, every power loss of it and, with `crash`, every
  // crash of the recovery from it, each checked in turn. Neither is repeated on its own outcome;
  // a power loss is crashed in its recovery only in deep cases, and only after the first cut.
  void visit(const SimEnv::State& at, Cut cut, const std::string& where, bool lose, bool crash) {
    sim.restore(at);
    if (auto wrong = check(cut); wrong && failures.size() < 8)
      failures.push_back(where + ": " + *wrong);
    const auto choices = SimEnv::loss_choices(at.pending.size());
    for (std::size_t i = 0; lose && i < choices.size(); ++i) {
      sim.restore(at);
      sim.power_loss(choices[i]);
      visit(sim.snapshot(), {cut.n, true}, str_cat(where, ", power loss #", i), false,
            crash && c.deep);
    }
    if (!crash) return;
    sim.restore(at);
    sim.reset();
    (void)Container::open_append(kPath);
    for (std::uint64_t m = 1, steps = sim.steps(); m <= steps; ++m) {
      sim.restore(at);
      sim.reset();
      sim.crash_at(m);
      (void)Container::open_append(kPath);
      const std::string again = str_cat(where, ", then recovery crash at ", sim.describe(m));
      sim.restart();
      visit(sim.snapshot(), cut, again, lose, false);
    }
  }
};

class OpsCrashTest : public ::testing::TestWithParam<OpsCase> {};

TEST_P(OpsCrashTest, RecoversWhollyBeforeOrAfterAtEveryCut) {
  const OpsCase& c = GetParam();
  SimEnv sim;
  ScopedEnv installed(sim);
  Explorer x(sim, c);
  x.build();
  ASSERT_FALSE(HasFailure());
  sim.set_tear_size(c.tear_size);
  // The case must really change the file, or "before" and "after" would be one state.
  ASSERT_TRUE(x.total >= 1 && x.after != x.before) << c.name << " changes nothing";
  for (std::uint64_t n = 1; n <= x.total + 1; ++n) {
    sim.restore(x.start);
    (void)x.run_op(n <= x.total ? n : 0);
    const std::string cut = n <= x.total ? str_cat("crash at ", sim.describe(n)) : "no crash";
    sim.restart();
    x.at_crash = sim.snapshot();
    x.visit(x.at_crash, Cut{n, false}, cut, true, true);
  }
  for (const std::string& f : x.failures) ADD_FAILURE() << f;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, OpsCrashTest, ::testing::Values(
    OpsCase{.name = "create_fixed", .op = Op::Create},
    OpsCase{.name = "create_prefixed", .op = Op::Create, .prefixed = true},
    OpsCase{.name = "append_three_flushes_fixed", .op = Op::Append, .frames = 1, .durable = 3, .added = 6, .flushes = 3},
    OpsCase{.name = "append_after_unsynced_prefixed", .op = Op::Append, .prefixed = true, .durable = 2, .pending = 4, .added = 5, .flushes = 2},
    OpsCase{.name = "append_torn_prefixed", .op = Op::Append, .prefixed = true, .frames = 1, .durable = 60, .added = 300, .flushes = 2, .tear_size = 512},
    OpsCase{.name = "flush_headers_hardens_unsynced_fixed", .op = Op::FlushHeaders, .frames = 2, .durable = 2, .pending = 3, .added = 4, .flushes = 2},
    OpsCase{.name = "flush_headers_torn_fixed", .op = Op::FlushHeaders, .frames = 1, .durable = 10, .pending = 70, .added = 70, .tear_size = 512},
    OpsCase{.name = "set_user_header_new_key_fixed", .op = Op::SetUserHeader, .frames = 1, .durable = 2, .pending = 2, .added = 2},
    OpsCase{.name = "set_user_header_replaced_key_prefixed", .op = Op::SetUserHeader, .prefixed = true, .durable = 3, .pending = 1, .added = 3, .flushes = 3, .key = "owner"},
    OpsCase{.name = "close_first_frame_fixed_level3", .op = Op::Close, .durable = 5, .frame_level = 3, .deep = false},
    OpsCase{.name = "close_second_frame_prefixed_level0", .op = Op::Close, .prefixed = true, .frames = 1, .durable = 6, .level = 0, .frame_level = 3, .deep = false},
    OpsCase{.name = "close_third_frame_fixed_level19", .op = Op::Close, .frames = 2, .durable = 3, .level = 19, .frame_level = 3, .deep = false},
    OpsCase{.name = "close_third_frame_fixed_stats", .op = Op::Close, .frames = 2, .durable = 3, .added = 2, .frame_level = 3, .deep = false, .stats = true},
    OpsCase{.name = "close_buffered_records_fixed_level1", .op = Op::Close, .frames = 1, .durable = 3, .added = 2, .level = 1, .frame_level = 3, .deep = false},
    OpsCase{.name = "seal_prefixed_level3", .op = Op::Seal, .prefixed = true, .frames = 1, .durable = 4, .frame_level = 3, .deep = false},
    OpsCase{.name = "close_torn_fixed_level0", .op = Op::Close, .frames = 1, .durable = 200, .level = 0, .frame_level = 3, .tear_size = 512, .deep = false},
    OpsCase{.name = "close_torn_prefixed_level3", .op = Op::Close, .prefixed = true, .durable = 150, .added = 3, .frame_level = 3, .tear_size = 512, .deep = false},
    OpsCase{.name = "recover_torn_record_fixed", .op = Op::Recover, .frames = 1, .durable = 3, .torn = 5},
    OpsCase{.name = "recover_torn_record_prefixed", .op = Op::Recover, .prefixed = true, .durable = 4, .torn = 9},
    OpsCase{.name = "recover_journal_fixed", .op = Op::Recover, .frames = 1, .durable = 5, .journal = true},
    OpsCase{.name = "recover_journal_and_torn_record_prefixed", .op = Op::Recover, .prefixed = true, .durable = 6, .torn = 3, .journal = true},
    OpsCase{.name = "rebuild_lost_last_frame_fixed", .op = Op::Rebuild, .frames = 2, .durable = 3},
    OpsCase{.name = "rebuild_lost_last_frame_prefixed", .op = Op::Rebuild, .prefixed = true, .frames = 3},
    OpsCase{.name = "repack_level3_same_zone_fixed", .op = Op::Repack, .frames = 2, .durable = 3},
    OpsCase{.name = "repack_level0_same_zone_prefixed", .op = Op::Repack, .prefixed = true, .frames = 2, .durable = 5, .level = 0},
    OpsCase{.name = "repack_level3_larger_zone_prefixed", .op = Op::Repack, .prefixed = true, .frames = 1, .durable = 4, .zone = 8192},
    OpsCase{.name = "repack_level0_larger_zone_fixed", .op = Op::Repack, .frames = 3, .level = 0, .zone = 16384},
    OpsCase{.name = "bulk_write_four_frames_fixed", .op = Op::BulkWrite, .frames = 1, .added = 10},
    OpsCase{.name = "bulk_write_four_frames_fixed_stats", .op = Op::BulkWrite, .frames = 1, .added = 10, .stats = true},
    OpsCase{.name = "bulk_write_four_frames_prefixed", .op = Op::BulkWrite, .prefixed = true, .added = 10}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

}  // namespace
}  // namespace drelix
