#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/codec.h"
#include "core/container.h"
#include "core/file.h"
#include "core/frames.h"
#include "core/hash.h"
#include "core/headers.h"
#include "core/maintenance.h"
#include "core/numbers.h"
#include "core/schema.h"
#include "core/str_cat.h"
#include "tests/core/fault_env.h"

namespace drelix {
namespace {

class TempDir {
 public:
  TempDir() {
    std::string pattern = ::testing::TempDir() + "/drelix_validate_XXXXXX";
    const char* made = mkdtemp(pattern.data());
    EXPECT_NE(made, nullptr);
    path_ = pattern;
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

Bytes slurp(const std::string& path) {
  auto file = env().open_read(path);
  EXPECT_TRUE(file.has_value());
  auto len = (*file)->length();
  Bytes bytes(static_cast<std::size_t>(*len));
  EXPECT_TRUE((*file)->read_exact_at(0, bytes).has_value());
  return bytes;
}

void spill(const std::string& path, ByteView bytes) {
  auto file = env().create_truncate(path, 0666);
  ASSERT_TRUE(file.has_value());
  ASSERT_TRUE((*file)->write_all_at(0, bytes).has_value());
}

Schema fixed4() {
  Schema s;
  s.name = "ticks";
  s.fields = {{"v", "u32", 0}};
  s.layout = RecordLayout::fixed(4);
  return s;
}

// `n` four-byte records holding first, first + 1, ...
Bytes u32_records(std::uint32_t first, std::size_t n) {
  Bytes out(n * 4);
  for (std::size_t i = 0; i < n; ++i) store_u32le(out.data() + 4 * i, first + i);
  return out;
}

// A file assembled by hand, so that each test can damage exactly one thing: the zone comes
// from Container::create, the data section and the listed frames from here.
struct Draft {
  Schema schema = fixed4();
  Bytes data;
  std::vector<Frame> frames;  // what _frames lists
  std::uint64_t records = 0;
  std::uint64_t bytes_raw = 0;
  // Header values set last; nullopt removes the header.
  std::vector<std::pair<std::string, std::optional<std::string>>> overrides;

  Frame& add_frame(std::uint64_t id, ByteView content, std::int32_t level) {
    auto encoded = compress_frame(content, level);
    EXPECT_TRUE(encoded.has_value());
    frames.push_back(Frame{id, data.size(), encoded->size(), xxh64(*encoded)});
    data.insert(data.end(), encoded->begin(), encoded->end());
    for_each_record(content, schema.layout, [this](ByteView) { ++records; });
    bytes_raw += content.size();
    return frames.back();
  }
  void add_bytes(ByteView bytes) { data.insert(data.end(), bytes.begin(), bytes.end()); }

  void write(const std::string& path) const {
    {
      auto c = Container::create(path, schema, "test", "test", 0, 4096, {});
      ASSERT_TRUE(c.has_value()) << c.error().to_string();
    }
    auto peeked = peek_headers(path);
    ASSERT_TRUE(peeked.has_value());
    Headers edited = peeked->headers;
    ASSERT_TRUE(edited.set("_frames", render_frames(frames)).has_value());
    ASSERT_TRUE(edited.set("_records", to_decimal(records)).has_value());
    ASSERT_TRUE(edited.set("_bytes_raw", to_decimal(bytes_raw)).has_value());
    Headers final_headers;
    for (const auto& [key, value] : edited.pairs()) {
      std::optional<std::string> v = value;
      for (const auto& [k, o] : overrides) {
        if (k == key) v = o;
      }
      if (v) {
        ASSERT_TRUE(final_headers.set(key, *v).has_value());
      }
    }
    auto zone = final_headers.render(4096);
    ASSERT_TRUE(zone.has_value());
    const auto preamble = peeked->preamble.encode();
    Bytes image(preamble.begin(), preamble.end());
    image.insert(image.end(), zone->begin(), zone->end());
    image.insert(image.end(), data.begin(), data.end());
    spill(path, image);
  }
};

std::string checksum_line(std::uint64_t id, std::uint64_t listed, std::uint64_t actual) {
  return str_cat("frame ", id, ": checksum mismatch, _frames says ", to_hex16(listed),
                 ", the bytes hash to ", to_hex16(actual));
}

using Lines = std::vector<std::string>;

TEST(ValidateTest, FreshFileIsSound) {
  TempDir dir;
  const std::string path = dir.file("fresh.drelix");
  {
    auto c = Container::create(path, fixed4(), "test", "test", 0, 4096, {});
    ASSERT_TRUE(c.has_value());
  }
  auto report = validate(path);
  ASSERT_TRUE(report.has_value()) << report.error().to_string();
  EXPECT_EQ(report->problems, Lines{});
  EXPECT_EQ(report->frames, 0u);
  EXPECT_EQ(report->records, 0u);
}

TEST(ValidateTest, SoundFileCountsFramesAndTail) {
  TempDir dir;
  const std::string path = dir.file("sound.drelix");
  Draft d;
  d.add_frame(3, u32_records(0, 100), 3);
  d.add_frame(3, u32_records(100, 50), 0);  // raw, and the same id again
  d.add_bytes(u32_records(150, 7));         // tail
  d.write(path);
  auto report = validate(path);
  ASSERT_TRUE(report.has_value()) << report.error().to_string();
  EXPECT_EQ(report->problems, Lines{});
  EXPECT_EQ(report->frames, 2u);
  EXPECT_EQ(report->records, 157u);
}

TEST(ValidateTest, FlippedByteGivesChecksumThenUnreadableLine) {
  TempDir dir;
  const std::string path = dir.file("flipped.drelix");
  Draft d;
  d.add_frame(1, u32_records(0, 10), 3);
  const Frame f = d.add_frame(7, u32_records(10, 2000), 3);
  d.data[f.offset + f.len / 2] ^= 0x55;
  d.write(path);

  const ByteView damaged(d.data.data() + f.offset, f.len);
  auto decoded = decode_one_frame(damaged);
  ASSERT_FALSE(decoded.has_value()) << "the decoder should reject the flipped byte";
  auto report = validate(path);
  ASSERT_TRUE(report.has_value()) << report.error().to_string();
  EXPECT_EQ(report->problems, (Lines{checksum_line(7, f.hash, xxh64(damaged)),
                                     "frame 7: " + decoded.error().to_string(),
                                     "_records says 2010, the frames hold 10"}));
  EXPECT_EQ(report->frames, 2u);
  EXPECT_EQ(report->records, 10u);
}

TEST(ValidateTest, TornFrameContentCountsWholeRecords) {
  TempDir dir;
  const std::string path = dir.file("torn.drelix");
  Draft d;
  Bytes content = u32_records(0, 2);
  content.push_back(0xAA);
  content.push_back(0xBB);  // 10 bytes under a 4-byte layout
  d.add_frame(4, content, 3);
  d.write(path);  // _records says 2
  auto report = validate(path);
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(report->problems, Lines{"frame 4: 2 torn bytes"});
  EXPECT_EQ(report->records, 2u);
}

TEST(ValidateTest, SchemaHashLines) {
  const std::string computed = fixed4().hash_hex();
  struct Case {
    const char* name;
    std::optional<std::string> stored;
    Lines expected;
  };
  const Case cases[] = {
      {"wrong",
       "0000000000000000",
       {"_schema_hash is 0000000000000000, the fields hash to " + computed}},
      {"one digit more",
       computed + "0",
       {"_schema_hash is " + computed + "0, the fields hash to " + computed}},
      {"missing", std::nullopt, {"_schema_hash is , the fields hash to " + computed}},
      {"right", computed, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = dir.file("schema.drelix");
    Draft d;
    d.overrides = {{"_schema_hash", c.stored}};
    d.write(path);
    auto report = validate(path);
    ASSERT_TRUE(report.has_value()) << report.error().to_string();
    EXPECT_EQ(report->problems, c.expected);
  }
}

TEST(ValidateTest, RecordsHeaderIsParsedLeniently) {
  struct Case {
    std::optional<std::string> stored;
    Lines expected;
  };
  // The frames hold 7 records.
  const Case cases[] = {
      {"7", {}},
      {"+7", {}},
      {"007", {}},
      {"8", {"_records says 8, the frames hold 7"}},
      {"abc", {"_records says 0, the frames hold 7"}},
      {"-1", {"_records says 0, the frames hold 7"}},
      {"", {"_records says 0, the frames hold 7"}},
      {"+", {"_records says 0, the frames hold 7"}},
      {"18446744073709551616", {"_records says 0, the frames hold 7"}},
      {std::nullopt, {"_records says 0, the frames hold 7"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored.value_or("<absent>"));
    TempDir dir;
    const std::string path = dir.file("records.drelix");
    Draft d;
    d.add_frame(0, u32_records(0, 7), 3);
    d.overrides = {{"_records", c.stored}};
    d.write(path);
    auto report = validate(path);
    ASSERT_TRUE(report.has_value()) << report.error().to_string();
    EXPECT_EQ(report->problems, c.expected);
  }
}

TEST(ValidateTest, AbsentRecordsHeaderWithEmptyFramesIsFine) {
  TempDir dir;
  const std::string path = dir.file("norecords.drelix");
  Draft d;
  d.add_bytes(u32_records(0, 3));
  d.overrides = {{"_records", std::nullopt}};
  d.write(path);
  auto report = validate(path);
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(report->problems, Lines{});
  EXPECT_EQ(report->records, 3u);
}

TEST(ValidateTest, TailCountsInRecordsButNotInTheComparison) {
  TempDir dir;
  const std::string path = dir.file("tail.drelix");
  Draft d;
  d.add_frame(0, u32_records(0, 3), 3);
  d.add_bytes(u32_records(3, 2));
  d.add_bytes(Bytes{1, 2, 3});  // a torn record at the end of the tail is never reported
  d.write(path);                // _records says 3
  auto report = validate(path);
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(report->problems, Lines{});
  EXPECT_EQ(report->frames, 1u);
  EXPECT_EQ(report->records, 5u);
}

TEST(ValidateTest, TwentyFiveBadChecksumsGiveTwentyLines) {
  TempDir dir;
  const std::string path = dir.file("many.drelix");
  Draft d;
  Lines expected;
  for (std::uint64_t i = 0; i < 25; ++i) {
    Frame& f = d.add_frame(100 + i, u32_records(static_cast<std::uint32_t>(i), 4), 1);
    const std::uint64_t actual = f.hash;
    f.hash = actual ^ 1;
    if (expected.size() < kMaxProblems) expected.push_back(checksum_line(100 + i, f.hash, actual));
  }
  d.overrides = {{"_records", "1"}};  // a 26th problem, also dropped
  d.write(path);
  auto report = validate(path);
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(report->problems, expected);
  EXPECT_EQ(report->frames, 25u);
  EXPECT_EQ(report->records, 100u);
}

TEST(ValidateTest, HashZeroFramesAreNotChecksummedButCounted) {
  TempDir dir;
  const std::string path = dir.file("hash0.drelix");
  Draft d;
  Frame& raw = d.add_frame(1, u32_records(0, 5), 0);
  raw.hash = 0;
  d.data[raw.offset] ^= 0xFF;  // a raw frame still reads after this
  Frame& listed = d.add_frame(2, u32_records(5, 5), 0);
  const std::uint64_t good_hash = listed.hash;
  d.data[listed.offset] ^= 0xFF;
  d.write(path);
  auto report = validate(path);
  ASSERT_TRUE(report.has_value());
  Bytes damaged(d.data.begin() + static_cast<std::ptrdiff_t>(listed.offset),
                d.data.begin() + static_cast<std::ptrdiff_t>(listed.offset + listed.len));
  EXPECT_EQ(report->problems, Lines{checksum_line(2, good_hash, xxh64(damaged))});
  EXPECT_EQ(report->frames, 2u);
  EXPECT_EQ(report->records, 10u);
}

TEST(ValidateTest, RecordCheckRunsOverFramesThenTail) {
  TempDir dir;
  const std::string path = dir.file("check.drelix");
  Draft d;
  d.add_frame(9, u32_records(0, 6), 3);
  d.add_bytes(u32_records(6, 6));
  d.write(path);
  std::vector<std::uint32_t> seen;
  const RecordCheck odd_is_bad = [&seen](ByteView record) -> std::optional<std::string> {
    const std::uint32_t v = load_u32le(record.data());
    seen.push_back(v);
    if (v % 2 == 1) return str_cat("odd ", v);
    return std::nullopt;
  };
  auto report = validate(path, odd_is_bad);
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(report->problems, (Lines{"frame 9: odd 1", "frame 9: odd 3", "frame 9: odd 5",
                                     "tail: odd 7", "tail: odd 9", "tail: odd 11"}));
  EXPECT_EQ(seen, (std::vector<std::uint32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
}

TEST(ValidateTest, FramePastEndOfFileFailsTheCall) {
  TempDir dir;
  const std::string path = dir.file("past.drelix");
  Draft d;
  d.add_frame(0, u32_records(0, 10), 3);
  Frame& f = d.add_frame(5, u32_records(10, 10), 3);
  f.len += 1;
  d.write(path);
  const std::uint64_t file_len = slurp(path).size();
  auto report = validate(path);
  ASSERT_FALSE(report.has_value());
  EXPECT_EQ(report.error().kind(), Error::Kind::Malformed);
  EXPECT_EQ(report.error().message(),
            str_cat("frame 5 ends at ", file_len + 1, " but the file is ", file_len, " bytes"));
}

TEST(ValidateTest, BrokenPreambleFailsTheCall) {
  TempDir dir;
  const std::string path = dir.file("magic.drelix");
  Draft d;
  d.write(path);
  Bytes image = slurp(path);
  image[0] = 'X';
  spill(path, image);
  auto report = validate(path);
  ASSERT_FALSE(report.has_value());
  EXPECT_EQ(report.error().message(), "not a drelix file: bad magic");
}

TEST(ValidateTest, PendingJournalIsReplayedFirst) {
  TempDir dir;
  const std::string path = dir.file("journal.drelix");
  {
    FaultEnv faults;
    ScopedEnv installed(faults);
    auto c = Container::create(path, fixed4(), "test", "test", 0, 4096, {});
    ASSERT_TRUE(c.has_value());
    for (std::uint32_t i = 0; i < 12; ++i) {
      ASSERT_TRUE(c->append_record(u32_records(i, 1)).has_value());
    }
    // The close dies in the splice (its cut of the file), after its journal became durable.
    faults.fail_from_next(FaultEnv::Op::Truncate, EIO);
    ASSERT_FALSE(c->close_frame(3, 3).has_value());
  }
  ASSERT_TRUE(std::filesystem::exists(path + ".seal"));
  auto report = validate(path);
  ASSERT_TRUE(report.has_value()) << report.error().to_string();
  EXPECT_EQ(report->problems, Lines{});
  EXPECT_EQ(report->frames, 1u);
  EXPECT_EQ(report->records, 12u);
  EXPECT_FALSE(std::filesystem::exists(path + ".seal"));
}

// Read faults, found by counting the reads of a clean run first: the last read is the tail's,
// and the ones before it belong to the frames.
TEST(ValidateTest, ReadErrorsBecomeLines) {
  TempDir dir;
  const std::string path = dir.file("io.drelix");
  Draft d;
  d.add_frame(1, u32_records(0, 4), 3);
  Frame& unhashed = d.add_frame(2, u32_records(4, 4), 3);
  unhashed.hash = 0;
  d.add_bytes(u32_records(8, 2));
  d.write(path);

  FaultEnv faults;
  ScopedEnv installed(faults);
  ASSERT_TRUE(validate(path).has_value());
  const std::uint64_t reads = faults.count(FaultEnv::Op::Read);
  const std::string eio = Error::io(EIO).to_string();

  struct Case {
    const char* name;
    std::uint64_t nth;
    Lines expected;
    std::uint64_t records;
  };
  // The checksum read and the content read of a checksummed frame each report the failure.
  const Case cases[] = {
      {"tail", reads, {"tail: " + eio}, 8},
      {"unhashed frame", reads - 1, {"frame 2: " + eio, "_records says 8, the frames hold 4"}, 6},
      {"hashed frame",
       reads - 2,
       {"frame 1: " + eio, "frame 1: " + eio, "_records says 8, the frames hold 4"},
       6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    faults.reset();
    faults.fail_nth(FaultEnv::Op::Read, c.nth, EIO);
    auto report = validate(path);
    ASSERT_TRUE(report.has_value()) << report.error().to_string();
    EXPECT_EQ(report->problems, c.expected);
    EXPECT_EQ(report->records, c.records);
  }
}

// An Env whose files claim `extra` more bytes than they hold, so that a frame can pass the
// open's checks and then meet end of file when read: the file shrank after it was opened.
class ShrinkingEnv : public FaultEnv {
 public:
  explicit ShrinkingEnv(std::uint64_t extra) : extra_(extra) {}
  Result<FilePtr> open_read(const std::string& path) override {
    DRELIX_ASSIGN_OR_RETURN(FilePtr base, FaultEnv::open_read(path));
    return FilePtr(std::make_unique<Longer>(std::move(base), extra_));
  }

 private:
  class Longer final : public File {
   public:
    Longer(FilePtr base, std::uint64_t extra) : base_(std::move(base)), extra_(extra) {}
    Status read_exact_at(std::uint64_t o, std::span<std::uint8_t> b) override {
      return base_->read_exact_at(o, b);
    }
    Result<std::size_t> read_at(std::uint64_t o, std::span<std::uint8_t> b) override {
      return base_->read_at(o, b);
    }
    Status write_all_at(std::uint64_t o, ByteView d) override { return base_->write_all_at(o, d); }
    Result<std::uint64_t> length() override {
      DRELIX_ASSIGN_OR_RETURN(const std::uint64_t n, base_->length());
      return n + extra_;
    }
    Status truncate(std::uint64_t n) override { return base_->truncate(n); }
    Status sync() override { return base_->sync(); }
    Result<std::uint32_t> permissions() override { return base_->permissions(); }
    Status set_permissions(std::uint32_t m) override { return base_->set_permissions(m); }

   private:
    FilePtr base_;
    std::uint64_t extra_;
  };
  std::uint64_t extra_;
};

TEST(ValidateTest, FrameCutShortByEndOfFileHashesWhatIsThere) {
  TempDir dir;
  const std::string path = dir.file("short.drelix");
  Draft d;
  d.add_frame(1, u32_records(0, 4), 3);
  Frame& last = d.add_frame(2, u32_records(4, 400), 3);
  const std::uint64_t real_len = last.len;
  last.len += 10;  // ends 10 bytes past the real end of file
  last.hash = 1;   // the hash of the bytes actually there is reported
  d.write(path);

  ShrinkingEnv shrinking(10);
  ScopedEnv installed(shrinking);
  auto report = validate(path);
  ASSERT_TRUE(report.has_value()) << report.error().to_string();
  const ByteView present(d.data.data() + last.offset, real_len);
  EXPECT_EQ(report->problems, (Lines{checksum_line(2, last.hash, xxh64(present)),
                                     "frame 2: failed to fill whole buffer",
                                     "_records says 404, the frames hold 4"}));
  EXPECT_EQ(report->records, 4u);
}

}  // namespace
}  // namespace drelix
