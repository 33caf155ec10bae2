// Frame statistics: the entry of a frame's bytes, the value's text, and reading it back.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "core/frame_stats.h"
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

TEST(FrameStats, EntryOfRecords) {
  const std::tuple<StatType, std::vector<std::uint64_t>, std::string> cases[] = {
      {StatType::U64, {}, ""},
      {StatType::U64, {7}, "7,7"},
      {StatType::U64, {5, UINT64_MAX, 0, 9}, "0,18446744073709551615"},
      {StatType::U64, {UINT64_MAX - 1, UINT64_MAX}, "18446744073709551614,18446744073709551615"},
      {StatType::U8, {255, 254}, "254,255"},
      {StatType::U16, {65534, 65535}, "65534,65535"},
      {StatType::U32, {4294967294, 4294967295}, "4294967294,4294967295"},
      {StatType::I64, {i(INT64_MIN), i(INT64_MIN + 1)},
       "-9223372036854775808,-9223372036854775807"},
      {StatType::F64, {d(-2.2250738585072014e-308)},
       "-2.2250738585072014e-308,-2.2250738585072014e-308"},
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
  for (const auto& [type, words, entry] : cases) {
    EXPECT_EQ(entry_for(records_of(words), {"x", type, 0}, 8), entry) << entry;
    EXPECT_LE(entry.size(), widest_entry(type)) << entry;
    EXPECT_TRUE(parse_entry(entry, type)) << entry;  // what is written reads back as itself
  }
}

TEST(FrameStats, DoublesRoundTrip) {
  for (const double v : {0.1, 1.0 / 3, -0.0, kDenorm, -kInf, 1e-310, 2.5e-308, -123456789.125,
                         std::numeric_limits<double>::max()}) {
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

  const std::tuple<std::string, std::size_t, bool> cases[] = {
      {"1,2;;-1,5", 3, true}, {"1,2;;-1,5", 4, false}, {"1,2;;-1,5", 2, false},
      {"", 0, true},          {"", 1, true},           {";", 2, true},
      {"", 2, false},         {"1,2", 0, false},       {"1,2;x", 2, false},
  };
  for (const auto& [value, frames, usable] : cases) {
    const auto parsed = parse_stats(value, frames, StatType::I64);
    EXPECT_EQ(parsed.has_value(), usable) << value << " / " << frames;
    if (parsed) {
      EXPECT_EQ(render_stats(*parsed), value);
    }
  }
}

TEST(FrameStats, IndexedFields) {
  Schema schema{"s",
                {{"ts", "i64", 0}, {"v", "f64", 8}, {"id", "uuid", 16}, {"k", "u8", 32}},
                RecordLayout::fixed(33)};
  const Headers headers = test::make_headers({{"drelix_stats_v", ""},
                                              {"drelix_stats_id", ""},
                                              {"drelix_stats_gone", ""},
                                              {"drelix_stats_ts", ""}});
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

// What the room check promises, k more frames whatever their values, holds with statistics.
TEST(FrameStats, RoomCheckCountsTheWidestEntries) {
  const test::TempDir dir;
  const std::string path = dir.file("room.drelix");
  const Schema schema{"s", {{"a", "i64", 0}, {"b", "f64", 8}}, RecordLayout::fixed(16)};
  Container c = Container::create(path, schema, "", "", 0, 2048,
                                  {{"drelix_stats_a", ""}, {"drelix_stats_b", ""}})
                    .value();
  ASSERT_TRUE(c.keep_stats({}));
  std::size_t room = 0;
  while (c.check_frame_room(room + 1, 3, {})) ++room;
  ASSERT_GT(room, 2u);
  Bytes widest(16);
  store_u64le(widest.data(), static_cast<std::uint64_t>(INT64_MIN));
  store_u64le(widest.data() + 8, d(-2.2250738585072014e-308));
  for (std::size_t k = 0; k < room; ++k) {
    ASSERT_TRUE(c.append_record(widest));
    const Status closed = c.close_frame(k, 3);
    ASSERT_TRUE(closed) << k << " of " << room << ": " << closed.error().to_string();
  }
}

}  // namespace
}  // namespace drelix
