#include "core/journal.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "core/hash.h"
#include "tests/core/fault_env.h"

namespace drelix {
namespace {

using Op = FaultEnv::Op;

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

bool exists(const std::string& path) {
  return std::filesystem::exists(path);
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

// A small data file: 16 bytes standing for the preamble, an 8-byte zone, then a 10-byte tail. A
// close replaces the tail (at 24) by a 4-byte frame and writes a new zone.
const std::string kPreamble = "PREAMBLE-16BYTES";
const std::string kOldZone = "oldzone\n";
const std::string kNewZone = "newzone\n";
const std::string kTail = "rec1rec2rr";
const std::string kFrame = "FRM!";
constexpr std::uint64_t kTailStart = 24;
const std::string kBefore = kPreamble + kOldZone + kTail;
const std::string kAfter = kPreamble + kNewZone + kFrame;

class JournalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "drelix_journal_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    data_ = dir_ + "/run.drelix";
    journal_ = dir_ + "/run.drelix.seal";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string valid_image() const { return image_of(payload_of(kTailStart, kNewZone, kFrame)); }

  std::string dir_, data_, journal_;
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
  write_file(data_, kBefore);
  ASSERT_TRUE(write_journal(data_, 4112, as_bytes("k:v\n"), as_bytes("abc")).has_value());
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
  EXPECT_EQ(read_file(journal_), as_text(expected));
  // Writing the journal never touches the data file.
  EXPECT_EQ(read_file(data_), kBefore);
}

TEST_F(JournalTest, WriteJournalTruncatesAnOlderLongerJournal) {
  write_file(data_, kBefore);
  write_file(journal_, std::string(1000, 'x'));
  ASSERT_TRUE(write_journal(data_, kTailStart, as_bytes(kNewZone), as_bytes(kFrame)).has_value());
  EXPECT_EQ(read_file(journal_), valid_image());
}

TEST_F(JournalTest, WriteJournalWritesThenSyncsThenSyncsTheDirectory) {
  write_file(data_, kBefore);
  FaultEnv faults;
  ScopedEnv installed(faults);
  ASSERT_TRUE(write_journal(data_, kTailStart, as_bytes(kNewZone), as_bytes(kFrame)).has_value());
  EXPECT_EQ(faults.count(Op::Write), 1u);  // one write of the whole image
  EXPECT_EQ(faults.count(Op::Sync), 1u);
  EXPECT_EQ(faults.count(Op::SyncDir), 1u);
  EXPECT_EQ(faults.last_path(Op::SyncDir), dir_);
}

// Each failing step stops the steps after it, fails without a path, and leaves the data file
// as it was.
TEST_F(JournalTest, WriteJournalFailuresStopBeforeLaterSteps) {
  struct Case {
    Op op;
    std::uint64_t writes, syncs, dir_syncs;
  };
  const Case cases[] = {
      {Op::Write, 1, 0, 0},
      {Op::Sync, 1, 1, 0},
  };
  for (const Case& c : cases) {
    write_file(data_, kBefore);
    std::filesystem::remove(journal_);
    FaultEnv faults;
    ScopedEnv installed(faults);
    faults.fail_nth(c.op, 1, EIO);
    auto r = write_journal(data_, kTailStart, as_bytes(kNewZone), as_bytes(kFrame));
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), Error::Kind::Io);
    EXPECT_EQ(r.error().os_code(), EIO);
    EXPECT_FALSE(r.error().path().has_value());
    EXPECT_EQ(faults.count(Op::Write), c.writes);
    EXPECT_EQ(faults.count(Op::Sync), c.syncs);
    EXPECT_EQ(faults.count(Op::SyncDir), c.dir_syncs);
    EXPECT_EQ(read_file(data_), kBefore);
  }
}

TEST_F(JournalTest, WriteJournalCreateFailureNamesTheJournal) {
  write_file(data_, kBefore);
  FaultEnv faults;
  ScopedEnv installed(faults);
  // The first open reads the data file's permission bits; the second creates the journal.
  faults.fail_nth(Op::Open, 2, ENOSPC);
  auto r = write_journal(data_, kTailStart, as_bytes(kNewZone), as_bytes(kFrame));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().path(), journal_);
  EXPECT_EQ(r.error().os_code(), ENOSPC);
  EXPECT_EQ(faults.count(Op::Write), 0u);
}

TEST_F(JournalTest, WriteJournalDirectorySyncFailureIsIgnored) {
  write_file(data_, kBefore);
  FaultEnv faults;
  ScopedEnv installed(faults);
  faults.fail_nth(Op::SyncDir, 1, EIO);
  EXPECT_TRUE(write_journal(data_, kTailStart, as_bytes(kNewZone), as_bytes(kFrame)).has_value());
  EXPECT_EQ(read_file(journal_), valid_image());
}

TEST_F(JournalTest, JournalTakesThePermissionBitsOfThePrivateDataFile) {
  write_file(data_, kBefore);
  ASSERT_EQ(::chmod(data_.c_str(), 0600), 0);
  // Both a new journal and a stale one left with wider bits end up private.
  for (bool stale : {false, true}) {
    std::filesystem::remove(journal_);
    if (stale) {
      write_file(journal_, "stale");
      ASSERT_EQ(::chmod(journal_.c_str(), 0644), 0);
    }
    ASSERT_TRUE(write_journal(data_, kTailStart, as_bytes(kNewZone), as_bytes(kFrame)).has_value());
    EXPECT_EQ(mode_of(journal_), 0600u) << stale;
  }
}

TEST_F(JournalTest, JournalOfAMissingDataFileGetsTheDefaultBits) {
  const mode_t old_umask = ::umask(022);
  auto r = write_journal(data_, kTailStart, as_bytes(kNewZone), as_bytes(kFrame));
  ::umask(old_umask);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(mode_of(journal_), 0644u);
}

TEST_F(JournalTest, RelativePathJournalSitsInTheCurrentDirectory) {
  const std::filesystem::path old_cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir_);
  write_file("run.drelix", kBefore);
  FaultEnv faults;
  {
    ScopedEnv installed(faults);
    EXPECT_TRUE(
        write_journal("run.drelix", kTailStart, as_bytes(kNewZone), as_bytes(kFrame)).has_value());
  }
  std::filesystem::current_path(old_cwd);
  EXPECT_EQ(read_file(dir_ + "/run.drelix.seal"), valid_image());
  EXPECT_EQ(faults.last_path(Op::SyncDir), ".");
}

TEST_F(JournalTest, ReplayWithoutJournalDoesNothing) {
  write_file(data_, kBefore);
  FaultEnv faults;
  ScopedEnv installed(faults);
  EXPECT_TRUE(replay_journal(data_).has_value());
  EXPECT_EQ(read_file(data_), kBefore);
  EXPECT_EQ(faults.count(Op::Write) + faults.count(Op::Unlink), 0u);
}

TEST_F(JournalTest, InvalidJournalsAreDeletedAndTheDataFileIsUntouched) {
  const std::string valid = valid_image();
  std::string flipped = valid;
  flipped[30] ^= 0x01;  // a payload byte
  std::string bad_magic = valid;
  bad_magic[5] = '1';
  struct Case {
    const char* name;
    std::string journal;
  };
  const Case cases[] = {
      {"empty", ""},
      {"21 bytes", valid.substr(0, 21)},
      {"header only, P 0", image_of("")},
      {"wrong magic", bad_magic},
      {"one extra byte", valid + "x"},
      {"one byte short", valid.substr(0, valid.size() - 1)},
      {"P overflows", "DJRNL2" + u64le(UINT64_MAX - 10) + valid.substr(14)},
      {"checksum flip", flipped},
      {"P below 16", image_of(std::string(15, '\0'))},
      {"Z beyond P", image_of(u64le(kTailStart) + u64le(6) + "abcde")},
      {"Z overflows", image_of(u64le(kTailStart) + u64le(UINT64_MAX - 8) + "abcde")},
      {"empty frame part", image_of(payload_of(kTailStart, kNewZone, ""))},
      {"empty frame, no zone", image_of(payload_of(kTailStart, "", ""))},
  };
  for (const Case& c : cases) {
    write_file(data_, kBefore);
    write_file(journal_, c.journal);
    auto r = replay_journal(data_);
    EXPECT_TRUE(r.has_value()) << c.name;
    EXPECT_FALSE(exists(journal_)) << c.name;
    EXPECT_EQ(read_file(data_), kBefore) << c.name;
  }
}

TEST_F(JournalTest, ValidJournalCompletesTheCloseFromAnyState) {
  struct Case {
    const char* name;
    std::string data;
  };
  const Case cases[] = {
      {"before the close", kBefore},
      {"frame written, not cut", kPreamble + kOldZone + kFrame + kTail.substr(4)},
      {"cut, old zone", kPreamble + kOldZone + kFrame},
      {"already spliced", kAfter},
      {"data file shorter than the offset", kPreamble},
  };
  for (const Case& c : cases) {
    write_file(data_, c.data);
    write_file(journal_, valid_image());
    auto r = replay_journal(data_);
    EXPECT_TRUE(r.has_value()) << c.name;
    EXPECT_EQ(read_file(data_), kAfter) << c.name;
    EXPECT_FALSE(exists(journal_)) << c.name;
  }
}

TEST_F(JournalTest, WrittenJournalReplaysToTheClosedState) {
  write_file(data_, kBefore);
  ASSERT_TRUE(write_journal(data_, kTailStart, as_bytes(kNewZone), as_bytes(kFrame)).has_value());
  ASSERT_TRUE(replay_journal(data_).has_value());
  EXPECT_EQ(read_file(data_), kAfter);
  EXPECT_FALSE(exists(journal_));
}

TEST_F(JournalTest, SpliceIsIdempotent) {
  write_file(data_, kBefore);
  auto f = posix_env().open_read_write(data_);
  ASSERT_TRUE(f.has_value());
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(splice(**f, kTailStart, as_bytes(kNewZone), as_bytes(kFrame)).has_value());
    EXPECT_EQ(read_file(data_), kAfter) << i;
  }
}

TEST_F(JournalTest, ValidJournalWithoutDataFileFailsNamingTheDataFile) {
  write_file(journal_, valid_image());
  auto r = replay_journal(data_);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), Error::Kind::Io);
  EXPECT_EQ(r.error().path(), data_);
  EXPECT_EQ(r.error().os_code(), ENOENT);
  EXPECT_EQ(read_file(journal_), valid_image());
  EXPECT_FALSE(exists(data_));
}

TEST_F(JournalTest, UnreadableJournalFailsNamingTheJournal) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads files whatever their permission bits";
  write_file(data_, kBefore);
  write_file(journal_, valid_image());
  ASSERT_EQ(::chmod(journal_.c_str(), 0), 0);
  auto r = replay_journal(data_);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().path(), journal_);
  EXPECT_EQ(r.error().os_code(), EACCES);
  EXPECT_TRUE(exists(journal_));
  EXPECT_EQ(read_file(data_), kBefore);
}

// The same refusal, reached through injected faults so that it also runs as root: a journal
// that cannot be opened or read might hold a close whose splice had begun.
TEST_F(JournalTest, JournalThatCannotBeReadFailsNamingTheJournal) {
  struct Case {
    Op op;
    std::uint64_t nth;
    int errnum;
  };
  const Case cases[] = {
      {Op::Open, 1, EACCES},
      {Op::Read, 1, EIO},  // the header
      {Op::Read, 2, EIO},  // the payload
  };
  for (const Case& c : cases) {
    write_file(data_, kBefore);
    write_file(journal_, valid_image());
    FaultEnv faults;
    ScopedEnv installed(faults);
    faults.fail_nth(c.op, c.nth, c.errnum);
    auto r = replay_journal(data_);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), Error::Kind::Io);
    EXPECT_EQ(r.error().path(), journal_);
    EXPECT_EQ(r.error().os_code(), c.errnum);
    EXPECT_EQ(read_file(journal_), valid_image());
    EXPECT_EQ(read_file(data_), kBefore);
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
      {Op::Sync, 1},
  };
  for (const Case& c : cases) {
    write_file(data_, kBefore);
    write_file(journal_, valid_image());
    {
      FaultEnv faults;
      ScopedEnv installed(faults);
      faults.fail_nth(c.op, c.nth, EIO);
      auto r = replay_journal(data_);
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error().os_code(), EIO);
      EXPECT_FALSE(r.error().path().has_value());
      EXPECT_EQ(faults.count(Op::Unlink), 0u);
    }
    EXPECT_EQ(read_file(journal_), valid_image());
    ASSERT_TRUE(replay_journal(data_).has_value());
    EXPECT_EQ(read_file(data_), kAfter);
    EXPECT_FALSE(exists(journal_));
  }
}

TEST_F(JournalTest, FailureToDeleteAReplayedJournalIsIgnored) {
  write_file(data_, kBefore);
  write_file(journal_, valid_image());
  FaultEnv faults;
  ScopedEnv installed(faults);
  faults.fail_nth(Op::Unlink, 1, EIO);
  EXPECT_TRUE(replay_journal(data_).has_value());
  EXPECT_EQ(read_file(data_), kAfter);
}

TEST_F(JournalTest, RemoveJournalReportsWhetherTheJournalIsGone) {
  write_file(journal_, valid_image());
  {
    FaultEnv faults;
    ScopedEnv installed(faults);
    faults.fail_nth(Op::Unlink, 1, EACCES);
    EXPECT_FALSE(remove_journal(data_));
    EXPECT_TRUE(exists(journal_));
    EXPECT_TRUE(remove_journal(data_));
    EXPECT_FALSE(exists(journal_));
    // The deletion is made durable, so a crash cannot bring a finished journal back.
    EXPECT_EQ(faults.count(Op::SyncDir), 1u);
    EXPECT_EQ(faults.last_path(Op::SyncDir), dir_);
  }
  EXPECT_TRUE(remove_journal(data_));  // absent already
}

TEST_F(JournalTest, SyncParentDirIgnoresFailures) {
  FaultEnv faults;
  ScopedEnv installed(faults);
  sync_parent_dir(dir_ + "/missing-dir/x");
  sync_parent_dir(dir_ + "/x");
  EXPECT_EQ(faults.last_path(Op::SyncDir), dir_);
  sync_parent_dir("x");
  EXPECT_EQ(faults.last_path(Op::SyncDir), ".");
  sync_parent_dir("/x");
  EXPECT_EQ(faults.last_path(Op::SyncDir), "/");
  EXPECT_EQ(faults.count(Op::SyncDir), 4u);
}

}  // namespace
}  // namespace drelix
