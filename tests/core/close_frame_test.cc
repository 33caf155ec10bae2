#include <gtest/gtest.h>

#include <bit>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "core/codec.h"
#include "core/container.h"
#include "core/hash.h"
#include "core/journal.h"
#include "core/numbers.h"
#include "core/preview.h"
#include "core/str_cat.h"
#include "tests/core/test_util.h"

namespace drelix {
namespace {

using Kind = Error::Kind;
using test::blob_schema;
using test::concat;
using test::header;
using test::pair_record;
using test::pair_schema;
using test::patterned;
using test::prefixed;
using test::read_file;
using test::slice;
using test::write_file;

constexpr char kBrokenMessage[] =
    "the file may be half-spliced after a failed close; reopen it with open_append";

class CloseFrameTest : public test::SimTest {
 protected:
  Container create(const Schema& schema, std::uint32_t area = 4096) {
    sim_.erase(path_);
    return ok(Container::create(path_, schema, "test", "writer", 0, area, {}));
  }
  static Container ok(Result<Container> c) {
    EXPECT_TRUE(c.has_value()) << c.error().to_string();
    return std::move(*c);
  }
  Container open_append() { return ok(Container::open_append(path_)); }
  Container open_read() { return ok(Container::open_read(path_)); }
  static void append(Container& c, const std::vector<Bytes>& bodies) {
    for (const Bytes& b : bodies) ASSERT_TRUE(c.append_record(b).has_value());
  }
  bool journal_exists() const { return test::exists(journal_path(path_)); }
};

// A close compresses the tail (buffered records first) into a frame at the tail start, lists it
// with its checksum and counts everything; level 0 stores the records raw; readers see the same.
TEST_F(CloseFrameTest, RoundTripsBothLayoutsAtEveryLevel) {
  std::vector<Bytes> fixed = {pair_record(7, 1.0), pair_record(8, 2.5), pair_record(9, -0.0)};
  for (std::uint32_t i = 0; i < 3000; ++i) fixed.push_back(pair_record(i, i / 3.0));
  const std::vector<Bytes> blobs = {Bytes{}, patterned(65535, 1), Bytes{0x41},
                                    Bytes{}, patterned(300, 9),   patterned(65535, 200)};
  for (const bool is_fixed : {true, false}) {
    const std::vector<Bytes>& bodies = is_fixed ? fixed : blobs;
    const Bytes stored = is_fixed ? concat(fixed) : prefixed(blobs);
    for (std::int32_t level : {0, 1, 3, 19, -5}) {
      SCOPED_TRACE(testing::Message() << is_fixed << " level " << level);
      Bytes frame;
      {
        Container c = create(is_fixed ? pair_schema() : blob_schema());
        append(c, bodies);
        ASSERT_TRUE(c.close_frame(42, level).has_value());
        const Bytes file = read_file(path_);
        EXPECT_EQ(c.data_end(), file.size());
        frame = slice(file, c.data_start(), file.size());
        EXPECT_EQ(c.frames(), (std::vector{Frame{42, 0, frame.size(), xxh64(frame)}}));
        EXPECT_TRUE(level == 0 ? frame == stored
                               : starts_with_zstd_magic(frame) && frame.size() < stored.size());
        EXPECT_EQ(c.records(), bodies.size());
        EXPECT_EQ(c.frame_records(), bodies.size());
        EXPECT_EQ(c.bytes_raw(), stored.size());
        EXPECT_EQ(c.frame_bytes_raw(), stored.size());
        EXPECT_EQ(c.read_frame_at(0), stored);
        EXPECT_FALSE(journal_exists());
      }
      Container r = open_read();
      const Headers& h = r.headers();
      EXPECT_EQ(header(h, "_frames"), str_cat("42,0,", frame.size(), ",", to_hex16(xxh64(frame))));
      EXPECT_EQ(header(h, "_records"), to_decimal(bodies.size()));
      EXPECT_EQ(header(h, "_bytes_raw"), to_decimal(stored.size()));
      EXPECT_EQ(header(h, "_compression_level"), to_decimal_signed(level));
      EXPECT_EQ(header(h, "_compression"), level == 0 ? "none" : "zstd");
      EXPECT_EQ(r.records(), bodies.size());
      EXPECT_EQ(r.read_frame(42), stored);
      EXPECT_EQ(r.read_tail(), Bytes{});
    }
  }
}

// Frames follow one another from the start of the data section; a repeated id makes a second
// frame; a close of an empty tail changes nothing; a tail partly on disk, partly buffered, is
// one frame; raw records that start with the zstd magic are still read back as records.
TEST_F(CloseFrameTest, SuccessiveClosesAndEmptyTails) {
  {
    Container c = create(blob_schema());
    const Bytes empty = read_file(path_);
    const std::vector<Headers::Pair> pairs = c.headers().pairs();
    ASSERT_TRUE(c.close_frame(1, 3).has_value());
    EXPECT_TRUE(c.frames().empty());
    EXPECT_EQ(read_file(path_), empty);
    EXPECT_EQ(c.headers().pairs(), pairs);
    append(c, {Bytes{1, 2, 3}, Bytes{}});
    ASSERT_TRUE(c.close_frame(7, 3).has_value());
    append(c, {patterned(1000, 5)});
    ASSERT_TRUE(c.close_frame(7, 0).has_value());
    append(c, {Bytes{9}});
    ASSERT_TRUE(c.close_frame(8, -5).has_value());
    const Bytes closed = read_file(path_);
    ASSERT_TRUE(c.close_frame(2, 0).has_value());
    EXPECT_EQ(read_file(path_), closed);
    EXPECT_FALSE(journal_exists());
  }
  const std::vector<Bytes> parts = {prefixed({Bytes{1, 2, 3}, Bytes{}}),
                                    prefixed({patterned(1000, 5)}), prefixed({Bytes{9}})};
  Container r = open_read();
  ASSERT_EQ(r.frames().size(), 3u);
  const Bytes file = read_file(path_);
  std::string frames;
  std::uint64_t at = 0;
  for (std::uint64_t i = 0; i < 3; ++i) {
    const Bytes bytes = slice(file, r.data_start() + at, r.data_start() + at + r.frames()[i].len);
    frames += str_cat(i ? ";" : "", i < 2 ? 7 : 8, ",", at, ",", bytes.size(), ",",
                      to_hex16(xxh64(bytes)));
    at += bytes.size();
    EXPECT_TRUE(i != 1 || bytes == parts[1]);  // level 0: the raw records
    EXPECT_EQ(r.read_frame_at(i), parts[i]);
  }
  EXPECT_EQ(file.size(), r.data_start() + at);
  EXPECT_EQ(header(r.headers(), "_frames"), frames);
  EXPECT_EQ(header(r.headers(), "_records"), "4");
  EXPECT_EQ(header(r.headers(), "_bytes_raw"), to_decimal(concat(parts).size()));
  EXPECT_EQ(header(r.headers(), "_compression_level"), "-5");
  EXPECT_EQ(header(r.headers(), "_compression"), "zstd");

  const Bytes magic{0x28, 0xB5, 0x2F, 0xFD};
  {
    Container c = create(Schema{"magic", {{"m", "u32", 0}}, RecordLayout::fixed(4)});
    append(c, {magic, Bytes{1, 2, 3, 4}});
  }  // destruction writes the buffer
  Container c = open_append();
  append(c, {magic});
  ASSERT_TRUE(c.close_frame(1, 0).has_value());
  const Bytes stored = slice(read_file(path_), c.data_start(), c.data_end());
  EXPECT_TRUE(starts_with_zstd_magic(stored));
  EXPECT_NE(stored, concat({magic, {1, 2, 3, 4}, magic}));
  EXPECT_EQ(c.frames()[0].hash, xxh64(stored));
  EXPECT_EQ(header(c.headers(), "_compression"), "none");  // the caller's policy
  EXPECT_EQ(header(c.headers(), "_records"), "3");
  EXPECT_EQ(header(c.headers(), "_bytes_raw"), "12");
  EXPECT_EQ(open_read().read_frame(1), concat({magic, {1, 2, 3, 4}, magic}));
}

// The first close writes the preview in the place create gave it; later ones leave it alone,
// unless it rendered empty (records without fields), or an older writer left no key, which is
// then appended.
TEST_F(CloseFrameTest, PreviewIsWrittenByTheFirstCloseThatRendersOne) {
  {
    Container c = create(pair_schema());
    append(c, {pair_record(7, 1.0), pair_record(8, 2.5)});
    ASSERT_TRUE(c.close_frame(1, 3).has_value());
    append(c, {pair_record(9, 9.75)});
    ASSERT_TRUE(c.close_frame(2, 3).has_value());
  }
  EXPECT_EQ(open_read().headers().pairs()[12], (Headers::Pair{"_preview", "7,1;8,2.5"}));
  Container c = create(blob_schema());
  append(c, {Bytes{1}});
  ASSERT_TRUE(c.close_frame(1, 3).has_value());
  EXPECT_EQ(header(c.headers(), "_preview"), "");
  append(c, {Bytes{2}, Bytes{3}});
  ASSERT_TRUE(c.close_frame(2, 3).has_value());
  EXPECT_EQ(header(c.headers(), "_preview"), ";");

  create(pair_schema());
  test::rewrite_zone(path_, [](Headers& h) { h = test::without(h, "_preview"); });
  Container old = open_append();
  const std::size_t keys = old.headers().size();
  append(old, {pair_record(3, 0.125)});
  ASSERT_TRUE(old.close_frame(1, 3).has_value());
  ASSERT_EQ(old.headers().size(), keys + 1);
  EXPECT_EQ(old.headers().pairs().back(), (Headers::Pair{"_preview", "3,0.125"}));
  EXPECT_EQ(test::header(path_, "_preview"), "3,0.125");
}

// A zone too small for the new headers fails the close before any journal or frame write: only
// the buffer reached the file, and the container stays usable.
TEST_F(CloseFrameTest, ZoneTooSmallFailsBeforeAnyJournalOrFrameWrite) {
  auto probe = Container::create(path_, pair_schema(), "test", "writer", 0, 1, {});
  ASSERT_EQ(probe.error().kind(), Kind::ZoneFull);
  const auto area = static_cast<std::uint32_t>(probe.error().need());
  Container c = create(pair_schema(), area);
  const std::vector<Bytes> bodies = {pair_record(1, 1), pair_record(2, 2)};
  append(c, bodies);
  const std::vector<Headers::Pair> headers_before = c.headers().pairs();
  sim_.reset();
  auto s = c.close_frame(1, 3);
  EXPECT_EQ(s.error().kind(), Kind::ZoneFull);
  EXPECT_EQ(s.error().have(), area);
  using Op = SimEnv::Op;
  for (const auto& [op, n] :
       {std::pair{Op::Open, 0}, {Op::Write, 1}, {Op::Truncate, 0}, {Op::Sync, 0}}) {
    EXPECT_EQ(sim_.count(op), n) << static_cast<int>(op);  // only the buffer was written
  }
  EXPECT_FALSE(journal_exists());
  EXPECT_TRUE(c.frames().empty());
  EXPECT_EQ(c.headers().pairs(), headers_before);
  EXPECT_EQ(c.frame_records(), 0u);
  EXPECT_EQ(c.records(), 2u);
  EXPECT_EQ(slice(read_file(path_), c.data_start(), c.data_end()), concat(bodies));
  EXPECT_EQ(c.read_tail(), concat(bodies));
  append(c, {pair_record(3, 3)});
  EXPECT_EQ(c.close_frame(1, 3).error().kind(), Kind::ZoneFull);
  EXPECT_EQ(c.records(), 3u);
}

// Sealing is a close, then _sealed "true" and a zone rewrite; appending and closing go on. On an
// empty tail only the zone changes; a failing rewrite is reported after the close took effect.
TEST_F(CloseFrameTest, Seal) {
  {
    Container c = create(pair_schema());
    Bytes want = read_file(path_);
    Headers expected = c.headers();
    ASSERT_TRUE(expected.set("_sealed", "true").has_value());
    const Bytes zone = expected.render(c.preamble().header_area).value();
    std::copy(zone.begin(), zone.end(), want.begin() + 16);
    ASSERT_TRUE(c.seal(5, 3).has_value());
    EXPECT_TRUE(c.frames().empty());
    EXPECT_EQ(read_file(path_), want);
    append(c, {pair_record(1, 1.5), pair_record(2, -2.5)});
    ASSERT_TRUE(c.seal(9, 19).has_value());
    append(c, {pair_record(3, 3)});
    ASSERT_TRUE(c.close_frame(10, 3).has_value());
  }
  Container r = open_read();
  EXPECT_EQ(header(r.headers(), "_sealed"), "true");
  EXPECT_EQ(header(r.headers(), "_records"), "3");
  ASSERT_EQ(r.frames().size(), 2u);
  EXPECT_EQ(r.read_frame(9), concat({pair_record(1, 1.5), pair_record(2, -2.5)}));
  EXPECT_EQ(r.read_frame(10), pair_record(3, 3));

  Container c = create(pair_schema());
  append(c, {pair_record(1, 1)});
  sim_.reset();
  sim_.fail_nth(SimEnv::Op::Sync, 3, EIO);  // the journal's, the splice's, the rewrite's
  EXPECT_EQ(c.seal(1, 3), fail(Error::io(EIO)));
  EXPECT_EQ(c.frames().size(), 1u);
  EXPECT_EQ(header(c.headers(), "_sealed"), "true");
}

// Every way a close can fail, or succeed and leave its journal behind. A failure before the
// splice leaves the data file and the container as they were and no journal: the close can be
// done again. After a failed splice, or with a journal that will not go away (its replay by the
// next opener would cut off records appended since), memory and disk may disagree: every write
// is refused until the path is reopened, and reopening completes the close from the journal.
TEST_F(CloseFrameTest, FailedCloses) {
  using Op = SimEnv::Op;
  enum Outcome { kRetry, kBroken, kStale, kUsable };
  const struct {
    Op op;
    std::uint64_t nth;  // counted from the start of the close
    bool buffered;      // the records are still in the buffer when the close starts
    bool unlink_fails;  // every deletion fails as well
    Outcome outcome;
  } cases[] = {
      {Op::Write, 1, true, false, kRetry},    // the buffer
      {Op::Read, 1, false, false, kRetry},    // the tail
      {Op::Open, 1, false, false, kRetry},    // the journal's create
      {Op::Write, 1, false, false, kRetry},   // the journal's head
      {Op::Write, 2, false, false, kRetry},   // the journal's frame
      {Op::Sync, 1, false, false, kRetry},    // the journal's sync
      {Op::Sync, 1, false, true, kBroken},    // ... and the journal, complete, stays
      {Op::Write, 3, false, false, kBroken},  // the frame
      {Op::Truncate, 1, false, false, kBroken}, {Op::Write, 4, false, false, kBroken},  // the zone
      {Op::Sync, 2, false, false, kBroken},    // the splice's sync
      {Op::Unlink, 1, false, false, kStale},   // the journal never goes
      {Op::Unlink, 1, false, false, kUsable},  // the journal goes on the retry
  };
  const std::vector<Bytes> bodies = {patterned(5000, 8), Bytes{}, Bytes{1}};
  for (const auto& k : cases) {
    SCOPED_TRACE(testing::Message() << static_cast<int>(k.op) << " " << k.nth << " " << k.outcome);
    const bool closed = k.outcome == kStale || k.outcome == kUsable;
    const bool broken = k.outcome == kBroken || k.outcome == kStale;
    {
      Container c = create(blob_schema());
      append(c, bodies);
      if (!k.buffered) {
        ASSERT_TRUE(c.flush_data().has_value());
      }
      const Bytes before = read_file(path_);
      const std::uint64_t data_end = c.data_end();
      const std::size_t buffered = c.buffered_bytes();
      sim_.reset();
      sim_.fail_nth(k.op, k.nth, EIO, /*and_after=*/k.outcome != kUsable);
      if (k.unlink_fails) sim_.fail_nth(Op::Unlink, 1, EIO, true);
      const Error eio = k.op == Op::Open ? Error::io_at(journal_path(path_), EIO) : Error::io(EIO);
      EXPECT_EQ(c.close_frame(4, 3), closed ? Status{} : Status(fail(eio)));
      EXPECT_EQ(journal_exists(), broken);
      EXPECT_EQ(c.frames().size(), closed ? 1u : 0u);
      EXPECT_EQ(c.frame_records(), closed ? 3u : 0u);
      if (k.op == Op::Unlink) {
        EXPECT_EQ(sim_.count(Op::Unlink), 2u);  // one retry
      }
      if (k.outcome == kRetry || k.unlink_fails) {  // the splice never began
        EXPECT_EQ(read_file(path_), before);
        EXPECT_EQ(c.data_end(), data_end);
        EXPECT_EQ(c.buffered_bytes(), buffered);
      }
      if (!broken) {
        sim_.clear(k.op);
        append(c, {Bytes{2}});
        ASSERT_TRUE(c.close_frame(5, 3).has_value());
        EXPECT_EQ(c.read_frame(5),
                  closed ? prefixed({Bytes{2}}) : prefixed({bodies[0], {}, {1}, {2}}));
        continue;
      }
      const Bytes before_refusals = read_file(path_);
      const std::function<Status()> writes[] = {
          [&] { return c.append_record(Bytes{1}); }, [&] { return c.close_frame(5, 3); },
          [&] { return c.seal(5, 3); }, [&] { return c.flush_headers(); },
          [&] { return c.set_user_header("k", "v"); }};
      for (const auto& write : writes) test::expect_error(write(), Kind::Usage, kBrokenMessage);
      EXPECT_EQ(c.records(), 3u);
      EXPECT_EQ(read_file(path_), before_refusals);
    }
    if (!broken) continue;
    sim_.reset();
    Container c = open_append();
    EXPECT_FALSE(journal_exists());
    EXPECT_EQ(c.frames().size(), 1u);
    EXPECT_EQ(c.frames().at(0).id, 4u);
    EXPECT_EQ(c.records(), 3u);
    EXPECT_EQ(header(c.headers(), "_records"), "3");
    EXPECT_EQ(c.read_frame(4), prefixed(bodies));
    EXPECT_EQ(read_file(path_).size(), c.data_start() + c.frames()[0].len);
  }
}

// ---------------------------------------------------------------------------------------------
// Preview

// A schema from its _schema_fields text.
Schema schema_of(const std::string& fields, RecordLayout layout) {
  auto s = Schema::from_headers(test::make_headers(
      {{"_schema", "s"}, {"_record", layout.render()}, {"_schema_fields", fields}}));
  EXPECT_TRUE(s.has_value());
  return *s;
}

Bytes u64_bytes(std::uint64_t v) {
  Bytes b(8);
  store_u64le(b.data(), v);
  return b;
}

TEST(RenderPreview, Rows) {
  Bytes all(3 * 39, 0);  // every integer type and a uuid; then zeros; then a negative i64
  all[0] = 255;
  store_u16le(all.data() + 1, 65535);
  store_u32le(all.data() + 3, 4294967295u);
  store_u64le(all.data() + 7, UINT64_MAX);
  store_u64le(all.data() + 15, static_cast<std::uint64_t>(INT64_MIN));
  for (int i = 0; i < 16; ++i) all[23 + i] = static_cast<std::uint8_t>(i * 17 + 10);
  store_u64le(all.data() + 2 * 39 + 15, static_cast<std::uint64_t>(std::int64_t{-42}));
  const std::string uuid0(32, '0');
  // Fields at the very edge of a 4-byte prefixed record, and past it; unknown types.
  const Schema edges = schema_of(
      "a:u8:3;b:u8:4;c:u16:2;d:u16:3;e:u32:0;f:u32:1;g:u64:0;h:uuid:0;i:float:0;k:U8:0;l:u8:"
      "4294967295",
      RecordLayout::prefixed());
  // A first row above 1024 bytes on its own (40 uuids) gives no preview: kept, it could fill
  // the zone so that no close ever finds room again.
  Schema wide{"wide", {}, RecordLayout::fixed(16)};
  for (int i = 0; i < 40; ++i) wide.fields.push_back({"u" + std::to_string(i), "uuid", 0});
  const Bytes wide_record = {0xa0, 0xa1, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7,
                             0xa8, 0xa9, 0xaa, 0xab, 0xac, 0xad, 0xae, 0xaf};
  const struct {
    const char* name;
    Schema schema;
    Bytes tail;
    std::string expected;
  } cases[] = {
      {"four records show three", pair_schema(),
       concat({pair_record(1, 1), pair_record(2, 2.5), pair_record(3, 3), pair_record(4, 4)}),
       "1,1;2,2.5;3,3"},
      {"no fields", blob_schema(), prefixed({Bytes{1}, Bytes{}, Bytes{2, 3}, Bytes{4}}), ";;"},
      {"one empty row", blob_schema(), prefixed({Bytes{}}), ""},
      {"empty tail", pair_schema(), Bytes{}, ""},
      {"torn tail only", pair_schema(), Bytes{1, 2, 3}, ""},
      {"whole record then torn", pair_schema(), concat({pair_record(5, 0.5), Bytes{1, 2}}),
       "5,0.5"},
      {"every integer type and uuid",
       schema_of("a:u8:0;b:u16:1;c:u32:3;d:u64:7;e:i64:15;f:uuid:23", RecordLayout::fixed(39)), all,
       "255,65535,4294967295,18446744073709551615,-9223372036854775808,"
       "0a1b2c3d4e5f708192a3b4c5d6e7f809;0,0,0,0,0," +
           uuid0 + ";0,0,0,0,-42," + uuid0},
      {"edges", edges, prefixed({Bytes{1, 2, 3, 4}}), "4,?,1027,?,67305985,?,?,?,?,?,?"},
      {"empty prefixed record", edges, prefixed({Bytes{}}), "?,?,?,?,?,?,?,?,?,?,?"},
      {"first row over 1024 dropped", wide, concat({wide_record, wide_record}), ""},
  };
  for (const auto& pc : cases) {
    SCOPED_TRACE(pc.name);
    EXPECT_EQ(render_preview(pc.tail, pc.schema), pc.expected);
  }
}

// The shortest text that reads back as the same double, never in exponent form.
TEST(RenderPreview, F64Texts) {
  constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const std::pair<double, std::string> cases[] = {
      // clang-format off
      {-0.0, "-0"}, {0.0, "0"}, {0.1, "0.1"}, {1.0 / 3.0, "0.3333333333333333"}, {1e-7, "0.0000001"},
      {123456789012345680.0, "123456789012345680"}, {1e21, "1000000000000000000000"},
      {1e300, "1" + std::string(300, '0')}, {5e-324, "0." + std::string(323, '0') + "5"},
      {std::numeric_limits<double>::max(), "179769313486231570" + std::string(291, '0')},
      {-2.2250738585072014e-308, "-0." + std::string(307, '0') + "22250738585072014"},
      {9007199254740993.0, "9007199254740992"} /* 2^53 + 1 rounds */, {0.1 + 0.2, "0.30000000000000004"},
      {-123.456, "-123.456"}, {kNan, "NaN"}, {-kNan, "NaN"}, {kInf, "inf"}, {-kInf, "-inf"}};
  // clang-format on
  const Schema f64s{"f", {{"x", "f64", 0}}, RecordLayout::fixed(8)};
  for (const auto& [v, text] : cases) {
    EXPECT_EQ(render_preview(u64_bytes(std::bit_cast<std::uint64_t>(v)), f64s), text);
  }
}

// Rows of n copies of one u64 field: n * digits + (n - 1) bytes each, so three rows make
// n * (d1 + d2 + d3 + 3) - 1 bytes.
std::string repeated_row(int n, const std::string& value) {
  std::string row;
  for (int i = 0; i < n; ++i) row += (i ? "," : "") + value;
  return row;
}

TEST(RenderPreview, LengthRuleBoundary) {
  // clang-format off
  const struct Case { int n; std::uint64_t values[3]; std::size_t full_length; bool whole; } cases[] = {
      {25, {UINT64_MAX, 123456789, 987654321}, 1024, true},          // 25 * 41 - 1
      {27, {123456789012, 210987654321, 12345678901}, 1025, false},  // 27 * 38 - 1
      {25, {UINT64_MAX, 123456789, 9876543210}, 1049, false}};
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.full_length);
    Schema s{"u", {}, RecordLayout::fixed(8)};
    for (int i = 0; i < c.n; ++i) s.fields.push_back({"v" + std::to_string(i), "u64", 0});
    Bytes tail;
    std::string full;
    for (int r = 0; r < 3; ++r) {
      const Bytes rec = u64_bytes(c.values[r]);
      tail.insert(tail.end(), rec.begin(), rec.end());
      if (r > 0) full += ";";
      full += repeated_row(c.n, to_decimal(c.values[r]));
    }
    ASSERT_EQ(full.size(), c.full_length);
    const std::string first = repeated_row(c.n, to_decimal(c.values[0]));
    EXPECT_EQ(render_preview(tail, s), c.whole ? full : first);
  }
}

}  // namespace
}  // namespace drelix
