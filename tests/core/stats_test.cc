// Frame statistics: the entry of a frame's bytes, the value's text, and reading it back.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/bulk_write.h"
#include "core/frame_stats.h"
#include "core/maintenance.h"
#include "core/str_cat.h"
#include "core/numbers.h"
#include "tests/core/test_util.h"

namespace drelix {
namespace {

// Records of one 8-byte field at offset 0 (or a u8/u16/u32 at offset 0 of an 8-byte record).
Bytes records_of(const std::vector<std::uint64_t>& words) {
  Bytes out(words.size() * 8);
  for (std::size_t i = 0; i < words.size(); ++i) store_u64le(out.data() + 8 * i, words[i]);
  return out;
}
std::uint64_t d(double v) { return std::bit_cast<std::uint64_t>(v); }
std::uint64_t i(std::int64_t v) { return static_cast<std::uint64_t>(v); }

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kDenorm = std::numeric_limits<double>::denorm_min();

struct EntryCase {
  StatType type;
  std::vector<std::uint64_t> words;
  std::string entry;
};

TEST(FrameStats, EntryOfRecords) {
  const std::vector<EntryCase> cases = {
      {StatType::U64, {}, ""},
      {StatType::U64, {7}, "7,7"},
      {StatType::U64, {5, UINT64_MAX, 0, 9}, "0,18446744073709551615"},
      {StatType::U8, {0x1ff, 3, 0x280}, "3,255"},  // only the field's own byte counts
      {StatType::U16, {0x1fffff, 0x10002}, "2,65535"},
      {StatType::U32, {0xffffffffff, 12}, "12,4294967295"},
      {StatType::I64, {i(-5), i(INT64_MIN), i(3)}, "-9223372036854775808,3"},
      {StatType::F64, {d(0.1), d(-2.5), d(1e300)}, "-2.5,1e+300"},
      {StatType::F64, {d(kNan), d(kNan)}, ""},
      {StatType::F64, {d(kNan), d(1.5), d(kNan)}, "1.5,1.5"},
      {StatType::F64, {d(0.0), d(-0.0)}, "-0,0"},
      {StatType::F64, {d(-0.0), d(0.0)}, "-0,0"},
      {StatType::F64, {d(-kInf), d(kInf)}, "-inf,inf"},
      {StatType::F64, {d(kDenorm), d(-kDenorm)}, "-5e-324,5e-324"},
  };
  for (const EntryCase& c : cases) {
    const IndexedField field{"x", c.type, 0};
    EXPECT_EQ(entry_for(records_of(c.words), field, 8), c.entry) << c.entry;
    // What is written reads back as itself.
    EXPECT_TRUE(parse_entry(c.entry, c.type)) << c.entry;
  }
}

TEST(FrameStats, DoublesRoundTrip) {
  const std::vector<double> values = {0.1,     1.0 / 3,  -0.0, 0.0,  kDenorm, -kInf, kInf,
                                      1e-310,  2.5e-308, 1e308, -123456789.125,
                                      std::numeric_limits<double>::max(),
                                      std::numeric_limits<double>::min()};
  for (const double v : values) {
    const std::string entry = entry_for(records_of({d(v)}), {"x", StatType::F64, 0}, 8);
    const auto range = parse_entry(entry, StatType::F64);
    ASSERT_TRUE(range && *range) << entry;
    EXPECT_EQ(d(std::get<double>((*range)->first)), d(v)) << entry;
    EXPECT_EQ(d(std::get<double>((*range)->second)), d(v)) << entry;
  }
}

TEST(FrameStats, ParseRefusesWhatIsNotCanonical) {
  const std::vector<std::pair<StatType, std::string>> bad = {
      {StatType::U64, "1"},         {StatType::U64, "01,2"},       {StatType::U64, "-1,2"},
      {StatType::U64, "3,2"},       {StatType::U64, "1,2,3"},      {StatType::U64, " 1,2"},
      {StatType::U64, "1,18446744073709551616"},                    {StatType::U8, "0,256"},
      {StatType::I64, "+1,2"},      {StatType::F64, "nan,1"},      {StatType::F64, "1.0,2"},
      {StatType::F64, "0,-0"},      {StatType::F64, "infinity,inf"}, {StatType::F64, "0x1p3,9"},
      {StatType::F64, "1e300,1E300"},
  };
  for (const auto& [type, entry] : bad) EXPECT_FALSE(parse_entry(entry, type)) << entry;
}

TEST(FrameStats, ValueRenderAndParse) {
  const std::vector<std::string> entries = {"1,2", "", "-1,5"};
  EXPECT_EQ(render_stats(entries), "1,2;;-1,5");
  EXPECT_EQ(append_stats("1,2", 1, std::vector<std::string>{"", "-1,5"}), "1,2;;-1,5");
  EXPECT_EQ(append_stats("", 1, std::vector<std::string>{""}), ";");
  EXPECT_EQ(render_stats(std::vector<std::string>{""}), "");

  struct Case {
    std::string value;
    std::size_t frames;
    bool usable;
  };
  const std::vector<Case> cases = {
      {"1,2;;-1,5", 3, true}, {"1,2;;-1,5", 4, false}, {"1,2;;-1,5", 2, false},
      {"", 0, true},          {"", 1, true},           {";", 2, true},
      {"", 2, false},         {"1,2", 0, false},       {"1,2;x", 2, false},
  };
  for (const Case& c : cases) {
    const auto parsed = parse_stats(c.value, c.frames, StatType::I64);
    EXPECT_EQ(parsed.has_value(), c.usable) << c.value << " / " << c.frames;
    if (parsed) {
      EXPECT_EQ(render_stats(*parsed), c.value);
    }
  }
}

TEST(FrameStats, IndexedFields) {
  Schema schema{"s",
                {{"ts", "i64", 0}, {"v", "f64", 8}, {"id", "uuid", 16}, {"k", "u8", 32}},
                RecordLayout::fixed(33)};
  Headers headers;
  ASSERT_TRUE(headers.set("drelix_stats_v", ""));
  ASSERT_TRUE(headers.set("drelix_stats_id", ""));
  ASSERT_TRUE(headers.set("drelix_stats_gone", ""));
  ASSERT_TRUE(headers.set("drelix_stats_ts", ""));
  const std::vector<IndexedField> want = {{"ts", StatType::I64, 0}, {"v", StatType::F64, 8}};
  EXPECT_EQ(indexed_fields(headers, schema), want);

  for (const char* name : {"id", "nope"}) EXPECT_FALSE(indexable_field(schema, name)) << name;
  EXPECT_TRUE(indexable_field(schema, "k"));
  schema.layout = RecordLayout::fixed(32);  // k would end past the record
  EXPECT_FALSE(indexable_field(schema, "k"));
  schema.layout = RecordLayout::prefixed();
  EXPECT_FALSE(indexable_field(schema, "ts"));
  EXPECT_TRUE(indexed_fields(headers, schema).empty());
}

// The keys of a file of pair_schema (price u32, qty f64) as the engine's writer leaves them.
class StatsFile : public test::DirTest {
 protected:
  Container create(std::uint32_t zone = 4096) {
    auto c = Container::create(path_, test::pair_schema(), "", "", 0, zone,
                               {{"drelix_stats_price", ""}});
    EXPECT_TRUE(c && c->keep_stats({}));
    return std::move(*c);
  }
  void append(Container& c, std::vector<std::pair<std::uint32_t, double>> records) {
    for (const auto& [n, x] : records) ASSERT_TRUE(c.append_record(test::pair_record(n, x)));
  }
  using Keys = std::pair<std::string, std::string>;
  Keys keys() const {
    return {test::header(path_, "drelix_stats_price"), test::header(path_, "drelix_stats_qty")};
  }
};

TEST_F(StatsFile, ClosesSealsAndBulkWritesListEachFramesRange) {
  Container c = create();
  append(c, {{5, 2.5}, {3, kNan}});
  ASSERT_TRUE(c.close_frame(0, 3));
  ASSERT_TRUE(c.close_frame(1, 3));  // an empty tail closes nothing
  EXPECT_EQ(keys(), Keys("3,5", "<absent>"));
  append(c, {{9, -0.0}});
  ASSERT_TRUE(c.seal(1, 0));
  EXPECT_EQ(test::header(path_, "drelix_stats_price"), "3,5;9,9");
  append(c, {{1, 0}});
  const Bytes bulk = test::concat({test::pair_record(7, 1), test::pair_record(4, 1),
                                   test::pair_record(8, 1)});
  ASSERT_TRUE(bulk_write_fixed(c, bulk, 2, {.frame_records = 2, .threads = 2}));
  EXPECT_EQ(test::header(path_, "drelix_stats_price"), "3,5;9,9;1,1;4,7;8,8");

  // Reopened, another field joins from the existing frames on; the first keeps its entries.
  c = Container::open_append(path_).value();
  const std::vector<std::string> qty = {"qty"};
  ASSERT_TRUE(c.keep_stats(qty));
  EXPECT_EQ(test::header(path_, "drelix_stats_qty"), "2.5,2.5;-0,-0;0,0;1,1;1,1");
  append(c, {{2, kNan}});
  ASSERT_TRUE(c.close_frame(9, 3));
  EXPECT_EQ(keys(), Keys("3,5;9,9;1,1;4,7;8,8;2,2",
                                                          "2.5,2.5;-0,-0;0,0;1,1;1,1;"));
}

TEST_F(StatsFile, AWriterThatKeepsNoStatisticsIsCaughtUpWith) {
  { Container c = create(); }
  // A container that keeps no statistics closes frames and leaves the key as it was.
  Container c = Container::open_append(path_).value();
  append(c, {{4, 0}, {6, 0}});
  ASSERT_TRUE(c.close_frame(0, 3));
  append(c, {{1, 0}});
  ASSERT_TRUE(c.close_frame(1, 3));
  EXPECT_EQ(test::header(path_, "drelix_stats_price"), "");
  c = Container::open_append(path_).value();
  ASSERT_TRUE(c.keep_stats({}));
  EXPECT_EQ(test::header(path_, "drelix_stats_price"), "4,6;1,1");

  for (const char* bad : {"nope", "qty2"}) {
    const std::vector<std::string> add = {bad};
    EXPECT_EQ(c.keep_stats(add).error().kind(), Error::Kind::Usage) << bad;
  }
}

TEST_F(StatsFile, RoomChecksCountTheStatistics) {
  // A zone with room for a few frames listed, not for their statistics too.
  Container c = create(700);
  append(c, {{1, 0}});
  const Status plain = [&] {
    Container peer = Container::open_append(path_).value();
    return peer.check_frame_room(4, 3, {});
  }();
  EXPECT_TRUE(plain);
  const Status room = c.check_frame_room(4, 3, {});
  ASSERT_FALSE(room);
  EXPECT_EQ(room.error().kind(), Error::Kind::ZoneFull);
  EXPECT_NE(room.error().to_string().find("the statistics of 1 indexed fields take"),
            std::string::npos)
      << room.error().to_string();
}

TEST_F(StatsFile, ValidateRebuildAndRepackCheckAndMendTheRanges) {
  {
    Container c = create();
    for (std::uint32_t n : {4u, 9u, 2u}) {
      append(c, {{n, 0}, {n + 1, 0}});
      ASSERT_TRUE(c.close_frame(n, 3));
    }
  }
  const std::string good = "4,5;9,10;2,3";
  const auto problems = [&] { return validate(path_, {}, {}, 2, true).value().problems; };
  struct Case {
    std::string value;
    std::string problem;
  };
  const std::vector<Case> cases = {
      {"4,5;9,11;2,3", "frame 9: drelix_stats_price says \"9,11\", the records give \"9,10\""},
      {"4,5;;2,3", "frame 9: drelix_stats_price says \"\", the records give \"9,10\""},
      {"4,5;9,10", "drelix_stats_price: holds 2 entries, the file lists 3 frames"},
      {"4,5;9,1O;2,3", "drelix_stats_price: entry \"9,1O\": not a number: \"1O\""},
  };
  for (const Case& c : cases) {
    test::rewrite_zone(path_,
                       [&](Headers& h) { ASSERT_TRUE(h.set("drelix_stats_price", c.value)); });
    EXPECT_EQ(problems(), std::vector<std::string>{c.problem});
    // The low-level check leaves application headers alone.
    EXPECT_TRUE(validate(path_).value().problems.empty());
    // Rebuilt, the key is what the frames hold, and says so.
    const RebuildReport rebuilt = rebuild_headers(path_, true, {}, 2, true).value();
    const std::string difference =
        str_cat("drelix_stats_price: ", quoted(c.value), " -> ", quoted(good));
    EXPECT_EQ(rebuilt.differences, std::vector<std::string>{difference});
    EXPECT_EQ(test::header(path_, "drelix_stats_price"), good);
    EXPECT_TRUE(problems().empty());
  }
  // A repack writes them afresh; the low-level one carries them as they were.
  test::rewrite_zone(path_, [&](Headers& h) { ASSERT_TRUE(h.set("drelix_stats_price", "0,0")); });
  ASSERT_TRUE(repack(path_, 0));
  EXPECT_EQ(test::header(path_, "drelix_stats_price"), "0,0");
  ASSERT_TRUE(repack(path_, 1, {}, 2, true));
  EXPECT_EQ(test::header(path_, "drelix_stats_price"), good);
  EXPECT_TRUE(rebuild_headers(path_, false, {}, 1, true).value().differences.empty());
}

}  // namespace
}  // namespace drelix
