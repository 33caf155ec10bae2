// Every operation that changes a file, crashed at each of its steps, then (1) as the disk stands,
// (2) after a power loss keeping each enumerated subset of the unsynced changes, (3) after a
// second crash at each step of the recovery, and a power loss on top of that. The file must open,
// be wholly before or after the operation, hold every record durable before it, in order, read
// back frame by frame and validate clean. Tolerated, as the format's limit: records written but
// never synced may be lost, and a power loss keeping a later write but not an earlier one brings
// the earlier bytes back as zeros in the tail.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "core/bulk_write.h"
#include "core/container.h"
#include "core/frames.h"
#include "core/headers.h"
#include "core/journal.h"
#include "core/maintenance.h"
#include "core/numbers.h"
#include "core/preamble.h"
#include "core/str_cat.h"
#include "tests/core/test_util.h"

namespace drelix {
namespace {

const std::string kPath = "/sim/ops.drelix";
constexpr std::uint32_t kZone = 4096;
constexpr std::size_t kPerFrame = 4;

// clang-format off
enum class Op { Create, Append, FlushHeaders, SetUserHeader, Close, Seal, Recover, Rebuild, Repack, BulkWrite };
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
};

void PrintTo(const OpsCase& c, std::ostream* os) {
  *os << c.name;
}

// Records with some variety; prefixed ones of 0 to 12 bytes.
Bytes record(bool prefixed, std::size_t i) {
  Bytes r(prefixed ? i % 13 : 8);
  if (!prefixed) store_u64le(r.data(), (i + 1) * 0x9E3779B97F4A7C15ULL);
  for (std::size_t j = 0; prefixed && j < r.size(); ++j)
    r[j] = static_cast<std::uint8_t>(i * 7 + j + 1);
  return r;
}
Bytes on_disk(bool prefixed, const Bytes& body) {
  return prefixed ? test::prefixed({body}) : body;
}
Schema schema_for(bool prefixed) {
  return Schema{
      "ops@1", {{"n", "u64", 0}}, prefixed ? RecordLayout::prefixed() : RecordLayout::fixed(8)};
}
Result<Container> create_file(bool prefixed) {
  return Container::create(kPath, schema_for(prefixed), "ops crash test", "sim", 0, kZone,
                           {{"owner", "sim"}});
}
template <class T>
Status status(Result<T> r) {
  return r ? Status{} : fail(std::move(r).error());
}
std::size_t first_added(const OpsCase& c) {
  return static_cast<std::size_t>(c.frames) * kPerFrame + c.durable + c.pending;
}
Status append_range(Container& k, const OpsCase& c, std::size_t from, std::size_t n) {
  for (std::size_t i = from; i < from + n; ++i) DRELIX_TRY(k.append_record(record(c.prefixed, i)));
  return {};
}

// The operation with the crash armed at step `crash_at` (0: none); what it needs opened first is
// opened before the steps are counted.
Status run_op(SimEnv& sim, const OpsCase& c, std::uint64_t crash_at) {
  const auto arm = [&] {
    sim.reset();
    sim.crash_at(crash_at);
  };
  std::optional<Container> k;
  if (c.op != Op::Create && c.op != Op::Recover && c.op != Op::Rebuild && c.op != Op::Repack) {
    DRELIX_ASSIGN_OR_RETURN(Container opened, Container::open_append(kPath));
    k.emplace(std::move(opened));
  }
  switch (c.op) {
    case Op::Create:
      arm();
      return status(create_file(c.prefixed));
    case Op::Append:
    case Op::FlushHeaders:
    case Op::SetUserHeader: {
      arm();
      const std::size_t per_flush = (c.added + c.flushes - 1) / c.flushes;
      for (std::size_t done = 0; done < c.added; done += per_flush) {
        DRELIX_TRY(append_range(*k, c, first_added(c) + done, std::min(per_flush, c.added - done)));
        DRELIX_TRY(k->flush_data());
      }
      if (c.op == Op::FlushHeaders) return k->flush_headers();
      return c.op == Op::SetUserHeader ? k->set_user_header(c.key, "after") : Status{};
    }
    case Op::Close:
    case Op::Seal:
      DRELIX_TRY(append_range(*k, c, first_added(c), c.added));
      arm();
      return c.op == Op::Seal ? k->seal(7, c.level) : k->close_frame(7, c.level);
    case Op::Recover:
      arm();
      return status(Container::open_append(kPath));
    case Op::Rebuild: {
      arm();
      DRELIX_ASSIGN_OR_RETURN(const RebuildReport rebuilt, rebuild_headers(kPath, true));
      return rebuilt.fixed ? Status{} : fail(Error::usage("rebuild found nothing to fix"));
    }
    case Op::BulkWrite: {
      std::vector<Bytes> bodies;
      for (std::size_t i = 0; i < c.added; ++i)
        bodies.push_back(record(c.prefixed, first_added(c) + i));
      const std::vector<ByteView> views(bodies.begin(), bodies.end());
      const Bytes joined = test::concat(bodies);
      // Several frames, one journal: the whole write is one splice.
      const BulkOptions options{.frame_records = 3, .level = 3, .threads = 2};
      const auto first_id = static_cast<std::uint64_t>(c.frames);
      arm();
      return status(c.prefixed ? bulk_write_bodies(*k, views, first_id, options)
                               : bulk_write_fixed(*k, joined, first_id, options));
    }
    case Op::Repack:
      arm();
      return status(c.zone == kZone ? repack(kPath, c.level)
                                    : repack_with_header_area(kPath, c.level, c.zone));
  }
  return {};
}

// Rewrites the zone of the simulated file, durably, behind the engine's back.
void edit_zone(SimEnv& sim, const std::function<void(Headers&)>& edit) {
  Bytes all = *sim.contents(kPath);
  auto headers = Headers::parse(ByteView(all).subspan(kPreambleSize, kZone));
  ASSERT_TRUE(headers.has_value());
  edit(*headers);
  const Bytes zone = headers->render(kZone).value();
  std::copy(zone.begin(), zone.end(), all.begin() + kPreambleSize);
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
  const auto& t = sim.trace();
  auto splice = std::find_if(t.begin(), t.end(), [](const auto& s) {
    return s.op == SimEnv::Op::Write && s.path == kPath;
  });
  ASSERT_NE(splice, t.end());
  const std::uint64_t n = static_cast<std::uint64_t>(splice - t.begin()) + 1;
  sim.restore(here);
  close_until(n);
  sim.restart();
  ASSERT_TRUE(sim.exists(journal_path(kPath)));
  sim.make_durable();
}

using Image = std::pair<Bytes, std::vector<Bytes>>;  // a file and the records it holds

// What a case starts from and what its operation may leave.
struct World {
  SimEnv::State start;
  Bytes base;                  // the durable image before the operation (pending records not in)
  std::vector<Bytes> records;  // the records of `base`
  Bytes fresh;  // bytes the tail may gain, in order: the pending records, then the added ones
  std::size_t pending_bytes = 0;    // the pending records' share of `fresh`
  std::optional<Bytes> before;      // the live image at the start (nothing before a create)
  Bytes after;                      // the image the operation leaves when nothing goes wrong
  std::vector<SimEnv::Step> trace;  // the steps of that run
  // Close, seal, recover, bulk write: the images recovery may leave; the last one is `after`.
  std::vector<Image> allowed;
};

World build_world(SimEnv& sim, const OpsCase& c) {
  World w;
  Bytes original;
  if (c.op != Op::Create) {
    {
      Container k = create_file(c.prefixed).value();
      for (int f = 0; f < c.frames; ++f) {
        for (std::size_t r = 0; r < kPerFrame; ++r) {
          w.records.push_back(record(c.prefixed, w.records.size()));
          EXPECT_TRUE(k.append_record(w.records.back()));
        }
        EXPECT_TRUE(k.close_frame(static_cast<std::uint64_t>(f), c.frame_level));
      }
      for (std::size_t i = 0; i < c.durable; ++i) {
        w.records.push_back(record(c.prefixed, w.records.size()));
        EXPECT_TRUE(k.append_record(w.records.back()));
      }
      EXPECT_TRUE(k.flush_data());
    }
    sim.make_durable();
    original = *sim.contents(kPath);
    if (c.op == Op::FlushHeaders) {
      // "+n" opens as n and is rewritten without the "+": a torn or lost rewrite shows.
      edit_zone(sim, [](Headers& h) {
        EXPECT_TRUE(h.set("_records", str_cat("+", h.get("_records").value_or("0"))));
      });
    }
    if (c.op == Op::Rebuild) {
      // The zone as it was before the last close: the last frame's bytes are there, unlisted.
      edit_zone(sim, [&](Headers& h) {
        auto frames = parse_frames(h.get("_frames").value_or("")).value();
        frames.pop_back();
        const std::size_t kept = frames.size() * kPerFrame;
        std::uint64_t raw = 0;
        for (std::size_t i = 0; i < kept; ++i) raw += on_disk(c.prefixed, w.records[i]).size();
        EXPECT_TRUE(h.set("_frames", render_frames(frames)));
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
      Container k = Container::open_append(kPath).value();
      EXPECT_TRUE(append_range(k, c, first_added(c) - c.pending, c.pending));
      EXPECT_TRUE(k.flush_data());
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
  // A rebuild must bring back exactly the zone the close had written.
  EXPECT_TRUE(c.op != Op::Rebuild || (w.after == original && w.before != original));

  std::vector<Bytes> records = w.records;
  if (c.op == Op::Close || c.op == Op::Seal) {
    // Before, with a whole prefix of the buffered records written (torn ones are cut off), or
    // after; a seal may also stop after its close.
    Bytes image = w.base;
    w.allowed.emplace_back(image, records);
    for (std::size_t i = 0; i < c.added; ++i) {
      records.push_back(record(c.prefixed, first_added(c) + i));
      const Bytes disk = on_disk(c.prefixed, records.back());
      image.insert(image.end(), disk.begin(), disk.end());
      w.allowed.emplace_back(image, records);
    }
    if (c.op == Op::Seal) {
      sim.restore(w.start);
      OpsCase close = c;
      close.op = Op::Close;
      EXPECT_TRUE(run_op(sim, close, 0));
      w.allowed.emplace_back(*sim.contents(kPath), records);
    }
  } else if (c.op == Op::BulkWrite) {
    w.allowed.emplace_back(w.base, records);
    for (std::size_t i = 0; i < c.added; ++i)
      records.push_back(record(c.prefixed, first_added(c) + i));
  }
  w.allowed.emplace_back(w.after, records);
  sim.restore(w.start);
  return w;
}

// Opens the file as the next writer would and checks that it reads back exactly `want` and
// validates clean.
std::optional<std::string> read_back(const std::vector<Bytes>& want) {
  {
    auto opened = Container::open_append(kPath);
    if (!opened) return "open_append failed: " + opened.error().to_string();
    auto records = test::all_records(*opened);
    if (!records) return "reading records failed: " + records.error().to_string();
    if (*records != want) return str_cat("read ", records->size(), " records, want ", want.size());
  }
  auto report = validate(kPath);
  if (!report) return "validate failed: " + report.error().to_string();
  if (!report->problems.empty()) return "validate: " + report->problems.front();
  if (report->records != want.size())
    return str_cat("validate counted ", report->records, " records, want ", want.size());
  return std::nullopt;
}

// Where a check stands: the crash point (past the last step for none) and whether power was lost.
struct Cut {
  std::uint64_t n;
  bool power_lost;
};

struct Explorer {
  SimEnv& sim;
  const OpsCase& c;
  const World& w;
  const SimEnv::State* at_crash = nullptr;  // the disk just after the operation's crash
  std::uint64_t crash_points = 0, loss_states = 0, recovery_crashes = 0, partial_creates = 0;
  std::vector<std::string> failures;

  bool completed(const Cut& cut) const { return cut.n > w.trace.size(); }

  // What must have survived a cut: the file as the OS held it at the crash or, after a power
  // loss, as stable storage did then; its tail bytes past `base`, and whether its zone is new.
  std::pair<std::size_t, bool> hardened(const Cut& cut) const {
    const auto& inode = at_crash->inodes.at(at_crash->names.at(kPath));
    const ByteView ref(cut.power_lost ? inode.durable : inode.data);
    const ByteView after(w.after);
    return {
        ref.size() - std::min(ref.size(), w.base.size()),
        std::ranges::equal(ref.subspan(kPreambleSize, kZone), after.subspan(kPreambleSize, kZone))};
  }

  // Append, flush_headers, set_user_header: after open_append the file is `base` (its zone
  // possibly the one of `after`) plus a tail extension whose every byte is the record byte
  // written there or, after a power loss, zero; at least the hardened bytes exact.
  std::optional<std::string> check_tail(const Cut& cut) {
    const Bytes file = *sim.contents(kPath);
    const std::size_t zone_end = kPreambleSize + kZone;
    if (file.size() < w.base.size())
      return str_cat("the file is ", file.size(), " bytes, shorter than the durable ",
                     w.base.size());
    const ByteView f(file);
    const auto same = [&f](const Bytes& other, std::size_t from, std::size_t n) {
      return std::ranges::equal(f.subspan(from, n), ByteView(other).subspan(from, n));
    };
    if (!same(w.base, 0, kPreambleSize)) return std::string("the preamble changed");
    const bool new_zone = same(w.after, kPreambleSize, kZone);
    if (!same(w.base, kPreambleSize, kZone) && !new_zone)
      return std::string("the zone is neither the old nor the new one");
    auto [must_tail, must_zone] = hardened(cut);
    if (completed(cut) && c.op != Op::Append) {
      // Both header rewrites end in a full sync: once one returns, its zone and every record
      // flushed before it are durable.
      must_tail = w.fresh.size();
      must_zone = true;
    }
    if (must_zone && !new_zone) return std::string("a synced zone rewrite was lost");
    if (!same(w.base, zone_end, w.base.size() - zone_end))
      return std::string("durable frames or tail bytes changed");
    const ByteView extra = f.subspan(w.base.size());
    if (extra.size() > w.fresh.size())
      return str_cat("the tail grew by ", extra.size(), " bytes, more than written");
    if (extra.size() < must_tail)
      return str_cat("the tail kept ", extra.size(), " of ", must_tail, " hardened bytes");
    for (std::size_t i = 0; i < extra.size(); ++i) {
      if (extra[i] == w.fresh[i]) continue;
      if (!cut.power_lost || extra[i] != 0)
        return str_cat("tail byte ", i, " is neither written nor lost");
      if (i < must_tail) return str_cat("synced tail byte ", i, " came back as zero");
    }
    const SplitResult grown = split_records(extra, schema_for(c.prefixed).layout);
    if (grown.torn != 0) return str_cat(grown.torn, " torn bytes survived open_append");
    std::vector<Bytes> want = w.records;
    for (ByteView r : grown.records) want.emplace_back(r.begin(), r.end());
    return read_back(want);
  }

  // Create, rebuild, repack: the path names the old file (nothing, for a create) or the new one,
  // byte for byte, before anyone recovers anything; each ends in a full sync of the file and its
  // directory, so once it returns no power loss takes it back.
  std::optional<std::string> check_image(const Cut& cut) {
    const std::optional<Bytes> live = sim.contents(kPath);
    if (completed(cut) && live != w.after)
      return std::string("the completed operation did not survive");
    if (!live)
      return c.op == Op::Create ? std::nullopt : std::optional<std::string>("the file is gone");
    if (c.op == Op::Create && *live != w.after) {
      // A create dying before its sync leaves a file without its preamble or zone: no open may
      // take it for a drelix file.
      if (Container::open_read(kPath) || Container::open_append(kPath))
        return str_cat("a partial file of ", live->size(), " bytes opened");
      ++partial_creates;
      return std::nullopt;
    }
    if (c.op == Op::Rebuild && live == w.before) {
      // Still the damaged zone: running the rebuild again must finish the job.
      if (auto again = rebuild_headers(kPath, true);
          !again || !again->fixed || sim.contents(kPath) != w.after) {
        return std::string("a second rebuild did not fix the file");
      }
    } else if (live != w.before && live != w.after) {
      return str_cat("the file (", live->size(), " bytes) is neither the old nor the new one");
    }
    if (sim.exists(journal_path(kPath))) return std::string("a journal appeared");
    return read_back(w.records);
  }

  std::optional<std::string> check(const Cut& cut) {
    if (c.op == Op::Create || c.op == Op::Rebuild || c.op == Op::Repack) return check_image(cut);
    if (auto opened = Container::open_append(kPath); !opened)
      return "open_append failed: " + opened.error().to_string();
    if (c.op == Op::Append || c.op == Op::FlushHeaders || c.op == Op::SetUserHeader)
      return check_tail(cut);
    if (sim.exists(journal_path(kPath))) return std::string("the journal is still there");
    // Close, seal, recover, bulk write: one of the allowed images (the last once completed).
    const Bytes file = *sim.contents(kPath);
    for (std::size_t i = completed(cut) ? w.allowed.size() - 1 : 0; i < w.allowed.size(); ++i) {
      if (w.allowed[i].first == file) return read_back(w.allowed[i].second);
    }
    return str_cat("the file (", file.size(), " bytes) is in none of the allowed states");
  }

  void record_check(const Cut& cut, const std::string& where) {
    if (auto wrong = check(cut); wrong && failures.size() < 8)
      failures.push_back(where + ": " + *wrong);
  }

  // Crashes the recovery of the disk `at` at each of its steps and checks what is left; with
  // `losses`, after each power loss on top of that too.
  void crash_recovery(const SimEnv::State& at, const Cut& cut, const std::string& where,
                      bool losses) {
    sim.restore(at);
    sim.reset();
    (void)Container::open_append(kPath);
    const std::uint64_t steps = sim.steps();
    for (std::uint64_t m = 1; m <= steps; ++m) {
      sim.restore(at);
      sim.reset();
      sim.crash_at(m);
      (void)Container::open_append(kPath);
      const std::string again = str_cat(where, ", then recovery crash at ", sim.describe(m));
      sim.restart();
      ++recovery_crashes;
      const std::optional<SimEnv::State> twice =
          losses ? std::optional(sim.snapshot()) : std::nullopt;
      record_check(cut, again);
      if (twice) power_losses(*twice, cut.n, again, false);
    }
  }

  // Every power loss the pending changes of `at` allow; with `deeper`, the recovery after each
  // is crashed at each of its steps too.
  void power_losses(const SimEnv::State& at, std::uint64_t n, const std::string& where,
                    bool deeper) {
    sim.restore(at);
    const auto choices = SimEnv::loss_choices(sim.pending_count());
    for (std::size_t i = 0; i < choices.size(); ++i) {
      sim.restore(at);
      sim.power_loss(choices[i]);
      ++loss_states;
      const std::string lost = str_cat(where, ", power loss #", i);
      if (deeper) {
        const SimEnv::State after_loss = sim.snapshot();
        crash_recovery(after_loss, Cut{n, true}, lost, false);
        sim.restore(after_loss);
      }
      record_check(Cut{n, true}, lost);
    }
  }
};

class OpsCrashTest : public ::testing::TestWithParam<OpsCase> {};

TEST_P(OpsCrashTest, RecoversWhollyBeforeOrAfterAtEveryCut) {
  const OpsCase& c = GetParam();
  SimEnv sim;
  ScopedEnv installed(sim);
  const World w = build_world(sim, c);
  ASSERT_FALSE(HasFailure());
  sim.set_tear_size(c.tear_size);
  const std::uint64_t total = w.trace.size();
  // The case must really change the file, or "before" and "after" would be one state.
  ASSERT_TRUE(total >= 1 && w.after != w.before) << c.name << " changes nothing";
  Explorer x{.sim = sim, .c = c, .w = w, .at_crash = nullptr, .failures = {}};
  for (std::uint64_t n = 1; n <= total + 1; ++n) {
    sim.restore(w.start);
    (void)run_op(sim, c, n <= total ? n : 0);
    const std::string cut =
        n <= total ? str_cat("crash at ", sim.describe(n)) : std::string("no crash");
    sim.restart();
    ++x.crash_points;
    const SimEnv::State crashed = sim.snapshot();
    x.at_crash = &crashed;
    x.record_check(Cut{n, false}, cut);
    x.power_losses(crashed, n, cut, c.deep);
    x.crash_recovery(crashed, Cut{n, false}, cut, true);
  }
  std::puts(str_cat("[ crash    ] ", c.name, ": ", total, " steps, ", x.crash_points,
                    " crash points, ", x.loss_states, " power-loss states, ", x.recovery_crashes,
                    " recovery crashes, ", x.partial_creates, " partial creates")
                .c_str());
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
    OpsCase{.name = "bulk_write_four_frames_prefixed", .op = Op::BulkWrite, .prefixed = true, .added = 10}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// The directory sync that makes the journal's deletion durable fails once. Were that ignored, a
// power loss could bring the journal back, and its replay would cut off records appended and
// synced after the close and roll back a later header rewrite; the retry hardens the deletion.
TEST(CloseFrameCrashScenario, AFailedDirectorySyncAfterTheCloseCostsNoLaterRecords) {
  SimEnv sim;
  ScopedEnv installed(sim);
  {
    Container c = create_file(false).value();
    for (std::size_t i = 0; i < 3; ++i) ASSERT_TRUE(c.append_record(record(false, i)));
    ASSERT_TRUE(c.flush_data());
    sim.make_durable();
    // The first directory sync hardens the journal, the second its deletion.
    sim.fail_nth(SimEnv::Op::SyncDir, sim.count(SimEnv::Op::SyncDir) + 2, EIO);
    ASSERT_TRUE(c.close_frame(1, 3));
    ASSERT_FALSE(sim.exists(journal_path(kPath)));
    for (std::size_t i = 3; i < 5; ++i) ASSERT_TRUE(c.append_record(record(false, i)));
    ASSERT_TRUE(c.flush_data());
    ASSERT_TRUE(c.set_user_header("note", "kept"));  // syncs the file: the records are durable
  }
  ASSERT_EQ(sim.pending_count(), 0u);  // the retried directory sync hardened the deletion
  sim.power_loss({});
  Container opened = Container::open_append(kPath).value();
  EXPECT_EQ(test::all_records(opened).value().size(), 5u);
  EXPECT_EQ(opened.headers().get("note"), "kept");
}

}  // namespace
}  // namespace drelix
