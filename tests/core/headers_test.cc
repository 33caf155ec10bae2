#include "core/headers.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/file.h"
#include "tests/core/fault_env.h"
#include "tests/core/test_util.h"

namespace drelix {
namespace {

using namespace std::literals;
using Pairs = std::vector<Headers::Pair>;

std::string text_of(const Bytes& b) {
  return std::string(b.begin(), b.end());
}

using test::make_headers;

// ---------------------------------------------------------------------------------------------
// Keys and values

TEST(KeyTest, Validity) {
  const std::pair<std::string_view, bool> cases[] = {
      {"a", true},         {"9x", true},         {"_frames", true}, {"_schema_hash", true},
      {"x__y", true},      {"a_", true},         {"_0", true},      {"abc123", true},
      {"", false},         {"_", false},         {"__x", false},    {"A", false},
      {"aB", false},       {"a-b", false},       {"a.b", false},    {"a b", false},
      {" a", false},       {"_A", false},        {"_-", false},     {"a:b", false},
      {"\xc3\xa9", false}, {"a\xc3\xa9", false}, {"a\n", false},    {"a\0"sv, false},
  };
  for (const auto& [key, valid] : cases) {
    EXPECT_EQ(key_is_valid(key), valid) << drelix::quoted(key);
  }
  // No length limit.
  EXPECT_TRUE(key_is_valid(std::string(100000, 'k')));
}

TEST(EscapeTest, Table) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"", ""},
      {"plain: text, with colons", "plain: text, with colons"},
      {"a\nb", "a\\nb"},
      {"a\\b", "a\\\\b"},
      {"\\n", "\\\\n"},  // a literal backslash-n is not confused with a line feed
      {"\n\n\\", "\\n\\n\\\\"},
      {"\r\t\0x"sv, "\r\t\0x"sv},
      {"caf\xc3\xa9", "caf\xc3\xa9"},
  };
  for (const auto& [value, stored] : cases) {
    SCOPED_TRACE(drelix::quoted(value));
    EXPECT_EQ(escape_value(value), stored);
    EXPECT_EQ(unescape_value(stored), value);
  }
}

TEST(UnescapeTest, HandWrittenText) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      // A trailing backslash is dropped.
      {"abc\\", "abc"},
      {"\\", ""},
      // An unknown escape keeps the character only.
      {"\\t", "t"},
      {"\\:", ":"},
      // An escaped backslash, then a trailing one.
      {"a\\\\\\", "a\\"},
      {"\\\\n", "\\n"},
      {"\\\n", "\n"},
      {"x\\\xc3\xa9", "x\xc3\xa9"},
  };
  for (const auto& [stored, value] : cases) {
    SCOPED_TRACE(drelix::quoted(stored));
    EXPECT_EQ(unescape_value(stored), value);
  }
}

// ---------------------------------------------------------------------------------------------
// The list

TEST(HeadersTest, GetAndSetUseTheFirstMatch) {
  Headers h = make_headers({{"a", "1"}, {"_a", "2"}, {"ab", ""}});
  EXPECT_EQ(h.get("a"), "1");
  EXPECT_EQ(h.get("_a"), "2");
  EXPECT_EQ(h.get("ab"), "");
  for (std::string_view absent : {"b", "A", ""}) EXPECT_FALSE(h.get(absent).has_value());

  ASSERT_TRUE(h.set("a", "one").has_value());
  ASSERT_TRUE(h.set_user("d", "4").has_value());
  EXPECT_EQ(h.pairs(), (Pairs{{"a", "one"}, {"_a", "2"}, {"ab", ""}, {"d", "4"}}));

  // A parsed zone may repeat a key: get and set see the first one only.
  auto parsed = Headers::parse(as_bytes("k:1\nj:0\nk:2\n\n"sv));
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->get("k"), "1");
  ASSERT_TRUE(parsed->set("k", "3").has_value());
  EXPECT_EQ(parsed->pairs(), (Pairs{{"k", "3"}, {"j", "0"}, {"k", "2"}}));
}

TEST(HeadersTest, SetFailures) {
  struct Case {
    bool user;
    std::string key;
    std::string message;
  };
  const Case cases[] = {
      {false, "A", R"(invalid header key "A")"},
      {false, "a\"", R"(invalid header key "a\"")"},
      {true, "_x", R"(user header key "_x" may not start with '_')"},
      {true, "_", R"(user header key "_" may not start with '_')"},
      {true, "X", R"(invalid header key "X")"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    Headers h = make_headers({{"a", "1"}});
    auto s = c.user ? h.set_user(c.key, "v") : h.set(c.key, "v");
    ASSERT_FALSE(s.has_value());
    EXPECT_EQ(s.error().kind(), Error::Kind::Usage);
    EXPECT_EQ(s.error().to_string(), c.message);
    EXPECT_EQ(h.pairs(), (Pairs{{"a", "1"}}));  // a failed set changes nothing
  }
}

// The batch form used by create must leave exactly what set_user one pair at a time leaves,
// including replaced keys in place, repeats within the batch, and a refusal part-way through.
TEST(HeadersTest, SetUserAllMatchesSetUserPairByPair) {
  std::mt19937 rng(7);
  const std::string keys[] = {"a", "b", "c", "long_key_name_past_sso_0123456789", "_x", "B", ""};
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE(round);
    Pairs batch;
    const int n = static_cast<int>(rng() % 12);
    for (int i = 0; i < n; ++i) {
      // Mostly valid keys; now and then one that set_user refuses.
      const std::size_t k = rng() % 100 < 90 ? rng() % 4 : 4 + rng() % 3;
      batch.emplace_back(keys[k], std::to_string(rng() % 1000));
    }
    Headers one_by_one = make_headers({{"_schema", "s"}, {"b", "old"}});
    Headers batched = one_by_one;
    Status expected;
    for (const auto& [k, v] : batch) {
      expected = one_by_one.set_user(k, v);
      if (!expected) break;
    }
    EXPECT_EQ(batched.set_user_all(batch), expected);
    EXPECT_EQ(batched.pairs(), one_by_one.pairs());
  }
}

// ---------------------------------------------------------------------------------------------
// Rendering

TEST(RenderTest, ExactZones) {
  struct Case {
    const char* name;
    Pairs pairs;
    std::uint32_t size;
    std::string_view zone;
  };
  const Case cases[] = {
      {"empty list, one byte", {}, 1, "\n"},
      {"empty list, four bytes", {}, 4, "\n\0\0\0"sv},
      {"a:1 fills five bytes exactly", {{"a", "1"}}, 5, "a:1\n\n"},
      {"a:1 with zero fill", {{"a", "1"}}, 8, "a:1\n\n\0\0\0"sv},
      {"escaped value", {{"k", "x\ny\\z"}}, 11, "k:x\\ny\\\\z\n\n"},
      {"empty value and free text",
       {{"_sealed", "false"}, {"e", ""}, {"t", "a: b\r\0c"s}},
       32,
       "_sealed:false\ne:\nt:a: b\r\0c\n\n\0\0\0\0"sv},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto zone = make_headers(c.pairs).render(c.size);
    ASSERT_TRUE(zone.has_value()) << zone.error().to_string();
    ASSERT_EQ(zone->size(), c.size);
    EXPECT_EQ(text_of(*zone), c.zone);
  }
}

TEST(RenderTest, ZoneFull) {
  struct Case {
    const char* name;
    Pairs pairs;
    std::uint32_t size;
    std::uint64_t need;
  };
  const Case cases[] = {
      {"a:1 into four bytes", {{"a", "1"}}, 4, 5},
      {"two pairs", {{"a", "1"}, {"bb", "22"}}, 10, 11},
      // Escapes count at their stored size.
      {"escapes", {{"k", "\n\\"}}, 7, 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Headers h = make_headers(c.pairs);
    auto zone = h.render(c.size);
    ASSERT_FALSE(zone.has_value());
    EXPECT_EQ(zone.error(), Error::zone_full(c.need, c.size));
    EXPECT_EQ(zone.error().to_string(), "headers need " + std::to_string(c.need) +
                                            " bytes, the zone holds " + std::to_string(c.size));
    // One byte more is enough.
    EXPECT_TRUE(h.render(static_cast<std::uint32_t>(c.need)).has_value());
  }
}

// ---------------------------------------------------------------------------------------------
// Parsing

TEST(ParseTest, Accepts) {
  struct Case {
    const char* name;
    std::string_view zone;
    Pairs pairs;
  };
  const Case cases[] = {
      {"line feed at the last byte", "a:1\n", {{"a", "1"}}},
      {"empty zone text", "\n", {}},
      {"only zero fill", "\0\0\0\0"sv, {}},
      {"rendered", "a:1\nb:2\n\n\0\0\0"sv, {{"a", "1"}, {"b", "2"}}},
      {"zero fill without an empty line", "a:1\n\0\0"sv, {{"a", "1"}}},
      {"leading space is part of the value", "k: v\n\n", {{"k", " v"}}},
      {"further colons belong to the value", "k:a:b:\n\n", {{"k", "a:b:"}}},
      {"empty value", "k:\n\n", {{"k", ""}}},
      {"escapes", "k:x\\ny\\\\z\n\n", {{"k", "x\ny\\z"}}},
      {"carriage return and NUL inside a value", "k:a\r\0b\r\n\n"sv, {{"k", "a\r\0b\r"s}}},
      {"bytes after the stop are ignored", "a:1\n\nno colon here\nA:1"sv, {{"a", "1"}}},
      {"stop at a zero byte starting a line", "a:1\n\0b:2\n\n"sv, {{"a", "1"}}},
      {"repeated key keeps both", "k:1\nk:2\n\n", {{"k", "1"}, {"k", "2"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto h = Headers::parse(as_bytes(c.zone));
    ASSERT_TRUE(h.has_value()) << h.error().to_string();
    EXPECT_EQ(h->pairs(), c.pairs);
  }
}

TEST(ParseTest, Rejects) {
  struct Case {
    const char* name;
    std::string_view zone;
    Error::Kind kind;
    std::string message;
  };
  const Case cases[] = {
      {"no terminator", "a:1", Error::Kind::Malformed, "header zone has no empty-line terminator"},
      {"zero bytes inside the unterminated line", "a:1\0\0\0"sv, Error::Kind::Malformed,
       "header zone has no empty-line terminator"},
      {"line without colon", "x\n\n", Error::Kind::Malformed, R"(header line without ':': "x")"},
      {"unterminated line without colon", "a:1\nx", Error::Kind::Malformed,
       R"(header line without ':': "x")"},
      {"line with a carriage return", "a:1\r\nb\r\n\n", Error::Kind::Malformed,
       R"(header line without ':': "b\r")"},
      {"uppercase key", "A:1\n\n", Error::Kind::Usage, R"(invalid header key "A")"},
      {"space before colon", "k :v\n\n", Error::Kind::Usage, R"(invalid header key "k ")"},
      {"invalid utf-8", "a:\xff\n\n", Error::Kind::Malformed,
       "header zone is not UTF-8: invalid utf-8 sequence of 1 bytes from index 2"},
      // The whole zone is checked, zero fill included, even after the terminator.
      {"invalid utf-8 in the fill", "a:1\n\n\0\0\x80\0"sv, Error::Kind::Malformed,
       "header zone is not UTF-8: invalid utf-8 sequence of 1 bytes from index 7"},
      {"cut at the zone end", "a:1\n\n\xe6\x97"sv, Error::Kind::Malformed,
       "header zone is not UTF-8: incomplete utf-8 byte sequence from index 5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto h = Headers::parse(as_bytes(c.zone));
    ASSERT_FALSE(h.has_value());
    EXPECT_EQ(h.error().kind(), c.kind);
    EXPECT_EQ(h.error().to_string(), c.message);
  }
}

TEST(ParseTest, LargestZone) {
  // A full-size zone: many lines, then a long zero fill. It must parse the lines, stop at the
  // empty line and still have checked the whole zone.
  Headers h;
  for (int i = 0; i < 2000; ++i) {
    ASSERT_TRUE(h.set("k" + std::to_string(i), std::string(2000, 'v') + "\xc3\xa9\n").has_value());
  }
  auto zone = h.render(kMaxHeaderArea);
  ASSERT_TRUE(zone.has_value());
  auto parsed = Headers::parse(*zone);
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->pairs(), h.pairs());

  (*zone)[kMaxHeaderArea - 1] = 0xc3;
  auto bad = Headers::parse(*zone);
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().to_string(),
            "header zone is not UTF-8: incomplete utf-8 byte sequence from index 16777215");
}

// ---------------------------------------------------------------------------------------------
// UTF-8 check

TEST(Utf8Test, Valid) {
  const std::string_view cases[] = {
      "",
      "plain ascii with \0 zeros"sv,
      "\xc2\x80\xdf\xbf",                  // two-byte bounds
      "\xe0\xa0\x80\xef\xbf\xbf",          // three-byte bounds
      "\xed\x9f\xbf\xee\x80\x80",          // around the surrogates
      "\xf0\x90\x80\x80\xf4\x8f\xbf\xbf",  // four-byte bounds
      "0123456789abcdef\xc3\xa9"
      "0123456789abcdef",
  };
  for (std::string_view s : cases) {
    EXPECT_EQ(utf8_error(as_bytes(s)), std::nullopt) << drelix::quoted(s);
  }
}

TEST(Utf8Test, Errors) {
  struct Case {
    std::string_view bytes;
    std::size_t index;
    std::size_t bad;  // 0: incomplete at the end
  };
  const Case cases[] = {
      {"\x80", 0, 1},
      {"\xc1\xbf", 0, 1},
      {"\xc2", 0, 0},
      {"\xc2\x41", 0, 1},
      {"\xe0", 0, 0},
      {"\xe0\x9f\xbf", 0, 1},
      {"\xe0\xa0", 0, 0},
      {"\xe0\xa0\x41", 0, 2},
      {"\xe1\x80", 0, 0},
      {"\xe1\x80\x00"sv, 0, 2},
      {"\xed\xa0\x80", 0, 1},  // surrogate
      {"\xf0", 0, 0},
      {"\xf0\x8f\xbf\xbf", 0, 1},
      {"\xf0\x90", 0, 0},
      {"\xf0\x90\x80", 0, 0},
      {"\xf0\x90\x41", 0, 2},
      {"\xf0\x90\x80\x41", 0, 3},
      {"\xf4\x90\x80\x80", 0, 1},  // above U+10FFFF
      {"\xf5\x80\x80\x80", 0, 1},
      {"\xff", 0, 1},
      // Indices count every byte before the error, multi-byte characters included.
      {"ab\x80", 2, 1},
      {"0123456789abcdef\xed\xa0\x80", 16, 1},
      {"0123456\xc3\xa9"
       "89abcdef\xff",
       17, 1},
      {"01234567\0\0\0\0\0\0\0\0\xe0\xa0"sv, 16, 0},
      {"012345678901234\xf0\x90\x80x0123456789", 15, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(drelix::quoted(c.bytes));
    const std::string expected =
        c.bad == 0 ? "incomplete utf-8 byte sequence from index " + std::to_string(c.index)
                   : "invalid utf-8 sequence of " + std::to_string(c.bad) + " bytes from index " +
                         std::to_string(c.index);
    EXPECT_EQ(utf8_error(as_bytes(c.bytes)), expected);
  }
}

// ---------------------------------------------------------------------------------------------
// peek_headers

// Preamble, zone text padded with zeros to `area`, then `data`.
Bytes file_bytes(std::uint32_t area, std::string_view zone_text, std::string_view data = "",
                 std::uint8_t flags = 1) {
  const auto block = Preamble{area, 1, flags}.encode();
  Bytes b(block.begin(), block.end());
  b.insert(b.end(), zone_text.begin(), zone_text.end());
  b.resize(16 + std::max<std::size_t>(area, zone_text.size()), 0);
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

using PeekTest = test::DirTest;

TEST_F(PeekTest, ReadsPreambleAndHeaders) {
  const struct {
    Bytes file;
    Preamble preamble;
    Pairs pairs;
  } cases[] = {
      {file_bytes(64, "_schema:t@1\nnote:a\\nb\n\n", "DATA", 0),
       {64, 1, 0},
       {{"_schema", "t@1"}, {"note", "a\nb"}}},
      {file_bytes(5, "a:1\n\n"), {5, 1, 1}, {{"a", "1"}}},  // the zone fills the whole file
  };
  for (const auto& c : cases) {
    test::write_file(path_, c.file);
    auto r = peek_headers(path_);
    ASSERT_TRUE(r.has_value()) << r.error().to_string();
    EXPECT_EQ(r->preamble, c.preamble);
    EXPECT_EQ(r->headers.pairs(), c.pairs);
  }
}

TEST_F(PeekTest, Failures) {
  struct Case {
    const char* name;
    Bytes bytes;
    Error::Kind kind;
    std::string message;
  };
  const Bytes empty_zone = file_bytes(4096, "\n");
  const std::string eof = "failed to fill whole buffer";
  const Case cases[] = {
      // Fewer than 16 bytes fail in the read, before the magic is looked at.
      {"empty file", {}, Error::Kind::Io, eof},
      {"five bytes", {'x', 'y', 'z', 'z', 'y'}, Error::Kind::Io, eof},
      {"twelve valid bytes", test::slice(empty_zone, 0, 12), Error::Kind::Io, eof},
      {"fifteen bytes", test::slice(empty_zone, 0, 15), Error::Kind::Io, eof},
      {"bad magic", Bytes(16, 'x'), Error::Kind::Malformed, "not a drelix file: bad magic"},
      {"zone longer than the file", test::slice(empty_zone, 0, 16), Error::Kind::Malformed,
       "header zone claims 4096 bytes but the file is 16 bytes"},
      {"zone cut by one byte", test::slice(empty_zone, 0, 4111), Error::Kind::Malformed,
       "header zone claims 4096 bytes but the file is 4111 bytes"},
      {"bad zone", file_bytes(8, "a:1"), Error::Kind::Malformed,
       "header zone has no empty-line terminator"},
      {"bad key", file_bytes(8, "B:1\n"), Error::Kind::Usage, R"(invalid header key "B")"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::write_file(path_, c.bytes);
    auto r = peek_headers(path_);
    test::expect_error(r, c.kind, c.message);
    EXPECT_FALSE(r.error().path().has_value());
  }
  std::filesystem::remove(path_);
  test::expect_error(peek_headers(path_), Error::Kind::Io,
                     path_ + ": No such file or directory (os error 2)");
}

// Records the reads of the files it opens for reading, and can make their metadata read fail.
class RecordingEnv final : public FaultEnv {
 public:
  std::vector<std::pair<std::uint64_t, std::size_t>> reads;
  bool fail_length = false;
  bool closed = false;

  Result<FilePtr> open_read(const std::string& path) override {
    DRELIX_ASSIGN_OR_RETURN(FilePtr base, FaultEnv::open_read(path));
    return FilePtr(std::make_unique<Recording>(std::move(base), *this));
  }

 private:
  class Recording final : public test::ForwardingFile {
   public:
    Recording(FilePtr base, RecordingEnv& env) : ForwardingFile(std::move(base)), env_(env) {}
    ~Recording() override { env_.closed = true; }
    Status read_exact_at(std::uint64_t o, std::span<std::uint8_t> b) override {
      env_.reads.emplace_back(o, b.size());
      return base_->read_exact_at(o, b);
    }
    Result<std::size_t> read_at(std::uint64_t o, std::span<std::uint8_t> b) override {
      env_.reads.emplace_back(o, b.size());
      return base_->read_at(o, b);
    }
    Result<std::uint64_t> length() override {
      if (env_.fail_length) return fail(Error::io(EIO));
      return base_->length();
    }

   private:
    RecordingEnv& env_;
  };
};

TEST_F(PeekTest, OnlyOpensAndReadsPreambleAndZone) {
  test::write_file(path_, file_bytes(100, "a:1\n\n", std::string(5000, 'd')));
  RecordingEnv recording;
  {
    ScopedEnv scoped(recording);
    auto r = peek_headers(path_);
    ASSERT_TRUE(r.has_value()) << r.error().to_string();
  }
  using Read = std::pair<std::uint64_t, std::size_t>;
  EXPECT_EQ(recording.reads, (std::vector<Read>{{0, 16}, {16, 100}}));
  EXPECT_TRUE(recording.closed);
  EXPECT_EQ(recording.count(FaultEnv::Op::Open), 1u);
  for (auto op : {FaultEnv::Op::Write, FaultEnv::Op::Truncate, FaultEnv::Op::Sync}) {
    EXPECT_EQ(recording.count(op), 0u);
  }
}

TEST_F(PeekTest, MetadataFailureNamesThePath) {
  test::write_file(path_, file_bytes(8, "\n"));
  RecordingEnv recording;
  recording.fail_length = true;
  ScopedEnv scoped(recording);
  auto r = peek_headers(path_);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), Error::io_at(path_, EIO));
  EXPECT_EQ(r.error().to_string(), path_ + ": Input/output error (os error 5)");
  EXPECT_TRUE(recording.closed);  // closed on the failure path too
  EXPECT_EQ(recording.reads.size(), 1u);
}

}  // namespace
}  // namespace drelix
