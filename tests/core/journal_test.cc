#include "core/journal.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <string>

#include "core/hash.h"
#include "core/preamble.h"
#include "tests/core/test_util.h"

namespace drelix {
namespace {

using Op = SimEnv::Op;

std::string u64le(std::uint64_t v) {
  std::string out(8, '\0');
  store_u64le(reinterpret_cast<std::uint8_t*>(out.data()), v);
  return out;
}

// A small data file: a preamble declaring an 8-byte zone, the zone, then a 10-byte tail. A
// close replaces the tail (at 24) by a 4-byte frame and writes a new zone.
const std::string kPreamble(as_text(Preamble{8, kFormatVersion, kFlagCompressed}.encode()));
const std::string kNewZone = "newzone\n";
const std::string kFrame = "FRM!";
const std::string kBefore = kPreamble + "oldzone\n" + "rec1rec2rr";
const std::string kAfter = kPreamble + kNewZone + kFrame;
const std::string kPayload = u64le(24) + u64le(kNewZone.size()) + kNewZone + kFrame;
const std::string kImage =
    "DJRNL2" + u64le(kPayload.size()) + u64le(fnv1a64(as_bytes(kPayload))) + kPayload;

class JournalTest : public test::SimTest {
 protected:
  void put(const std::string& path, const std::string& text) { sim_.put(path, as_bytes(text)); }
  std::string text(const std::string& path) {
    return sim_.exists(path) ? test::read_text(path) : "<none>";
  }
  Status write_valid() { return write_journal(path_, 24, as_bytes(kNewZone), as_bytes(kFrame)); }
  // A data file before the close and its valid journal, with fault counts from zero.
  void start() {
    put(path_, kBefore);
    put(journal_, kImage);
    sim_.reset();
  }
  std::string journal_ = path_ + ".seal";
};

TEST_F(JournalTest, PathAndExactImage) {
  for (const auto& [path, journal] : {std::pair{"/d/run.drelix", "/d/run.drelix.seal"},
                                      {"run.drelix", "run.drelix.seal"},
                                      {"", ".seal"}}) {
    EXPECT_EQ(journal_path(path), journal);
  }
  put(path_, kBefore);
  put(journal_, std::string(1000, 'x'));  // a stale, longer journal is truncated first
  ASSERT_TRUE(write_journal(path_, 4112, as_bytes("k:v\n"), as_bytes("abc")).has_value());
  // Worked out by hand: P = 16 + 4 + 3 = 23, FNV-1a 64 of the payload = 0xf40f2710fe1b1524.
  const std::uint8_t expected[] = {
      0x44, 0x4a, 0x52, 0x4e, 0x4c, 0x32,              // "DJRNL2"
      0x17, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // P
      0x24, 0x15, 0x1b, 0xfe, 0x10, 0x27, 0x0f, 0xf4,  // checksum
      0x10, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // offset 4112
      0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // Z
      0x6b, 0x3a, 0x76, 0x0a, 0x61, 0x62, 0x63,        // zone "k:v\n", frame "abc"
  };
  EXPECT_EQ(text(journal_), as_text(expected));
  EXPECT_EQ(text(path_), kBefore);  // writing the journal never touches the data file
  ASSERT_TRUE(write_valid().has_value());
  EXPECT_EQ(text(journal_), kImage);
  // The journal takes the data file's permission bits, over a stale journal's too, or the
  // default ones when there is no data file; a relative path's directory is ".".
  sim_.put(path_, as_bytes(kBefore), 0600);
  ASSERT_TRUE(write_valid().has_value());
  EXPECT_EQ(sim_.mode(journal_), 0600u);
  ASSERT_TRUE(write_journal("run.drelix", 24, as_bytes(kNewZone), as_bytes(kFrame)));
  EXPECT_EQ(sim_.mode("run.drelix.seal"), 0644u);
  EXPECT_EQ(sim_.last_path(Op::SyncDir), ".");
}

// The image is written, synced, then its directory synced. A failing create, write, sync or
// directory sync stops the steps after it and leaves the data file as it was: the splice that
// would follow relies on a journal that survives a power loss.
TEST_F(JournalTest, WriteJournalStepsAndTheirFailures) {
  const struct {
    Op op;
    std::uint64_t nth;
    std::optional<std::string> path;  // of the failure; nothing: success
    std::uint64_t writes, syncs, dir_syncs;
  } cases[] = {
      {Op::Open, 0, std::nullopt, 2, 1, 1},
      // The first open reads the data file's permission bits; the second creates the journal.
      {Op::Open, 2, journal_, 0, 0, 0},
      {Op::Write, 1, "", 1, 0, 0},  // the head
      {Op::Write, 2, "", 2, 0, 0},  // the frame
      {Op::Sync, 1, "", 2, 1, 0},
      {Op::SyncDir, 1, dir_, 2, 1, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.op) * 10 + c.nth);
    put(path_, kBefore);
    sim_.erase(journal_);
    sim_.reset();
    if (c.nth != 0) sim_.fail_nth(c.op, c.nth, EIO);
    const auto r = write_valid();
    if (!c.path) {
      ASSERT_TRUE(r.has_value());
      EXPECT_EQ(text(journal_), kImage);
      EXPECT_EQ(sim_.last_path(Op::SyncDir), dir_);
      EXPECT_EQ(sim_.pending_count(), 0u);
    } else {
      EXPECT_EQ(r, fail(c.path->empty() ? Error::io(EIO) : Error::io_at(*c.path, EIO)));
    }
    EXPECT_EQ(sim_.count(Op::Write), c.writes);
    EXPECT_EQ(sim_.count(Op::Sync), c.syncs);
    EXPECT_EQ(sim_.count(Op::SyncDir), c.dir_syncs);
    EXPECT_EQ(text(path_), kBefore);
  }
}

// A replay without journal does nothing. One that cannot read its journal (whose splice may have
// begun) or finds no data file fails naming the file and keeps the journal. Else it makes the
// journal durable first (its close may have died before syncing it), so a failure there leaves
// the data file alone; a failed splice fails without a path; and the journal must then go
// durably, or a later replay would cut off what is appended next. Every failure keeps the
// journal, and the next replay finishes the close (splicing the same bytes again).
TEST_F(JournalTest, ReplayAndItsFailures) {
  put(path_, kBefore);
  EXPECT_TRUE(replay_journal(path_).has_value());
  EXPECT_EQ(text(path_), kBefore);
  EXPECT_EQ(sim_.count(Op::Write) + sim_.count(Op::Unlink), 0u);

  // Journals written for another file, or invalid, are deleted and the data file is untouched:
  // a zone of another size, an offset before the data or past the end, a data file without a
  // readable preamble, a payload too short for its own framing (with a valid checksum).
  const auto journal_of = [](const std::string& payload) {
    return "DJRNL2" + u64le(payload.size()) + u64le(fnv1a64(as_bytes(payload))) + payload;
  };
  const std::string bad_preamble = "X" + kBefore.substr(1);
  for (const auto& [data, journal] : {
           std::pair{kBefore, journal_of(u64le(24) + u64le(9) + "newzone!\n" + kFrame)},
           std::pair{kBefore, journal_of(u64le(23) + u64le(8) + kNewZone + kFrame)},
           std::pair{kBefore, journal_of(u64le(35) + u64le(8) + kNewZone + kFrame)},
           std::pair{bad_preamble, kImage},
           std::pair{kBefore, journal_of(u64le(24) + "1234567")},
       }) {
    put(path_, data);
    put(journal_, journal);
    EXPECT_TRUE(replay_journal(path_).has_value());
    EXPECT_EQ(text(path_), data);
    EXPECT_EQ(text(journal_), "<none>");
  }

  const struct {
    Op op;
    std::uint64_t nth;
    int errnum;
    std::string failing_path;  // "": none
    std::string data_after;
  } cases[] = {
      {Op::Open, 1, EACCES, journal_, kBefore},
      {Op::Read, 1, EIO, journal_, kBefore},  // the head
      {Op::Read, 2, EIO, journal_, kBefore},  // the payload
      {Op::Sync, 1, EIO, journal_, kBefore},
      {Op::SyncDir, 1, EIO, dir_, kBefore},
      {Op::Write, 1, EIO, "", kBefore},  // the frame
      {Op::Truncate, 1, EIO, "", kPreamble + "oldzone\nFRM!rec2rr"},
      {Op::Write, 2, EIO, "", kPreamble + "oldzone\nFRM!"},  // the zone
      {Op::Sync, 2, EIO, "", kAfter},                        // the data file
      {Op::Unlink, 1, EIO, journal_, kAfter},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.op) * 10 + c.nth);
    start();
    sim_.fail_nth(c.op, c.nth, c.errnum);
    const Error e =
        c.failing_path.empty() ? Error::io(c.errnum) : Error::io_at(c.failing_path, c.errnum);
    EXPECT_EQ(replay_journal(path_), fail(e));
    EXPECT_EQ(sim_.count(Op::Unlink), c.op == Op::Unlink ? 1u : 0u);
    EXPECT_EQ(text(journal_), kImage);
    EXPECT_EQ(text(path_), c.data_after);
    sim_.clear(c.op);
    ASSERT_TRUE(replay_journal(path_).has_value());
    EXPECT_EQ(text(path_), kAfter);
    EXPECT_EQ(text(journal_), "<none>");
    EXPECT_EQ(sim_.pending_count(), 0u);
  }
  start();
  sim_.erase(path_);
  EXPECT_EQ(replay_journal(path_), fail(Error::io_at(path_, ENOENT)));
  EXPECT_EQ(text(journal_), kImage);
  EXPECT_EQ(text(path_), "<none>");
}

// remove_journal says whether the journal is gone as far as a power cut is concerned: unlinked
// and the deletion made durable. sync_parent_dir ignores failures.
TEST_F(JournalTest, RemoveJournalAndSyncParentDir) {
  start();
  sim_.fail_nth(Op::Unlink, 1, EACCES);
  EXPECT_FALSE(remove_journal(path_));
  EXPECT_TRUE(sim_.exists(journal_));
  EXPECT_TRUE(remove_journal(path_));
  EXPECT_FALSE(sim_.exists(journal_));
  EXPECT_EQ(sim_.count(Op::SyncDir), 1u);
  EXPECT_EQ(sim_.last_path(Op::SyncDir), dir_);
  EXPECT_EQ(sim_.pending_count(), 0u);
  EXPECT_TRUE(remove_journal(path_));  // absent already
  start();
  sim_.fail_nth(Op::SyncDir, 1, EIO);
  EXPECT_FALSE(remove_journal(path_));

  sim_.reset();
  sim_.fail_nth(Op::SyncDir, 1, EIO);
  for (const auto& [path, dir] :
       {std::pair{"/d/missing/x", "/d/missing"}, {"/d/x", "/d"}, {"x", "."}, {"/x", "/"}}) {
    sync_parent_dir(path);
    EXPECT_EQ(sim_.last_path(Op::SyncDir), dir);
  }
  EXPECT_EQ(sim_.count(Op::SyncDir), 4u);
}

}  // namespace
}  // namespace drelix
