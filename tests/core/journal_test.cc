// The journal of a close, byte for byte as it is written, and with what permission bits. (Replaying
// it is checked against an independent reading of the format by the journal fuzz target, and at
// every crash point by the crash explorer.)
#include "core/journal.h"

#include <cerrno>
#include <filesystem>
#include <functional>

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
const std::string kPayload = u64le(24) + u64le(kNewZone.size()) + kNewZone + kFrame;
const std::string kImage =
    "DJRNL2" + u64le(kPayload.size()) + u64le(fnv1a64(as_bytes(kPayload))) + kPayload;

class JournalTest : public test::SimTest {
 protected:
  void put(const std::string& path, const std::string& text) { sim_.put(path, as_bytes(text)); }
  std::string text(const std::string& path) {
    return sim_.exists(path) ? test::read_text(path) : "<none>";
  }
  std::string journal_ = path_ + ".seal";
};

// The image as worked out by hand (from a frame given in two pieces), over a stale longer
// journal, with the data file's permission
// bits (a relative path's gets the default ones and its directory is "."); the data file is
// untouched. A failed directory sync fails the write: the splice that would follow needs a
// durable journal. (That the journal is synced before the splice, and its directory entry, is
// the crash explorer's: a power loss would take it back.)
TEST_F(JournalTest, WriteJournal) {
  sim_.put(path_, as_bytes(kBefore), 0600);
  put(journal_, std::string(1000, 'x'));
  sim_.fail_nth(Op::SyncDir, 1, EIO);
  const ByteView frame = as_bytes(kFrame);
  const ByteView pieces[] = {frame.first(3), frame.subspan(3)};
  EXPECT_EQ(write_journal(path_, 24, as_bytes(kNewZone), pieces), fail(Error::io_at(dir_, EIO)));
  EXPECT_EQ(text(journal_), kImage);
  EXPECT_EQ(text(path_), kBefore);
  EXPECT_EQ(sim_.mode(journal_), 0600u);
  ASSERT_TRUE(write_journal("run.drelix", 24, as_bytes(kNewZone), pieces));
  EXPECT_EQ(sim_.mode("run.drelix.seal"), 0644u);
  EXPECT_EQ(sim_.last_path(Op::SyncDir), ".");
}

using JournalLinkTest = test::DirTest;

// A link planted at the journal's name, symbolic or hard, is replaced by the close's own journal:
// the file it points to keeps its bytes and the close completes.
TEST_F(JournalLinkTest, ACloseNeverWritesThroughALinkAtTheJournalsName) {
  const std::string victim = dir_.file("victim"), seal = journal_path(path_);
  const std::function<void()> plants[] = {[&] { std::filesystem::create_symlink(victim, seal); },
                                          [&] { std::filesystem::create_hard_link(victim, seal); }};
  for (const auto& plant : plants) {
    std::filesystem::remove(path_);
    test::write_file(victim, as_bytes("victim"));
    Container c = Container::create(path_, test::quad_schema(), "", "", 0, 4096, {}).value();
    ASSERT_TRUE(c.append_record(test::u32_records(7, 1)));
    plant();
    ASSERT_TRUE(c.close_frame(0, 3));
    EXPECT_EQ(test::read_text(victim), "victim");
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(seal)));
    EXPECT_EQ(c.read_frame(0).value(), test::u32_records(7, 1));
  }
}

}  // namespace
}  // namespace drelix
