#include "core/schema.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/hash.h"
#include "tests/core/test_util.h"

namespace drelix {
namespace {

using test::make_headers;

constexpr const char* kEmpty = "cannot parse integer from empty string";
constexpr const char* kInvalid = "invalid digit found in string";
constexpr const char* kTooLarge = "number too large to fit in target type";

std::string bad_size(const std::string& quoted_rest, const char* reason) {
  return "bad record size " + quoted_rest + ": " + reason;
}

// ---- Hashes -------------------------------------------------------------------------------

TEST(HashTest, KnownValues) {
  const struct {
    std::string text;
    std::uint64_t fnv, xxh;
  } cases[] = {
      {"", 0xcbf29ce484222325ULL, 0xef46db3751d8e999ULL},
      {"abc", 0xe71fa2190541574bULL, 0x44bc2cf5ad770999ULL},
      {"id:u32:0;ts:u64:4", 0x3e72cf552e352917ULL, 0x6dff1bb6637149dcULL},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(fnv1a64(as_bytes(c.text)), c.fnv) << c.text;
    EXPECT_EQ(xxh64(as_bytes(c.text)), c.xxh) << c.text;
  }
  // Null data of zero length.
  EXPECT_EQ(fnv1a64(ByteView()), kFnvOffsetBasis);
  EXPECT_EQ(xxh64(ByteView()), 0xef46db3751d8e999ULL);
}

// ---- RecordLayout -------------------------------------------------------------------------

TEST(SchemaTest, RecordLayoutParsesAndRenders) {
  const struct {
    std::string text;
    RecordLayout want;
    std::string canonical;
  } cases[] = {
      {"prefixed", RecordLayout::prefixed(), "prefixed"},
      {"fixed:16", RecordLayout::fixed(16), "fixed:16"},
      {"fixed:+16", RecordLayout::fixed(16), "fixed:16"},
      {"fixed:0016", RecordLayout::fixed(16), "fixed:16"},
      {"fixed:1", RecordLayout::fixed(1), "fixed:1"},
      {"fixed:000004294967295", RecordLayout::fixed(4294967295u), "fixed:4294967295"},
  };
  for (const auto& c : cases) {
    const auto got = RecordLayout::parse(c.text);
    ASSERT_TRUE(got.has_value()) << c.text << ": " << got.error().to_string();
    EXPECT_EQ(*got, c.want) << c.text;
    EXPECT_EQ(got->render(), c.canonical);
  }
}

TEST(SchemaTest, RecordLayoutFailures) {
  const struct {
    std::string text;
    std::string message;
  } cases[] = {
      {"fixed:0", "record size is zero"},
      {"fixed:000", "record size is zero"},
      {"fixed:", bad_size("\"\"", kEmpty)},
      {"fixed:-1", bad_size("\"-1\"", kInvalid)},
      {"fixed: 8", bad_size("\" 8\"", kInvalid)},
      {"fixed:+", bad_size("\"+\"", kInvalid)},
      {"fixed:fixed:8", bad_size("\"fixed:8\"", kInvalid)},
      {"fixed:8\n", bad_size("\"8\\n\"", kInvalid)},
      {"fixed:4294967296", bad_size("\"4294967296\"", kTooLarge)},
      {"fixed:99999999999999999999x", bad_size("\"99999999999999999999x\"", kInvalid)},
      {"Fixed:8", "unknown record layout \"Fixed:8\""},
      {"prefixed ", "unknown record layout \"prefixed \""},
      {"prefixed:8", "unknown record layout \"prefixed:8\""},
      {"fixed", "unknown record layout \"fixed\""},
      {" fixed:8", "unknown record layout \" fixed:8\""},
      {"", "unknown record layout \"\""},
      {"a\"b\n", "unknown record layout \"a\\\"b\\n\""},
  };
  for (const auto& c : cases) {
    const auto got = RecordLayout::parse(c.text);
    ASSERT_FALSE(got.has_value()) << c.text;
    EXPECT_EQ(got.error().kind(), Error::Kind::Malformed) << c.text;
    EXPECT_EQ(got.error().message(), c.message) << c.text;
  }
}

// ---- Fields value and fingerprint ---------------------------------------------------------

TEST(SchemaTest, FieldsValueAndHash) {
  const struct {
    std::vector<FieldSpec> fields;
    std::string value;
    std::string hash;
  } cases[] = {
      {{}, "", "cbf29ce484222325"},
      {{{"id", "u32", 0}, {"ts", "u64", 4}}, "id:u32:0;ts:u64:4", "3e72cf552e352917"},
      {{{"a", "u8", 0}}, "a:u8:0", "68d65bc1109c3565"},
      {{{"big", "uuid", 4294967295u}}, "big:uuid:4294967295", ""},
  };
  for (const auto& c : cases) {
    const Schema s{"t@1", c.fields, RecordLayout::fixed(12)};
    EXPECT_EQ(s.fields_value(), c.value);
    EXPECT_EQ(s.hash_hex().size(), 16u);
    if (!c.hash.empty()) {
      EXPECT_EQ(s.hash_hex(), c.hash) << c.value;
    }
  }
}

// ---- from_headers -------------------------------------------------------------------------

TEST(SchemaTest, FromHeadersMissingKeysInOrder) {
  const struct {
    std::vector<std::pair<std::string, std::string>> pairs;
    std::string message;
  } cases[] = {
      {{}, "missing _schema"},
      {{{"_record", "prefixed"}, {"_schema_fields", ""}}, "missing _schema"},
      {{{"_schema", "s"}}, "missing _record"},
      {{{"_schema", "s"}, {"_schema_fields", "a:u8:0"}}, "missing _record"},
      {{{"_schema", "s"}, {"_record", "prefixed"}}, "missing _schema_fields"},
      {{{"_schema", "s"}, {"_record", "prefixed"}, {"_schema_hash", "0"}},
       "missing _schema_fields"},
      // The layout is checked before the fields are looked for, and its error passes unchanged.
      {{{"_schema", "s"}, {"_record", "fixed:0"}}, "record size is zero"},
      {{{"_schema", "s"}, {"_record", "fixed"}, {"_schema_fields", "x"}},
       "unknown record layout \"fixed\""},
      {{{"_schema", "s"}, {"_record", "fixed:"}, {"_schema_fields", ""}}, bad_size("\"\"", kEmpty)},
  };
  for (const auto& c : cases) {
    const auto got = Schema::from_headers(make_headers(c.pairs));
    ASSERT_FALSE(got.has_value()) << c.message;
    EXPECT_EQ(got.error().kind(), Error::Kind::Malformed);
    EXPECT_EQ(got.error().message(), c.message);
  }
}

TEST(SchemaTest, FromHeadersFieldTokens) {
  const struct {
    std::string fields_value;
    std::vector<FieldSpec> want;
  } cases[] = {
      {"", {}},
      {";;;", {}},
      {"id:u32:0;ts:u64:4", {{"id", "u32", 0}, {"ts", "u64", 4}}},
      {"a:u8:0;;b:u16:1;", {{"a", "u8", 0}, {"b", "u16", 1}}},
      {";a:u8:0", {{"a", "u8", 0}}},
      {"a:u8:+7;b:u8:007", {{"a", "u8", 7}, {"b", "u8", 7}}},
      {"a:u8:4294967295", {{"a", "u8", 4294967295u}}},
      // Nothing beyond the token syntax is checked: types, repeats, overlaps.
      {"a:zz:3;a:zz:3;b:u64:1", {{"a", "zz", 3}, {"a", "zz", 3}, {"b", "u64", 1}}},
      {" a :u8:0", {{" a ", "u8", 0}}},
      {"n\xc3\xa9:f64:9", {{"n\xc3\xa9", "f64", 9}}},
  };
  for (const auto& c : cases) {
    const auto got = Schema::from_headers(make_headers(
        {{"_schema", "ev@2"}, {"_record", "fixed:16"}, {"_schema_fields", c.fields_value}}));
    ASSERT_TRUE(got.has_value()) << c.fields_value << ": " << got.error().to_string();
    EXPECT_EQ(got->name, "ev@2");
    EXPECT_EQ(got->layout, RecordLayout::fixed(16));
    EXPECT_EQ(got->fields, c.want) << c.fields_value;
  }
}

TEST(SchemaTest, FromHeadersBadFieldTokens) {
  const struct {
    std::string fields_value;
    std::string message;
  } cases[] = {
      {"a:u8", "bad field token \"a:u8\": " + std::string(kEmpty)},
      {"a", "bad field token \"a\": " + std::string(kEmpty)},
      // The offset is checked before the name and type.
      {":", "bad field token \":\": " + std::string(kEmpty)},
      {":u8:x", "bad field token \":u8:x\": " + std::string(kInvalid)},
      {":u8:0", "bad field token \":u8:0\""},
      {"a::0", "bad field token \"a::0\""},
      {"a:u8:1:2", "bad field token \"a:u8:1:2\": " + std::string(kInvalid)},
      {"a:u8:4294967296", "bad field token \"a:u8:4294967296\": " + std::string(kTooLarge)},
      // The first bad token is reported.
      {"a:u8:0;b:u8;c::1", "bad field token \"b:u8\": " + std::string(kEmpty)},
      {"x\ty::1", "bad field token \"x\\ty::1\""},
  };
  for (const auto& c : cases) {
    const auto got = Schema::from_headers(make_headers(
        {{"_schema", "s"}, {"_record", "prefixed"}, {"_schema_fields", c.fields_value}}));
    ASSERT_FALSE(got.has_value()) << c.fields_value;
    EXPECT_EQ(got.error().kind(), Error::Kind::Malformed);
    EXPECT_EQ(got.error().message(), c.message);
  }
}

TEST(SchemaTest, FromHeadersUsesFirstOfRepeatedKeys) {
  const std::string zone =
      "_schema:first\n_record:fixed:8\n_schema_fields:a:u8:0\n"
      "_schema:second\n_record:prefixed\n_schema_fields:b:u8:1;c:u8:2\n\n";
  const auto headers = Headers::parse(as_bytes(zone));
  ASSERT_TRUE(headers.has_value()) << headers.error().to_string();
  const auto got = Schema::from_headers(*headers);
  ASSERT_TRUE(got.has_value()) << got.error().to_string();
  EXPECT_EQ(*got, (Schema{"first", {{"a", "u8", 0}}, RecordLayout::fixed(8)}));
}

// ---- split_records ------------------------------------------------------------------------

// The layout rules written out the plain way, copying every record.
struct RefSplit {
  std::vector<Bytes> records;
  std::vector<std::size_t> starts;  // offset of each record's first byte in the input
  std::uint64_t torn = 0;
};

RefSplit reference_split(const Bytes& data, RecordLayout layout) {
  RefSplit out;
  std::size_t p = 0;
  if (layout.is_fixed()) {
    const std::size_t n = layout.size();
    if (n == 0) {
      out.torn = data.size();
      return out;
    }
    while (p + n <= data.size()) {
      out.starts.push_back(p);
      out.records.emplace_back(data.begin() + p, data.begin() + p + n);
      p += n;
    }
  } else {
    while (p + 2 <= data.size()) {
      const std::size_t len = data[p] + 256u * data[p + 1];
      if (p + 2 + len > data.size()) break;
      out.starts.push_back(p + 2);
      out.records.emplace_back(data.begin() + p + 2, data.begin() + p + 2 + len);
      p += 2 + len;
    }
  }
  out.torn = data.size() - p;
  return out;
}

void expect_same_split(const Bytes& data, RecordLayout layout) {
  const RefSplit want = reference_split(data, layout);
  const SplitResult got = split_records(data, layout);
  ASSERT_EQ(got.records.size(), want.records.size()) << layout.render() << " len " << data.size();
  EXPECT_EQ(got.torn, want.torn);
  for (std::size_t i = 0; i < want.records.size(); ++i) {
    // Views into the input, not copies.
    EXPECT_EQ(got.records[i].data() - data.data(), static_cast<std::ptrdiff_t>(want.starts[i]));
    EXPECT_EQ(Bytes(got.records[i].begin(), got.records[i].end()), want.records[i]);
  }
}

TEST(SchemaTest, SplitRecordsExamples) {
  const Bytes data(10, 0xaa);
  const SplitResult r = split_records(data, RecordLayout::fixed(4));
  ASSERT_EQ(r.records.size(), 2u);
  EXPECT_EQ(r.torn, 2u);
  EXPECT_EQ(r.records[1].data(), data.data() + 4);  // views into the input, not copies
  EXPECT_EQ(r.records.capacity(), 2u);              // sized up front rather than grown
  // A length prefix is little-endian: 01 01 announces 257 bytes.
  Bytes prefixed = {0x01, 0x01};
  prefixed.resize(2 + 257, 0x5a);
  const SplitResult p = split_records(prefixed, RecordLayout::prefixed());
  ASSERT_EQ(p.records.size(), 1u);
  EXPECT_EQ(p.records[0].size(), 257u);
  EXPECT_EQ(p.torn, 0u);
  const SplitResult cut = split_records(ByteView(prefixed).first(258), RecordLayout::prefixed());
  EXPECT_TRUE(cut.records.empty());
  EXPECT_EQ(cut.torn, 258u);
}

TEST(SchemaTest, SplitRecordsMatchesReference) {
  std::mt19937_64 rng(7);
  for (int iter = 0; iter < 1000; ++iter) {
    Bytes data;
    if (iter % 3 == 0) {
      // Arbitrary bytes: prefixes are mostly huge, so most of the input ends up torn.
      data.resize(rng() % 600);
      for (auto& b : data) b = static_cast<std::uint8_t>(rng());
    } else {
      // A well-formed prefixed stream (short records, empty ones included), then a cut anywhere
      // and sometimes some noise, the way a crash leaves a tail.
      const int count = static_cast<int>(rng() % 20);
      for (int i = 0; i < count; ++i) {
        const std::size_t len = rng() % 4 == 0 ? 0 : rng() % 300;
        data.push_back(static_cast<std::uint8_t>(len));
        data.push_back(static_cast<std::uint8_t>(len >> 8));
        for (std::size_t j = 0; j < len; ++j) data.push_back(static_cast<std::uint8_t>(rng()));
      }
      if (!data.empty() && rng() % 2) data.resize(rng() % data.size());
      for (std::uint64_t n = rng() % 3; n > 0; --n)
        data.push_back(static_cast<std::uint8_t>(rng()));
    }
    expect_same_split(data, RecordLayout::prefixed());
    const std::uint32_t sizes[] = {
        0, 1, 2, 3, 7, 16, static_cast<std::uint32_t>(1 + rng() % 700), 4294967295u};
    for (std::uint32_t n : sizes) expect_same_split(data, RecordLayout::fixed(n));
  }
}

}  // namespace
}  // namespace drelix
