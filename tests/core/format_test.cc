// The small codecs of the format: errors and quoting, numbers, the preamble, the header zone,
// the frame list, the schema headers, record splitting and the preview a close writes into the
// zone (the first rows of its tail, as text; when a close writes it is the model test's concern).
// Round trips are the fuzz targets' business (fuzz/corpus runs in ctest); these tables pin values,
// messages and order.
#include <array>
#include <cerrno>
#include <limits>
#include <random>
#include <tuple>
#include <variant>

#include "core/preamble.h"
#include "core/preview.h"
#include "core/record_stream.h"
#include "tests/core/test_util.h"

namespace drelix {
namespace {

using namespace std::literals;
using test::blob_schema;
using test::concat;
using test::expect_error;
using test::pair_record;
using test::pair_schema;
using test::prefixed;
using K = Error::Kind;
using Pairs = std::vector<Headers::Pair>;
const std::string kEmpty = "cannot parse integer from empty string";
const std::string kInvalid = "invalid digit found in string";
const std::string kTooLarge = "number too large to fit in target type";

TEST(FormatTest, ErrorsAndQuoting) {
  const std::tuple<Error, K, std::string> errors[] = {
      {Error::io_at("/x", EACCES), K::Io, "/x: Permission denied (os error 13)"},
      {Error::io_eof().with_path("f"), K::Io, "f: failed to fill whole buffer"},
      {Error::zone_full(UINT64_MAX, 4), K::ZoneFull,
       "headers need 18446744073709551615 bytes, the zone holds 4"},
      {Error::compression("c").with_path("p"), K::Compression, "c"},
  };
  for (const auto& [e, kind, display] : errors) {
    EXPECT_EQ(std::pair(e.kind(), e.to_string()), std::pair(kind, display));
  }
  EXPECT_EQ(Error::io(ENOENT).with_path("p").message(), "No such file or directory (os error 2)");
  EXPECT_EQ(drelix::quoted("say \"hi\" \\ \t\r\n\0\x01\x1b\x1f\x7f~'"s),
            R"("say \"hi\" \\ \t\r\n\0\u{1}\u{1b}\u{1f}\u{7f}~'")");
  // Printable non-ASCII passes; a combining mark, a no-break space, a format character, a C1
  // control, a line separator and a byte that is no UTF-8 do not.
  EXPECT_EQ(
      drelix::quoted("\xc3\xa9\xf0\x9f\x98\x80 e\xcc\x81\xc2\xa0\u200b\xc2\x85\xe2\x80\xa8\x80"),
      "\"\xc3\xa9\xf0\x9f\x98\x80 e\\u{301}\\u{a0}\\u{200b}\\u{85}\\u{2028}\\u{fffd}\"");
}

TEST(FormatTest, Numbers) {
  using Outcome = std::variant<std::uint64_t, ParseIntError>;
  const auto E = ParseIntError::Empty, I = ParseIntError::InvalidDigit, T = ParseIntError::TooLarge;
  const std::tuple<std::string, std::uint64_t, int, Outcome> cases[] = {
      {"", UINT64_MAX, 10, E},
      {"+", UINT64_MAX, 10, I},
      {"+007", UINT64_MAX, 10, 7u},
      {"1", 0, 10, T},
      {"-1", UINT64_MAX, 10, I},
      {"1\0"s, UINT64_MAX, 10, I},
      {"\xd9\xa1", UINT64_MAX, 10, I},  // a digit, but not an ASCII one
      {"000018446744073709551615", UINT64_MAX, 10, UINT64_MAX},
      {"18446744073709551616", UINT64_MAX, 10, T},  // the last addition overflows
      {"18446744073709551620", UINT64_MAX, 10, T},  // the last multiplication overflows
      {"4294967296", UINT32_MAX, 10, T},
      {"999999999999999999999999x", UINT64_MAX, 10, I},  // a bad digit wins over overflow
      {"+AbCdF", UINT64_MAX, 16, 0xabcdfu},
      {"7:@", UINT64_MAX, 10, I},  // the characters next to the digits
      {"0ffffffffffffffff", UINT64_MAX, 16, UINT64_MAX},
      {"10000000000000000", UINT64_MAX, 16, T},
      {"g", UINT64_MAX, 16, I},
  };
  for (const auto& [text, max, radix, want] : cases) {
    const auto r = parse_unsigned(text, max, radix);
    EXPECT_EQ(r ? Outcome(*r) : Outcome(r.error()), want) << text << " radix " << radix;
  }
  EXPECT_EQ(parse_unsigned("a").error(), I);  // decimal by default
  EXPECT_EQ(to_decimal_signed(INT64_MIN) + to_decimal_signed(10), "-922337203685477580810");
}

Bytes preamble_bytes(std::string_view head, std::uint32_t area, std::size_t size = 16) {
  Bytes b(head.begin(), head.end());
  b.resize(16, 0);
  store_u32le(b.data() + 8, area);
  b.resize(size);
  return b;
}

TEST(FormatTest, Preamble) {
  const std::pair<Bytes, std::string> refused[] = {
      {{}, "not a drelix file: bad magic"},
      {preamble_bytes("DRELIY\x09", 0), "not a drelix file: bad magic"},  // the magic first
      {preamble_bytes("DRELIX", 0, 6), "preamble too short"},
      {preamble_bytes("DRELIX\x02", 0, 7), "unsupported drelix version 2"},  // before the length
      {preamble_bytes("DRELIX\x00\x01"sv, 4096), "unsupported drelix version 0"},
      {preamble_bytes("DRELIX\x01\x01", 4096, 11), "preamble too short"},
      {preamble_bytes("DRELIX\x01\x01", 0), "header zone size is zero"},
      {preamble_bytes("DRELIX\x01\x01", 16777217),
       "header zone claims 16777217 bytes, the ceiling is 16777216"},
  };
  for (const auto& [bytes, message] : refused) {
    expect_error(Preamble::decode(bytes), K::Malformed, message);
  }
  EXPECT_EQ(Preamble::decode(preamble_bytes("DRELIX\x01\xff", 16777216, 12)),
            (Preamble{16777216, 1, 0xff}));
  expect_error(Preamble{4096, 1, 1}.check_file_length(4111), K::Malformed,
               "header zone claims 4096 bytes but the file is 4111 bytes");
}

TEST(FormatTest, HeaderKeysValuesAndZones) {
  for (std::string_view key : {"a", "9x", "_frames", "x__y", "_0"}) EXPECT_TRUE(key_is_valid(key));
  for (std::string_view key :
       {""sv, "_"sv, "__x"sv, "_A"sv, "a-b"sv, "a:b"sv, "a\xc3\xa9"sv, "a\0"sv}) {
    EXPECT_FALSE(key_is_valid(key)) << drelix::quoted(key);
  }
  // Hand-written text: a trailing backslash is dropped, an unknown escape keeps its character.
  EXPECT_EQ(unescape_value("\\t\\:a\\\\\\n\\\n\\"), "t:a\\\n\n");
  Headers h = test::make_headers({{"_sealed", "false"}, {"e", ""}, {"t", "a: b\r\0c\n\\"s}});
  EXPECT_EQ(as_text(h.render(35).value()), "_sealed:false\ne:\nt:a: b\r\0c\\n\\\\\n\n\0\0\0"sv);
  expect_error(h.render(31), K::ZoneFull, "headers need 32 bytes, the zone holds 31");
  ASSERT_TRUE(h.set("e", "1"));
  ASSERT_TRUE(h.set_user("d", "4"));
  expect_error(h.set("a\"", "v"), K::Usage, R"(invalid header key "a\"")");
  // A batch replaces keys in place, repeats within it too, and keeps what came before a refusal.
  expect_error(h.set_user_all(Pairs{{"d", "5"}, {"f", "6"}, {"f", "7"}, {"_x", "8"}, {"g", "9"}}),
               K::Usage, R"(user header key "_x" may not start with '_')");
  expect_error(h.set_user_all(Pairs{{"e", "2"}, {"", "3"}}), K::Usage, R"(invalid header key "")");
  EXPECT_EQ(
      h.pairs(),
      (Pairs{{"_sealed", "false"}, {"e", "2"}, {"t", "a: b\r\0c\n\\"s}, {"d", "5"}, {"f", "7"}}));
  const std::pair<std::string_view, Pairs> accepted[] = {
      {"a:1\n", {{"a", "1"}}},  // a line feed at the last byte
      {"\0\0\0\0"sv, {}},
      {"a:1\n\0b:2\n\n"sv, {{"a", "1"}}},  // the text stops at a zero byte starting a line
      {"k: a:b:\nk:x\\ny\\\\z\r\0\n\nno colon\nA:1"sv, {{"k", " a:b:"}, {"k", "x\ny\\z\r\0"s}}},
  };
  for (const auto& [zone, pairs] : accepted) {
    EXPECT_EQ(Headers::parse(as_bytes(zone)).value().pairs(), pairs) << drelix::quoted(zone);
  }
  // A repeated key: get and set see the first one only.
  Headers repeated = Headers::parse(as_bytes("k:1\nj:0\nk:2\n\n"sv)).value();
  EXPECT_EQ(repeated.get("k"), "1");
  ASSERT_TRUE(repeated.set("k", "3"));
  EXPECT_EQ(repeated.pairs(), (Pairs{{"k", "3"}, {"j", "0"}, {"k", "2"}}));
  const std::pair<std::string_view, std::string> malformed[] = {
      {"a:1\0\0\0"sv, "header zone has no empty-line terminator"},
      {"a:1\r\nb\r\n\n", R"(header line without ':': "b\r")"},
      {"a:\xff\n\n", "header zone is not UTF-8: invalid utf-8 sequence of 1 bytes from index 2"},
      // The whole zone is checked, zero fill included.
      {"a:1\n\n\0\xe6\x97"sv,
       "header zone is not UTF-8: incomplete utf-8 byte sequence from index 6"},
  };
  for (const auto& [zone, message] : malformed) {
    expect_error(Headers::parse(as_bytes(zone)), K::Malformed, message);
  }
  expect_error(Headers::parse(as_bytes("k :v\n\n"sv)), K::Usage, R"(invalid header key "k ")");
}

TEST(FormatTest, Utf8Errors) {
  EXPECT_EQ(utf8_error(as_bytes("\0\xc2\x80\xdf\xbf\xe0\xa0\x80\xef\xbf\xbf\xed\x9f\xbf\xee\x80\x80"
                                "\xf0\x90\x80\x80\xf4\x8f\xbf\xbf\xc3\xa9"sv)),
            std::nullopt);
  for (std::string_view bad : {"\x80", "\xc1\xbf", "\xe0\x9f\xbf", "\xed\xa0\x80",
                               "\xf0\x8f\xbf\xbf", "\xf4\x90\x80\x80", "\xf5\x80\x80\x80"}) {
    EXPECT_EQ(utf8_error(as_bytes(bad)), "invalid utf-8 sequence of 1 bytes from index 0");
  }
  EXPECT_EQ(utf8_error(as_bytes("\xe1\x80\x00"sv)),
            "invalid utf-8 sequence of 2 bytes from index 0");
  EXPECT_EQ(utf8_error(as_bytes("0123456\xc3\xa9"
                                "89abcdef\xf0\x90\x80x")),
            "invalid utf-8 sequence of 3 bytes from index 17");
  EXPECT_EQ(utf8_error(as_bytes("01234567\0\0\0\0\0\0\0\0\xe0\xa0"sv)),
            "incomplete utf-8 byte sequence from index 16");
  EXPECT_EQ(utf8_error(as_bytes("\xc3"sv)), "incomplete utf-8 byte sequence from index 0");
}

TEST(FormatTest, FrameLists) {
  const std::pair<std::string, std::vector<Frame>> parsed[] = {
      {"7,0,10;3,10,20,ffffffffffffffff", {{7, 0, 10, 0}, {3, 10, 20, UINT64_MAX}}},
      {";5,100,50;;5,0,200,0000000000000000;", {{5, 100, 50, 0}, {5, 0, 200, 0}}},
      {"18446744073709551615,18446744073709551615,1,", {{UINT64_MAX, UINT64_MAX, 1, 0}}},
  };
  for (const auto& [text, want] : parsed) EXPECT_EQ(parse_frames(text), want) << text;
  EXPECT_EQ(render_frames({{7, 0, 10, 0}, {3, 10, 20, 0xabcdef}}),
            "7,0,10;3,10,20,0000000000abcdef");
  const std::pair<std::string, std::string> bad[] = {
      {"1,0", "\"1,0\": " + kEmpty},
      {",x,0", "\",x,0\": " + kEmpty},  // parts in order: id, offset, len, hash
      {"1,0,100,1,2", "\"1,0,100,1,2\": " + kInvalid},
      {"1,0,100,1ffffffffffffffff", "\"1,0,100,1ffffffffffffffff\": " + kTooLarge},
      {"1,0,10;2,x,3;4,,", "\"2,x,3\": " + kInvalid},  // the first bad token
  };
  for (const auto& [text, message] : bad) {
    expect_error(parse_frames(text), K::Malformed, "bad frame " + message);
  }
  EXPECT_EQ(max_frames_for(2687) + 10 * max_frames_for(2688) + max_frames_for(4096), 33u);
}

// A schema read from headers; one from its _schema_fields text.
Result<Schema> from(const std::vector<Headers::Pair>& pairs) {
  return Schema::from_headers(test::make_headers(pairs));
}
Result<Schema> fields(const std::string& text, RecordLayout layout = RecordLayout::fixed(16)) {
  return from({{"_schema", "ev@2"}, {"_record", layout.render()}, {"_schema_fields", text}});
}

TEST(FormatTest, Schemas) {
  EXPECT_EQ(RecordLayout::parse("fixed:000004294967295"), RecordLayout::fixed(4294967295u));
  EXPECT_EQ(RecordLayout::parse("fixed:+16")->render(), "fixed:16");
  const std::pair<std::string, std::string> bad_layouts[] = {
      {"fixed:000", "record size is zero"},
      {"fixed:", "bad record size \"\": " + kEmpty},
      {"fixed:fixed:8", "bad record size \"fixed:8\": " + kInvalid},
      {"fixed:4294967296", "bad record size \"4294967296\": " + kTooLarge},
      {"prefixed ", "unknown record layout \"prefixed \""},
      {"fixed", "unknown record layout \"fixed\""},
  };
  for (const auto& [text, message] : bad_layouts) {
    expect_error(RecordLayout::parse(text), K::Malformed, message);
  }
  EXPECT_EQ(fields(";a:zz:+7;;a:zz:007; b :u8:4294967295"),
            (Schema{"ev@2",
                    {{"a", "zz", 7}, {"a", "zz", 7}, {" b ", "u8", 4294967295u}},
                    RecordLayout::fixed(16)}));
  const std::pair<Result<Schema>, std::string> refused[] = {
      {from({{"_record", "prefixed"}}), "missing _schema"},
      {from({{"_schema", "s"}, {"_schema_fields", ""}}), "missing _record"},
      {from({{"_schema", "s"}, {"_record", "prefixed"}}), "missing _schema_fields"},
      {from({{"_schema", "s"}, {"_record", "fixed:0"}}), "record size is zero"},  // before fields
      {fields("a:u8"), "bad field token \"a:u8\": " + kEmpty},
      {fields(":u8:x"), "bad field token \":u8:x\": " + kInvalid},  // the offset first
      {fields(":u8:0"), "bad field token \":u8:0\""},
      {fields("a::0"), "bad field token \"a::0\""},
      {fields("a:u8:0;b:u8:4294967296;c::1"), "bad field token \"b:u8:4294967296\": " + kTooLarge},
  };
  for (const auto& [got, message] : refused) expect_error(got, K::Malformed, message);
  // Repeated keys: the first of each counts.
  EXPECT_EQ(Schema::from_headers(*Headers::parse(as_bytes(
                "_schema:a\n_record:fixed:8\n_schema_fields:\n_schema:b\n_record:prefixed\n\n"sv))),
            (Schema{"a", {}, RecordLayout::fixed(8)}));
}

// Whatever the cut into pieces, a record stream counts and visits what split_records and
// count_records find in the whole, and both agree with the layout rules written out the plain way.
TEST(FormatTest, RecordsSplitAndStreamAsThePlainRulesSay) {
  std::mt19937 rng(11);
  for (int round = 0; round < 600; ++round) {
    const RecordLayout layout = round % 3 == 0   ? RecordLayout::prefixed()
                                : round % 3 == 1 ? RecordLayout::fixed(rng() % 20)
                                                 : RecordLayout::fixed(rng() % 2 ? 1 : 4096);
    std::vector<Bytes> bodies(rng() % 12);
    for (Bytes& b : bodies) b = test::patterned(rng() % 3 ? rng() % 300 : 0, rng() % 256);
    Bytes data = layout.is_fixed() ? test::concat(bodies) : test::prefixed(bodies);
    data.resize(data.size() - std::min<std::size_t>(data.size(), rng() % 3));
    std::vector<Bytes> want, visited;
    std::size_t p = 0, n = layout.size();
    while (layout.is_fixed() ? n > 0 && p + n <= data.size() : p + 2 <= data.size()) {
      const std::size_t at = n ? p : p + 2, len = n ? n : data[p] + 256u * data[p + 1];
      if (at + len > data.size()) break;
      want.emplace_back(data.begin() + at, data.begin() + at + len);
      p = at + len;
    }
    const SplitResult split = split_records(data, layout);
    RecordStream visiting(layout, [&](ByteView r) { visited.emplace_back(r.begin(), r.end()); });
    RecordStream counting(layout);
    for (std::size_t at = 0, piece; at < data.size(); at += piece) {
      piece = std::min<std::size_t>(data.size() - at, rng() % 25);
      visiting.feed(ByteView(data).subspan(at, piece));
      counting.feed(ByteView(data).subspan(at, piece));
    }
    std::vector<Bytes> got;
    for (ByteView r : split.records) got.emplace_back(r.begin(), r.end());
    ASSERT_EQ(got, want) << round;
    EXPECT_EQ(visited, want);
    EXPECT_EQ(split.torn, data.size() - p);
    if (!want.empty()) {
      EXPECT_EQ(split.records[0].data(), data.data() + (n ? 0 : 2));  // views, not copies
    }
    const RecordCount count{want.size(), p, data.size() - p};
    EXPECT_EQ(count_records(data, layout), count);
    EXPECT_EQ(visiting.count(), count);
    EXPECT_EQ(counting.count(), count);
  }
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
  const Result<Schema> edges = fields(
      "a:u8:3;b:u8:4;c:u16:2;d:u16:3;e:u32:0;f:u32:1;g:u64:0;h:uuid:0;i:float:0;k:U8:0;l:u8:"
      "4294967295",
      RecordLayout::prefixed());
  const std::tuple<const char*, Result<Schema>, Bytes, std::string> cases[] = {
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
       fields("a:u8:0;b:u16:1;c:u32:3;d:u64:7;e:i64:15;f:uuid:23", RecordLayout::fixed(39)), all,
       "255,65535,4294967295,18446744073709551615,-9223372036854775808,"
       "0a1b2c3d4e5f708192a3b4c5d6e7f809;0,0,0,0,0," +
           uuid0 + ";0,0,0,0,-42," + uuid0},
      {"edges", edges, prefixed({Bytes{1, 2, 3, 4}}), "4,?,1027,?,67305985,?,?,?,?,?,?"},
      {"empty prefixed record", edges, prefixed({Bytes{}}), "?,?,?,?,?,?,?,?,?,?,?"},
      {"f64", fields("a:f64:0;b:f64:8;c:f64:16", RecordLayout::fixed(24)), f64s,
       "-0,1000000000000000000000,-123.456;NaN,0." + std::string(323, '0') +
           "5,0.30000000000000004;-inf,inf,179769313486231570" + std::string(291, '0')},
  };
  for (const auto& [name, schema, tail, expected] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(render_preview(tail, schema.value()), expected);
  }
}

// Three rows of n u64 fields: kept whole up to 1024 bytes, else only the first row; a first row
// above 1024 bytes on its own gives none (kept, it could fill the zone so that no close ever
// finds room again).
TEST(RenderPreview, LengthRuleBoundary) {
  const std::tuple<int, std::array<std::uint64_t, 3>, int> cases[] = {
      {25, {UINT64_MAX, 123456789, 987654321}, 3},         // 25 * 41 - 1 = 1024 bytes
      {27, {123456789012, 210987654321, 12345678901}, 1},  // 27 * 38 - 1 = 1025
      {205, {1234, 1, 1}, 1},                              // 205 * 5 - 1 = 1024 alone
      {57, {12345678901234567, 1, 1}, 0}};                 // 57 * 18 - 1 = 1025 alone
  for (const auto& [n, values, kept] : cases) {
    Schema s{"u", {}, RecordLayout::fixed(8)};
    for (int i = 0; i < n; ++i) s.fields.push_back({"v" + std::to_string(i), "u64", 0});
    std::string rows[3];
    for (int r = 0; r < 3; ++r) {
      for (int i = 0; i < n; ++i) rows[r] += (i ? "," : "") + to_decimal(values[r]);
    }
    const Bytes tail = concat({u64_bytes(values[0]), u64_bytes(values[1]), u64_bytes(values[2])});
    std::string shown;
    for (int r = 0; r < kept; ++r) shown += (r ? ";" : "") + rows[r];
    EXPECT_EQ(render_preview(tail, s), shown);
  }
}

}  // namespace
}  // namespace drelix
