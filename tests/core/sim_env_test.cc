// The crash tests are only as right as the simulated disk: what survives a crash and a power
// loss, and what a crash point refuses.
#include "tests/core/sim_env.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace drelix {
namespace {

// Runs a script of calls ("create p", "replace p", "write p at text", "truncate p n", "sync p",
// "syncdir d", "unlink p", "rename p q"), files staying open, and counts the calls that failed.
std::size_t run(SimEnv& s, const std::string& script) {
  std::map<std::string, FilePtr> open;
  std::size_t failed = 0;
  std::istringstream in(script);
  std::string op, p, arg, text;
  while (in >> op >> p) {
    if (op == "write" || op == "truncate" || op == "rename") in >> arg;
    if (op == "write") in >> text;
    if (op == "create" || op == "replace") {
      open[p] = (op == "create" ? s.create_exclusive(p, 0666) : s.create_truncate(p, 0666))
                    .value_or(nullptr);
    } else if ((op == "write" || op == "truncate" || op == "sync") && !open[p]) {
      open[p] = s.open_read_write(p).value_or(nullptr);
    }
    File* f = open[p].get();
    failed += !(op == "write"      ? f && f->write_all_at(std::stoull(arg), as_bytes(text))
                : op == "truncate" ? f && f->truncate(std::stoull(arg))
                : op == "sync"     ? f && f->sync()
                : op == "unlink"   ? s.unlink(p).has_value()
                : op == "rename"   ? s.rename(p, arg).has_value()
                : op == "syncdir"  ? s.sync_dir(p).has_value()
                                   : f != nullptr);
  }
  return failed;
}

// What the files hold, "-" for none.
std::string files(const SimEnv& s) {
  std::string out;
  for (const char* p : {"/d/a", "/d/b", "/d/c"}) {
    out += (out.empty() ? "" : "|") + (s.exists(p) ? std::string(as_text(*s.contents(p))) : "-");
  }
  return out;
}

// "/d/a" and "/d/b" hold "hello" and "old", durably, and a handle to "/d/b" is open. The script
// runs, crashed at its nth step if n > 0; then a power loss keeping nothing, or everything,
// pending leaves the files as given, and the old handle dead.
TEST(SimEnvTest, PowerLossKeepsWhatWasSyncedPlusTheChosenChanges) {
  const std::string crashed =
      "create /d/c write /d/c 0 ab write /d/c 2 cd sync /d/c rename /d/c /d/a";  // five calls
  const struct {
    std::string script;
    std::uint64_t crash;
    std::size_t pending;
    std::string none, all;
  } cases[] = {
      {"write /d/a 7 !", 0, 1, "hello|old|-", std::string("hello\0\0!|old|-", 14)},
      {"truncate /d/a 2", 0, 1, "hello|old|-", "he|old|-"},
      {"write /d/a 0 J sync /d/a write /d/a 4 y", 0, 1, "Jello|old|-", "Jelly|old|-"},
      {"replace /d/a write /d/a 0 x", 0, 2, "hello|old|-", "x|old|-"},
      // A synced file whose entry was never synchronised vanishes, whatever other directory is
      // synchronised; a synced entry keeps a file whose data was not synced, empty.
      {"create /d/c sync /d/c syncdir /e syncdir /d/c", 0, 1, "hello|old|-", "hello|old|"},
      {"create /d/c syncdir /d write /d/c 0 abc", 0, 1, "hello|old|", "hello|old|abc"},
      // The classic atomic replace: unsynced data under a synced rename comes back empty.
      {"create /d/c write /d/c 0 new rename /d/c /d/b syncdir /d", 0, 1, "hello||-", "hello|new|-"},
      // A file unlinked durably is gone, whatever is written through a handle still open.
      {"write /d/a 0 h unlink /d/a syncdir /d write /d/a 0 zz sync /d/a", 0, 0, "-|old|-",
       "-|old|-"},
      // A crash at step n leaves steps 1..n-1 performed, and pending.
      {crashed, 2, 1, "hello|old|-", "hello|old|"},
      {crashed, 5, 1, "hello|old|-", "hello|old|abcd"},
      {crashed, 0, 2, "hello|old|-", "abcd|old|-"},
  };
  for (const auto& c : cases) {
    for (const bool keep : {false, true}) {
      SCOPED_TRACE(testing::Message() << c.script << ", crash " << c.crash << ", keep " << keep);
      SimEnv sim;
      sim.put("/d/a", as_bytes("hello"));
      sim.put("/d/b", as_bytes("old"));
      const SimEnv::State start = sim.snapshot();
      FilePtr h = sim.open_read_write("/d/b").value();
      sim.crash_at(c.crash);
      EXPECT_EQ(run(sim, c.script), c.crash ? 6 - c.crash : 0);
      if (c.crash) {  // the refused step is traced; the dead process can do nothing more
        EXPECT_EQ(sim.steps(), c.crash);
        EXPECT_EQ(sim.open_read("/d/a").error().os_code(), EIO);
      }
      sim.restart();
      ASSERT_EQ(sim.pending_count(), c.pending);
      sim.power_loss(std::vector<bool>(c.pending, keep));
      EXPECT_EQ(sim.pending_count(), 0u);
      EXPECT_EQ(files(sim), keep ? c.all : c.none);
      EXPECT_EQ(h->write_all_at(0, as_bytes("x")), fail(Error::io(EIO)));
      sim.restore(start);
      EXPECT_EQ(files(sim), "hello|old|-");
    }
  }
  SimEnv sim;  // torn writes: each piece is kept or lost on its own
  sim.put("/d/a", {});
  sim.set_tear_size(2);
  run(sim, "write /d/a 0 abcdef");
  ASSERT_EQ(sim.pending_count(), 3u);
  sim.power_loss({true, false, true});
  EXPECT_EQ(files(sim), std::string("ab\0\0ef|-|-", 10));
}

}  // namespace
}  // namespace drelix
