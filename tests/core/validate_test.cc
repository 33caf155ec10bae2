#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/codec.h"
#include "core/container.h"
#include "core/hash.h"
#include "core/maintenance.h"
#include "core/numbers.h"
#include "core/str_cat.h"
#include "tests/core/fault_env.h"
#include "tests/core/test_util.h"

namespace drelix {
namespace {

using Lines = std::vector<std::string>;
using test::Draft;
using test::u32_records;

std::string checksum_line(std::uint64_t id, std::uint64_t listed, std::uint64_t actual) {
  return str_cat("frame ", id, ": checksum mismatch, _frames says ", to_hex16(listed),
                 ", the bytes hash to ", to_hex16(actual));
}

class ValidateTest : public test::DirTest {
 protected:
  // Writes `d` and validates it.
  Result<ValidateReport> validate_draft(const Draft& d, const RecordCheck& check = {}) {
    std::filesystem::remove(path_);
    d.write(path_);
    return validate(path_, check);
  }
};

TEST_F(ValidateTest, SoundFilesCountFramesAndTail) {
  const struct {
    const char* name;
    std::function<void(Draft&)> build;
    std::uint64_t frames, records;
  } cases[] = {
      {"fresh", [](Draft&) {}, 0, 0},
      {"raw frame, repeated id, tail",
       [](Draft& d) {
         d.add_frame(3, u32_records(0, 100), 3);
         d.add_frame(3, u32_records(100, 50), 0);
         d.add_bytes(u32_records(150, 7));
       },
       2, 157},
      // The tail counts in the records, not in the comparison with _records; a torn record at
      // its end is never reported.
      {"torn tail",
       [](Draft& d) {
         d.add_frame(0, u32_records(0, 3), 3);
         d.add_bytes(u32_records(3, 2));
         d.add_bytes(Bytes{1, 2, 3});
       },
       1, 5},
      {"no _records and no frames",
       [](Draft& d) {
         d.add_bytes(u32_records(0, 3));
         d.overrides = {{"_records", std::nullopt}};
       },
       0, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Draft d;
    c.build(d);
    auto report = validate_draft(d);
    ASSERT_TRUE(report.has_value()) << report.error().to_string();
    EXPECT_EQ(report->problems, Lines{});
    EXPECT_EQ(report->frames, c.frames);
    EXPECT_EQ(report->records, c.records);
  }
}

TEST_F(ValidateTest, FlippedByteGivesChecksumThenUnreadableLine) {
  Draft d;
  d.add_frame(1, u32_records(0, 10), 3);
  const Frame f = d.add_frame(7, u32_records(10, 2000), 3);
  d.data[f.offset + f.len / 2] ^= 0x55;
  const ByteView damaged(d.data.data() + f.offset, f.len);
  auto decoded = decode_one_frame(damaged);
  ASSERT_FALSE(decoded.has_value()) << "the decoder should reject the flipped byte";
  auto report = validate_draft(d);
  ASSERT_TRUE(report.has_value()) << report.error().to_string();
  EXPECT_EQ(report->problems, (Lines{checksum_line(7, f.hash, xxh64(damaged)),
                                     "frame 7: " + decoded.error().to_string(),
                                     "_records says 2010, the frames hold 10"}));
  EXPECT_EQ(report->frames, 2u);
  EXPECT_EQ(report->records, 10u);
}

TEST_F(ValidateTest, TornFrameContentCountsWholeRecords) {
  Draft d;
  d.add_frame(4, test::concat({u32_records(0, 2), {0xAA, 0xBB}}), 3);  // _records says 2
  auto report = validate_draft(d);
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(report->problems, Lines{"frame 4: 2 torn bytes"});
  EXPECT_EQ(report->records, 2u);
}

TEST_F(ValidateTest, HeaderLines) {
  const std::string hash = test::quad_schema().hash_hex();
  const std::string says0 = "_records says 0, the frames hold 7";
  const struct {
    const char* key;
    std::optional<std::string> stored;
    Lines expected;
  } cases[] = {
      {"_schema_hash",
       "0000000000000000",
       {"_schema_hash is 0000000000000000, the fields hash to " + hash}},
      {"_schema_hash", hash + "0", {"_schema_hash is " + hash + "0, the fields hash to " + hash}},
      {"_schema_hash", std::nullopt, {"_schema_hash is , the fields hash to " + hash}},
      {"_schema_hash", hash, {}},
      // _records is parsed leniently; the frames hold 7 records.
      {"_records", "+7", {}},
      {"_records", "007", {}},
      {"_records", "8", {"_records says 8, the frames hold 7"}},
      {"_records", "abc", {says0}},
      {"_records", "", {says0}},
      {"_records", "18446744073709551616", {says0}},
      {"_records", std::nullopt, {says0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(str_cat(c.key, " ", c.stored.value_or("<absent>")));
    Draft d;
    d.add_frame(0, u32_records(0, 7), 3);
    d.overrides = {{c.key, c.stored}};
    auto report = validate_draft(d);
    ASSERT_TRUE(report.has_value()) << report.error().to_string();
    EXPECT_EQ(report->problems, c.expected);
  }
}

TEST_F(ValidateTest, TwentyFiveBadChecksumsGiveTwentyLines) {
  Draft d;
  Lines expected;
  for (std::uint64_t i = 0; i < 25; ++i) {
    Frame& f = d.add_frame(100 + i, u32_records(static_cast<std::uint32_t>(i), 4), 1);
    f.hash ^= 1;
    if (expected.size() < kMaxProblems)
      expected.push_back(checksum_line(100 + i, f.hash, f.hash ^ 1));
  }
  d.overrides = {{"_records", "1"}};  // a 26th problem, also dropped
  auto report = validate_draft(d);
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(report->problems, expected);
  EXPECT_EQ(report->frames, 25u);
  EXPECT_EQ(report->records, 100u);
}

TEST_F(ValidateTest, HashZeroFramesAreNotChecksummedButCounted) {
  Draft d;
  Frame& raw = d.add_frame(1, u32_records(0, 5), 0);
  raw.hash = 0;
  d.data[raw.offset] ^= 0xFF;  // a raw frame still reads after this
  const Frame listed = d.add_frame(2, u32_records(5, 5), 0);
  d.data[listed.offset] ^= 0xFF;
  auto report = validate_draft(d);
  ASSERT_TRUE(report.has_value());
  const Bytes damaged = test::slice(d.data, listed.offset, listed.offset + listed.len);
  EXPECT_EQ(report->problems, Lines{checksum_line(2, listed.hash, xxh64(damaged))});
  EXPECT_EQ(report->frames, 2u);
  EXPECT_EQ(report->records, 10u);
}

TEST_F(ValidateTest, RecordCheckRunsOverFramesThenTail) {
  Draft d;
  d.add_frame(9, u32_records(0, 6), 3);
  d.add_bytes(u32_records(6, 6));
  std::vector<std::uint32_t> seen;
  const RecordCheck odd_is_bad = [&seen](ByteView record) -> std::optional<std::string> {
    const std::uint32_t v = load_u32le(record.data());
    seen.push_back(v);
    if (v % 2 == 1) return str_cat("odd ", v);
    return std::nullopt;
  };
  auto report = validate_draft(d, odd_is_bad);
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(report->problems, (Lines{"frame 9: odd 1", "frame 9: odd 3", "frame 9: odd 5",
                                     "tail: odd 7", "tail: odd 9", "tail: odd 11"}));
  EXPECT_EQ(seen, (std::vector<std::uint32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
}

// What the opening rules refuse fails the call instead of making lines.
TEST_F(ValidateTest, UnopenableFileFailsTheCall) {
  Draft d;
  d.add_frame(0, u32_records(0, 10), 3);
  d.add_frame(5, u32_records(10, 10), 3).len += 1;
  d.write(path_);
  const std::uint64_t file_len = std::filesystem::file_size(path_);
  test::expect_error(
      validate(path_), Error::Kind::Malformed,
      str_cat("frame 5 ends at ", file_len + 1, " but the file is ", file_len, " bytes"));
  Bytes image = test::read_file(path_);
  image[0] = 'X';
  test::write_file(path_, image);
  test::expect_error(validate(path_), Error::Kind::Malformed, "not a drelix file: bad magic");
}

TEST_F(ValidateTest, PendingJournalIsReplayedFirst) {
  {
    FaultEnv faults;
    ScopedEnv installed(faults);
    auto c = Container::create(path_, test::quad_schema(), "test", "test", 0, 4096, {});
    ASSERT_TRUE(c.has_value());
    for (std::uint32_t i = 0; i < 12; ++i) ASSERT_TRUE(c->append_record(u32_records(i, 1)));
    // The close dies in the splice (its cut of the file), after its journal became durable.
    faults.fail_from_next(FaultEnv::Op::Truncate, EIO);
    ASSERT_FALSE(c->close_frame(3, 3).has_value());
  }
  ASSERT_TRUE(test::exists(path_ + ".seal"));
  auto report = validate(path_);
  ASSERT_TRUE(report.has_value()) << report.error().to_string();
  EXPECT_EQ(report->problems, Lines{});
  EXPECT_EQ(report->frames, 1u);
  EXPECT_EQ(report->records, 12u);
  EXPECT_FALSE(test::exists(path_ + ".seal"));
}

// Read faults, found by counting the reads of a clean run first: the last read is the tail's,
// and the ones before it belong to the frames.
TEST_F(ValidateTest, ReadErrorsBecomeLines) {
  Draft d;
  d.add_frame(1, u32_records(0, 4), 3);
  d.add_frame(2, u32_records(4, 4), 3).hash = 0;
  d.add_bytes(u32_records(8, 2));
  d.write(path_);

  FaultEnv faults;
  ScopedEnv installed(faults);
  ASSERT_TRUE(validate(path_).has_value());
  const std::uint64_t reads = faults.count(FaultEnv::Op::Read);
  const std::string eio = Error::io(EIO).to_string();
  const std::string says8 = "_records says 8, the frames hold 4";
  const struct {
    const char* name;
    std::uint64_t nth;
    Lines expected;
    std::uint64_t records;
  } cases[] = {
      {"tail", reads, {"tail: " + eio}, 8},
      {"unhashed frame", reads - 1, {"frame 2: " + eio, says8}, 6},
      // The checksum read and the content read of a checksummed frame each report the failure.
      {"hashed frame", reads - 2, {"frame 1: " + eio, "frame 1: " + eio, says8}, 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    faults.reset();
    faults.fail_nth(FaultEnv::Op::Read, c.nth, EIO);
    auto report = validate(path_);
    ASSERT_TRUE(report.has_value()) << report.error().to_string();
    EXPECT_EQ(report->problems, c.expected);
    EXPECT_EQ(report->records, c.records);
  }
}

// Its files claim `extra` more bytes than they hold, so that a frame can pass the open's checks
// and then meet end of file when read: the file shrank after it was opened.
class ShrinkingEnv : public FaultEnv {
 public:
  explicit ShrinkingEnv(std::uint64_t extra) : extra_(extra) {}
  Result<FilePtr> open_read(const std::string& path) override {
    DRELIX_ASSIGN_OR_RETURN(FilePtr base, FaultEnv::open_read(path));
    return FilePtr(std::make_unique<Longer>(std::move(base), extra_));
  }

 private:
  struct Longer final : test::ForwardingFile {
    Longer(FilePtr base, std::uint64_t extra) : ForwardingFile(std::move(base)), extra(extra) {}
    Result<std::uint64_t> length() override {
      DRELIX_ASSIGN_OR_RETURN(const std::uint64_t n, base_->length());
      return n + extra;
    }
    std::uint64_t extra;
  };
  std::uint64_t extra_;
};

TEST_F(ValidateTest, FrameCutShortByEndOfFileHashesWhatIsThere) {
  Draft d;
  d.add_frame(1, u32_records(0, 4), 3);
  Frame& last = d.add_frame(2, u32_records(4, 400), 3);
  const ByteView present(d.data.data() + last.offset, last.len);
  last.len += 10;  // ends 10 bytes past the real end of file
  last.hash = 1;   // the hash of the bytes actually there is reported
  d.write(path_);

  ShrinkingEnv shrinking(10);
  ScopedEnv installed(shrinking);
  auto report = validate(path_);
  ASSERT_TRUE(report.has_value()) << report.error().to_string();
  EXPECT_EQ(report->problems,
            (Lines{checksum_line(2, 1, xxh64(present)), "frame 2: failed to fill whole buffer",
                   "_records says 404, the frames hold 4"}));
  EXPECT_EQ(report->records, 4u);
}

}  // namespace
}  // namespace drelix
