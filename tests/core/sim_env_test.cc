// The simulated disk must be right before any crash test built on it can be believed: these
// tests pin down what survives a crash and a power loss, step by step.
#include "tests/core/sim_env.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace drelix {
namespace {

Bytes bytes_of(std::string_view s) {
  return Bytes(s.begin(), s.end());
}

std::string text_of(const std::optional<Bytes>& b) {
  return b ? std::string(b->begin(), b->end()) : std::string("<absent>");
}

// Opens `path` for writing or fails the test.
FilePtr open_rw(SimEnv& sim, const std::string& path) {
  auto f = sim.open_read_write(path);
  EXPECT_TRUE(f.has_value()) << path;
  return f ? std::move(*f) : nullptr;
}

FilePtr create(SimEnv& sim, const std::string& path) {
  auto f = sim.create_exclusive(path, 0666);
  EXPECT_TRUE(f.has_value()) << path;
  return f ? std::move(*f) : nullptr;
}

void write(File& f, std::uint64_t at, std::string_view s) {
  ASSERT_TRUE(f.write_all_at(at, bytes_of(s)).has_value());
}

// What a path holds after a power loss that keeps none, or all, of the pending changes.
struct LossCase {
  std::string name;
  std::function<void(SimEnv&)> run;
  std::size_t pending;
  std::map<std::string, std::string> keep_none;  // path -> content, or "<absent>"
  std::map<std::string, std::string> keep_all;
};

class SimEnvLossTest : public ::testing::TestWithParam<LossCase> {};

TEST_P(SimEnvLossTest, KeepsExactlyWhatWasSyncedPlusTheChosenChanges) {
  const LossCase& c = GetParam();
  for (const bool keep : {false, true}) {
    SimEnv sim;
    sim.put("/d/old", bytes_of("hello"));
    sim.put("/d/b", bytes_of("old"));
    c.run(sim);
    ASSERT_EQ(sim.pending_count(), c.pending);
    sim.power_loss(std::vector<bool>(sim.pending_count(), keep));
    EXPECT_EQ(sim.pending_count(), 0u);
    for (const auto& [path, want] : keep ? c.keep_all : c.keep_none) {
      EXPECT_EQ(text_of(sim.contents(path)), want) << path << (keep ? " keep all" : " keep none");
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SimEnvLossTest,
    ::testing::Values(
        LossCase{"synced_file_and_dir",
                 [](SimEnv& s) {
                   FilePtr f = create(s, "/d/f");
                   write(*f, 0, "abc");
                   ASSERT_TRUE(f->sync());
                   ASSERT_TRUE(s.sync_dir("/d"));
                 },
                 0,
                 {{"/d/f", "abc"}},
                 {{"/d/f", "abc"}}},
        // A synced file whose directory entry was never synchronised may vanish whole.
        LossCase{"synced_file_unsynced_entry",
                 [](SimEnv& s) {
                   FilePtr f = create(s, "/d/f");
                   write(*f, 0, "abc");
                   ASSERT_TRUE(f->sync());
                 },
                 1,
                 {{"/d/f", "<absent>"}},
                 {{"/d/f", "abc"}}},
        LossCase{"synced_entry_unsynced_data",
                 [](SimEnv& s) {
                   FilePtr f = create(s, "/d/f");
                   ASSERT_TRUE(s.sync_dir("/d"));
                   write(*f, 0, "abc");
                 },
                 1,
                 {{"/d/f", ""}},
                 {{"/d/f", "abc"}}},
        LossCase{"unsynced_overwrite",
                 [](SimEnv& s) { write(*open_rw(s, "/d/old"), 0, "J"); },
                 1,
                 {{"/d/old", "hello"}},
                 {{"/d/old", "Jello"}}},
        LossCase{"unsynced_extension_past_end",
                 [](SimEnv& s) { write(*open_rw(s, "/d/old"), 7, "!"); },
                 1,
                 {{"/d/old", "hello"}},
                 {{"/d/old", std::string("hello\0\0!", 8)}}},
        LossCase{"unsynced_truncate",
                 [](SimEnv& s) { ASSERT_TRUE(open_rw(s, "/d/old")->truncate(2)); },
                 1,
                 {{"/d/old", "hello"}},
                 {{"/d/old", "he"}}},
        LossCase{"sync_between_two_writes",
                 [](SimEnv& s) {
                   FilePtr f = open_rw(s, "/d/old");
                   write(*f, 0, "J");
                   ASSERT_TRUE(f->sync());
                   write(*f, 4, "y");
                 },
                 1,
                 {{"/d/old", "Jello"}},
                 {{"/d/old", "Jelly"}}},
        LossCase{"create_truncate_of_durable_file",
                 [](SimEnv& s) {
                   auto f = s.create_truncate("/d/old", 0666);
                   ASSERT_TRUE(f);
                   write(**f, 0, "x");
                 },
                 2,
                 {{"/d/old", "hello"}},
                 {{"/d/old", "x"}}},
        LossCase{"unlink_unsynced",
                 [](SimEnv& s) { ASSERT_TRUE(s.unlink("/d/old")); },
                 1,
                 {{"/d/old", "hello"}},
                 {{"/d/old", "<absent>"}}},
        LossCase{"unlink_synced",
                 [](SimEnv& s) {
                   ASSERT_TRUE(s.unlink("/d/old"));
                   ASSERT_TRUE(s.sync_dir("/d"));
                 },
                 0,
                 {{"/d/old", "<absent>"}},
                 {{"/d/old", "<absent>"}}},
        LossCase{"rename_over_unsynced",
                 [](SimEnv& s) { ASSERT_TRUE(s.rename("/d/old", "/d/b")); },
                 1,
                 {{"/d/old", "hello"}, {"/d/b", "old"}},
                 {{"/d/old", "<absent>"}, {"/d/b", "hello"}}},
        LossCase{"rename_over_synced",
                 [](SimEnv& s) {
                   ASSERT_TRUE(s.rename("/d/old", "/d/b"));
                   ASSERT_TRUE(s.sync_dir("/d"));
                 },
                 0,
                 {{"/d/old", "<absent>"}, {"/d/b", "hello"}},
                 {{"/d/old", "<absent>"}, {"/d/b", "hello"}}},
        // The classic atomic replace: unsynced data under a synced rename comes back empty.
        LossCase{"rename_of_unsynced_new_file",
                 [](SimEnv& s) {
                   FilePtr f = create(s, "/d/tmp");
                   write(*f, 0, "new");
                   ASSERT_TRUE(s.rename("/d/tmp", "/d/b"));
                   ASSERT_TRUE(s.sync_dir("/d"));
                 },
                 1,
                 {{"/d/b", ""}, {"/d/tmp", "<absent>"}},
                 {{"/d/b", "new"}, {"/d/tmp", "<absent>"}}},
        LossCase{"sync_of_another_directory",
                 [](SimEnv& s) {
                   FilePtr f = create(s, "/d/f");
                   ASSERT_TRUE(f->sync());
                   ASSERT_TRUE(s.sync_dir("/e"));
                   ASSERT_TRUE(s.sync_dir("/d/f"));
                 },
                 1,
                 {{"/d/f", "<absent>"}},
                 {{"/d/f", ""}}},
        LossCase{"relative_path_and_current_directory",
                 [](SimEnv& s) {
                   FilePtr f = create(s, "rel");
                   write(*f, 0, "r");
                   ASSERT_TRUE(f->sync());
                   ASSERT_TRUE(s.sync_dir("."));
                 },
                 0,
                 {{"rel", "r"}},
                 {{"rel", "r"}}},
        LossCase{"unlinked_file_written_through_open_handle",
                 [](SimEnv& s) {
                   FilePtr f = open_rw(s, "/d/old");
                   ASSERT_TRUE(s.unlink("/d/old"));
                   ASSERT_TRUE(s.sync_dir("/d"));
                   write(*f, 0, "zz");
                   ASSERT_TRUE(f->sync());
                 },
                 0,
                 {{"/d/old", "<absent>"}},
                 {{"/d/old", "<absent>"}}}),
    [](const auto& info) { return info.param.name; });

TEST(SimEnvTest, TearSizeSplitsAWriteIntoIndependentPieces) {
  SimEnv sim;
  sim.put("/d/f", Bytes{});
  sim.set_tear_size(2);
  write(*open_rw(sim, "/d/f"), 0, "abcdef");
  ASSERT_EQ(sim.pending_count(), 3u);
  sim.power_loss({true, false, true});
  EXPECT_EQ(text_of(sim.contents("/d/f")), std::string("ab\0\0ef", 6));
}

// Five steps; a crash at step n leaves exactly steps 1..n-1 performed.
TEST(SimEnvTest, CrashAtStepNPerformsOnlyTheStepsBefore) {
  const std::vector<std::pair<std::string, std::string>> want = {
      {"<absent>", "<absent>"},  // crash at the create
      {"", "<absent>"},          // at the first write
      {"ab", "<absent>"},        // at the second write
      {"abcd", "<absent>"},      // at the sync
      {"abcd", "<absent>"},      // at the rename
      {"<absent>", "abcd"},      // no crash
  };
  for (std::uint64_t n = 1; n <= want.size(); ++n) {
    SCOPED_TRACE(n);
    SimEnv sim;
    sim.crash_at(n);
    std::vector<bool> ok;
    auto created = sim.create_exclusive("/d/f", 0666);
    ok.push_back(created.has_value());
    if (created) {
      ok.push_back((*created)->write_all_at(0, bytes_of("ab")).has_value());
      ok.push_back((*created)->write_all_at(2, bytes_of("cd")).has_value());
      ok.push_back((*created)->sync().has_value());
    }
    ok.push_back(sim.rename("/d/f", "/d/g").has_value());
    // Every step from n on failed; the ones before succeeded.
    for (std::size_t k = 0; k < ok.size(); ++k) EXPECT_EQ(ok[k], k + 1 < n) << "call " << k + 1;
    EXPECT_EQ(sim.crashed(), n <= 5);
    EXPECT_EQ(sim.steps(), std::min<std::uint64_t>(n, 5));
    if (sim.crashed()) {
      // A dead process cannot even read.
      auto r = sim.open_read("/d/f");
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error().os_code(), EIO);
    }
    sim.restart();
    EXPECT_EQ(text_of(sim.contents("/d/f")), want[n - 1].first);
    EXPECT_EQ(text_of(sim.contents("/d/g")), want[n - 1].second);
  }
}

TEST(SimEnvTest, ACrashAloneLosesNothingThatWasPerformed) {
  SimEnv sim;
  FilePtr f = create(sim, "/d/f");
  write(*f, 0, "abc");
  sim.crash_at(sim.steps() + 1);
  EXPECT_FALSE(f->sync().has_value());
  sim.restart();
  // The operating system still holds the bytes and the entry; only a power loss can drop them.
  EXPECT_EQ(text_of(sim.contents("/d/f")), "abc");
  EXPECT_EQ(sim.pending_count(), 2u);
  sim.power_loss({true, false});
  EXPECT_EQ(text_of(sim.contents("/d/f")), "");
}

TEST(SimEnvTest, SnapshotRestoresTheDiskAndKillsHandles) {
  SimEnv sim;
  sim.put("/d/f", bytes_of("one"));
  const SimEnv::State start = sim.snapshot();
  FilePtr f = open_rw(sim, "/d/f");
  write(*f, 0, "two");
  ASSERT_TRUE(sim.unlink("/d/f"));
  sim.restore(start);
  EXPECT_EQ(text_of(sim.contents("/d/f")), "one");
  EXPECT_EQ(sim.pending_count(), 0u);
  EXPECT_FALSE(f->write_all_at(0, bytes_of("x")).has_value());
  EXPECT_EQ(text_of(sim.contents("/d/f")), "one");
}

TEST(SimEnvTest, LossChoicesAreExhaustiveWhenSmallAndBoundedWhenLarge) {
  EXPECT_EQ(SimEnv::loss_choices(0), std::vector<std::vector<bool>>{std::vector<bool>{}});
  const auto three = SimEnv::loss_choices(3);
  EXPECT_EQ(std::set<std::vector<bool>>(three.begin(), three.end()).size(), 8u);

  const std::size_t n = 14;
  const auto many = SimEnv::loss_choices(n);
  const std::set<std::vector<bool>> distinct(many.begin(), many.end());
  EXPECT_EQ(distinct.size(), many.size());
  EXPECT_LE(many.size(), (n + 1) + 2 * n + 32);
  EXPECT_GT(many.size(), (n + 1) + 2 * n - 2);
  EXPECT_TRUE(distinct.contains(std::vector<bool>(n, false)));
  EXPECT_TRUE(distinct.contains(std::vector<bool>(n, true)));
  for (const auto& m : many) EXPECT_EQ(m.size(), n);
  // Fixed seed: the same masks every run, so a failure reproduces.
  EXPECT_EQ(SimEnv::loss_choices(n), many);
}

}  // namespace
}  // namespace drelix
