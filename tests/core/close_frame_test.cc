// The preview a close writes into the zone: the first rows of its tail, as text. (When a close
// writes it is the model test's concern.)

#include <limits>

#include "core/preview.h"
#include "tests/core/test_util.h"

namespace drelix {
namespace {

using test::blob_schema;
using test::concat;
using test::pair_record;
using test::pair_schema;
using test::prefixed;

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
  // f64: the shortest text that reads back as the same double, never in exponent form.
  constexpr double kInf = std::numeric_limits<double>::infinity();
  Bytes f64s;
  for (double v : {-0.0, 1e21, -123.456, -std::numeric_limits<double>::quiet_NaN(), 5e-324,
                   0.1 + 0.2, -kInf, kInf, std::numeric_limits<double>::max()}) {
    f64s = concat({f64s, u64_bytes(std::bit_cast<std::uint64_t>(v))});
  }
  // Fields at the very edge of a 4-byte prefixed record, and past it; unknown types.
  const Schema edges = schema_of(
      "a:u8:3;b:u8:4;c:u16:2;d:u16:3;e:u32:0;f:u32:1;g:u64:0;h:uuid:0;i:float:0;k:U8:0;l:u8:"
      "4294967295",
      RecordLayout::prefixed());
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
      {"f64", schema_of("a:f64:0;b:f64:8;c:f64:16", RecordLayout::fixed(24)), f64s,
       "-0,1000000000000000000000,-123.456;NaN,0." + std::string(323, '0') +
           "5,0.30000000000000004;-inf,inf,179769313486231570" + std::string(291, '0')},
  };
  for (const auto& pc : cases) {
    SCOPED_TRACE(pc.name);
    EXPECT_EQ(render_preview(pc.tail, pc.schema), pc.expected);
  }
}

// Three rows of n u64 fields: kept whole up to 1024 bytes, else only the first row; a first row
// above 1024 bytes on its own gives none (kept, it could fill the zone so that no close ever
// finds room again).
TEST(RenderPreview, LengthRuleBoundary) {
  const struct {
    int n;
    std::uint64_t values[3];
    int kept;
  } cases[] = {{25, {UINT64_MAX, 123456789, 987654321}, 3},         // 25 * 41 - 1 = 1024 bytes
               {27, {123456789012, 210987654321, 12345678901}, 1},  // 27 * 38 - 1 = 1025
               {205, {1234, 1, 1}, 1},                              // 205 * 5 - 1 = 1024 alone
               {57, {12345678901234567, 1, 1}, 0}};                 // 57 * 18 - 1 = 1025 alone
  for (const auto& c : cases) {
    Schema s{"u", {}, RecordLayout::fixed(8)};
    for (int i = 0; i < c.n; ++i) s.fields.push_back({"v" + std::to_string(i), "u64", 0});
    std::string rows[3];
    for (int r = 0; r < 3; ++r) {
      for (int i = 0; i < c.n; ++i) rows[r] += (i ? "," : "") + to_decimal(c.values[r]);
    }
    const Bytes tail =
        concat({u64_bytes(c.values[0]), u64_bytes(c.values[1]), u64_bytes(c.values[2])});
    std::string kept;
    for (int r = 0; r < c.kept; ++r) kept += (r ? ";" : "") + rows[r];
    EXPECT_EQ(render_preview(tail, s), kept);
  }
}

}  // namespace
}  // namespace drelix
