#include "core/container.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "core/journal.h"
#include "tests/core/fault_env.h"

namespace drelix {
namespace {

namespace fs = std::filesystem;
using Op = FaultEnv::Op;

constexpr std::uint32_t kZone = 4096;
constexpr std::uint64_t kDataStart = 16 + kZone;
const char kReadOnlyMsg[] = "file is open read-only";

Schema fixed_schema(std::uint32_t size) {
  return Schema{"tick@1", {{"price", "u32", 0}, {"qty", "f64", 4}}, RecordLayout::fixed(size)};
}
Schema prefixed_schema() {
  return Schema{"log@2", {}, RecordLayout::prefixed()};
}

Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void append_file(const std::string& path, ByteView bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::app);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

void write_file(const std::string& path, ByteView bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

// The zone bytes of a file, straight from the disk.
Bytes zone_on_disk(const std::string& path, std::uint32_t zone = kZone) {
  const Bytes all = read_file(path);
  return Bytes(all.begin() + 16, all.begin() + 16 + zone);
}

std::uint64_t file_size(const std::string& path) {
  return fs::file_size(path);
}

Bytes prefixed_record(std::size_t len, std::uint8_t fill) {
  Bytes r(2 + len, fill);
  store_u16le(r.data(), static_cast<std::uint16_t>(len));
  return r;
}

void expect_error(const Status& s, Error::Kind kind, const std::string& message) {
  ASSERT_FALSE(s.has_value()) << "expected: " << message;
  EXPECT_EQ(s.error().kind(), kind) << s.error().to_string();
  EXPECT_EQ(s.error().to_string(), message);
}

template <class T>
void expect_error(const Result<T>& r, Error::Kind kind, const std::string& message) {
  ASSERT_FALSE(r.has_value()) << "expected: " << message;
  EXPECT_EQ(r.error().kind(), kind) << r.error().to_string();
  EXPECT_EQ(r.error().to_string(), message);
}

// Rewrites the zone of a closed file with `edit` applied to its parsed headers.
template <class Edit>
void edit_zone(const std::string& path, Edit edit) {
  Bytes all = read_file(path);
  auto headers = Headers::parse(ByteView(all).subspan(16, kZone));
  ASSERT_TRUE(headers.has_value());
  Headers edited = edit(*headers);
  auto zone = edited.render(kZone);
  ASSERT_TRUE(zone.has_value());
  std::copy(zone->begin(), zone->end(), all.begin() + 16);
  write_file(path, all);
}

class ContainerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = ::testing::TempDir() + "container_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/data.drelix";
  }
  void TearDown() override { fs::remove_all(dir_); }

  Result<Container> create(const Schema& schema, Container::UserHeaders user = {},
                           std::uint32_t zone = kZone, std::uint64_t millis = 0) {
    return Container::create(path_, schema, "sensor-7", "drelix-test 1.0", millis, zone, user);
  }

  // A closed file of `schema` whose tail holds exactly `tail` (written behind the engine's back,
  // as a crashed writer would leave it).
  void make_file_with_tail(const Schema& schema, ByteView tail) {
    ASSERT_TRUE(create(schema).has_value());
    append_file(path_, tail);
  }

  std::string dir_;
  std::string path_;
};

// ---- create ---------------------------------------------------------------------------------

TEST_F(ContainerTest, CreateWritesPreambleAndZoneOnly) {
  const Schema schema = fixed_schema(12);
  {
    auto c = create(schema);
    ASSERT_TRUE(c.has_value()) << c.error().to_string();
    EXPECT_TRUE(c->writable());
    EXPECT_EQ(c->preamble(), (Preamble{kZone, 1, 1}));
    EXPECT_EQ(c->data_start(), kDataStart);
    EXPECT_EQ(c->data_end(), kDataStart);
    EXPECT_EQ(c->records(), 0u);
    EXPECT_EQ(c->bytes_raw(), 0u);
    EXPECT_TRUE(c->frames().empty());
    EXPECT_EQ(c->schema(), schema);
    EXPECT_EQ(c->path(), path_);
  }
  const Bytes file = read_file(path_);
  ASSERT_EQ(file.size(), kDataStart);
  const Bytes preamble{'D', 'R', 'E', 'L', 'I', 'X', 1, 1, 0x00, 0x10, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(Bytes(file.begin(), file.begin() + 16), preamble);

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
  EXPECT_EQ(Bytes(file.begin() + 16, file.end()), zone);
}

TEST_F(ContainerTest, CreatedAtIsUtcWithSecondsDropped) {
  const struct {
    std::uint64_t millis;
    const char* text;
  } cases[] = {
      {0, "1970-01-01T00:00:00Z"},
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
    fs::remove(path_);
    auto c = create(prefixed_schema(), {}, kZone, tc.millis);
    ASSERT_TRUE(c.has_value()) << c.error().to_string();
    EXPECT_EQ(c->headers().get("_created_at"), tc.text);
  }
}

TEST_F(ContainerTest, UserHeadersFollowSystemHeadersInOrder) {
  {
    auto c = create(prefixed_schema(), {{"zeta", "1"}, {"alpha", "x:y\nz"}, {"zeta", "2"}});
    ASSERT_TRUE(c.has_value()) << c.error().to_string();
  }
  auto peek = peek_headers(path_);
  ASSERT_TRUE(peek.has_value());
  const auto& pairs = peek->headers.pairs();
  ASSERT_EQ(pairs.size(), 16u);
  const char* system[] = {
      "_schema",  "_schema_fields", "_schema_hash",       "_record",  "_source",    "_created_at",
      "_writer",  "_compression",   "_compression_level", "_records", "_bytes_raw", "_frames",
      "_preview", "_sealed"};
  for (std::size_t i = 0; i < 14; ++i) EXPECT_EQ(pairs[i].first, system[i]);
  // A repeated key replaces the first value in place.
  EXPECT_EQ(pairs[14], (Headers::Pair{"zeta", "2"}));
  EXPECT_EQ(pairs[15], (Headers::Pair{"alpha", "x:y\nz"}));
  EXPECT_EQ(peek->headers.get("_record"), "prefixed");
  EXPECT_EQ(peek->headers.get("_schema_fields"), "");
}

TEST_F(ContainerTest, CreateRefusalsLeaveNoFile) {
  const struct {
    Schema schema;
    Container::UserHeaders user;
    std::uint32_t zone;
    Error::Kind kind;
    std::string message;
  } cases[] = {
      {prefixed_schema(),
       {{"ok", "1"}, {"_x", "2"}},
       kZone,
       Error::Kind::Usage,
       "user header key \"_x\" may not start with '_'"},
      {prefixed_schema(), {{"Bad", "1"}}, kZone, Error::Kind::Usage, "invalid header key \"Bad\""},
      {prefixed_schema(), {{"", "1"}}, kZone, Error::Kind::Usage, "invalid header key \"\""},
      {prefixed_schema(),
       {},
       0,
       Error::Kind::Usage,
       "header zone of 0 bytes is outside 1..=16777216"},
      {prefixed_schema(),
       {},
       16777217,
       Error::Kind::Usage,
       "header zone of 16777217 bytes is outside 1..=16777216"},
      {prefixed_schema(),
       {},
       UINT32_MAX,
       Error::Kind::Usage,
       "header zone of 4294967295 bytes is outside 1..=16777216"},
      {fixed_schema(0), {}, kZone, Error::Kind::Usage, "record size is zero"},
      // The zone check comes first.
      {fixed_schema(0),
       {},
       0,
       Error::Kind::Usage,
       "header zone of 0 bytes is outside 1..=16777216"},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.message);
    auto c = create(tc.schema, tc.user, tc.zone);
    expect_error(c, tc.kind, tc.message);
    EXPECT_FALSE(fs::exists(path_));
  }
}

TEST_F(ContainerTest, CreateRefusesAZoneTooSmallBeforeCreatingTheFile) {
  {
    auto big = create(prefixed_schema(), {{"note", "n"}});
    ASSERT_TRUE(big.has_value());
  }
  // The exact size the headers need: one byte less cannot hold them.
  const Bytes zone = zone_on_disk(path_);
  const std::uint64_t need = std::find(zone.begin(), zone.end(), 0) - zone.begin();
  fs::remove(path_);

  auto c = create(prefixed_schema(), {{"note", "n"}}, static_cast<std::uint32_t>(need - 1));
  ASSERT_FALSE(c.has_value());
  EXPECT_EQ(c.error().kind(), Error::Kind::ZoneFull);
  EXPECT_EQ(c.error().need(), need);
  EXPECT_EQ(c.error().have(), need - 1);
  EXPECT_FALSE(fs::exists(path_));

  // A zone of exactly that size holds them with no zero fill.
  auto exact = create(prefixed_schema(), {{"note", "n"}}, static_cast<std::uint32_t>(need));
  ASSERT_TRUE(exact.has_value()) << exact.error().to_string();
  EXPECT_EQ(file_size(path_), 16 + need);
}

TEST_F(ContainerTest, CreateAcceptsTheLargestZone) {
  auto c = create(prefixed_schema(), {}, kMaxHeaderArea);
  ASSERT_TRUE(c.has_value()) << c.error().to_string();
  EXPECT_EQ(file_size(path_), 16u + kMaxHeaderArea);
}

TEST_F(ContainerTest, CreateOnAnExistingPathFailsWithThePath) {
  write_file(path_, as_bytes("keep"));
  auto c = create(prefixed_schema());
  ASSERT_FALSE(c.has_value());
  EXPECT_EQ(c.error().kind(), Error::Kind::Io);
  EXPECT_EQ(c.error().path(), path_);
  EXPECT_EQ(c.error().os_code(), EEXIST);
  EXPECT_EQ(read_file(path_), Bytes(as_bytes("keep").begin(), as_bytes("keep").end()));
}

TEST_F(ContainerTest, FailedCreateRemovesThePartialFile) {
  const struct {
    Op op;
    std::uint64_t nth;
  } cases[] = {{Op::Write, 1}, {Op::Write, 2}, {Op::Sync, 1}};
  for (const auto& tc : cases) {
    SCOPED_TRACE(static_cast<int>(tc.op) * 10 + static_cast<int>(tc.nth));
    FaultEnv faults;
    ScopedEnv installed(faults);
    faults.fail_nth(tc.op, tc.nth, EIO);
    auto c = create(prefixed_schema());
    ASSERT_FALSE(c.has_value());
    EXPECT_EQ(c.error(), Error::io(EIO));  // no path: the failing call was on the handle
    EXPECT_FALSE(fs::exists(path_));
    EXPECT_EQ(faults.count(Op::Unlink), 1u);
  }
}

// ---- opening --------------------------------------------------------------------------------

TEST_F(ContainerTest, OpenFailures) {
  expect_error(Container::open_read(path_), Error::Kind::Io,
               path_ + ": " + Error::io(ENOENT).message());

  write_file(path_, as_bytes("DRELIX\x01"));
  expect_error(Container::open_read(path_), Error::Kind::Io, "failed to fill whole buffer");

  const auto block = Preamble{kZone, 1, 1}.encode();
  Bytes preamble(block.begin(), block.end());
  write_file(path_, preamble);
  expect_error(Container::open_read(path_), Error::Kind::Malformed,
               "header zone claims 4096 bytes but the file is 16 bytes");
  expect_error(Container::open_append(path_), Error::Kind::Malformed,
               "header zone claims 4096 bytes but the file is 16 bytes");
}

TEST_F(ContainerTest, OpenReadsUnparsableCountersAsZero) {
  const struct {
    std::optional<std::string> value;  // nothing: the key is absent
    std::uint64_t records;
  } cases[] = {
      {"+7", 7},
      {"-1", 0},
      {"18446744073709551616", 0},
      {std::nullopt, 0},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.value.value_or("(absent)"));
    fs::remove(path_);
    ASSERT_TRUE(create(fixed_schema(12)).has_value());
    edit_zone(path_, [&](const Headers& h) {
      Headers out;
      for (const auto& [k, v] : h.pairs()) {
        if (k == "_records" || k == "_bytes_raw") {
          if (tc.value) (void)out.set(k, *tc.value);
        } else {
          (void)out.set(k, v);
        }
      }
      return out;
    });
    auto c = Container::open_read(path_);
    ASSERT_TRUE(c.has_value()) << c.error().to_string();
    EXPECT_EQ(c->records(), tc.records);
    EXPECT_EQ(c->bytes_raw(), tc.records);
    EXPECT_EQ(c->frame_records(), tc.records);
    EXPECT_EQ(c->frame_bytes_raw(), tc.records);
  }
}

TEST_F(ContainerTest, ReadOnlyCountsFramesOnlyAppendingCountsTheTail) {
  {
    auto c = create(fixed_schema(12));
    ASSERT_TRUE(c.has_value());
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(c->append_record(Bytes(12, std::uint8_t(i))));
  }
  edit_zone(path_, [](Headers h) {
    (void)h.set("_records", "+100");
    (void)h.set("_bytes_raw", "1200");
    return h;
  });

  auto reader = Container::open_read(path_);
  ASSERT_TRUE(reader.has_value());
  EXPECT_FALSE(reader->writable());
  EXPECT_EQ(reader->records(), 100u);
  EXPECT_EQ(reader->bytes_raw(), 1200u);
  EXPECT_EQ(reader->data_end(), kDataStart + 60);

  auto writer = Container::open_append(path_);
  ASSERT_TRUE(writer.has_value());
  EXPECT_EQ(writer->records(), 105u);
  EXPECT_EQ(writer->bytes_raw(), 1260u);
  EXPECT_EQ(writer->frame_records(), 100u);
  EXPECT_EQ(writer->frame_bytes_raw(), 1200u);
}

TEST_F(ContainerTest, AppendingCountersSaturate) {
  make_file_with_tail(fixed_schema(4), Bytes(8, 1));
  edit_zone(path_, [](Headers h) {
    (void)h.set("_records", "18446744073709551614");
    (void)h.set("_bytes_raw", "18446744073709551610");
    return h;
  });
  auto c = Container::open_append(path_);
  ASSERT_TRUE(c.has_value());
  EXPECT_EQ(c->records(), UINT64_MAX);
  EXPECT_EQ(c->bytes_raw(), UINT64_MAX);
  ASSERT_TRUE(c->append_record(Bytes(4, 2)));
  EXPECT_EQ(c->records(), UINT64_MAX);
  EXPECT_EQ(c->bytes_raw(), UINT64_MAX);
}

// ---- torn tails -----------------------------------------------------------------------------

struct TornCase {
  const char* name;
  Schema schema;
  Bytes whole;  // the whole records of the tail
  Bytes torn;   // what a crash left after them
  std::uint64_t records;
};

std::vector<TornCase> torn_cases() {
  Bytes prefixed_whole;
  for (const Bytes& r : {prefixed_record(3, 'a'), prefixed_record(0, 0), prefixed_record(5, 'b')})
    prefixed_whole.insert(prefixed_whole.end(), r.begin(), r.end());
  Bytes half_body = prefixed_record(9, 'c');
  half_body.resize(6);
  return {
      {"fixed", fixed_schema(4), Bytes(12, 7), Bytes(3, 9), 3},
      {"fixed-clean", fixed_schema(4), Bytes(8, 7), {}, 2},
      {"fixed-only-torn", fixed_schema(4), {}, Bytes(1, 9), 0},
      {"prefixed-half-body", prefixed_schema(), prefixed_whole, half_body, 3},
      {"prefixed-half-prefix", prefixed_schema(), prefixed_whole, Bytes{0x05}, 3},
      {"prefixed-bare-prefix", prefixed_schema(), prefixed_whole, Bytes{0x05, 0x00}, 3},
      {"prefixed-clean", prefixed_schema(), prefixed_whole, {}, 3},
  };
}

TEST_F(ContainerTest, OpenReadLeavesATornTailAlone) {
  for (const TornCase& tc : torn_cases()) {
    SCOPED_TRACE(tc.name);
    fs::remove(path_);
    Bytes tail = tc.whole;
    tail.insert(tail.end(), tc.torn.begin(), tc.torn.end());
    make_file_with_tail(tc.schema, tail);
    const Bytes before = read_file(path_);

    auto c = Container::open_read(path_);
    ASSERT_TRUE(c.has_value()) << c.error().to_string();
    EXPECT_EQ(c->data_end(), before.size());
    EXPECT_EQ(c->records(), 0u);
    auto read = c->read_tail();
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(*read, tc.whole);
    EXPECT_EQ(read_file(path_), before);
  }
}

TEST_F(ContainerTest, OpenAppendCutsExactlyTheTornBytes) {
  for (const TornCase& tc : torn_cases()) {
    SCOPED_TRACE(tc.name);
    fs::remove(path_);
    Bytes tail = tc.whole;
    tail.insert(tail.end(), tc.torn.begin(), tc.torn.end());
    make_file_with_tail(tc.schema, tail);

    auto c = Container::open_append(path_);
    ASSERT_TRUE(c.has_value()) << c.error().to_string();
    const std::uint64_t end = kDataStart + tc.whole.size();
    EXPECT_EQ(file_size(path_), end);
    EXPECT_EQ(c->data_end(), end);
    EXPECT_EQ(c->records(), tc.records);
    EXPECT_EQ(c->bytes_raw(), tc.whole.size());
    EXPECT_EQ(c->frame_records(), 0u);
    EXPECT_EQ(c->buffered_bytes(), 0u);
    auto read = c->read_tail();
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(*read, tc.whole);

    // The next record lands right after the last whole one.
    const Bytes next = tc.schema.layout.is_fixed() ? Bytes(4, 0xEE) : Bytes{0xEE};
    ASSERT_TRUE(c->append_record(next));
    ASSERT_TRUE(c->flush_data());
    const Bytes file = read_file(path_);
    Bytes expected_tail = tc.whole;
    if (!tc.schema.layout.is_fixed()) {
      const Bytes r = prefixed_record(1, 0xEE);
      expected_tail.insert(expected_tail.end(), r.begin(), r.end());
    } else {
      expected_tail.insert(expected_tail.end(), next.begin(), next.end());
    }
    EXPECT_EQ(Bytes(file.begin() + kDataStart, file.end()), expected_tail);
  }
}

// A tail of several MiB is counted in pieces; records, and prefixes, that straddle the pieces
// must count exactly as one pass over the whole tail would.
TEST_F(ContainerTest, OpenAppendCountsLargePrefixedTailsAcrossPieces) {
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
    fs::remove(path_);
    Bytes tail;
    std::uint64_t records = 0;
    auto add = [&](std::size_t len, std::uint8_t fill) {
      const Bytes r = prefixed_record(len, fill);
      tail.insert(tail.end(), r.begin(), r.end());
      ++records;
    };
    // Fill up to the chosen start just before the second piece boundary, with records of varied
    // lengths (some empty, some of the maximum).
    const std::uint64_t target = 2 * kPiece - tc.start_before_boundary;
    for (std::uint64_t i = 0; tail.size() + 2 + 65535 + 2 < target; ++i)
      add(i % 7 == 0 ? 0 : (i * 7919) % 65536, static_cast<std::uint8_t>(i));
    add(target - tail.size() - 2, 0x11);
    ASSERT_EQ(tail.size(), target);
    add(tc.len, 0x22);
    add(300, 0x33);
    const std::size_t whole = tail.size();
    const Bytes torn = prefixed_record(40000, 0x44);
    tail.insert(tail.end(), torn.begin(), torn.begin() + 20000);

    const SplitResult split = split_records(tail, RecordLayout::prefixed());
    ASSERT_EQ(split.records.size(), records);
    ASSERT_EQ(split.torn, tail.size() - whole);

    make_file_with_tail(prefixed_schema(), tail);
    auto c = Container::open_append(path_);
    ASSERT_TRUE(c.has_value()) << c.error().to_string();
    EXPECT_EQ(c->records(), records);
    EXPECT_EQ(c->bytes_raw(), whole);
    EXPECT_EQ(file_size(path_), kDataStart + whole);
  }
}

TEST_F(ContainerTest, OpenAppendCountsLargeFixedTails) {
  Bytes tail(3 * (1 << 20) + 5, 0x5A);
  make_file_with_tail(fixed_schema(12), tail);
  auto c = Container::open_append(path_);
  ASSERT_TRUE(c.has_value());
  const std::uint64_t whole = tail.size() - tail.size() % 12;
  EXPECT_EQ(c->records(), tail.size() / 12);
  EXPECT_EQ(c->bytes_raw(), whole);
  EXPECT_EQ(file_size(path_), kDataStart + whole);
}

TEST_F(ContainerTest, OpenAppendFailuresChangeNothing) {
  Bytes tail(10, 1);
  make_file_with_tail(fixed_schema(4), tail);
  const Bytes before = read_file(path_);
  for (Op op : {Op::Read, Op::Truncate}) {
    SCOPED_TRACE(static_cast<int>(op));
    FaultEnv faults;
    ScopedEnv installed(faults);
    // The preamble and the zone are reads 1 and 2; the tail is read 3.
    faults.fail_nth(op, op == Op::Read ? 3 : 1, EIO);
    auto c = Container::open_append(path_);
    ASSERT_FALSE(c.has_value());
    EXPECT_EQ(c.error(), Error::io(EIO));
    EXPECT_EQ(faults.count(Op::Write), 0u);
    EXPECT_EQ(read_file(path_), before);
  }
}

TEST_F(ContainerTest, OpenAppendDiscardsAnInvalidJournalButOpenReadDoesNot) {
  ASSERT_TRUE(create(fixed_schema(4)).has_value());
  const Bytes before = read_file(path_);
  write_file(journal_path(path_), as_bytes("DJRNL2 short"));

  ASSERT_TRUE(Container::open_read(path_).has_value());
  EXPECT_TRUE(fs::exists(journal_path(path_)));

  ASSERT_TRUE(Container::open_append(path_).has_value());
  EXPECT_FALSE(fs::exists(journal_path(path_)));
  EXPECT_EQ(read_file(path_), before);
}

// ---- appending ------------------------------------------------------------------------------

TEST_F(ContainerTest, FixedAppendRules) {
  auto c = create(fixed_schema(8));
  ASSERT_TRUE(c.has_value());
  ASSERT_TRUE(c->append_record(Bytes(8, 1)));
  const struct {
    std::size_t len;
    const char* message;
  } refused[] = {
      {7, "record is 7 bytes, the schema says 8"},
      {9, "record is 9 bytes, the schema says 8"},
      {0, "record is 0 bytes, the schema says 8"},
  };
  for (const auto& tc : refused) {
    SCOPED_TRACE(tc.len);
    expect_error(c->append_record(Bytes(tc.len, 2)), Error::Kind::Usage, tc.message);
    EXPECT_EQ(c->records(), 1u);
    EXPECT_EQ(c->bytes_raw(), 8u);
    EXPECT_EQ(c->buffered_bytes(), 8u);
  }
  ASSERT_TRUE(c->append_record(Bytes(8, 3)));
  EXPECT_EQ(c->records(), 2u);
  EXPECT_EQ(c->bytes_raw(), 16u);
  ASSERT_TRUE(c->flush_data());
  EXPECT_EQ(c->data_end(), kDataStart + 16);
  const Bytes file = read_file(path_);
  Bytes expected(8, 1);
  expected.insert(expected.end(), 8, 3);
  EXPECT_EQ(Bytes(file.begin() + kDataStart, file.end()), expected);
}

TEST_F(ContainerTest, PrefixedAppendRules) {
  auto c = create(prefixed_schema());
  ASSERT_TRUE(c.has_value());
  ASSERT_TRUE(c->append_record(as_bytes("abc")));
  ASSERT_TRUE(c->append_record(Bytes{}));
  EXPECT_EQ(c->records(), 2u);
  EXPECT_EQ(c->bytes_raw(), 7u);

  expect_error(c->append_record(Bytes(65536, 0)), Error::Kind::Usage,
               "record of 65536 bytes overflows the u16 prefix");
  EXPECT_EQ(c->records(), 2u);
  EXPECT_EQ(c->bytes_raw(), 7u);
  EXPECT_EQ(c->buffered_bytes(), 7u);

  ASSERT_TRUE(c->flush_data());
  const Bytes file = read_file(path_);
  EXPECT_EQ(Bytes(file.begin() + kDataStart, file.end()), (Bytes{3, 0, 'a', 'b', 'c', 0, 0}));
}

TEST_F(ContainerTest, BufferIsWrittenAtTheThreshold) {
  auto c = create(fixed_schema(1));
  ASSERT_TRUE(c.has_value());
  for (std::uint32_t i = 0; i < kFlushThreshold - 1; ++i) {
    ASSERT_TRUE(c->append_record(Bytes{static_cast<std::uint8_t>(i % 251)}));
  }
  EXPECT_EQ(file_size(path_), kDataStart);
  EXPECT_EQ(c->buffered_bytes(), kFlushThreshold - 1);
  ASSERT_TRUE(c->append_record(Bytes{static_cast<std::uint8_t>((kFlushThreshold - 1) % 251)}));
  EXPECT_EQ(c->buffered_bytes(), 0u);
  EXPECT_EQ(c->data_end(), kDataStart + kFlushThreshold);
  EXPECT_EQ(c->records(), kFlushThreshold);
  const Bytes file = read_file(path_);
  ASSERT_EQ(file.size(), kDataStart + kFlushThreshold);
  for (std::size_t i = 0; i < kFlushThreshold; ++i) {
    ASSERT_EQ(file[kDataStart + i], i % 251) << i;
  }
}

TEST_F(ContainerTest, AMaximalPrefixedRecordIsWrittenAtOnce) {
  FaultEnv faults;
  ScopedEnv installed(faults);
  auto c = create(prefixed_schema());
  ASSERT_TRUE(c.has_value());
  const std::uint64_t writes = faults.count(Op::Write);
  ASSERT_TRUE(c->append_record(Bytes(65535, 0xAB)));
  EXPECT_EQ(faults.count(Op::Write), writes + 1);
  EXPECT_EQ(c->buffered_bytes(), 0u);
  EXPECT_EQ(c->data_end(), kDataStart + 65537);
  EXPECT_EQ(c->bytes_raw(), 65537u);
  const Bytes file = read_file(path_);
  EXPECT_EQ(Bytes(file.begin() + kDataStart, file.end()), prefixed_record(65535, 0xAB));
}

TEST_F(ContainerTest, FailedThresholdWriteKeepsTheRecordForTheNextFlush) {
  FaultEnv faults;
  ScopedEnv installed(faults);
  auto c = create(fixed_schema(1));
  ASSERT_TRUE(c.has_value());
  for (std::uint32_t i = 0; i < kFlushThreshold - 1; ++i) ASSERT_TRUE(c->append_record(Bytes{1}));

  faults.fail_from_next(Op::Write, ENOSPC);
  auto s = c->append_record(Bytes{2});
  ASSERT_FALSE(s.has_value());
  EXPECT_EQ(s.error(), Error::io(ENOSPC));
  EXPECT_EQ(c->records(), kFlushThreshold);
  EXPECT_EQ(c->bytes_raw(), kFlushThreshold);
  EXPECT_EQ(c->buffered_bytes(), kFlushThreshold);
  EXPECT_EQ(c->data_end(), kDataStart);

  // A failing flush_data changes nothing either.
  EXPECT_EQ(c->flush_data(), fail(Error::io(ENOSPC)));
  EXPECT_EQ(c->buffered_bytes(), kFlushThreshold);
  EXPECT_EQ(c->data_end(), kDataStart);

  faults.clear(Op::Write);
  ASSERT_TRUE(c->append_record(Bytes{3}));  // writes the whole buffer at the old offset
  EXPECT_EQ(c->buffered_bytes(), 0u);
  EXPECT_EQ(c->data_end(), kDataStart + kFlushThreshold + 1);
  Bytes expected(kFlushThreshold - 1, 1);
  expected.push_back(2);
  expected.push_back(3);
  const Bytes file = read_file(path_);
  EXPECT_EQ(Bytes(file.begin() + kDataStart, file.end()), expected);
}

TEST_F(ContainerTest, ReadOnlyRefusesWrites) {
  ASSERT_TRUE(create(fixed_schema(4)).has_value());
  const Bytes before = read_file(path_);
  auto c = Container::open_read(path_);
  ASSERT_TRUE(c.has_value());
  expect_error(c->append_record(Bytes(4, 0)), Error::Kind::Usage, kReadOnlyMsg);
  expect_error(c->flush_headers(), Error::Kind::Usage, kReadOnlyMsg);
  EXPECT_TRUE(c->flush_data().has_value());  // nothing buffered, nothing to do
  EXPECT_EQ(c->records(), 0u);
  EXPECT_EQ(read_file(path_), before);
}

// ---- headers --------------------------------------------------------------------------------

TEST_F(ContainerTest, FlushHeadersWritesFrameCountersNotAppendedOnes) {
  {
    auto c = create(fixed_schema(4));
    ASSERT_TRUE(c.has_value());
  }
  edit_zone(path_, [](Headers h) {
    (void)h.set("_records", "+7");
    (void)h.set("_bytes_raw", "0028");
    return h;
  });
  FaultEnv faults;
  ScopedEnv installed(faults);
  auto c = Container::open_append(path_);
  ASSERT_TRUE(c.has_value());
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(c->append_record(Bytes(4, 1)));
  ASSERT_TRUE(c->flush_data());
  EXPECT_EQ(c->records(), 10u);
  const std::uint64_t syncs = faults.count(Op::Sync);
  ASSERT_TRUE(c->flush_headers());
  EXPECT_EQ(faults.count(Op::Sync), syncs + 1);
  EXPECT_EQ(c->headers().get("_records"), "7");
  EXPECT_EQ(c->headers().get("_bytes_raw"), "28");

  auto zone = c->headers().render(kZone);
  ASSERT_TRUE(zone.has_value());
  EXPECT_EQ(zone_on_disk(path_), *zone);
  auto peek = peek_headers(path_);
  ASSERT_TRUE(peek.has_value());
  EXPECT_EQ(peek->headers.get("_records"), "7");
  EXPECT_EQ(peek->headers.get("_bytes_raw"), "28");
  EXPECT_EQ(file_size(path_), kDataStart + 12);
}

TEST_F(ContainerTest, FlushHeadersDoesNotWriteTheBuffer) {
  auto c = create(fixed_schema(4));
  ASSERT_TRUE(c.has_value());
  ASSERT_TRUE(c->append_record(Bytes(4, 1)));
  ASSERT_TRUE(c->flush_headers());
  EXPECT_EQ(file_size(path_), kDataStart);
  EXPECT_EQ(c->buffered_bytes(), 4u);
}

TEST_F(ContainerTest, SetUserHeaderReplacesInPlaceAndAppendsNewKeys) {
  auto c = create(prefixed_schema(), {{"a", "1"}});
  ASSERT_TRUE(c.has_value());
  ASSERT_TRUE(c->set_user_header("b", "2"));
  ASSERT_TRUE(c->set_user_header("a", "3"));
  auto peek = peek_headers(path_);
  ASSERT_TRUE(peek.has_value());
  const auto& pairs = peek->headers.pairs();
  ASSERT_EQ(pairs.size(), 16u);
  EXPECT_EQ(pairs[14], (Headers::Pair{"a", "3"}));
  EXPECT_EQ(pairs[15], (Headers::Pair{"b", "2"}));
}

TEST_F(ContainerTest, SetUserHeaderRefusalsChangeNothing) {
  auto c = create(prefixed_schema());
  ASSERT_TRUE(c.has_value());
  const Headers before = c->headers();
  const Bytes zone = zone_on_disk(path_);
  const struct {
    const char* key;
    const char* message;
  } cases[] = {
      {"_sealed", "user header key \"_sealed\" may not start with '_'"},
      {"_", "user header key \"_\" may not start with '_'"},
      {"Key", "invalid header key \"Key\""},
      {"a b", "invalid header key \"a b\""},
      {"", "invalid header key \"\""},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.key);
    expect_error(c->set_user_header(tc.key, "x"), Error::Kind::Usage, tc.message);
    EXPECT_EQ(c->headers().pairs(), before.pairs());
    EXPECT_EQ(zone_on_disk(path_), zone);
  }
}

TEST_F(ContainerTest, SetUserHeaderOnReadOnlyFailsAfterTheInMemoryChange) {
  ASSERT_TRUE(create(prefixed_schema()).has_value());
  const Bytes before = read_file(path_);
  auto c = Container::open_read(path_);
  ASSERT_TRUE(c.has_value());
  expect_error(c->set_user_header("owner", "me"), Error::Kind::Usage, kReadOnlyMsg);
  EXPECT_EQ(c->headers().get("owner"), "me");
  EXPECT_EQ(read_file(path_), before);
  expect_error(c->set_user_header("_owner", "me"), Error::Kind::Usage,
               "user header key \"_owner\" may not start with '_'");
  EXPECT_EQ(c->headers().get("_owner"), std::nullopt);
}

TEST_F(ContainerTest, SetUserHeaderZoneFullKeepsTheInMemoryChange) {
  auto c = create(prefixed_schema());
  ASSERT_TRUE(c.has_value());
  const Bytes zone = zone_on_disk(path_);
  auto s = c->set_user_header("big", std::string(kZone, 'x'));
  ASSERT_FALSE(s.has_value());
  EXPECT_EQ(s.error().kind(), Error::Kind::ZoneFull);
  EXPECT_EQ(s.error().have(), kZone);
  EXPECT_EQ(c->headers().get("big"), std::string(kZone, 'x'));
  EXPECT_EQ(zone_on_disk(path_), zone);
}

TEST_F(ContainerTest, FlushHeadersSyncFailureIsAnIoErrorWithoutPath) {
  FaultEnv faults;
  ScopedEnv installed(faults);
  auto c = create(prefixed_schema());
  ASSERT_TRUE(c.has_value());
  faults.fail_nth(Op::Sync, faults.count(Op::Sync) + 1, EIO);
  EXPECT_EQ(c->flush_headers(), fail(Error::io(EIO)));
}

// After a close whose splice failed, memory and disk may disagree: every write is refused
// until the path is reopened, and reopening completes the close from its journal.
TEST_F(ContainerTest, WritesAreRefusedAfterAFailedSplice) {
  FaultEnv faults;
  ScopedEnv installed(faults);
  auto c = create(fixed_schema(4));
  ASSERT_TRUE(c.has_value());
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(c->append_record(Bytes(4, std::uint8_t(i))));
  ASSERT_TRUE(c->flush_data());
  // The next write is the journal's, the one after it the frame's.
  faults.fail_nth(Op::Write, faults.count(Op::Write) + 2, EIO);
  EXPECT_EQ(c->close_frame(1, 0), fail(Error::io(EIO)));
  ASSERT_TRUE(fs::exists(journal_path(path_)));

  const std::string broken =
      "the file may be half-spliced after a failed close; reopen it with open_append";
  const Headers headers = c->headers();
  expect_error(c->append_record(Bytes(4, 9)), Error::Kind::Usage, broken);
  expect_error(c->flush_headers(), Error::Kind::Usage, broken);
  expect_error(c->set_user_header("k", "v"), Error::Kind::Usage, broken);
  EXPECT_EQ(c->headers().pairs(), headers.pairs());
  EXPECT_EQ(c->records(), 3u);
  EXPECT_EQ(c->buffered_bytes(), 0u);

  auto reopened = Container::open_append(path_);
  ASSERT_TRUE(reopened.has_value()) << reopened.error().to_string();
  EXPECT_FALSE(fs::exists(journal_path(path_)));
  ASSERT_EQ(reopened->frames().size(), 1u);
  EXPECT_EQ(reopened->frames()[0].len, 12u);
  EXPECT_EQ(reopened->records(), 3u);
  EXPECT_EQ(reopened->frame_records(), 3u);
  EXPECT_EQ(file_size(path_), kDataStart + 12);
}

// ---- destruction and moves ------------------------------------------------------------------

TEST_F(ContainerTest, DestructionWritesTheBufferButNotTheZone) {
  {
    auto c = create(fixed_schema(4));
    ASSERT_TRUE(c.has_value());
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(c->append_record(Bytes(4, std::uint8_t(i))));
    EXPECT_EQ(file_size(path_), kDataStart);
  }
  const Bytes file = read_file(path_);
  ASSERT_EQ(file.size(), kDataStart + 12);
  EXPECT_EQ(file[kDataStart + 8], 2);
  auto peek = peek_headers(path_);
  ASSERT_TRUE(peek.has_value());
  EXPECT_EQ(peek->headers.get("_records"), "0");

  auto again = Container::open_append(path_);
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(again->records(), 3u);
}

TEST_F(ContainerTest, DestructionIgnoresAWriteFailure) {
  FaultEnv faults;
  ScopedEnv installed(faults);
  {
    auto c = create(fixed_schema(4));
    ASSERT_TRUE(c.has_value());
    ASSERT_TRUE(c->append_record(Bytes(4, 1)));
    faults.fail_from_next(Op::Write, EIO);
  }
  EXPECT_EQ(file_size(path_), kDataStart);
}

TEST_F(ContainerTest, MovesWriteTheBufferOnceAndFinishTheReplacedFile) {
  const std::string other = dir_ + "/other.drelix";
  {
    auto a = create(fixed_schema(4));
    ASSERT_TRUE(a.has_value());
    ASSERT_TRUE(a->append_record(Bytes(4, 1)));
    Container moved(std::move(*a));
    EXPECT_EQ(moved.buffered_bytes(), 4u);

    auto b = Container::create(other, fixed_schema(4), "", "", 0, kZone, {});
    ASSERT_TRUE(b.has_value());
    ASSERT_TRUE(b->append_record(Bytes(4, 2)));
    // Assigning over `moved` finishes its file first, exactly as destroying it would.
    moved = std::move(*b);
    EXPECT_EQ(file_size(path_), kDataStart + 4);
    EXPECT_EQ(moved.path(), other);
    ASSERT_TRUE(moved.append_record(Bytes(4, 3)));
  }
  EXPECT_EQ(file_size(path_), kDataStart + 4);
  const Bytes file = read_file(other);
  Bytes expected(4, 2);
  expected.insert(expected.end(), 4, 3);
  EXPECT_EQ(Bytes(file.begin() + kDataStart, file.end()), expected);
}

// ---- reading --------------------------------------------------------------------------------

TEST_F(ContainerTest, ReadTailExcludesTheBuffer) {
  auto c = create(prefixed_schema());
  ASSERT_TRUE(c.has_value());
  ASSERT_TRUE(c->append_record(as_bytes("xy")));
  ASSERT_TRUE(c->flush_data());
  ASSERT_TRUE(c->append_record(as_bytes("z")));
  auto tail = c->read_tail();
  ASSERT_TRUE(tail.has_value());
  EXPECT_EQ(*tail, (Bytes{2, 0, 'x', 'y'}));
}

TEST_F(ContainerTest, ReadAtShortensAtEndOfFile) {
  write_file(path_, as_bytes("0123456789"));
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
