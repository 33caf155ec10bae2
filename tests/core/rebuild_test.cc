#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/codec.h"
#include "core/container.h"
#include "core/error.h"
#include "core/file.h"
#include "core/frames.h"
#include "core/hash.h"
#include "core/headers.h"
#include "core/maintenance.h"
#include "core/numbers.h"
#include "core/schema.h"
#include "core/str_cat.h"

namespace drelix {
namespace {

class TempDir {
 public:
  TempDir() {
    std::string pattern = ::testing::TempDir() + "/drelix_rebuild_XXXXXX";
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

Bytes u32_records(std::uint32_t first, std::size_t n) {
  Bytes out(n * 4);
  for (std::size_t i = 0; i < n; ++i) store_u32le(out.data() + 4 * i, first + i);
  return out;
}

// A file assembled by hand: the zone from Container::create, the data section and what the
// zone says about it from here, so that each test can make the two disagree in one way.
struct Draft {
  Schema schema = fixed4();
  std::uint32_t header_area = 4096;
  Bytes data;
  std::vector<Frame> frames;  // what _frames lists
  std::vector<Frame> actual;  // the frames really in the data section, with their checksums
  std::uint64_t records = 0;
  std::uint64_t bytes_raw = 0;
  std::vector<std::pair<std::string, std::string>> overrides;

  void add_frame(std::uint64_t id, ByteView content, std::int32_t level) {
    auto encoded = compress_frame(content, level);
    ASSERT_TRUE(encoded.has_value());
    actual.push_back(Frame{id, data.size(), encoded->size(), xxh64(*encoded)});
    frames.push_back(actual.back());
    data.insert(data.end(), encoded->begin(), encoded->end());
    for_each_record(content, schema.layout, [this](ByteView) { ++records; });
    bytes_raw += content.size();
  }
  void add_bytes(ByteView bytes) { data.insert(data.end(), bytes.begin(), bytes.end()); }

  void write(const std::string& path) const {
    {
      auto c = Container::create(path, schema, "test", "test", 0, header_area, {});
      ASSERT_TRUE(c.has_value()) << c.error().to_string();
    }
    auto peeked = peek_headers(path);
    ASSERT_TRUE(peeked.has_value());
    Headers headers = peeked->headers;
    ASSERT_TRUE(headers.set("_frames", render_frames(frames)).has_value());
    ASSERT_TRUE(headers.set("_records", to_decimal(records)).has_value());
    ASSERT_TRUE(headers.set("_bytes_raw", to_decimal(bytes_raw)).has_value());
    for (const auto& [k, v] : overrides) ASSERT_TRUE(headers.set(k, v).has_value());
    auto zone = headers.render(header_area);
    ASSERT_TRUE(zone.has_value());
    const auto preamble = peeked->preamble.encode();
    Bytes image(preamble.begin(), preamble.end());
    image.insert(image.end(), zone->begin(), zone->end());
    image.insert(image.end(), data.begin(), data.end());
    spill(path, image);
  }
};

std::string frames_line(const std::vector<Frame>& stored, const std::vector<Frame>& derived) {
  return str_cat("_frames: ", drelix::quoted(render_frames(stored)), " -> ",
                 drelix::quoted(render_frames(derived)));
}

std::string header(const std::string& path, std::string_view key) {
  auto peeked = peek_headers(path);
  EXPECT_TRUE(peeked.has_value());
  return std::string(peeked->headers.get(key).value_or("<absent>"));
}

using Lines = std::vector<std::string>;

TEST(RebuildTest, AgreeingFileHasNoDifferences) {
  TempDir dir;
  const std::string path = dir.file("agree.drelix");
  Draft d;
  d.add_frame(1, u32_records(0, 50), 3);
  d.add_frame(2, u32_records(50, 50), 0);  // a raw frame in the middle
  d.add_frame(3, u32_records(100, 50), 19);
  d.add_bytes(u32_records(150, 3));
  d.write(path);
  const Bytes before = slurp(path);
  for (bool fix : {false, true}) {
    SCOPED_TRACE(fix);
    auto report = rebuild_headers(path, fix);
    ASSERT_TRUE(report.has_value()) << report.error().to_string();
    EXPECT_EQ(report->differences, Lines{});
    EXPECT_FALSE(report->fixed);
    EXPECT_EQ(slurp(path), before);
  }
}

TEST(RebuildTest, FreshFileHasNoDifferences) {
  TempDir dir;
  const std::string path = dir.file("fresh.drelix");
  {
    auto c = Container::create(path, fixed4(), "test", "test", 0, 4096, {});
    ASSERT_TRUE(c.has_value());
  }
  auto report = rebuild_headers(path, true);
  ASSERT_TRUE(report.has_value()) << report.error().to_string();
  EXPECT_EQ(report->differences, Lines{});
  EXPECT_FALSE(report->fixed);
}

TEST(RebuildTest, ZoneThatLostItsLastFrame) {
  TempDir dir;
  const std::string path = dir.file("lost.drelix");
  Draft d;
  d.add_frame(5, u32_records(0, 10), 3);
  d.add_frame(9, u32_records(10, 20), 3);
  d.add_frame(2, u32_records(30, 30), 3);  // the zone never heard of this one
  d.add_bytes(u32_records(60, 2));
  d.frames.pop_back();
  d.records = 30;
  d.bytes_raw = 120;
  d.write(path);
  const Bytes before = slurp(path);

  // The lost frame gets the id after the largest stored one.
  std::vector<Frame> derived = d.actual;
  derived[2].id = 10;
  const Lines expected = {frames_line(d.frames, derived), "_records: 30 -> 60",
                          "_bytes_raw: 120 -> 240"};

  auto dry = rebuild_headers(path, false);
  ASSERT_TRUE(dry.has_value()) << dry.error().to_string();
  EXPECT_EQ(dry->differences, expected);
  EXPECT_FALSE(dry->fixed);
  EXPECT_EQ(slurp(path), before);

  auto fixed = rebuild_headers(path, true);
  ASSERT_TRUE(fixed.has_value()) << fixed.error().to_string();
  EXPECT_EQ(fixed->differences, expected);
  EXPECT_TRUE(fixed->fixed);
  EXPECT_EQ(header(path, "_frames"), render_frames(derived));
  EXPECT_EQ(header(path, "_records"), "60");
  EXPECT_EQ(header(path, "_bytes_raw"), "240");
  // Only the zone changed.
  const Bytes after = slurp(path);
  ASSERT_EQ(after.size(), before.size());
  EXPECT_TRUE(std::equal(after.begin() + 16 + 4096, after.end(), before.begin() + 16 + 4096));
  EXPECT_TRUE(std::equal(after.begin(), after.begin() + 16, before.begin()));

  auto again = rebuild_headers(path, false);
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(again->differences, Lines{});
  auto checked = validate(path);
  ASSERT_TRUE(checked.has_value());
  EXPECT_EQ(checked->problems, Lines{});
  EXPECT_EQ(checked->records, 62u);
}

TEST(RebuildTest, EntryTheScanCannotReachIsReportedAndNotDropped) {
  TempDir dir;
  const std::string path = dir.file("unreached.drelix");
  Draft d;
  d.add_frame(1, u32_records(0, 10), 3);
  const std::uint64_t tail_at = d.data.size();
  d.add_bytes(u32_records(10, 4));
  // An entry over the tail's last two records: nothing begins where the scan stands.
  d.frames.push_back(Frame{2, tail_at + 8, 8, 0});
  d.write(path);
  const Bytes before = slurp(path);

  auto dry = rebuild_headers(path, false);
  ASSERT_TRUE(dry.has_value()) << dry.error().to_string();
  EXPECT_EQ(dry->differences, Lines{frames_line(d.frames, {d.actual[0]})});

  auto refused = rebuild_headers(path, true);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().message(),
            str_cat("the data section has bytes no frame accounts for at offset ", tail_at,
                    "; refusing to rewrite _frames"));
  EXPECT_EQ(slurp(path), before);
}

TEST(RebuildTest, HashZeroFramesGetChecksums) {
  TempDir dir;
  const std::string path = dir.file("hash0.drelix");
  Draft d;
  d.add_frame(1, u32_records(0, 10), 3);
  d.add_frame(2, u32_records(10, 10), 0);
  for (Frame& f : d.frames) f.hash = 0;
  d.write(path);

  auto report = rebuild_headers(path, true);
  ASSERT_TRUE(report.has_value()) << report.error().to_string();
  EXPECT_EQ(report->differences, Lines{frames_line(d.frames, d.actual)});
  EXPECT_TRUE(report->fixed);
  EXPECT_EQ(header(path, "_frames"), render_frames(d.actual));
}

TEST(RebuildTest, FrameLargerThanTheFirstWindow) {
  TempDir dir;
  const std::string path = dir.file("large.drelix");
  Draft d;
  std::mt19937 rng(7);
  Bytes noise(700 * 1024);
  for (auto& b : noise) b = static_cast<std::uint8_t>(rng());
  d.add_frame(1, noise, 3);
  d.add_frame(2, u32_records(0, 10), 3);
  ASSERT_GT(d.actual[0].len, 2u * 262144) << "needs at least two window doublings";
  d.frames.clear();
  d.records = 0;
  d.bytes_raw = 0;
  d.write(path);

  auto report = rebuild_headers(path, true);
  ASSERT_TRUE(report.has_value()) << report.error().to_string();
  std::vector<Frame> derived = d.actual;
  derived[0].id = 0;
  derived[1].id = 1;
  EXPECT_EQ(report->differences,
            (Lines{frames_line({}, derived), str_cat("_records: 0 -> ", 700 * 256 + 10),
                   str_cat("_bytes_raw: 0 -> ", 700 * 1024 + 40)}));
  EXPECT_EQ(header(path, "_frames"), render_frames(derived));
}

TEST(RebuildTest, CountersCompareAsText) {
  struct Case {
    std::string records;
    std::string bytes_raw;
    Lines expected;
  };
  const Case cases[] = {
      {"5", "20", {}},
      {"+5", "20", {"_records: +5 -> 5"}},
      {"05", "020", {"_records: 05 -> 5", "_bytes_raw: 020 -> 20"}},
      {"abc", "", {"_records: abc -> 5", "_bytes_raw:  -> 20"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.records);
    TempDir dir;
    const std::string path = dir.file("counters.drelix");
    Draft d;
    d.add_frame(1, u32_records(0, 5), 3);
    d.overrides = {{"_records", c.records}, {"_bytes_raw", c.bytes_raw}};
    d.write(path);
    auto report = rebuild_headers(path, false);
    ASSERT_TRUE(report.has_value()) << report.error().to_string();
    EXPECT_EQ(report->differences, c.expected);
  }
}

TEST(RebuildTest, RawFramesAreRecognisedWhereTheListSaysTheyBegin) {
  TempDir dir;
  const std::string path = dir.file("raw.drelix");
  Draft d;
  d.add_frame(4, u32_records(0, 10), 0);
  d.add_frame(6, u32_records(10, 10), 3);
  d.add_frame(8, u32_records(20, 10), 0);
  d.add_bytes(u32_records(30, 1));
  d.bytes_raw = 999;  // the one thing wrong
  d.frames[2].hash = 0;
  d.write(path);

  auto dry = rebuild_headers(path, false);
  ASSERT_TRUE(dry.has_value()) << dry.error().to_string();
  EXPECT_EQ(dry->differences, (Lines{frames_line(d.frames, d.actual), "_bytes_raw: 999 -> 120"}));

  auto fixed = rebuild_headers(path, true);
  ASSERT_TRUE(fixed.has_value()) << fixed.error().to_string();
  EXPECT_TRUE(fixed->fixed);
  EXPECT_EQ(header(path, "_frames"), render_frames(d.actual));
  EXPECT_EQ(header(path, "_bytes_raw"), "120");
  auto checked = validate(path);
  ASSERT_TRUE(checked.has_value());
  EXPECT_EQ(checked->problems, Lines{});
  EXPECT_EQ(checked->records, 31u);
}

TEST(RebuildTest, IdsFollowTheEntryThatBeginsAtTheSameOffset) {
  TempDir dir;
  const std::string path = dir.file("order.drelix");
  Draft d;
  d.add_frame(11, u32_records(0, 3), 3);
  d.add_frame(22, u32_records(3, 3), 3);
  std::swap(d.frames[0], d.frames[1]);  // listed out of file order
  d.write(path);

  auto report = rebuild_headers(path, true);
  ASSERT_TRUE(report.has_value()) << report.error().to_string();
  EXPECT_EQ(report->differences, Lines{frames_line(d.frames, d.actual)});
  EXPECT_EQ(header(path, "_frames"), render_frames(d.actual));
}

TEST(RebuildTest, GapMakesFixRefuse) {
  TempDir dir;
  const std::string path = dir.file("gap.drelix");
  Draft d;
  d.add_frame(1, u32_records(0, 10), 3);
  const std::uint64_t gap_at = d.data.size();
  d.add_bytes(Bytes{'j', 'u', 'n', 'k', '!'});
  d.add_frame(2, u32_records(10, 10), 3);
  d.write(path);
  const Bytes before = slurp(path);

  auto dry = rebuild_headers(path, false);
  ASSERT_TRUE(dry.has_value()) << dry.error().to_string();
  EXPECT_EQ(dry->differences, (Lines{frames_line(d.frames, {d.actual[0]}), "_records: 20 -> 10",
                                     "_bytes_raw: 80 -> 40"}));

  auto refused = rebuild_headers(path, true);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().kind(), Error::Kind::Malformed);
  EXPECT_EQ(refused.error().message(),
            str_cat("the data section has bytes no frame accounts for at offset ", gap_at,
                    "; refusing to rewrite _frames"));
  EXPECT_EQ(slurp(path), before);
}

TEST(RebuildTest, TailAfterTheListedFramesIsNoGap) {
  TempDir dir;
  const std::string path = dir.file("tail.drelix");
  Draft d;
  d.add_frame(1, u32_records(0, 10), 3);
  d.add_bytes(u32_records(10, 5));
  d.records = 3;
  d.write(path);
  auto report = rebuild_headers(path, true);
  ASSERT_TRUE(report.has_value()) << report.error().to_string();
  EXPECT_EQ(report->differences, Lines{"_records: 3 -> 10"});
  EXPECT_TRUE(report->fixed);
  EXPECT_EQ(header(path, "_records"), "10");
}

TEST(RebuildTest, TornRecordInsideADecodableFrameFails) {
  TempDir dir;
  const std::string path = dir.file("torn.drelix");
  Draft d;
  d.add_frame(1, u32_records(0, 10), 3);
  const std::uint64_t torn_at = d.data.size();
  Bytes content = u32_records(10, 2);
  content.push_back(1);
  content.push_back(2);
  content.push_back(3);
  d.add_frame(2, content, 3);
  d.write(path);
  const Bytes before = slurp(path);
  for (bool fix : {false, true}) {
    SCOPED_TRACE(fix);
    auto report = rebuild_headers(path, fix);
    ASSERT_FALSE(report.has_value());
    EXPECT_EQ(report.error().kind(), Error::Kind::Malformed);
    EXPECT_EQ(report.error().message(),
              str_cat("frame at offset ", torn_at, ": 3 torn bytes inside a closed frame"));
    EXPECT_EQ(slurp(path), before);
  }
}

TEST(RebuildTest, UndecodableListedFrameFailsWithTheDecoderError) {
  TempDir dir;
  const std::string path = dir.file("cut.drelix");
  Draft d;
  d.add_frame(1, u32_records(0, 1000), 3);
  d.data.back() ^= 0xff;  // the content checksum at the frame's end no longer matches
  d.write(path);
  const Bytes before = slurp(path);
  auto report = rebuild_headers(path, true);
  ASSERT_FALSE(report.has_value());
  EXPECT_EQ(report.error().kind(), Error::Kind::Compression);
  EXPECT_EQ(slurp(path), before);
}

// Records are arbitrary bytes: a tail whose first record begins with the zstd magic is still
// a tail, on a file with frames and on one that never closed any.
TEST(RebuildTest, TailBeginningWithTheMagicIsNotAFrame) {
  const Bytes magic_record = {0x28, 0xB5, 0x2F, 0xFD};
  for (bool with_frame : {true, false}) {
    SCOPED_TRACE(with_frame);
    TempDir dir;
    const std::string path = dir.file("magic-tail.drelix");
    Draft d;
    if (with_frame) d.add_frame(1, u32_records(0, 10), 3);
    d.add_bytes(magic_record);
    d.add_bytes(u32_records(7, 3));
    d.write(path);
    const Bytes before = slurp(path);
    auto report = rebuild_headers(path, true);
    ASSERT_TRUE(report.has_value()) << report.error().to_string();
    EXPECT_EQ(report->differences, Lines{});
    EXPECT_FALSE(report->fixed);
    EXPECT_EQ(slurp(path), before);
  }
}

TEST(RebuildTest, FixThatDoesNotFitTheZoneWritesNothing) {
  TempDir dir;
  const std::string path = dir.file("full.drelix");
  Draft d;
  for (std::uint32_t i = 0; i < 40; ++i) d.add_frame(i, u32_records(i, 1), 3);
  d.frames.clear();
  d.records = 0;
  d.bytes_raw = 0;
  d.header_area = 1024;  // holds the empty list, not forty checksummed entries
  d.write(path);
  const Bytes before = slurp(path);
  auto report = rebuild_headers(path, true);
  ASSERT_FALSE(report.has_value());
  EXPECT_EQ(report.error().kind(), Error::Kind::ZoneFull);
  EXPECT_EQ(report.error().have(), 1024u);
  EXPECT_EQ(slurp(path), before);
}

}  // namespace
}  // namespace drelix
