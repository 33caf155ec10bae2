#include "core/container.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/journal.h"
#include "tests/core/test_util.h"

namespace drelix {
namespace {

using Op = SimEnv::Op;
using test::blob_schema;
using test::expect_error;
using test::pair_schema;
using test::read_file;

constexpr std::uint32_t kZone = 4096;
constexpr std::uint64_t kDataStart = 16 + kZone;
const char kReadOnlyMsg[] = "file is open read-only";

class ContainerTest : public test::SimTest {
 protected:
  Result<Container> create(const Schema& schema, Container::UserHeaders user = {},
                           std::uint32_t zone = kZone, std::uint64_t millis = 0) {
    return Container::create(path_, schema, "sensor-7", "drelix-test 1.0", millis, zone, user);
  }
  // A new file of `schema` whose tail holds exactly `tail`, written behind the engine's back as
  // a crashed writer would leave it.
  void make_file_with_tail(const Schema& schema, ByteView tail) {
    sim_.erase(path_);
    ASSERT_TRUE(create(schema).has_value());
    test::write_file(path_, tail, /*append=*/true);
  }
  // The data section on disk.
  Bytes data() const { return test::slice(read_file(path_), kDataStart, read_file(path_).size()); }
  Bytes zone() const { return test::slice(read_file(path_), 16, kDataStart); }
  void set_counters(std::optional<std::string> records, std::optional<std::string> bytes_raw) {
    test::rewrite_zone(path_, [&](Headers& h) {
      for (const auto& [key, value] :
           {std::pair{"_records", records}, std::pair{"_bytes_raw", bytes_raw}}) {
        if (value) {
          ASSERT_TRUE(h.set(key, *value).has_value());
        } else {
          h = test::without(h, key);
        }
      }
    });
  }
};

// ---- create ---------------------------------------------------------------------------------

TEST_F(ContainerTest, CreateWritesPreambleAndZoneOnly) {
  {
    auto c = create(pair_schema());
    ASSERT_TRUE(c.has_value()) << c.error().to_string();
    EXPECT_TRUE(c->writable());
    EXPECT_EQ(c->data_start(), kDataStart);
    EXPECT_EQ(c->data_end(), kDataStart);
    EXPECT_EQ(c->schema(), pair_schema());
  }
  const Bytes file = read_file(path_);
  ASSERT_EQ(file.size(), kDataStart);
  const Bytes preamble{'D', 'R', 'E', 'L', 'I', 'X', 1, 1, 0x00, 0x10, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(test::slice(file, 0, 16), preamble);
  const std::string text =
      "_schema:tick@1\n"
      "_schema_fields:price:u32:0;qty:f64:4\n"
      "_schema_hash:5131c43d95c67b4f\n"
      "_record:fixed:12\n"
      "_source:sensor-7\n"
      "_created_at:1970-01-01T00:00:00Z\n"
      "_writer:drelix-test 1.0\n"
      "_compression:zstd\n"
      "_compression_level:3\n"
      "_records:0\n"
      "_bytes_raw:0\n"
      "_frames:\n"
      "_preview:\n"
      "_sealed:false\n"
      "\n";
  Bytes zone(as_bytes(text).begin(), as_bytes(text).end());
  zone.resize(kZone, 0);
  EXPECT_EQ(test::slice(file, 16, file.size()), zone);
  // Created as 0666 less the umask (022 here), like any data file a program writes.
  EXPECT_EQ(sim_.mode(path_), 0644u);
}

TEST_F(ContainerTest, CreatedAtIsUtcWithSecondsDropped) {
  const struct {
    std::uint64_t millis;
    const char* text;
  } cases[] = {
      {999, "1970-01-01T00:00:00Z"},
      {86399999, "1970-01-01T23:59:59Z"},
      {86400000, "1970-01-02T00:00:00Z"},
      {68212800000, "1972-02-29T12:00:00Z"},
      {946684799000, "1999-12-31T23:59:59Z"},
      {951831930999, "2000-02-29T13:45:30Z"},
      {1709164800000, "2024-02-29T00:00:00Z"},
      {4107542399000, "2100-02-28T23:59:59Z"},
      {4107542400000, "2100-03-01T00:00:00Z"},
      {253402300799999, "9999-12-31T23:59:59Z"},
      {253402300800000, "10000-01-01T00:00:00Z"},
      {UINT64_MAX, "584556019-04-03T14:25:51Z"},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.millis);
    sim_.erase(path_);
    auto c = create(blob_schema(), {}, kZone, tc.millis);
    ASSERT_TRUE(c.has_value()) << c.error().to_string();
    EXPECT_EQ(c->headers().get("_created_at"), tc.text);
  }
}

// User headers follow the system ones in the order given; a repeated key, at creation or from
// set_user_header, replaces the first value in place.
TEST_F(ContainerTest, UserHeadersFollowSystemHeadersInOrder) {
  auto c = create(blob_schema(), {{"zeta", "1"}, {"alpha", "x:y\nz"}, {"zeta", "2"}});
  ASSERT_TRUE(c.has_value()) << c.error().to_string();
  auto expect_user = [&](const std::vector<Headers::Pair>& user) {
    auto peek = peek_headers(path_);
    ASSERT_TRUE(peek.has_value());
    const auto& pairs = peek->headers.pairs();
    ASSERT_EQ(pairs.size(), 14 + user.size());
    EXPECT_EQ(pairs[13].first, "_sealed");
    EXPECT_EQ(std::vector<Headers::Pair>(pairs.begin() + 14, pairs.end()), user);
  };
  expect_user({{"zeta", "2"}, {"alpha", "x:y\nz"}});
  EXPECT_EQ(c->headers().get("_record"), "prefixed");
  ASSERT_TRUE(c->set_user_header("beta", "3"));
  ASSERT_TRUE(c->set_user_header("zeta", "4"));
  expect_user({{"zeta", "4"}, {"alpha", "x:y\nz"}, {"beta", "3"}});
}

TEST_F(ContainerTest, CreateRefusalsLeaveNoFile) {
  const std::string outside = " bytes is outside 1..=16777216";
  // A schema that every later open would refuse ("bad field token") is refused up front.
  const auto field = [](std::string name, std::string ty) {
    return Schema{
        "s", {{"ok", "u8", 0}, {std::move(name), std::move(ty), 1}}, RecordLayout::fixed(2)};
  };
  const std::string unstorable =
      "would not read back: names and types must be non-empty and hold no ':' or ';'";
  const struct {
    Schema schema;
    Container::UserHeaders user;
    std::uint32_t zone;
    std::string message;
  } cases[] = {
      {blob_schema(),
       {{"ok", "1"}, {"_x", "2"}},
       kZone,
       "user header key \"_x\" may not start with '_'"},
      {blob_schema(), {{"Bad", "1"}}, kZone, "invalid header key \"Bad\""},
      {blob_schema(), {{"", "1"}}, kZone, "invalid header key \"\""},
      {blob_schema(), {}, 16777217, "header zone of 16777217" + outside},
      {blob_schema(), {}, UINT32_MAX, "header zone of 4294967295" + outside},
      {pair_schema(0), {}, kZone, "record size is zero"},
      {pair_schema(0), {}, 0, "header zone of 0" + outside},  // the zone check comes first
      {field("a:b", "u8"), {}, kZone, "field \"a:b\" of type \"u8\" " + unstorable},
      {field("a;b", "u8"), {}, kZone, "field \"a;b\" of type \"u8\" " + unstorable},
      {field("", "u8"), {}, kZone, "field \"\" of type \"u8\" " + unstorable},
      {field("b", "u8:1"), {}, kZone, "field \"b\" of type \"u8:1\" " + unstorable},
      {field("b", ""), {}, kZone, "field \"b\" of type \"\" " + unstorable},
      {Schema{"bad\xff", {}, RecordLayout::prefixed()},
       {},
       kZone,
       "the headers of schema \"bad\\u{fffd}\" would not read back: header zone is not UTF-8: "
       "invalid utf-8 sequence of 1 bytes from index 11"},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.message);
    expect_error(create(tc.schema, tc.user, tc.zone), Error::Kind::Usage, tc.message);
    EXPECT_FALSE(sim_.exists(path_));
  }
}

TEST_F(ContainerTest, CreateRefusesAZoneTooSmallBeforeCreatingTheFile) {
  ASSERT_TRUE(create(blob_schema(), {{"note", "n"}}).has_value());
  // The exact size the headers need: one byte less cannot hold them.
  const Bytes zone = this->zone();
  const std::uint64_t need = std::find(zone.begin(), zone.end(), 0) - zone.begin();
  sim_.erase(path_);

  auto c = create(blob_schema(), {{"note", "n"}}, static_cast<std::uint32_t>(need - 1));
  ASSERT_FALSE(c.has_value());
  EXPECT_EQ(c.error(), Error::zone_full(need, need - 1));
  EXPECT_FALSE(sim_.exists(path_));

  // A zone of exactly that size holds them with no zero fill; the largest zone is accepted.
  ASSERT_TRUE(create(blob_schema(), {{"note", "n"}}, static_cast<std::uint32_t>(need)));
  EXPECT_EQ(read_file(path_).size(), 16 + need);
  sim_.erase(path_);
  ASSERT_TRUE(create(blob_schema(), {}, kMaxHeaderArea).has_value());
  EXPECT_EQ(read_file(path_).size(), 16u + kMaxHeaderArea);
}

// A writer died mid-close, its file was deleted and a new one made under the same name: the old
// journal must not be spliced into the new file.
TEST_F(ContainerTest, CreateRemovesAJournalLeftByAFileOfTheSameName) {
  {
    auto old = create(pair_schema(4));
    ASSERT_TRUE(old.has_value());
    ASSERT_TRUE(old->append_record(Bytes(4, 9)).has_value());
    ASSERT_TRUE(old->flush_data().has_value());
    ASSERT_TRUE(write_journal(path_, kDataStart, zone(), compress_frame(Bytes(4, 9), 3).value()));
  }
  sim_.erase(path_);
  {
    auto fresh = create(pair_schema(4));
    ASSERT_TRUE(fresh.has_value());
    EXPECT_FALSE(sim_.exists(journal_path(path_)));
    for (std::uint8_t i = 0; i < 3; ++i) ASSERT_TRUE(fresh->append_record(Bytes(4, i)));
  }
  auto reopened = Container::open_append(path_);
  ASSERT_TRUE(reopened.has_value());
  EXPECT_EQ(reopened->records(), 3u);
  EXPECT_EQ(data(), test::concat({Bytes(4, 0), Bytes(4, 1), Bytes(4, 2)}));
}

TEST_F(ContainerTest, CreateOnAnExistingPathFailsWithThePath) {
  test::write_file(path_, as_bytes("keep"));
  auto c = create(blob_schema());
  ASSERT_FALSE(c.has_value());
  EXPECT_EQ(c.error(), Error::io_at(path_, EEXIST));
  EXPECT_EQ(test::read_text(path_), "keep");
}

TEST_F(ContainerTest, FailedCreateRemovesThePartialFile) {
  const std::pair<Op, std::uint64_t> cases[] = {{Op::Write, 1}, {Op::Write, 2}, {Op::Sync, 1}};
  for (const auto& [op, nth] : cases) {
    SCOPED_TRACE(static_cast<int>(op) * 10 + static_cast<int>(nth));
    sim_.reset();
    sim_.fail_nth(op, nth, EIO);
    auto c = create(blob_schema());
    ASSERT_FALSE(c.has_value());
    EXPECT_EQ(c.error(), Error::io(EIO));  // no path: the failing call was on the handle
    EXPECT_FALSE(sim_.exists(path_));
    // A stale journal's removal, then the partial file's.
    EXPECT_EQ(sim_.count(Op::Unlink), 2u);
  }
}

// ---- opening --------------------------------------------------------------------------------

TEST_F(ContainerTest, OpenFailures) {
  expect_error(Container::open_read(path_), Error::Kind::Io,
               path_ + ": " + Error::io(ENOENT).message());
  test::write_file(path_, as_bytes("DRELIX\x01"));
  expect_error(Container::open_read(path_), Error::Kind::Io, "failed to fill whole buffer");
  const auto block = Preamble{kZone, 1, 1}.encode();
  test::write_file(path_, block);
  const std::string short_zone = "header zone claims 4096 bytes but the file is 16 bytes";
  expect_error(Container::open_read(path_), Error::Kind::Malformed, short_zone);
  expect_error(Container::open_append(path_), Error::Kind::Malformed, short_zone);
}

// open_read counts the closed frames only, as _records and _bytes_raw say (anything that does
// not parse counts as 0); open_append adds the whole records of the tail, saturating.
TEST_F(ContainerTest, OpeningCountsRecords) {
  constexpr std::uint64_t kMax = UINT64_MAX;
  const struct {
    std::optional<std::string> records, bytes;  // nothing: the key is absent
    std::size_t tail;                           // bytes of 4-byte records on disk
    std::uint64_t read_records, read_bytes, append_records, append_bytes;
  } cases[] = {
      {"+100", "0028", 60, 100, 28, 115, 88},
      {"-1", "18446744073709551616", 0, 0, 0, 0, 0},
      {std::nullopt, std::nullopt, 8, 0, 0, 2, 8},
      {"18446744073709551614", "18446744073709551610", 8, kMax - 1, kMax - 5, kMax, kMax},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.records.value_or("(absent)"));
    make_file_with_tail(pair_schema(4), Bytes(tc.tail, 1));
    set_counters(tc.records, tc.bytes);
    auto reader = Container::open_read(path_);
    ASSERT_TRUE(reader.has_value()) << reader.error().to_string();
    EXPECT_FALSE(reader->writable());
    EXPECT_EQ(reader->records(), tc.read_records);
    EXPECT_EQ(reader->bytes_raw(), tc.read_bytes);
    EXPECT_EQ(reader->frame_records(), tc.read_records);
    EXPECT_EQ(reader->frame_bytes_raw(), tc.read_bytes);
    EXPECT_EQ(reader->data_end(), kDataStart + tc.tail);

    auto writer = Container::open_append(path_);
    ASSERT_TRUE(writer.has_value());
    EXPECT_EQ(writer->records(), tc.append_records);
    EXPECT_EQ(writer->bytes_raw(), tc.append_bytes);
    EXPECT_EQ(writer->frame_records(), tc.read_records);
    EXPECT_EQ(writer->frame_bytes_raw(), tc.read_bytes);
    ASSERT_TRUE(writer->append_record(Bytes(4, 2)));
    EXPECT_EQ(writer->records(), tc.append_records == kMax ? kMax : tc.append_records + 1);
    EXPECT_EQ(writer->bytes_raw(), tc.append_bytes == kMax ? kMax : tc.append_bytes + 4);
  }
}

// ---- torn tails -----------------------------------------------------------------------------

// open_read leaves a torn tail alone; open_append cuts exactly the torn bytes, and the next
// record lands right after the last whole one.
TEST_F(ContainerTest, OpenAppendCutsExactlyTheTornBytes) {
  const Bytes prefixed_whole = test::prefixed({Bytes(3, 'a'), {}, Bytes(5, 'b')});
  const struct {
    const char* name;
    Schema schema;
    Bytes whole;  // the whole records of the tail
    Bytes torn;   // what a crash left after them
    std::uint64_t records;
  } cases[] = {
      {"fixed", pair_schema(4), Bytes(12, 7), Bytes(3, 9), 3},
      {"fixed-clean", pair_schema(4), Bytes(8, 7), {}, 2},
      {"fixed-only-torn", pair_schema(4), {}, Bytes(1, 9), 0},
      {"prefixed-half-body", blob_schema(), prefixed_whole,
       test::slice(test::prefixed({Bytes(9, 'c')}), 0, 6), 3},
      {"prefixed-half-prefix", blob_schema(), prefixed_whole, Bytes{0x05}, 3},
      {"prefixed-bare-prefix", blob_schema(), prefixed_whole, Bytes{0x05, 0x00}, 3},
      {"prefixed-clean", blob_schema(), prefixed_whole, {}, 3},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    make_file_with_tail(tc.schema, test::concat({tc.whole, tc.torn}));
    const Bytes before = read_file(path_);
    {
      auto c = Container::open_read(path_);
      ASSERT_TRUE(c.has_value()) << c.error().to_string();
      EXPECT_EQ(c->data_end(), before.size());
      EXPECT_EQ(c->records(), 0u);
      EXPECT_EQ(c->read_tail(), tc.whole);
      EXPECT_EQ(read_file(path_), before);
    }
    auto c = Container::open_append(path_);
    ASSERT_TRUE(c.has_value()) << c.error().to_string();
    EXPECT_EQ(read_file(path_).size(), kDataStart + tc.whole.size());
    EXPECT_EQ(c->data_end(), kDataStart + tc.whole.size());
    EXPECT_EQ(c->records(), tc.records);
    EXPECT_EQ(c->bytes_raw(), tc.whole.size());
    EXPECT_EQ(c->frame_records(), 0u);
    EXPECT_EQ(c->read_tail(), tc.whole);

    const bool fixed = tc.schema.layout.is_fixed();
    ASSERT_TRUE(c->append_record(fixed ? Bytes(4, 0xEE) : Bytes{0xEE}));
    ASSERT_TRUE(c->flush_data());
    EXPECT_EQ(data(), test::concat({tc.whole, fixed ? Bytes(4, 0xEE) : Bytes{1, 0, 0xEE}}));
  }
}

// A tail of several MiB is counted in pieces; records, and prefixes, that straddle the pieces
// must count exactly as one pass over the whole tail would.
TEST_F(ContainerTest, OpenAppendCountsLargeTailsAcrossPieces) {
  constexpr std::uint64_t kPiece = 1 << 20;
  // Where the record after the filler starts, relative to a piece boundary, and its length.
  const struct {
    const char* name;
    std::int64_t start_before_boundary;
    std::size_t len;
  } cases[] = {
      {"prefix-split", 1, 10},
      {"prefix-ends-at-boundary", 2, 10},
      {"body-split", 5, 10},
      {"empty-record-split", 1, 0},
      {"record-ends-at-boundary", 12, 10},
      {"max-record-split", 3, 65535},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    std::vector<Bytes> bodies;
    std::uint64_t size = 0;
    auto add = [&](std::size_t len, std::uint8_t fill) {
      bodies.push_back(Bytes(len, fill));
      size += 2 + len;
    };
    // Records of varied lengths (some empty, some of the maximum) up to the chosen start just
    // before the second piece boundary.
    const std::uint64_t target = 2 * kPiece - tc.start_before_boundary;
    for (std::uint64_t i = 0; size + 2 + 65535 + 2 < target; ++i) {
      add(i % 7 == 0 ? 0 : (i * 7919) % 65536, static_cast<std::uint8_t>(i));
    }
    add(target - size - 2, 0x11);
    add(tc.len, 0x22);
    add(300, 0x33);
    const Bytes torn = test::slice(test::prefixed({Bytes(40000, 0x44)}), 0, 20000);
    make_file_with_tail(blob_schema(), test::concat({test::prefixed(bodies), torn}));
    auto c = Container::open_append(path_);
    ASSERT_TRUE(c.has_value()) << c.error().to_string();
    EXPECT_EQ(c->records(), bodies.size());
    EXPECT_EQ(c->bytes_raw(), size);
    EXPECT_EQ(read_file(path_).size(), kDataStart + size);
  }

  const Bytes tail(3 * kPiece + 5, 0x5A);
  make_file_with_tail(pair_schema(), tail);
  auto c = Container::open_append(path_);
  ASSERT_TRUE(c.has_value());
  EXPECT_EQ(c->records(), tail.size() / 12);
  EXPECT_EQ(read_file(path_).size(), kDataStart + tail.size() / 12 * 12);
}

TEST_F(ContainerTest, OpenAppendFailuresChangeNothing) {
  make_file_with_tail(pair_schema(4), Bytes(10, 1));
  const Bytes before = read_file(path_);
  for (Op op : {Op::Read, Op::Truncate}) {
    SCOPED_TRACE(static_cast<int>(op));
    sim_.reset();
    // The preamble and the zone are reads 1 and 2; the tail is read 3.
    sim_.fail_nth(op, op == Op::Read ? 3 : 1, EIO);
    auto c = Container::open_append(path_);
    ASSERT_FALSE(c.has_value());
    EXPECT_EQ(c.error(), Error::io(EIO));
    EXPECT_EQ(sim_.count(Op::Write), 0u);
    EXPECT_EQ(read_file(path_), before);
  }
}

// A frame list in which frames overlap, or one ends past the last (one flipped bit of an offset
// makes either), would have the next close write over durable frames: open_append refuses it
// and leaves the file alone, reading stays possible, and gaps are fine.
TEST_F(ContainerTest, OpenAppendRefusesOverlappingFrameLists) {
  const std::string advice = "; run rebuild_headers to derive the frame list from the data";
  struct Case {
    const char* name;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> listed;  // offset, len per frame
    std::string message;                                          // empty: opens
  };
  // Three raw frames of 8 bytes at 0, 8 and 16, then a tail of one record.
  const Case cases[] = {
      {"in order", {{0, 8}, {8, 8}, {16, 8}}, ""},
      {"with gaps", {{0, 4}, {8, 8}, {16, 8}}, ""},
      {"last inside the first",
       {{0, 8}, {8, 8}, {0, 4}},
       "frame 0 ends at data offset 8, after the tail start at 4" + advice},
      {"last before a gap-free middle",
       {{0, 8}, {16, 8}, {8, 8}},
       "frame 1 ends at data offset 24, after the tail start at 16" + advice},
      {"two overlapping",
       {{0, 8}, {4, 8}, {16, 8}},
       "frames 0 and 1 overlap at data offset 4" + advice},
      {"listed twice",
       {{0, 8}, {0, 8}, {16, 8}},
       "frames 0 and 1 overlap at data offset 0" + advice},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    sim_.erase(path_);
    test::Draft d;
    for (std::uint32_t i = 0; i < 3; ++i) d.add_frame(i, test::u32_records(10 * i, 2), 0);
    d.add_bytes(Bytes(4, 7));
    for (std::size_t i = 0; i < 3; ++i) {
      d.frames[i].offset = k.listed[i].first;
      d.frames[i].len = k.listed[i].second;
      d.frames[i].hash = 0;
    }
    d.write(path_);
    const Bytes before = read_file(path_);
    auto c = Container::open_append(path_);
    if (k.message.empty()) {
      EXPECT_TRUE(c.has_value());
      continue;
    }
    expect_error(c, Error::Kind::Malformed, k.message);
    EXPECT_EQ(read_file(path_), before);
    auto r = Container::open_read(path_);
    ASSERT_TRUE(r.has_value());
    EXPECT_TRUE(r->read_frame_at(0).has_value());
  }
}

TEST_F(ContainerTest, OpenAppendDiscardsAnInvalidJournalButOpenReadDoesNot) {
  ASSERT_TRUE(create(pair_schema(4)).has_value());
  const Bytes before = read_file(path_);
  test::write_file(journal_path(path_), as_bytes("DJRNL2 short"));
  ASSERT_TRUE(Container::open_read(path_).has_value());
  EXPECT_TRUE(sim_.exists(journal_path(path_)));
  ASSERT_TRUE(Container::open_append(path_).has_value());
  EXPECT_FALSE(sim_.exists(journal_path(path_)));
  EXPECT_EQ(read_file(path_), before);
}

// ---- appending ------------------------------------------------------------------------------

TEST_F(ContainerTest, AppendRules) {
  const struct {
    Schema schema;
    Bytes good;
    Bytes bad;
    std::string message;
    Bytes stored;  // the good record on disk
  } cases[] = {
      {pair_schema(8), Bytes(8, 1), Bytes(7, 2), "record is 7 bytes, the schema says 8",
       Bytes(8, 1)},
      {pair_schema(8), Bytes(8, 1), Bytes(9, 2), "record is 9 bytes, the schema says 8",
       Bytes(8, 1)},
      {pair_schema(8), Bytes(8, 1), {}, "record is 0 bytes, the schema says 8", Bytes(8, 1)},
      {blob_schema(),
       {'a', 'b', 'c'},
       Bytes(65536, 0),
       "record of 65536 bytes overflows the u16 prefix",
       {3, 0, 'a', 'b', 'c'}},
      {blob_schema(),
       {},
       Bytes(65537, 0),
       "record of 65537 bytes overflows the u16 prefix",
       {0, 0}},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.message);
    sim_.erase(path_);
    auto c = create(tc.schema);
    ASSERT_TRUE(c.has_value());
    ASSERT_TRUE(c->append_record(tc.good));
    expect_error(c->append_record(tc.bad), Error::Kind::Usage, tc.message);
    EXPECT_EQ(c->records(), 1u);
    EXPECT_EQ(c->bytes_raw(), tc.stored.size());
    EXPECT_EQ(c->buffered_bytes(), tc.stored.size());
    ASSERT_TRUE(c->append_record(tc.good));
    EXPECT_EQ(c->records(), 2u);
    ASSERT_TRUE(c->flush_data());
    EXPECT_EQ(c->data_end(), kDataStart + 2 * tc.stored.size());
    EXPECT_EQ(data(), test::concat({tc.stored, tc.stored}));
  }
}

TEST_F(ContainerTest, BufferIsWrittenAtTheThreshold) {
  auto c = create(pair_schema(1));
  ASSERT_TRUE(c.has_value());
  for (std::uint32_t i = 0; i < kFlushThreshold - 1; ++i) {
    ASSERT_TRUE(c->append_record(Bytes{static_cast<std::uint8_t>(i % 251)}));
  }
  EXPECT_EQ(read_file(path_).size(), kDataStart);
  EXPECT_EQ(c->buffered_bytes(), kFlushThreshold - 1);
  ASSERT_TRUE(c->append_record(Bytes{static_cast<std::uint8_t>((kFlushThreshold - 1) % 251)}));
  EXPECT_EQ(c->buffered_bytes(), 0u);
  EXPECT_EQ(c->data_end(), kDataStart + kFlushThreshold);
  const Bytes data = this->data();
  ASSERT_EQ(data.size(), kFlushThreshold);
  for (std::size_t i = 0; i < kFlushThreshold; ++i) ASSERT_EQ(data[i], i % 251) << i;
}

TEST_F(ContainerTest, AMaximalPrefixedRecordIsWrittenAtOnce) {
  sim_.reset();
  auto c = create(blob_schema());
  ASSERT_TRUE(c.has_value());
  const std::uint64_t writes = sim_.count(Op::Write);
  ASSERT_TRUE(c->append_record(Bytes(65535, 0xAB)));
  EXPECT_EQ(sim_.count(Op::Write), writes + 1);
  EXPECT_EQ(c->buffered_bytes(), 0u);
  EXPECT_EQ(c->data_end(), kDataStart + 65537);
  EXPECT_EQ(data(), test::prefixed({Bytes(65535, 0xAB)}));
}

// An append whose threshold write fails has not taken its record, so the natural retry stores
// it once; the records buffered before stay for the next write.
TEST_F(ContainerTest, FailedThresholdWriteDoesNotTakeTheRecord) {
  sim_.reset();
  auto c = create(pair_schema(1));
  ASSERT_TRUE(c.has_value());
  const std::uint64_t before = kFlushThreshold - 1;
  for (std::uint32_t i = 0; i < before; ++i) ASSERT_TRUE(c->append_record(Bytes{1}));

  sim_.fail_from_next(Op::Write, ENOSPC);
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_EQ(c->append_record(Bytes{2}), fail(Error::io(ENOSPC)));
    EXPECT_EQ(c->records(), before);
    EXPECT_EQ(c->bytes_raw(), before);
    EXPECT_EQ(c->buffered_bytes(), before);
    EXPECT_EQ(c->data_end(), kDataStart);
  }
  // A failing flush_data changes nothing either.
  EXPECT_EQ(c->flush_data(), fail(Error::io(ENOSPC)));
  EXPECT_EQ(c->buffered_bytes(), before);

  sim_.clear(Op::Write);
  ASSERT_TRUE(c->append_record(Bytes{2}));  // the retry writes the whole buffer at the old offset
  EXPECT_EQ(c->buffered_bytes(), 0u);
  EXPECT_EQ(c->records(), kFlushThreshold);
  EXPECT_EQ(c->data_end(), kDataStart + kFlushThreshold);
  EXPECT_EQ(data(), test::concat({Bytes(before, 1), {2}}));
}

// A read-only container refuses every write; a header set reaches memory before the refusal.
TEST_F(ContainerTest, ReadOnlyRefusesWrites) {
  ASSERT_TRUE(create(pair_schema(4)).has_value());
  const Bytes before = read_file(path_);
  auto c = Container::open_read(path_);
  ASSERT_TRUE(c.has_value());
  expect_error(c->append_record(Bytes(4, 0)), Error::Kind::Usage, kReadOnlyMsg);
  expect_error(c->flush_headers(), Error::Kind::Usage, kReadOnlyMsg);
  EXPECT_TRUE(c->flush_data().has_value());  // nothing buffered, nothing to do
  EXPECT_EQ(c->records(), 0u);
  expect_error(c->set_user_header("owner", "me"), Error::Kind::Usage, kReadOnlyMsg);
  EXPECT_EQ(c->headers().get("owner"), "me");
  expect_error(c->set_user_header("_owner", "me"), Error::Kind::Usage,
               "user header key \"_owner\" may not start with '_'");
  EXPECT_EQ(c->headers().get("_owner"), std::nullopt);
  EXPECT_EQ(read_file(path_), before);
}

// ---- headers --------------------------------------------------------------------------------

// flush_headers writes the counters of the closed frames, not those of appended records, and
// leaves the buffer alone.
TEST_F(ContainerTest, FlushHeadersWritesFrameCountersNotAppendedOnes) {
  ASSERT_TRUE(create(pair_schema(4)).has_value());
  set_counters("+7", "0028");
  sim_.reset();
  auto c = Container::open_append(path_);
  ASSERT_TRUE(c.has_value());
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(c->append_record(Bytes(4, 1)));
  EXPECT_EQ(c->records(), 10u);
  const std::uint64_t syncs = sim_.count(Op::Sync);
  ASSERT_TRUE(c->flush_headers());
  EXPECT_EQ(sim_.count(Op::Sync), syncs + 1);
  EXPECT_EQ(c->headers().get("_records"), "7");
  EXPECT_EQ(c->headers().get("_bytes_raw"), "28");
  EXPECT_EQ(zone(), c->headers().render(kZone));
  EXPECT_EQ(read_file(path_).size(), kDataStart);
  EXPECT_EQ(c->buffered_bytes(), 12u);

  // After a failed sync the pages it covered may be gone while a second sync would report
  // success: the container stops writing as if the file were sound, keeps (and writes out at
  // destruction) what was appended, and open_append recounts what the disk really holds.
  sim_.fail_nth(Op::Sync, sim_.count(Op::Sync) + 1, EIO);
  EXPECT_EQ(c->flush_headers(), fail(Error::io(EIO)));
  const Error refused = Error::usage(
      "a sync of the file failed, so what it covered may be lost; reopen it with open_append");
  EXPECT_EQ(c->flush_headers(), fail(refused));
  EXPECT_EQ(c->append_record(Bytes(4, 2)), fail(refused));
  EXPECT_EQ(c->set_user_header("k", "v"), fail(refused));
  EXPECT_EQ(c->close_frame(1, 3), fail(refused));
  c = fail(refused);  // destruction writes the three buffered records
  auto reopened = Container::open_append(path_);
  ASSERT_TRUE(reopened.has_value());
  EXPECT_EQ(reopened->records(), 10u);
  EXPECT_TRUE(reopened->append_record(Bytes(4, 3)).has_value());
}

TEST_F(ContainerTest, SetUserHeaderRefusalsChangeNothing) {
  auto c = create(blob_schema());
  ASSERT_TRUE(c.has_value());
  const Headers before = c->headers();
  const Bytes zone = this->zone();
  const std::pair<const char*, const char*> cases[] = {
      {"_sealed", "user header key \"_sealed\" may not start with '_'"},
      {"Key", "invalid header key \"Key\""},
  };
  for (const auto& [key, message] : cases) {
    SCOPED_TRACE(key);
    expect_error(c->set_user_header(key, "x"), Error::Kind::Usage, message);
    EXPECT_EQ(c->headers().pairs(), before.pairs());
    EXPECT_EQ(this->zone(), zone);
  }
  // A zone too small for the new value (a new key or a replaced one) changes nothing either,
  // so later closes still find their room.
  ASSERT_TRUE(c->set_user_header("note", "short").has_value());
  const Headers noted = c->headers();
  const Bytes noted_zone = this->zone();
  for (const char* key : {"big", "note"}) {
    SCOPED_TRACE(key);
    auto s = c->set_user_header(key, std::string(kZone, 'x'));
    ASSERT_FALSE(s.has_value());
    EXPECT_EQ(s.error().kind(), Error::Kind::ZoneFull);
    EXPECT_EQ(s.error().have(), kZone);
    EXPECT_EQ(c->headers().pairs(), noted.pairs());
    EXPECT_EQ(this->zone(), noted_zone);
  }
  ASSERT_TRUE(c->append_record(Bytes{1}).has_value());
  EXPECT_TRUE(c->close_frame(1, 3).has_value());
}

// ---- destruction and moves ------------------------------------------------------------------

TEST_F(ContainerTest, DestructionWritesTheBufferButNotTheZone) {
  {
    auto c = create(pair_schema(4));
    ASSERT_TRUE(c.has_value());
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(c->append_record(Bytes(4, std::uint8_t(i))));
    EXPECT_EQ(read_file(path_).size(), kDataStart);
  }
  EXPECT_EQ(data(), test::concat({Bytes(4, 0), Bytes(4, 1), Bytes(4, 2)}));
  EXPECT_EQ(test::header(path_, "_records"), "0");
  auto again = Container::open_append(path_);
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(again->records(), 3u);
}

TEST_F(ContainerTest, DestructionIgnoresAWriteFailure) {
  sim_.reset();
  {
    auto c = create(pair_schema(4));
    ASSERT_TRUE(c.has_value());
    ASSERT_TRUE(c->append_record(Bytes(4, 1)));
    sim_.fail_from_next(Op::Write, EIO);
  }
  EXPECT_EQ(read_file(path_).size(), kDataStart);
}

TEST_F(ContainerTest, MovesWriteTheBufferOnceAndFinishTheReplacedFile) {
  const std::string other = "/d/other.drelix";
  {
    auto a = create(pair_schema(4));
    ASSERT_TRUE(a.has_value());
    ASSERT_TRUE(a->append_record(Bytes(4, 1)));
    Container moved(std::move(*a));
    EXPECT_EQ(moved.buffered_bytes(), 4u);

    auto b = Container::create(other, pair_schema(4), "", "", 0, kZone, {});
    ASSERT_TRUE(b.has_value());
    ASSERT_TRUE(b->append_record(Bytes(4, 2)));
    // Assigning over `moved` finishes its file first, exactly as destroying it would.
    moved = std::move(*b);
    EXPECT_EQ(read_file(path_).size(), kDataStart + 4);
    EXPECT_EQ(moved.path(), other);
    ASSERT_TRUE(moved.append_record(Bytes(4, 3)));
  }
  EXPECT_EQ(read_file(path_).size(), kDataStart + 4);
  EXPECT_EQ(test::slice(read_file(other), kDataStart, kDataStart + 8),
            test::concat({Bytes(4, 2), Bytes(4, 3)}));
  EXPECT_EQ(read_file(other).size(), kDataStart + 8);
}

// ---- reading --------------------------------------------------------------------------------

TEST_F(ContainerTest, ReadTailExcludesTheBuffer) {
  auto c = create(blob_schema());
  ASSERT_TRUE(c.has_value());
  ASSERT_TRUE(c->append_record(as_bytes("xy")));
  ASSERT_TRUE(c->flush_data());
  ASSERT_TRUE(c->append_record(as_bytes("z")));
  EXPECT_EQ(c->read_tail(), (Bytes{2, 0, 'x', 'y'}));
}

TEST_F(ContainerTest, ReadAtShortensAtEndOfFile) {
  test::write_file(path_, as_bytes("0123456789"));
  auto file = env().open_read(path_);
  ASSERT_TRUE(file.has_value());
  const struct {
    std::uint64_t offset, length;
    std::string expected;
  } cases[] = {
      {0, 10, "0123456789"},
      {2, 3, "234"},
      {7, 10, "789"},
      {10, 5, ""},
      {1000, 5, ""},
      {0, 0, ""},
      {4, 1ULL << 40, "456789"},
      {UINT64_MAX - 1, 1ULL << 40, ""},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.offset);
    auto got = read_at(**file, tc.offset, tc.length);
    ASSERT_TRUE(got.has_value()) << got.error().to_string();
    EXPECT_EQ(as_text(*got), tc.expected);
  }
}

}  // namespace
}  // namespace drelix
