#include "core/container.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/journal.h"
#include "tests/core/test_util.h"

namespace drelix {
namespace {

using Op = SimEnv::Op;
using test::blob_schema;
using test::concat;
using test::pair_schema;
using test::prefixed;
using test::read_file;

constexpr std::uint32_t kZone = 4096;
constexpr std::uint64_t kDataStart = 16 + kZone;

class ContainerTest : public test::SimTest {
 protected:
  Result<Container> create(const Schema& schema, Container::UserHeaders user = {},
                           std::uint32_t zone = kZone, std::uint64_t millis = 0) {
    sim_.erase(path_);
    return Container::create(path_, schema, "sensor-7", "drelix-test 1.0", millis, zone, user);
  }
  // A new file of `schema` whose tail holds `tail`, as a crashed writer would leave it.
  void make_file_with_tail(const Schema& schema, ByteView tail) {
    ASSERT_TRUE(create(schema).has_value());
    test::write_file(path_, tail, /*append=*/true);
  }
  Bytes data() const { return test::slice(*sim_.contents(path_), kDataStart, size()); }
  Bytes zone() const { return test::slice(*sim_.contents(path_), 16, kDataStart); }
  std::uint64_t size(const std::string& p = "/d/run.drelix") const {
    return sim_.contents(p).value_or(Bytes()).size();
  }
  void set_counters(std::optional<std::string> records, std::optional<std::string> bytes_raw) {
    test::rewrite_zone(path_, [&](Headers& h) {
      for (const auto& [key, value] : {std::pair{"_records", records}, {"_bytes_raw", bytes_raw}}) {
        h = value ? h : test::without(h, key);
        if (value) {
          ASSERT_TRUE(h.set(key, *value).has_value());
        }
      }
    });
  }
};

// Preamble and zone byte for byte, nothing else; 0666 less the umask (022 here); the creation
// time in UTC without milliseconds; user headers after the system ones in the order given, a
// repeated key (at creation or from set_user_header) replacing the first value in place.
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
  const Bytes preamble{'D', 'R', 'E', 'L', 'I', 'X', 1, 1, 0x00, 0x10, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(test::slice(file, 0, 16), preamble);
  const ByteView text = as_bytes(
      "_schema:tick@1\n_schema_fields:price:u32:0;qty:f64:4\n_schema_hash:5131c43d95c67b4f\n"
      "_record:fixed:12\n_source:sensor-7\n_created_at:1970-01-01T00:00:00Z\n"
      "_writer:drelix-test 1.0\n_compression:zstd\n_compression_level:3\n_records:0\n"
      "_bytes_raw:0\n_frames:\n_preview:\n_sealed:false\n\n");
  Bytes zone(text.begin(), text.end());
  zone.resize(kZone, 0);
  EXPECT_EQ(test::slice(file, 16, file.size()), zone);
  EXPECT_EQ(sim_.mode(path_), 0644u);

  const std::pair<std::uint64_t, const char*> times[] = {
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
  for (const auto& [millis, text] : times) {
    EXPECT_EQ(create(blob_schema(), {}, kZone, millis).value().headers().get("_created_at"), text);
  }

  auto c = create(blob_schema(), {{"zeta", "1"}, {"alpha", "x:y\nz"}, {"zeta", "2"}});
  ASSERT_TRUE(c.has_value());
  ASSERT_TRUE(c->set_user_header("beta", "3"));
  ASSERT_TRUE(c->set_user_header("zeta", "4"));
  const auto pairs = peek_headers(path_).value().headers.pairs();
  ASSERT_EQ(pairs.size(), 17u);
  EXPECT_EQ(pairs[13].first, "_sealed");
  EXPECT_EQ(std::vector(pairs.begin() + 14, pairs.end()),
            (std::vector<Headers::Pair>{{"zeta", "4"}, {"alpha", "x:y\nz"}, {"beta", "3"}}));
}

// Every refusal of the container, with its exact message. None changes the file (a refused
// create leaves none), the record counts, or what is buffered.
TEST_F(ContainerTest, RefusalsAndTheirMessages) {
  const std::string outside = " bytes is outside 1..=16777216";
  const std::string unstorable =
      "would not read back: names and types must be non-empty and hold no ':' or ';'";
  const auto field = [](std::string name, std::string ty) {
    return Schema{
        "s", {{"ok", "u8", 0}, {std::move(name), std::move(ty), 1}}, RecordLayout::fixed(2)};
  };
  const auto opened = [](Result<Container> c) { return c ? Status{} : fail(std::move(c).error()); };
  const auto made = [&](Result<Container> c) {
    EXPECT_FALSE(sim_.exists(path_));
    return opened(std::move(c));
  };
  const auto appended = [this](const Schema& s, const Bytes& bad) {
    Container c = create(s).value();
    EXPECT_TRUE(c.append_record(s.layout.is_fixed() ? Bytes(8, 1) : Bytes{}));
    const Bytes before = read_file(path_);
    const Status refused = c.append_record(bad);
    EXPECT_EQ(c.records(), 1u);
    EXPECT_EQ(c.buffered_bytes(), s.layout.is_fixed() ? 8u : 2u);
    EXPECT_EQ(c.bytes_raw(), c.buffered_bytes());
    EXPECT_EQ(read_file(path_), before);
    return refused;
  };
  // A read-only container; a header set reaches its memory before the refusal.
  const auto read_only = [this](const std::function<Status(Container&)>& call) {
    EXPECT_TRUE(create(pair_schema(4)).value().append_record(Bytes(4, 7)));  // a tail to close
    const Bytes before = read_file(path_);
    Container c = Container::open_read(path_).value();
    const Status refused = call(c);
    EXPECT_EQ(read_file(path_), before);
    EXPECT_EQ(c.records(), 0u);
    EXPECT_TRUE(c.flush_data().has_value());  // nothing buffered, nothing to do
    return refused;
  };
  const auto user_header = [this](const char* key) {
    Container c = create(blob_schema()).value();
    const Bytes zone = this->zone();
    const auto pairs = c.headers().pairs();
    const Status refused = c.set_user_header(key, "x");
    EXPECT_EQ(this->zone(), zone);
    EXPECT_EQ(c.headers().pairs(), pairs);
    return refused;
  };
  const auto no_file = [&](const Schema& schema, Container::UserHeaders user = {},
                           std::uint32_t zone = kZone) {
    return made(create(schema, std::move(user), zone));
  };
  const auto open_read = [&] { return opened(Container::open_read(path_)); };
  const auto open_append = [&] { return opened(Container::open_append(path_)); };
  const auto put = [&](ByteView bytes) { test::write_file(path_, bytes); };
  const std::string short_zone = "header zone claims 4096 bytes but the file is 16 bytes";
  using Kind = Error::Kind;
  const struct {
    std::function<Status()> call;
    std::string message;
    Kind kind = Kind::Usage;
  } cases[] = {
      // clang-format off
      {[&] { return no_file(blob_schema(), {{"ok", "1"}, {"_x", "2"}}); }, "user header key \"_x\" may not start with '_'"},
      {[&] { return no_file(blob_schema(), {{"Bad", "1"}}); }, "invalid header key \"Bad\""},
      {[&] { return no_file(blob_schema(), {{"", "1"}}); }, "invalid header key \"\""},
      {[&] { return no_file(blob_schema(), {}, 16777217); }, "header zone of 16777217" + outside},
      {[&] { return no_file(blob_schema(), {}, UINT32_MAX); }, "header zone of 4294967295" + outside},
      {[&] { return no_file(pair_schema(0)); }, "record size is zero"},
      {[&] { return no_file(pair_schema(0), {}, 0); }, "header zone of 0" + outside},
      {[&] { return no_file(field("a:b", "u8")); }, "field \"a:b\" of type \"u8\" " + unstorable},
      {[&] { return no_file(field("a;b", "u8")); }, "field \"a;b\" of type \"u8\" " + unstorable},
      {[&] { return no_file(field("", "u8")); }, "field \"\" of type \"u8\" " + unstorable},
      {[&] { return no_file(field("b", "u8:1")); }, "field \"b\" of type \"u8:1\" " + unstorable},
      {[&] { return no_file(field("b", "")); }, "field \"b\" of type \"\" " + unstorable},
      {[&] { return no_file(Schema{"bad\xff", {}, RecordLayout::prefixed()}); },
       "the headers of schema \"bad\\u{fffd}\" would not read back: header zone is not UTF-8: invalid utf-8 sequence of 1 bytes from index 11"},
      {open_read, path_ + ": " + Error::io(ENOENT).message(), Kind::Io},
      {[&] { put(as_bytes("DRELIX\x01")); return open_read(); }, "failed to fill whole buffer", Kind::Io},
      {[&] { put(Preamble{kZone, 1, 1}.encode()); return open_read(); }, short_zone, Kind::Malformed},
      {[&] { put(Preamble{kZone, 1, 1}.encode()); return open_append(); }, short_zone, Kind::Malformed},
      {[&] { return appended(pair_schema(8), Bytes(7, 2)); }, "record is 7 bytes, the schema says 8"},
      {[&] { return appended(pair_schema(8), Bytes(9, 2)); }, "record is 9 bytes, the schema says 8"},
      {[&] { return appended(pair_schema(8), {}); }, "record is 0 bytes, the schema says 8"},
      {[&] { return appended(blob_schema(), Bytes(65536, 0)); }, "record of 65536 bytes overflows the u16 prefix"},
      {[&] { return appended(blob_schema(), Bytes(65537, 0)); }, "record of 65537 bytes overflows the u16 prefix"},
      {[&] { return read_only([](Container& c) { return c.append_record(Bytes(4, 0)); }); }, "file is open read-only"},
      {[&] { return read_only([](Container& c) { return c.flush_headers(); }); }, "file is open read-only"},
      {[&] { return read_only([](Container& c) { return c.close_frame(1, 3); }); }, "file is open read-only"},
      {[&] { return read_only([](Container& c) { return c.seal(1, 3); }); }, "file is open read-only"},
      {[&] { return read_only([](Container& c) {
         auto s = c.set_user_header("owner", "me");
         EXPECT_EQ(c.headers().get("owner"), "me");  // in memory before the refusal
         return s; }); }, "file is open read-only"},
      {[&] { return read_only([](Container& c) { return c.set_user_header("_owner", "me"); }); }, "user header key \"_owner\" may not start with '_'"},
      {[&] { return user_header("_sealed"); }, "user header key \"_sealed\" may not start with '_'"},
      {[&] { return user_header("Key"); }, "invalid header key \"Key\""},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    test::expect_error(c.call(), c.kind, c.message);
    sim_.erase(path_);
  }
}

// A zone too small for the headers is refused before the file is made; one of exactly the size
// they need holds them with no zero fill; the largest zone is accepted.
TEST_F(ContainerTest, CreateFailuresLeaveNoFile) {
  ASSERT_TRUE(create(blob_schema(), {{"note", "n"}}).has_value());
  const Bytes zone = this->zone();
  const std::uint64_t need = std::find(zone.begin(), zone.end(), 0) - zone.begin();
  auto small = create(blob_schema(), {{"note", "n"}}, static_cast<std::uint32_t>(need - 1));
  EXPECT_EQ(small.error(), Error::zone_full(need, need - 1));
  EXPECT_FALSE(sim_.exists(path_));
  ASSERT_TRUE(create(blob_schema(), {{"note", "n"}}, static_cast<std::uint32_t>(need)));
  EXPECT_EQ(size(), 16 + need);
  ASSERT_TRUE(create(blob_schema(), {}, kMaxHeaderArea).has_value());
  EXPECT_EQ(size(), 16u + kMaxHeaderArea);

  // An existing path is kept; a create failing on the handle removes its partial file (and
  // first any stale journal).
  test::write_file(path_, as_bytes("keep"));
  EXPECT_EQ(Container::create(path_, blob_schema(), "", "", 0, kZone, {}).error(),
            Error::io_at(path_, EEXIST));
  EXPECT_EQ(test::read_text(path_), "keep");
  for (const auto& [op, nth] : {std::pair{Op::Write, 1}, {Op::Write, 2}, {Op::Sync, 1}}) {
    sim_.reset();
    sim_.fail_nth(op, nth, EIO);
    EXPECT_EQ(create(blob_schema()).error(), Error::io(EIO));
    EXPECT_FALSE(sim_.exists(path_));
    EXPECT_EQ(sim_.count(Op::Unlink), 2u);
  }
  sim_.reset();

  // A writer died mid-close, its file was deleted and a new one made under the same name: the
  // old journal must not be spliced into the new file.
  {
    Container old = create(pair_schema(4)).value();
    ASSERT_TRUE(old.append_record(Bytes(4, 9)).has_value());
    ASSERT_TRUE(old.flush_data().has_value());
    ASSERT_TRUE(write_journal(path_, kDataStart, zone, compress_frame(Bytes(4, 9), 3).value()));
  }
  {
    Container fresh = create(pair_schema(4)).value();
    EXPECT_FALSE(sim_.exists(journal_path(path_)));
    for (std::uint8_t i = 0; i < 3; ++i) ASSERT_TRUE(fresh.append_record(Bytes(4, i)));
  }
  EXPECT_EQ(Container::open_append(path_).value().records(), 3u);
  EXPECT_EQ(data(), concat({Bytes(4, 0), Bytes(4, 1), Bytes(4, 2)}));
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
    Container r = Container::open_read(path_).value();
    EXPECT_FALSE(r.writable());
    EXPECT_EQ(r.records(), tc.read_records);
    EXPECT_EQ(r.bytes_raw(), tc.read_bytes);
    EXPECT_EQ(r.frame_records(), tc.read_records);
    EXPECT_EQ(r.frame_bytes_raw(), tc.read_bytes);
    EXPECT_EQ(r.data_end(), kDataStart + tc.tail);
    Container w = Container::open_append(path_).value();
    EXPECT_EQ(w.records(), tc.append_records);
    EXPECT_EQ(w.bytes_raw(), tc.append_bytes);
    EXPECT_EQ(w.frame_records(), tc.read_records);
    EXPECT_EQ(w.frame_bytes_raw(), tc.read_bytes);
    ASSERT_TRUE(w.append_record(Bytes(4, 2)));
    EXPECT_EQ(w.records(), tc.append_records == kMax ? kMax : tc.append_records + 1);
    EXPECT_EQ(w.bytes_raw(), tc.append_bytes == kMax ? kMax : tc.append_bytes + 4);
  }
}

// open_read leaves a torn tail alone; open_append cuts exactly the torn bytes, and the next
// record lands right after the last whole one. A failing read or cut changes nothing.
TEST_F(ContainerTest, OpenAppendCutsExactlyTheTornBytes) {
  const Bytes blobs = prefixed({Bytes(3, 'a'), {}, Bytes(5, 'b')});
  const struct {
    Schema schema;
    Bytes whole, torn;  // the whole records of the tail, and what a crash left after them
    std::uint64_t records;
  } cases[] = {
      {pair_schema(4), Bytes(12, 7), Bytes(3, 9), 3},
      {pair_schema(4), Bytes(8, 7), {}, 2},
      {pair_schema(4), {}, Bytes(1, 9), 0},
      {blob_schema(), blobs, test::slice(prefixed({Bytes(9, 'c')}), 0, 6), 3},
      {blob_schema(), blobs, Bytes{0x05}, 3},
      {blob_schema(), blobs, Bytes{0x05, 0x00}, 3},
      {blob_schema(), blobs, {}, 3},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.whole.size() * 100 + tc.torn.size());
    make_file_with_tail(tc.schema, concat({tc.whole, tc.torn}));
    const Bytes before = read_file(path_);
    {
      Container r = Container::open_read(path_).value();
      EXPECT_EQ(r.data_end(), before.size());
      EXPECT_EQ(r.records(), 0u);
      EXPECT_EQ(r.read_tail(), tc.whole);
    }
    for (Op op : {Op::Read, Op::Truncate}) {
      if (tc.torn.empty() || tc.whole.empty()) break;
      sim_.reset();
      sim_.fail_nth(op, op == Op::Read ? 3 : 1, EIO);  // reads 1 and 2: the preamble and zone
      EXPECT_EQ(Container::open_append(path_).error(), Error::io(EIO));
      EXPECT_EQ(sim_.count(Op::Write), 0u);
      EXPECT_EQ(read_file(path_), before);
    }
    sim_.reset();
    Container c = Container::open_append(path_).value();
    EXPECT_EQ(size(), kDataStart + tc.whole.size());
    EXPECT_EQ(c.data_end(), kDataStart + tc.whole.size());
    EXPECT_EQ(c.records(), tc.records);
    EXPECT_EQ(c.bytes_raw(), tc.whole.size());
    EXPECT_EQ(c.frame_records(), 0u);
    EXPECT_EQ(c.read_tail(), tc.whole);
    const bool fixed = tc.schema.layout.is_fixed();
    ASSERT_TRUE(c.append_record(fixed ? Bytes(4, 0xEE) : Bytes{0xEE}));
    ASSERT_TRUE(c.flush_data());
    EXPECT_EQ(data(), concat({tc.whole, fixed ? Bytes(4, 0xEE) : Bytes{1, 0, 0xEE}}));
  }
}

// A tail of several MiB is counted in pieces; records, and prefixes, that straddle the pieces
// must count exactly as one pass over the whole tail would.
TEST_F(ContainerTest, OpenAppendCountsLargeTailsAcrossPieces) {
  constexpr std::uint64_t kPiece = 1 << 20;
  // Where the record after the filler starts, before the second piece boundary, and its length.
  const std::pair<std::uint64_t, std::size_t> cases[] = {{1, 10}, {2, 10},  {5, 10},
                                                         {1, 0},  {12, 10}, {3, 65535}};
  for (const auto& [start_before_boundary, len] : cases) {
    SCOPED_TRACE(start_before_boundary * 100000 + len);
    std::vector<Bytes> bodies;
    std::uint64_t size = 0;
    const auto add = [&](std::size_t n, std::uint8_t fill) {
      bodies.push_back(Bytes(n, fill));
      size += 2 + n;
    };
    // Records of varied lengths (some empty, some of the maximum) up to the chosen start.
    const std::uint64_t target = 2 * kPiece - start_before_boundary;
    for (std::uint64_t i = 0; size + 2 + 65535 + 2 < target; ++i) {
      add(i % 7 == 0 ? 0 : (i * 7919) % 65536, static_cast<std::uint8_t>(i));
    }
    add(target - size - 2, 0x11);
    add(len, 0x22);
    add(300, 0x33);
    const Bytes torn = test::slice(prefixed({Bytes(40000, 0x44)}), 0, 20000);
    make_file_with_tail(blob_schema(), concat({prefixed(bodies), torn}));
    Container c = Container::open_append(path_).value();
    EXPECT_EQ(c.records(), bodies.size());
    EXPECT_EQ(c.bytes_raw(), size);
    EXPECT_EQ(this->size(), kDataStart + size);
  }
  make_file_with_tail(pair_schema(), Bytes(3 * kPiece + 5, 0x5A));
  EXPECT_EQ(Container::open_append(path_).value().records(), (3 * kPiece + 5) / 12);
  EXPECT_EQ(size(), kDataStart + (3 * kPiece + 5) / 12 * 12);
}

// A frame list in which frames overlap, or one ends past the last (one flipped bit of an offset
// makes either), would have the next close write over durable frames: open_append refuses it
// and leaves the file alone, reading stays possible, and gaps are fine. An invalid journal is
// discarded by open_append, not by open_read.
TEST_F(ContainerTest, OpenAppendRefusesOverlappingFrameLists) {
  const std::string advice = "; run rebuild_headers to derive the frame list from the data";
  // Three raw frames of 8 bytes at 0, 8 and 16, then a tail of one record.
  const std::pair<std::vector<std::pair<std::uint64_t, std::uint64_t>>, std::string> cases[] = {
      {{{0, 8}, {8, 8}, {16, 8}}, ""},
      {{{0, 4}, {8, 8}, {16, 8}}, ""},
      {{{0, 8}, {8, 8}, {0, 4}}, "frame 0 ends at data offset 8, after the tail start at 4"},
      {{{0, 8}, {16, 8}, {8, 8}}, "frame 1 ends at data offset 24, after the tail start at 16"},
      {{{0, 8}, {4, 8}, {16, 8}}, "frames 0 and 1 overlap at data offset 4"},
      {{{0, 8}, {0, 8}, {16, 8}}, "frames 0 and 1 overlap at data offset 0"},
  };
  for (const auto& [listed, message] : cases) {
    SCOPED_TRACE(message);
    test::Draft d;
    for (std::uint32_t i = 0; i < 3; ++i) d.add_frame(i, test::u32_records(10 * i, 2), 0);
    d.add_bytes(Bytes(4, 7));
    for (std::size_t i = 0; i < 3; ++i)
      d.frames[i] = Frame{i, listed[i].first, listed[i].second, 0};
    sim_.erase(path_);
    d.write(path_);
    const Bytes before = read_file(path_);
    auto c = Container::open_append(path_);
    if (message.empty()) {
      EXPECT_TRUE(c.has_value());
      continue;
    }
    test::expect_error(c, Error::Kind::Malformed, message + advice);
    EXPECT_EQ(read_file(path_), before);
    EXPECT_TRUE(Container::open_read(path_).value().read_frame_at(0).has_value());
  }
  ASSERT_TRUE(create(pair_schema(4)).has_value());
  const Bytes before = read_file(path_);
  test::write_file(journal_path(path_), as_bytes("DJRNL2 short"));
  ASSERT_TRUE(Container::open_read(path_).has_value());
  EXPECT_TRUE(sim_.exists(journal_path(path_)));
  ASSERT_TRUE(Container::open_append(path_).has_value());
  EXPECT_FALSE(sim_.exists(journal_path(path_)));
  EXPECT_EQ(read_file(path_), before);
}

// The buffer is written when it reaches the threshold, a maximal prefixed record at once. An
// append whose threshold write fails has not taken its record, so the natural retry stores it
// once; the records buffered before stay for the next write.
TEST_F(ContainerTest, BufferIsWrittenAtTheThreshold) {
  Container c = create(pair_schema(1)).value();
  const std::uint64_t before = kFlushThreshold - 1;
  for (std::uint32_t i = 0; i < before; ++i)
    ASSERT_TRUE(c.append_record(Bytes{std::uint8_t(i % 251)}));
  EXPECT_EQ(size(), kDataStart);
  EXPECT_EQ(c.buffered_bytes(), before);
  sim_.fail_from_next(Op::Write, ENOSPC);
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_EQ(c.append_record(Bytes{std::uint8_t(before % 251)}), fail(Error::io(ENOSPC)));
    EXPECT_EQ(c.records(), before);
    EXPECT_EQ(c.bytes_raw(), before);
    EXPECT_EQ(c.buffered_bytes(), before);
    EXPECT_EQ(c.data_end(), kDataStart);
  }
  EXPECT_EQ(c.flush_data(), fail(Error::io(ENOSPC)));  // changes nothing either
  EXPECT_EQ(c.buffered_bytes(), before);
  sim_.clear(Op::Write);
  ASSERT_TRUE(c.append_record(Bytes{std::uint8_t(before % 251)}));
  EXPECT_EQ(c.buffered_bytes(), 0u);
  EXPECT_EQ(c.records(), kFlushThreshold);
  EXPECT_EQ(c.data_end(), kDataStart + kFlushThreshold);
  const Bytes data = this->data();
  ASSERT_EQ(data.size(), kFlushThreshold);
  for (std::size_t i = 0; i < kFlushThreshold; ++i) ASSERT_EQ(data[i], i % 251) << i;

  Container blob = create(blob_schema()).value();
  const std::uint64_t writes = sim_.count(Op::Write);
  ASSERT_TRUE(blob.append_record(Bytes(65535, 0xAB)));
  EXPECT_EQ(sim_.count(Op::Write), writes + 1);
  EXPECT_EQ(blob.buffered_bytes(), 0u);
  EXPECT_EQ(blob.data_end(), kDataStart + 65537);
  EXPECT_EQ(this->data(), prefixed({Bytes(65535, 0xAB)}));
}

// flush_headers writes the counters of the closed frames, not those of appended records, and
// leaves the buffer alone. After a failed sync the pages it covered may be gone while a second
// sync would report success: the container stops writing, keeps (and writes out at
// destruction) what was appended, and open_append recounts what the disk really holds.
TEST_F(ContainerTest, FlushHeadersAndAFailedSync) {
  ASSERT_TRUE(create(pair_schema(4)).has_value());
  set_counters("+7", "0028");
  auto c = Container::open_append(path_);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(c->append_record(Bytes(4, 1)));
  EXPECT_EQ(c->records(), 10u);
  sim_.reset();
  ASSERT_TRUE(c->flush_headers());
  EXPECT_EQ(sim_.count(Op::Sync), 1u);
  EXPECT_EQ(c->headers().get("_records"), "7");
  EXPECT_EQ(c->headers().get("_bytes_raw"), "28");
  EXPECT_EQ(zone(), c->headers().render(kZone));
  EXPECT_EQ(size(), kDataStart);
  EXPECT_EQ(c->buffered_bytes(), 12u);

  sim_.fail_nth(Op::Sync, 2, EIO);
  EXPECT_EQ(c->flush_headers(), fail(Error::io(EIO)));
  const Error refused = Error::usage(
      "a sync of the file failed, so what it covered may be lost; reopen it with open_append");
  EXPECT_EQ(c->flush_headers(), fail(refused));
  EXPECT_EQ(c->append_record(Bytes(4, 2)), fail(refused));
  EXPECT_EQ(c->set_user_header("k", "v"), fail(refused));
  EXPECT_EQ(c->close_frame(1, 3), fail(refused));
  c = fail(refused);  // destruction writes the three buffered records
  auto reopened = Container::open_append(path_);
  EXPECT_EQ(reopened->records(), 10u);
  EXPECT_TRUE(reopened->append_record(Bytes(4, 3)).has_value());
}

// A zone too small for a new value (a new key or a replaced one) changes nothing, so later
// closes still find their room.
TEST_F(ContainerTest, SetUserHeaderTooBigForTheZoneChangesNothing) {
  Container c = create(blob_schema()).value();
  ASSERT_TRUE(c.set_user_header("note", "short").has_value());
  const Headers noted = c.headers();
  const Bytes zone = this->zone();
  for (const char* key : {"big", "note"}) {
    auto s = c.set_user_header(key, std::string(kZone, 'x'));
    EXPECT_EQ(s.error().kind(), Error::Kind::ZoneFull);
    EXPECT_EQ(s.error().have(), kZone);
    EXPECT_EQ(c.headers().pairs(), noted.pairs());
    EXPECT_EQ(this->zone(), zone);
  }
  ASSERT_TRUE(c.append_record(Bytes{1}).has_value());
  EXPECT_TRUE(c.close_frame(1, 3).has_value());
}

// Destruction writes the buffer, not the zone, and ignores a failing write; assigning over a
// container finishes its file exactly as destroying it would; read_tail excludes the buffer.
TEST_F(ContainerTest, DestructionMovesAndReadTail) {
  {
    Container c = create(pair_schema(4)).value();
    for (std::uint8_t i = 0; i < 3; ++i) ASSERT_TRUE(c.append_record(Bytes(4, i)));
    EXPECT_EQ(size(), kDataStart);
  }
  EXPECT_EQ(data(), concat({Bytes(4, 0), Bytes(4, 1), Bytes(4, 2)}));
  EXPECT_EQ(test::header(path_, "_records"), "0");
  EXPECT_EQ(Container::open_append(path_).value().records(), 3u);
  {
    Container c = create(pair_schema(4)).value();
    ASSERT_TRUE(c.append_record(Bytes(4, 1)));
    sim_.fail_from_next(Op::Write, EIO);
  }
  EXPECT_EQ(size(), kDataStart);
  sim_.reset();

  const std::string other = "/d/other.drelix";
  {
    Container a = create(pair_schema(4)).value();
    ASSERT_TRUE(a.append_record(Bytes(4, 1)));
    Container moved(std::move(a));
    EXPECT_EQ(moved.buffered_bytes(), 4u);
    Container b = Container::create(other, pair_schema(4), "", "", 0, kZone, {}).value();
    ASSERT_TRUE(b.append_record(Bytes(4, 2)));
    moved = std::move(b);
    EXPECT_EQ(size(), kDataStart + 4);
    EXPECT_EQ(moved.path(), other);
    ASSERT_TRUE(moved.append_record(Bytes(4, 3)));
  }
  EXPECT_EQ(size(), kDataStart + 4);
  EXPECT_EQ(test::slice(read_file(other), kDataStart, size(other)),
            concat({Bytes(4, 2), Bytes(4, 3)}));

  Container c = create(blob_schema()).value();
  ASSERT_TRUE(c.append_record(as_bytes("xy")));
  ASSERT_TRUE(c.flush_data());
  ASSERT_TRUE(c.append_record(as_bytes("z")));
  EXPECT_EQ(c.read_tail(), (Bytes{2, 0, 'x', 'y'}));
}

TEST_F(ContainerTest, ReadAtShortensAtEndOfFile) {
  test::write_file(path_, as_bytes("0123456789"));
  FilePtr file = env().open_read(path_).value();
  // clang-format off
  const struct { std::uint64_t offset, length; std::string expected; } cases[] = {
      {0, 10, "0123456789"}, {2, 3, "234"}, {7, 10, "789"}, {10, 5, ""}, {1000, 5, ""},
      {0, 0, ""}, {4, 1ULL << 40, "456789"}, {UINT64_MAX - 1, 1ULL << 40, ""}};
  // clang-format on
  for (const auto& tc : cases)
    EXPECT_EQ(as_text(read_at(*file, tc.offset, tc.length).value()), tc.expected);
}

}  // namespace
}  // namespace drelix
