#include "core/journal.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "core/hash.h"
#include "core/preamble.h"
#include "tests/core/fault_env.h"
#include "tests/core/test_util.h"

namespace drelix {
namespace {

using Op = FaultEnv::Op;

using test::exists;
using test::read_text;

void write_file(const std::string& path, const std::string& bytes) {
  test::write_file(path, as_bytes(bytes));
}

std::uint32_t mode_of(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return 0xffffffff;
  return st.st_mode & 07777;
}

std::string u64le(std::uint64_t v) {
  std::string out(8, '\0');
  store_u64le(reinterpret_cast<std::uint8_t*>(out.data()), v);
  return out;
}

// A journal image around an arbitrary payload, with a correct checksum, for crafting journals
// that only their payload makes invalid.
std::string image_of(const std::string& payload) {
  return "DJRNL2" + u64le(payload.size()) + u64le(fnv1a64(as_bytes(payload))) + payload;
}

std::string payload_of(std::uint64_t offset, const std::string& zone, const std::string& frame) {
  return u64le(offset) + u64le(zone.size()) + zone + frame;
}

// A small data file: a preamble declaring an 8-byte zone, the zone, then a 10-byte tail. A
// close replaces the tail (at 24) by a 4-byte frame and writes a new zone.
const std::string kPreamble = [] {
  const auto block = Preamble{8, kFormatVersion, kFlagCompressed}.encode();
  return std::string(as_text(block));
}();
const std::string kOldZone = "oldzone\n";
const std::string kNewZone = "newzone\n";
const std::string kTail = "rec1rec2rr";
const std::string kFrame = "FRM!";
constexpr std::uint64_t kTailStart = 24;
const std::string kBefore = kPreamble + kOldZone + kTail;
const std::string kAfter = kPreamble + kNewZone + kFrame;

class JournalTest : public test::DirTest {
 protected:
  std::string valid_image() const { return image_of(payload_of(kTailStart, kNewZone, kFrame)); }
  Status write_valid() {
    return write_journal(path_, kTailStart, as_bytes(kNewZone), as_bytes(kFrame));
  }

  std::string journal_ = path_ + ".seal";
};

TEST(JournalPathTest, AppendsSealToTheFileName) {
  struct Case {
    std::string path, journal;
  };
  const Case cases[] = {
      {"/d/run.drelix", "/d/run.drelix.seal"},
      {"run.drelix", "run.drelix.seal"},
      {"d/", "d/.seal"},
      {"", ".seal"},
  };
  for (const Case& c : cases) EXPECT_EQ(journal_path(c.path), c.journal) << c.path;
}

TEST_F(JournalTest, WriteJournalProducesTheExactImage) {
  write_file(path_, kBefore);
  // A stale, longer journal is truncated first.
  write_file(journal_, std::string(1000, 'x'));
  ASSERT_TRUE(write_journal(path_, 4112, as_bytes("k:v\n"), as_bytes("abc")).has_value());
  // Worked out by hand: P = 16 + 4 + 3 = 23, FNV-1a 64 of the payload = 0xf40f2710fe1b1524.
  const std::uint8_t expected[] = {
      0x44, 0x4a, 0x52, 0x4e, 0x4c, 0x32,              // "DJRNL2"
      0x17, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // P
      0x24, 0x15, 0x1b, 0xfe, 0x10, 0x27, 0x0f, 0xf4,  // checksum
      0x10, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // offset 4112
      0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // Z
      0x6b, 0x3a, 0x76, 0x0a,                          // zone "k:v\n"
      0x61, 0x62, 0x63,                                // frame "abc"
  };
  EXPECT_EQ(read_text(journal_), as_text(expected));
  // Writing the journal never touches the data file.
  EXPECT_EQ(read_text(path_), kBefore);
  ASSERT_TRUE(write_valid().has_value());
  EXPECT_EQ(read_text(journal_), valid_image());
}

// The image is written, synced, then its directory synced. A failing create, write, sync or
// directory sync stops the steps after it and leaves the data file as it was: the splice that
// would follow relies on a journal that survives a power loss.
TEST_F(JournalTest, WriteJournalStepsAndTheirFailures) {
  struct Case {
    const char* name;
    Op op;
    std::uint64_t nth;
    std::optional<std::string> path;  // of the failure; nothing: success
    std::uint64_t writes, syncs, dir_syncs;
  };
  const Case cases[] = {
      {"no fault", Op::Open, 0, std::nullopt, 2, 1, 1},
      // The first open reads the data file's permission bits; the second creates the journal.
      {"create", Op::Open, 2, journal_, 0, 0, 0},
      {"head write", Op::Write, 1, "", 1, 0, 0},
      {"frame write", Op::Write, 2, "", 2, 0, 0},
      {"sync", Op::Sync, 1, "", 2, 1, 0},
      {"directory sync", Op::SyncDir, 1, dir_.path(), 2, 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(path_, kBefore);
    std::filesystem::remove(journal_);
    FaultEnv faults;
    ScopedEnv installed(faults);
    if (c.nth != 0) faults.fail_nth(c.op, c.nth, EIO);
    auto r = write_valid();
    if (!c.path) {
      ASSERT_TRUE(r.has_value());
      EXPECT_EQ(read_text(journal_), valid_image());
      EXPECT_EQ(faults.last_path(Op::SyncDir), dir_.path());
    } else if (c.path->empty()) {
      EXPECT_EQ(r, fail(Error::io(EIO)));
    } else {
      EXPECT_EQ(r, fail(Error::io_at(*c.path, EIO)));
    }
    EXPECT_EQ(faults.count(Op::Write), c.writes);  // the head, then the frame as it is
    EXPECT_EQ(faults.count(Op::Sync), c.syncs);
    EXPECT_EQ(faults.count(Op::SyncDir), c.dir_syncs);
    EXPECT_EQ(read_text(path_), kBefore);
  }
}

// The journal takes the data file's permission bits (even over a stale journal with wider
// ones), or the default bits when they cannot be read.
TEST_F(JournalTest, JournalPermissionBits) {
  const mode_t old_umask = ::umask(022);
  const auto r = write_valid();
  ::umask(old_umask);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(mode_of(journal_), 0644u);  // no data file

  write_file(path_, kBefore);
  ASSERT_EQ(::chmod(path_.c_str(), 0600), 0);
  for (bool stale : {false, true}) {
    std::filesystem::remove(journal_);
    if (stale) {
      write_file(journal_, "stale");
      ASSERT_EQ(::chmod(journal_.c_str(), 0644), 0);
    }
    ASSERT_TRUE(write_valid().has_value());
    EXPECT_EQ(mode_of(journal_), 0600u) << stale;
  }
}

TEST_F(JournalTest, RelativePathJournalSitsInTheCurrentDirectory) {
  const std::filesystem::path old_cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir_.path());
  write_file("run.drelix", kBefore);
  FaultEnv faults;
  {
    ScopedEnv installed(faults);
    EXPECT_TRUE(write_journal("run.drelix", kTailStart, as_bytes(kNewZone), as_bytes(kFrame)));
  }
  std::filesystem::current_path(old_cwd);
  EXPECT_EQ(read_text(journal_), valid_image());
  EXPECT_EQ(faults.last_path(Op::SyncDir), ".");
}

TEST_F(JournalTest, ReplayWithoutJournalDoesNothing) {
  write_file(path_, kBefore);
  FaultEnv faults;
  ScopedEnv installed(faults);
  EXPECT_TRUE(replay_journal(path_).has_value());
  EXPECT_EQ(read_text(path_), kBefore);
  EXPECT_EQ(faults.count(Op::Write) + faults.count(Op::Unlink), 0u);
}

// A journal that exists but cannot be read might hold a close whose splice had begun; one whose
// data file is gone has nothing to complete. Both fail naming the file, and keep the journal.
TEST_F(JournalTest, ReplayThatCannotProceedKeepsTheJournal) {
  struct Case {
    const char* name;
    Op op;
    std::uint64_t nth;
    int errnum;
    bool data_file;
  };
  const Case cases[] = {
      {"journal open", Op::Open, 1, EACCES, true},
      {"journal header read", Op::Read, 1, EIO, true},
      {"journal payload read", Op::Read, 2, EIO, true},
      {"no data file", Op::Open, 0, ENOENT, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(path_);
    if (c.data_file) write_file(path_, kBefore);
    write_file(journal_, valid_image());
    FaultEnv faults;
    ScopedEnv installed(faults);
    if (c.nth != 0) faults.fail_nth(c.op, c.nth, c.errnum);
    EXPECT_EQ(replay_journal(path_), fail(Error::io_at(c.data_file ? journal_ : path_, c.errnum)));
    EXPECT_EQ(read_text(journal_), valid_image());
    EXPECT_EQ(exists(path_) ? read_text(path_) : "<none>", c.data_file ? kBefore : "<none>");
  }
}

// A splice that fails at any step keeps the journal, fails without a path, and the next replay
// finishes the close.
TEST_F(JournalTest, FailedSpliceKeepsTheJournalForTheNextOpener) {
  struct Case {
    Op op;
    std::uint64_t nth;
  };
  const Case cases[] = {
      {Op::Write, 1},  // the frame
      {Op::Truncate, 1},
      {Op::Write, 2},  // the zone
      {Op::Sync, 2},   // the data file (the first sync is the journal's own)
  };
  for (const Case& c : cases) {
    write_file(path_, kBefore);
    write_file(journal_, valid_image());
    {
      FaultEnv faults;
      ScopedEnv installed(faults);
      faults.fail_nth(c.op, c.nth, EIO);
      EXPECT_EQ(replay_journal(path_), fail(Error::io(EIO)));
      EXPECT_EQ(faults.count(Op::Unlink), 0u);
    }
    EXPECT_EQ(read_text(journal_), valid_image());
    ASSERT_TRUE(replay_journal(path_).has_value());
    EXPECT_EQ(read_text(path_), kAfter);
    EXPECT_FALSE(exists(journal_));
  }
}

// A replay first makes the journal durable (its close may have died before syncing it): if
// that fails, the data file is not touched. After the splice the journal must go durably, or a
// later replay would cut off what is appended next: failing that fails the replay, and the next
// one splices again (the same bytes) and removes it.
TEST_F(JournalTest, ReplaySyncsTheJournalFirstAndRemovesItDurably) {
  struct Case {
    const char* name;
    Op op;
    std::string failing_path;
    std::string data_after;
  };
  const Case cases[] = {
      {"journal sync", Op::Sync, journal_, kBefore},
      {"journal directory sync", Op::SyncDir, dir_.path(), kBefore},
      {"unlink after the splice", Op::Unlink, journal_, kAfter},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(path_, kBefore);
    write_file(journal_, valid_image());
    {
      FaultEnv faults;
      ScopedEnv installed(faults);
      faults.fail_nth(c.op, 1, EIO);
      EXPECT_EQ(replay_journal(path_), fail(Error::io_at(c.failing_path, EIO)));
    }
    EXPECT_EQ(read_text(path_), c.data_after);
    EXPECT_EQ(read_text(journal_), valid_image());
    ASSERT_TRUE(replay_journal(path_).has_value());
    EXPECT_EQ(read_text(path_), kAfter);
    EXPECT_FALSE(exists(journal_));
  }
}

TEST_F(JournalTest, RemoveJournalReportsWhetherTheJournalIsGone) {
  write_file(journal_, valid_image());
  {
    FaultEnv faults;
    ScopedEnv installed(faults);
    faults.fail_nth(Op::Unlink, 1, EACCES);
    EXPECT_FALSE(remove_journal(path_));
    EXPECT_TRUE(exists(journal_));
    EXPECT_TRUE(remove_journal(path_));
    EXPECT_FALSE(exists(journal_));
    // The deletion is made durable, so a crash cannot bring a finished journal back.
    EXPECT_EQ(faults.count(Op::SyncDir), 1u);
    EXPECT_EQ(faults.last_path(Op::SyncDir), dir_.path());
  }
  EXPECT_TRUE(remove_journal(path_));  // absent already
  {
    // Unlinked but not known durable: not gone as far as a power cut is concerned.
    write_file(journal_, valid_image());
    FaultEnv faults;
    ScopedEnv installed(faults);
    faults.fail_nth(Op::SyncDir, 1, EIO);
    EXPECT_FALSE(remove_journal(path_));
  }
}

TEST_F(JournalTest, SyncParentDirIgnoresFailures) {
  FaultEnv faults;
  ScopedEnv installed(faults);
  sync_parent_dir(dir_.path() + "/missing-dir/x");
  sync_parent_dir(dir_.path() + "/x");
  EXPECT_EQ(faults.last_path(Op::SyncDir), dir_.path());
  sync_parent_dir("x");
  EXPECT_EQ(faults.last_path(Op::SyncDir), ".");
  sync_parent_dir("/x");
  EXPECT_EQ(faults.last_path(Op::SyncDir), "/");
  EXPECT_EQ(faults.count(Op::SyncDir), 4u);
}

}  // namespace
}  // namespace drelix
