// Writing, replaying and removing the journal of a close.
#include "core/journal.h"

#include <array>
#include <cerrno>

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
  // A data file before the close and its valid journal, with fault counts from zero.
  void start() {
    put(path_, kBefore);
    put(journal_, kImage);
    sim_.reset();
  }
  std::string journal_ = path_ + ".seal";
};

// The image as worked out by hand, over a stale longer journal, written, synced, then its
// directory synced; the data file is untouched. The journal takes the data file's permission
// bits (over a stale journal's too) or the default ones; a relative path's directory is ".". A
// failed directory sync fails the write: the splice that would follow needs a durable journal.
TEST_F(JournalTest, WriteJournal) {
  sim_.put(path_, as_bytes(kBefore), 0600);
  put(journal_, std::string(1000, 'x'));
  sim_.reset();
  ASSERT_TRUE(write_journal(path_, 4112, as_bytes("k:v\n"), as_bytes("abc")).has_value());
  // P = 16 + 4 + 3 = 23, FNV-1a 64 of the payload = 0xf40f2710fe1b1524.
  EXPECT_EQ(text(journal_),
            "DJRNL2" + u64le(23) + u64le(0xf40f2710fe1b1524) + u64le(4112) + u64le(4) + "k:v\nabc");
  EXPECT_EQ(text(path_), kBefore);
  EXPECT_EQ(sim_.mode(journal_), 0600u);
  EXPECT_EQ((std::array{sim_.count(Op::Write), sim_.count(Op::Sync), sim_.count(Op::SyncDir)}),
            (std::array<std::uint64_t, 3>{2, 1, 1}));
  EXPECT_EQ(sim_.last_path(Op::SyncDir), dir_);
  EXPECT_EQ(sim_.pending_count(), 0u);
  sim_.fail_nth(Op::SyncDir, 2, EIO);
  EXPECT_EQ(write_journal(path_, 24, as_bytes(kNewZone), as_bytes(kFrame)),
            fail(Error::io_at(dir_, EIO)));
  EXPECT_EQ(text(journal_), kImage);
  EXPECT_EQ(text(path_), kBefore);
  ASSERT_TRUE(write_journal("run.drelix", 24, as_bytes(kNewZone), as_bytes(kFrame)));
  EXPECT_EQ(sim_.mode("run.drelix.seal"), 0644u);
  EXPECT_EQ(sim_.last_path(Op::SyncDir), ".");
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

  const auto eio = [](const std::string& path) { return Error::io_at(path, EIO); };
  // The fault, the error, the data file after the failed replay. The splice's other steps are
  // the close's, whose faults the model test injects.
  const std::tuple<Op, std::uint64_t, Error, std::string> cases[] = {
      {Op::Open, 1, Error::io_at(journal_, EACCES), kBefore},
      {Op::Read, 1, eio(journal_), kBefore},  // the head
      {Op::Read, 2, eio(journal_), kBefore},  // the payload
      {Op::Sync, 1, eio(journal_), kBefore},
      {Op::SyncDir, 1, eio(dir_), kBefore},
      {Op::Truncate, 1, Error::io(EIO), kPreamble + "oldzone\nFRM!rec2rr"},
      {Op::Unlink, 1, eio(journal_), kAfter},
  };
  for (const auto& [op, nth, error, data_after] : cases) {
    SCOPED_TRACE(static_cast<int>(op) * 10 + nth);
    start();
    sim_.fail_nth(op, nth, error.os_code());
    EXPECT_EQ(replay_journal(path_), fail(error));
    EXPECT_EQ(sim_.count(Op::Unlink), op == Op::Unlink ? 1u : 0u);
    EXPECT_EQ(text(journal_), kImage);
    EXPECT_EQ(text(path_), data_after);
    sim_.clear(op);
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
// (or absent already) and the deletion made durable. sync_parent_dir ignores failures.
TEST_F(JournalTest, RemoveJournalAndSyncParentDir) {
  start();
  sim_.fail_nth(Op::Unlink, 1, EACCES);
  EXPECT_FALSE(remove_journal(path_));
  EXPECT_EQ(text(journal_), kImage);
  sim_.fail_nth(Op::SyncDir, 1, EIO);
  EXPECT_FALSE(remove_journal(path_));
  EXPECT_FALSE(sim_.exists(journal_));
  EXPECT_TRUE(remove_journal(path_));
  EXPECT_EQ(sim_.count(Op::SyncDir), 2u);
  EXPECT_EQ(sim_.last_path(Op::SyncDir), dir_);
  EXPECT_EQ(sim_.pending_count(), 0u);
  sim_.fail_nth(Op::SyncDir, 3, EIO);
  sync_parent_dir("x");
  EXPECT_EQ(sim_.last_path(Op::SyncDir), ".");
}

}  // namespace
}  // namespace drelix
