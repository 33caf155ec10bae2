// Frame closing must survive a crash at any step, and a power loss after any step: whatever
// survives, the next open_append leaves the file wholly before or wholly after the close, with
// every record that was durable before it, and a file that validates clean.
//
// Each case runs the close once to count its steps, then for every step n: crash there, and
// recover (1) as the disk stands, (2) after a power loss keeping each enumerated subset of the
// unsynced changes, (3) after a second crash at every step of the recovery itself, and a power
// loss on top of that. The files live in a SimEnv, so nothing touches the real disk.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "core/container.h"
#include "core/journal.h"
#include "core/maintenance.h"
#include "core/schema.h"
#include "core/str_cat.h"
#include "tests/core/fault_env.h"
#include "tests/core/sim_env.h"
#include "tests/core/test_util.h"

namespace drelix {
namespace {

using test::all_records;

const std::string kPath = "/sim/run.drelix";
constexpr std::uint32_t kZone = 4096;

struct CrashCase {
  std::string name;
  bool prefixed;
  int earlier_frames;            // closes made before the one under test
  std::size_t durable_records;   // in the tail, flushed and durable before the close
  std::size_t buffered_records;  // appended by the closing container, still in its buffer
  std::int32_t level;
  bool seal;
  std::size_t tear_size;  // 0: whole writes survive or vanish whole
};

// gtest prints parameters in failure lines; the name is what tells cases apart.
void PrintTo(const CrashCase& c, std::ostream* os) {
  *os << c.name;
}

// Record bodies with some variety, so that frames are not trivially compressible.
Bytes record(bool prefixed, std::size_t i) {
  if (!prefixed) {
    Bytes r(8);
    store_u64le(r.data(), (i + 1) * 0x9E3779B97F4A7C15ULL);
    return r;
  }
  Bytes r(i % 13);
  for (std::size_t j = 0; j < r.size(); ++j) r[j] = static_cast<std::uint8_t>(i * 7 + j);
  return r;
}

// A record in its on-disk form.
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
  return Schema{.name = "crash@1",
                .fields = {{"n", "u64", 0}},
                .layout = prefixed ? RecordLayout::prefixed() : RecordLayout::fixed(8)};
}

// A state the file may be in once recovered.
struct Allowed {
  std::string label;
  Bytes file;
  std::size_t records;  // how many of the case's records it holds, in order
};

struct World {
  SimEnv::State start;  // durable records on disk, no container open
  std::vector<Bytes> records;
  std::vector<Allowed> allowed;
};

// The operation under test: reopen, append the buffered records, then close (or seal) with the
// crash armed at step `crash_at` (0: none).
Status run_close(SimEnv& sim, const CrashCase& c, std::size_t first_buffered,
                 std::uint64_t crash_at, bool seal) {
  auto opened = Container::open_append(kPath);
  if (!opened) return fail(std::move(opened).error());
  Container container = std::move(*opened);
  for (std::size_t i = 0; i < c.buffered_records; ++i) {
    DRELIX_TRY(container.append_record(record(c.prefixed, first_buffered + i)));
  }
  sim.reset_steps();
  sim.crash_at(crash_at);
  return seal ? container.seal(7, c.level) : container.close_frame(7, c.level);
}

World build_world(SimEnv& sim, const CrashCase& c) {
  World w;
  {
    auto created =
        Container::create(kPath, schema_for(c.prefixed), "crash test", "sim", 0, kZone, {});
    EXPECT_TRUE(created.has_value());
    Container container = std::move(*created);
    std::size_t next = 0;
    for (int f = 0; f < c.earlier_frames; ++f) {
      for (int k = 0; k < 4; ++k) {
        w.records.push_back(record(c.prefixed, next++));
        EXPECT_TRUE(container.append_record(w.records.back()));
      }
      EXPECT_TRUE(container.close_frame(static_cast<std::uint64_t>(f), 3));
    }
    for (std::size_t i = 0; i < c.durable_records; ++i) {
      w.records.push_back(record(c.prefixed, next++));
      EXPECT_TRUE(container.append_record(w.records.back()));
    }
    EXPECT_TRUE(container.flush_data());
  }
  sim.make_durable();
  w.start = sim.snapshot();

  // Before the close, with a whole prefix of the buffered records on disk: the buffer write
  // survives whole or not at all, or with torn writes in part, and then open_append cuts the
  // torn record off.
  const std::size_t durable = w.records.size();
  Bytes before = *sim.contents(kPath);
  w.allowed.push_back({"before", before, durable});
  for (std::size_t k = 0; k < c.buffered_records; ++k) {
    const Bytes body = record(c.prefixed, durable + k);
    w.records.push_back(body);
    const Bytes disk = on_disk(c.prefixed, body);
    before.insert(before.end(), disk.begin(), disk.end());
    w.allowed.push_back({str_cat("before+", k + 1, " buffered"), before, durable + k + 1});
  }

  // After the close, and after the seal's zone rewrite.
  for (const bool seal : c.seal ? std::vector<bool>{false, true} : std::vector<bool>{false}) {
    sim.restore(w.start);
    const Status done = run_close(sim, c, durable, 0, seal);
    EXPECT_TRUE(done.has_value()) << (done ? "" : done.error().to_string());
    w.allowed.push_back(
        {seal ? "after seal" : "after close", *sim.contents(kPath), w.records.size()});
  }
  sim.restore(w.start);
  return w;
}

// Recovers the simulated disk as the next writer would and checks the result. Returns the
// first thing wrong, or nothing.
std::optional<std::string> recover_and_check(SimEnv& sim, const World& w) {
  const Allowed* state = nullptr;
  {
    auto opened = Container::open_append(kPath);
    if (!opened) return "open_append failed: " + opened.error().to_string();
    if (sim.exists(journal_path(kPath))) return std::string("the journal is still there");
    const Bytes file = *sim.contents(kPath);
    for (const Allowed& a : w.allowed) {
      if (a.file == file) state = &a;
    }
    if (state == nullptr) {
      return str_cat("the file (", file.size(), " bytes) is in none of the allowed states");
    }
    auto records = all_records(*opened);
    if (!records) return "reading records failed: " + records.error().to_string();
    const std::vector<Bytes> want(w.records.begin(),
                                  w.records.begin() + static_cast<std::ptrdiff_t>(state->records));
    if (*records != want) {
      return str_cat("state ", state->label, ": read ", records->size(), " records, want ",
                     want.size());
    }
  }
  auto report = validate(kPath);
  if (!report) return "validate failed: " + report.error().to_string();
  if (!report->problems.empty()) return "validate: " + report->problems.front();
  if (report->records != state->records) {
    return str_cat("validate counted ", report->records, " records, want ", state->records);
  }
  return std::nullopt;
}

struct Tally {
  std::uint64_t crash_points = 0;
  std::uint64_t loss_states = 0;
  std::uint64_t recovery_crashes = 0;
  std::vector<std::string> failures;

  void check(SimEnv& sim, const World& w, const std::string& where) {
    if (auto wrong = recover_and_check(sim, w)) {
      if (failures.size() < 8) failures.push_back(where + ": " + *wrong);
    }
  }
};

// Every power loss the pending changes allow, each checked from `crashed`.
void explore_losses(SimEnv& sim, const World& w, const SimEnv::State& crashed,
                    const std::string& where, Tally& tally) {
  sim.restore(crashed);
  const auto choices = SimEnv::loss_choices(sim.pending_count());
  for (std::size_t i = 0; i < choices.size(); ++i) {
    sim.restore(crashed);
    sim.power_loss(choices[i]);
    ++tally.loss_states;
    tally.check(sim, w, str_cat(where, ", power loss #", i));
  }
}

// Crashes the close at every step (and not at all), recovers, and checks every power loss of
// what the crash left; then crashes the recovery itself at each of its steps and does the same.
void explore(const CrashCase& c) {
  SimEnv sim;
  ScopedEnv installed(sim);
  const World w = build_world(sim, c);
  ASSERT_FALSE(::testing::Test::HasFailure());
  sim.set_tear_size(c.tear_size);
  const std::size_t durable = w.allowed.front().records;

  // The dry run: how many steps the operation takes.
  ASSERT_TRUE(run_close(sim, c, durable, 0, c.seal));
  const std::uint64_t total = sim.steps();
  ASSERT_GE(total, 10u);

  Tally tally;
  for (std::uint64_t n = 1; n <= total + 1; ++n) {
    sim.restore(w.start);
    (void)run_close(sim, c, durable, n, c.seal);
    const std::string cut =
        n <= total ? str_cat("crash at ", sim.describe(n)) : std::string("no crash");
    sim.restart();
    ++tally.crash_points;
    const SimEnv::State crashed = sim.snapshot();

    tally.check(sim, w, cut);
    explore_losses(sim, w, crashed, cut, tally);

    // A second crash during recovery, at each of its steps.
    sim.restore(crashed);
    sim.reset_steps();
    (void)Container::open_append(kPath);
    const std::uint64_t recovery_steps = sim.steps();
    for (std::uint64_t m = 1; m <= recovery_steps; ++m) {
      sim.restore(crashed);
      sim.reset_steps();
      sim.crash_at(m);
      (void)Container::open_append(kPath);
      const std::string again = str_cat(cut, ", then recovery crash at ", sim.describe(m));
      sim.restart();
      ++tally.recovery_crashes;
      const SimEnv::State twice = sim.snapshot();
      tally.check(sim, w, again);
      explore_losses(sim, w, twice, again, tally);
    }
  }

  std::printf(
      "[ crash    ] %s: %llu steps, %llu crash points, %llu power-loss states, "
      "%llu recovery crashes\n",
      c.name.c_str(), static_cast<unsigned long long>(total),
      static_cast<unsigned long long>(tally.crash_points),
      static_cast<unsigned long long>(tally.loss_states),
      static_cast<unsigned long long>(tally.recovery_crashes));
  ::testing::Test::RecordProperty("crash_points", static_cast<int>(tally.crash_points));
  ::testing::Test::RecordProperty("power_loss_states", static_cast<int>(tally.loss_states));
  for (const std::string& f : tally.failures) ADD_FAILURE() << f;
}

class CloseFrameCrashTest : public ::testing::TestWithParam<CrashCase> {};

TEST_P(CloseFrameCrashTest, RecoversWhollyBeforeOrAfterAtEveryCut) {
  explore(GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CloseFrameCrashTest,
    ::testing::Values(
        CrashCase{"first_frame_fixed_level3", false, 0, 5, 0, 3, false, 0},
        CrashCase{"second_frame_prefixed_level0", true, 1, 6, 0, 0, false, 0},
        CrashCase{"third_frame_fixed_level19", false, 2, 3, 0, 19, false, 0},
        CrashCase{"buffered_records_fixed_level1", false, 1, 3, 2, 1, false, 0},
        CrashCase{"seal_prefixed_level3", true, 1, 4, 0, 3, true, 0},
        CrashCase{"torn_512_byte_writes_fixed_level0", false, 1, 200, 0, 0, false, 512},
        CrashCase{"torn_512_byte_writes_prefixed_level3", true, 0, 150, 3, 3, false, 512}),
    [](const auto& info) { return info.param.name; });

// A close dies after writing its journal but before syncing it; the next opener finds the
// journal intact in the cache and starts splicing it; power is lost. Had the replay not made the
// journal durable before touching the data file, the journal would be gone while the frame
// write over the tail survived, and durable tail records would read back as frame bytes.
TEST(CloseFrameCrashScenario, ReplayMakesTheJournalDurableBeforeSplicing) {
  const CrashCase c{"first_frame_fixed_level3", false, 0, 5, 0, 3, false, 0};
  SimEnv sim;
  ScopedEnv installed(sim);
  const World w = build_world(sim, c);
  ASSERT_EQ(w.records.size(), 5u);

  // 1. The close creates and writes its journal (its head, then the frame), then dies at the
  //    journal's sync.
  ASSERT_FALSE(run_close(sim, c, 5, 4, false).has_value());
  ASSERT_EQ(sim.describe(4), "step 4: sync /sim/run.drelix.seal");
  sim.restart();

  // 2. The next open_append finds the journal valid in the cache and replays it: it syncs the
  //    journal and its directory (steps 1 and 2), writes the frame over the tail start (step 3)
  //    and dies at the cut (step 4).
  sim.reset_steps();
  sim.crash_at(4);
  ASSERT_FALSE(Container::open_append(kPath).has_value());
  ASSERT_TRUE(sim.describe(3).starts_with("step 3: write /sim/run.drelix at 4112,"))
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
  FaultEnv faults(sim);
  ScopedEnv installed(faults);
  const Schema schema = schema_for(false);
  {
    auto created = Container::create(kPath, schema, "crash test", "sim", 0, kZone, {});
    ASSERT_TRUE(created.has_value());
    Container c = std::move(*created);
    for (std::size_t i = 0; i < 3; ++i) ASSERT_TRUE(c.append_record(record(false, i)));
    ASSERT_TRUE(c.flush_data());
    sim.make_durable();

    // The first directory sync hardens the journal, the second its deletion.
    faults.fail_nth(FaultEnv::Op::SyncDir, faults.count(FaultEnv::Op::SyncDir) + 2, EIO);
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
