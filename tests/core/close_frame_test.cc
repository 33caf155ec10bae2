#include <gtest/gtest.h>
#include <stdlib.h>

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
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
#include "tests/core/fault_env.h"

namespace drelix {
namespace {

using Kind = Error::Kind;

constexpr char kBrokenMessage[] =
    "the file may be half-spliced after a failed close; reopen it with open_append";

Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string& path, ByteView bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes slice(const Bytes& b, std::uint64_t from, std::uint64_t to) {
  return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from),
               b.begin() + static_cast<std::ptrdiff_t>(to));
}

std::string header(const Headers& h, std::string_view key) {
  auto v = h.get(key);
  return v ? std::string(*v) : std::string("<absent>");
}

// A fixed record of a u32 at 0 and an f64 at 4.
Bytes pair_record(std::uint32_t n, double x) {
  Bytes r(12);
  store_u32le(r.data(), n);
  store_u64le(r.data() + 4, std::bit_cast<std::uint64_t>(x));
  return r;
}

Schema pair_schema() {
  return Schema{"pairs", {{"n", "u32", 0}, {"x", "f64", 4}}, RecordLayout::fixed(12)};
}

Schema blob_schema() { return Schema{"blobs", {}, RecordLayout::prefixed()}; }

// The on-disk form of prefixed records.
Bytes prefixed(const std::vector<Bytes>& bodies) {
  Bytes out;
  for (const Bytes& b : bodies) {
    out.push_back(static_cast<std::uint8_t>(b.size()));
    out.push_back(static_cast<std::uint8_t>(b.size() >> 8));
    out.insert(out.end(), b.begin(), b.end());
  }
  return out;
}

Bytes concat(const std::vector<Bytes>& parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes patterned(std::size_t n, std::uint8_t seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7 + i / 251);
  return b;
}

class CloseFrameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "drelix_close_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/run.drelix";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  Container create(const Schema& schema, std::uint32_t area = 4096) {
    auto c = Container::create(path_, schema, "test", "writer", 0, area, {});
    EXPECT_TRUE(c.has_value()) << c.error().to_string();
    return std::move(*c);
  }
  Container open_append() {
    auto c = Container::open_append(path_);
    EXPECT_TRUE(c.has_value()) << c.error().to_string();
    return std::move(*c);
  }
  Container open_read() {
    auto c = Container::open_read(path_);
    EXPECT_TRUE(c.has_value()) << c.error().to_string();
    return std::move(*c);
  }
  static void append(Container& c, const std::vector<Bytes>& bodies) {
    for (const Bytes& b : bodies) ASSERT_TRUE(c.append_record(b).has_value());
  }
  bool journal_exists() const { return std::filesystem::exists(journal_path(path_)); }

  std::string dir_;
  std::string path_;
};

// ---------------------------------------------------------------------------------------------
// Round trips

struct LayoutCase {
  const char* name;
  Schema schema;
  std::vector<Bytes> bodies;
  Bytes stored;  // the records as they sit in the tail
};

std::vector<LayoutCase> layout_cases() {
  std::vector<Bytes> fixed = {pair_record(7, 1.0), pair_record(8, 2.5), pair_record(9, -0.0)};
  for (std::uint32_t i = 0; i < 3000; ++i) fixed.push_back(pair_record(i, i / 3.0));
  std::vector<Bytes> blobs = {Bytes{}, patterned(65535, 1), Bytes{0x41}, Bytes{},
                              patterned(300, 9), patterned(65535, 200)};
  return {
      {"fixed", pair_schema(), fixed, concat(fixed)},
      {"prefixed", blob_schema(), blobs, prefixed(blobs)},
  };
}

TEST_F(CloseFrameTest, RoundTripsBothLayoutsAtEveryLevel) {
  for (const LayoutCase& lc : layout_cases()) {
    for (std::int32_t level : {0, 1, 3, 19, -5}) {
      SCOPED_TRACE(testing::Message() << lc.name << " level " << level);
      std::filesystem::remove(path_);
      std::uint64_t data_start = 0;
      Bytes frame_on_disk;
      {
        Container c = create(lc.schema);
        data_start = c.data_start();
        append(c, lc.bodies);
        ASSERT_TRUE(c.close_frame(42, level).has_value());

        ASSERT_EQ(c.frames().size(), 1u);
        const Frame f = c.frames()[0];
        const Bytes file = read_file(path_);
        ASSERT_EQ(file.size(), data_start + f.len);
        EXPECT_EQ(c.data_end(), file.size());
        frame_on_disk = slice(file, data_start, file.size());
        EXPECT_EQ(f.id, 42u);
        EXPECT_EQ(f.offset, 0u);
        EXPECT_EQ(f.hash, xxh64(frame_on_disk));
        if (level == 0) {
          EXPECT_EQ(frame_on_disk, lc.stored);
        } else {
          EXPECT_TRUE(starts_with_zstd_magic(frame_on_disk));
          EXPECT_LT(frame_on_disk.size(), lc.stored.size());
        }

        EXPECT_EQ(c.records(), lc.bodies.size());
        EXPECT_EQ(c.frame_records(), lc.bodies.size());
        EXPECT_EQ(c.bytes_raw(), lc.stored.size());
        EXPECT_EQ(c.frame_bytes_raw(), lc.stored.size());
        auto back = c.read_frame_at(0);
        ASSERT_TRUE(back.has_value()) << back.error().to_string();
        EXPECT_EQ(*back, lc.stored);
        EXPECT_FALSE(journal_exists());
      }
      // What a reader of the file sees.
      Container r = open_read();
      ASSERT_EQ(r.frames().size(), 1u);
      const Headers& h = r.headers();
      EXPECT_EQ(header(h, "_frames"), render_frames(r.frames()));
      EXPECT_EQ(header(h, "_frames"), str_cat("42,0,", frame_on_disk.size(), ",",
                                              to_hex16(xxh64(frame_on_disk))));
      EXPECT_EQ(header(h, "_records"), to_decimal(lc.bodies.size()));
      EXPECT_EQ(header(h, "_bytes_raw"), to_decimal(lc.stored.size()));
      EXPECT_EQ(header(h, "_compression_level"), to_decimal_signed(level));
      EXPECT_EQ(header(h, "_compression"), level == 0 ? "none" : "zstd");
      EXPECT_EQ(r.records(), lc.bodies.size());
      auto back = r.read_frame(42);
      ASSERT_TRUE(back.has_value()) << back.error().to_string();
      EXPECT_EQ(*back, lc.stored);
      auto tail = r.read_tail();
      ASSERT_TRUE(tail.has_value());
      EXPECT_TRUE(tail->empty());
    }
  }
}

TEST_F(CloseFrameTest, SuccessiveClosesListEveryFrameAndCountEverything) {
  std::vector<Bytes> first = {Bytes{1, 2, 3}, Bytes{}};
  std::vector<Bytes> second = {patterned(1000, 5)};
  std::vector<Bytes> third = {Bytes{9}};
  Bytes first_frame;
  {
    Container c = create(blob_schema());
    append(c, first);
    ASSERT_TRUE(c.close_frame(7, 3).has_value());
    append(c, second);
    ASSERT_TRUE(c.close_frame(7, 0).has_value());
    append(c, third);
    ASSERT_TRUE(c.close_frame(8, -5).has_value());

    ASSERT_EQ(c.frames().size(), 3u);
    const Bytes file = read_file(path_);
    const std::uint64_t ds = c.data_start();
    std::uint64_t at = 0;
    for (const Frame& f : c.frames()) {
      EXPECT_EQ(f.offset, at);
      EXPECT_EQ(f.hash, xxh64(slice(file, ds + f.offset, ds + f.offset + f.len)));
      at += f.len;
    }
    EXPECT_EQ(file.size(), ds + at);
    // Same id twice: two frames with that id.
    EXPECT_EQ(c.frames()[0].id, 7u);
    EXPECT_EQ(c.frames()[1].id, 7u);
    EXPECT_EQ(c.frames()[2].id, 8u);
    // The level 0 frame is the raw bytes.
    EXPECT_EQ(slice(file, ds + c.frames()[1].offset, ds + at - c.frames()[2].len),
              prefixed(second));
    first_frame = slice(file, ds, ds + c.frames()[0].len);
  }
  Container r = open_read();
  const std::uint64_t raw = prefixed(first).size() + prefixed(second).size() + prefixed(third).size();
  EXPECT_EQ(header(r.headers(), "_records"), "4");
  EXPECT_EQ(header(r.headers(), "_bytes_raw"), to_decimal(raw));
  EXPECT_EQ(header(r.headers(), "_compression_level"), "-5");
  EXPECT_EQ(header(r.headers(), "_compression"), "zstd");
  const std::string expected_frames =
      str_cat("7,0,", r.frames()[0].len, ",", to_hex16(xxh64(first_frame)), ";7,",
              r.frames()[1].offset, ",", r.frames()[1].len, ",", to_hex16(r.frames()[1].hash),
              ";8,", r.frames()[2].offset, ",", r.frames()[2].len, ",",
              to_hex16(r.frames()[2].hash));
  EXPECT_EQ(header(r.headers(), "_frames"), expected_frames);
  const std::vector<Bytes> expected = {prefixed(first), prefixed(second), prefixed(third)};
  for (std::uint64_t i = 0; i < 3; ++i) {
    auto back = r.read_frame_at(i);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, expected[i]);
  }
}

TEST_F(CloseFrameTest, EmptyTailChangesNothing) {
  Container c = create(pair_schema());
  const Bytes before = read_file(path_);
  const std::vector<Headers::Pair> headers_before = c.headers().pairs();
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(c.close_frame(1, 3).has_value());
    EXPECT_TRUE(c.frames().empty());
    EXPECT_EQ(read_file(path_), before);
    EXPECT_EQ(c.headers().pairs(), headers_before);
    EXPECT_FALSE(journal_exists());
  }
  // And after a close, a second close with nothing new leaves the closed state alone.
  append(c, {pair_record(1, 1)});
  ASSERT_TRUE(c.close_frame(1, 3).has_value());
  const Bytes closed = read_file(path_);
  const std::vector<Headers::Pair> headers_closed = c.headers().pairs();
  ASSERT_TRUE(c.close_frame(2, 0).has_value());
  EXPECT_EQ(c.frames().size(), 1u);
  EXPECT_EQ(read_file(path_), closed);
  EXPECT_EQ(c.headers().pairs(), headers_closed);
}

TEST_F(CloseFrameTest, BufferedRecordsAreWrittenThenClosed) {
  Container c = create(pair_schema());
  const std::vector<Bytes> bodies = {pair_record(1, 0.5), pair_record(2, 0.25)};
  append(c, bodies);
  ASSERT_EQ(c.buffered_bytes(), 24u);
  ASSERT_EQ(read_file(path_).size(), c.data_start());  // nothing on disk yet
  ASSERT_TRUE(c.close_frame(3, 0).has_value());
  EXPECT_EQ(c.buffered_bytes(), 0u);
  EXPECT_EQ(slice(read_file(path_), c.data_start(), c.data_end()), concat(bodies));
}

TEST_F(CloseFrameTest, TailPartlyOnDiskPartlyBufferedBecomesOneFrame) {
  std::vector<Bytes> bodies;
  {
    Container c = create(pair_schema());
    for (std::uint32_t i = 0; i < 10; ++i) bodies.push_back(pair_record(i, i));
    append(c, bodies);
  }  // destruction writes the buffer
  Container c = open_append();
  EXPECT_EQ(c.records(), 10u);
  std::vector<Bytes> more = {pair_record(100, 1.5)};
  append(c, more);
  ASSERT_TRUE(c.close_frame(5, 3).has_value());
  bodies.push_back(more[0]);
  auto back = c.read_frame(5);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, concat(bodies));
  EXPECT_EQ(header(c.headers(), "_records"), "11");
  EXPECT_EQ(header(c.headers(), "_bytes_raw"), "132");
}

TEST_F(CloseFrameTest, LevelZeroThenLevelThree) {
  Container c = create(blob_schema());
  const std::vector<Bytes> a = {patterned(500, 3)};
  const std::vector<Bytes> b = {patterned(500, 4)};
  append(c, a);
  ASSERT_TRUE(c.close_frame(1, 0).has_value());
  EXPECT_EQ(header(c.headers(), "_compression"), "none");
  EXPECT_EQ(header(c.headers(), "_compression_level"), "0");
  EXPECT_EQ(slice(read_file(path_), c.data_start(), c.data_end()), prefixed(a));

  append(c, b);
  ASSERT_TRUE(c.close_frame(2, 3).has_value());
  EXPECT_EQ(header(c.headers(), "_compression"), "zstd");
  EXPECT_EQ(header(c.headers(), "_compression_level"), "3");
  const Bytes file = read_file(path_);
  // The first frame stays raw; the second is a zstd frame.
  EXPECT_EQ(slice(file, c.data_start(), c.data_start() + c.frames()[0].len), prefixed(a));
  EXPECT_TRUE(starts_with_zstd_magic(ByteView(file).subspan(c.data_start() + c.frames()[1].offset)));
  EXPECT_EQ(*c.read_frame_at(0), prefixed(a));
  EXPECT_EQ(*c.read_frame_at(1), prefixed(b));
}

TEST_F(CloseFrameTest, LevelZeroRecordsThatStartWithTheZstdMagicReadBack) {
  // Fixed 4-byte records whose first record is the zstd magic: stored raw they would be taken
  // for a zstd frame and could never be read.
  const Schema schema{"magic", {{"m", "u32", 0}}, RecordLayout::fixed(4)};
  const std::vector<Bytes> bodies = {Bytes{0x28, 0xB5, 0x2F, 0xFD}, Bytes{1, 2, 3, 4},
                                     Bytes{0x28, 0xB5, 0x2F, 0xFD}};
  {
    Container c = create(schema);
    append(c, bodies);
    ASSERT_TRUE(c.close_frame(1, 0).has_value());
    // The caller's policy is what the headers record.
    EXPECT_EQ(header(c.headers(), "_compression"), "none");
    EXPECT_EQ(header(c.headers(), "_compression_level"), "0");
    const Bytes stored = slice(read_file(path_), c.data_start(), c.data_end());
    EXPECT_TRUE(starts_with_zstd_magic(stored));
    EXPECT_NE(stored, concat(bodies));
    EXPECT_EQ(c.frames()[0].hash, xxh64(stored));
  }
  Container r = open_read();
  auto back = r.read_frame(1);
  ASSERT_TRUE(back.has_value()) << back.error().to_string();
  EXPECT_EQ(*back, concat(bodies));
}

TEST_F(CloseFrameTest, ReadOnlyContainerRefusesCloseAndSeal) {
  { Container c = create(pair_schema()); append(c, {pair_record(1, 1)}); }
  const Bytes before = read_file(path_);
  Container r = open_read();
  for (bool seal : {false, true}) {
    auto s = seal ? r.seal(1, 3) : r.close_frame(1, 3);
    ASSERT_FALSE(s.has_value());
    EXPECT_EQ(s.error().kind(), Kind::Usage);
    EXPECT_EQ(s.error().message(), "file is open read-only");
  }
  EXPECT_EQ(read_file(path_), before);
  EXPECT_EQ(header(r.headers(), "_sealed"), "false");
}

TEST_F(CloseFrameTest, PreviewIsWrittenByTheFirstCloseOnly) {
  Container c = create(pair_schema());
  EXPECT_EQ(header(c.headers(), "_preview"), "");
  append(c, {pair_record(7, 1.0), pair_record(8, 2.5)});
  ASSERT_TRUE(c.close_frame(1, 3).has_value());
  EXPECT_EQ(header(c.headers(), "_preview"), "7,1;8,2.5");
  append(c, {pair_record(9, 9.75)});
  ASSERT_TRUE(c.close_frame(2, 3).has_value());
  EXPECT_EQ(header(c.headers(), "_preview"), "7,1;8,2.5");
  Container r = open_read();
  EXPECT_EQ(header(r.headers(), "_preview"), "7,1;8,2.5");
  // The preview keeps the position create gave it.
  const auto& pairs = r.headers().pairs();
  ASSERT_GE(pairs.size(), 14u);
  EXPECT_EQ(pairs[12].first, "_preview");
}

TEST_F(CloseFrameTest, EmptyPreviewIsRecomputedByTheNextClose) {
  // A first frame whose records have no fields renders an empty preview: the key is set (to
  // empty), and the next close tries again.
  Container c = create(blob_schema());
  append(c, {Bytes{1}});
  ASSERT_TRUE(c.close_frame(1, 3).has_value());
  EXPECT_EQ(header(c.headers(), "_preview"), "");
  append(c, {Bytes{2}, Bytes{3}});
  ASSERT_TRUE(c.close_frame(2, 3).has_value());
  EXPECT_EQ(header(c.headers(), "_preview"), ";");
}

TEST_F(CloseFrameTest, MissingPreviewKeyIsAppendedAtTheEnd) {
  std::uint32_t area = 0;
  {
    Container c = create(pair_schema());
    area = c.preamble().header_area;
  }
  // Rewrite the zone without the _preview key, as an older writer might have left it.
  auto peeked = peek_headers(path_);
  ASSERT_TRUE(peeked.has_value());
  Headers without;
  for (const auto& [k, v] : peeked->headers.pairs()) {
    if (k != "_preview") {
      ASSERT_TRUE(without.set(k, v).has_value());
    }
  }
  auto zone = without.render(area);
  ASSERT_TRUE(zone.has_value());
  Bytes file = read_file(path_);
  std::copy(zone->begin(), zone->end(), file.begin() + 16);
  write_file(path_, file);

  Container c = open_append();
  ASSERT_FALSE(c.headers().get("_preview").has_value());
  append(c, {pair_record(3, 0.125)});
  ASSERT_TRUE(c.close_frame(1, 3).has_value());
  Container r = open_read();
  const auto& pairs = r.headers().pairs();
  ASSERT_EQ(pairs.size(), without.size() + 1);
  EXPECT_EQ(pairs.back(), (Headers::Pair{"_preview", "3,0.125"}));
}

TEST_F(CloseFrameTest, ZoneTooSmallFailsBeforeAnyJournalOrFrameWrite) {
  // The smallest zone the fresh headers fit in.
  auto probe = Container::create(path_, pair_schema(), "test", "writer", 0, 1, {});
  ASSERT_FALSE(probe.has_value());
  ASSERT_EQ(probe.error().kind(), Kind::ZoneFull);
  const auto area = static_cast<std::uint32_t>(probe.error().need());
  std::filesystem::remove(path_);

  FaultEnv faults;
  ScopedEnv installed(faults);
  Container c = create(pair_schema(), area);
  const std::vector<Bytes> bodies = {pair_record(1, 1), pair_record(2, 2)};
  append(c, bodies);
  const std::vector<Headers::Pair> headers_before = c.headers().pairs();
  faults.reset();
  auto s = c.close_frame(1, 3);
  ASSERT_FALSE(s.has_value());
  EXPECT_EQ(s.error().kind(), Kind::ZoneFull);
  EXPECT_EQ(s.error().have(), area);
  EXPECT_GT(s.error().need(), area);

  // Only the buffer reached the file: no journal was opened, nothing cut or synced.
  EXPECT_EQ(faults.count(FaultEnv::Op::Open), 0u);
  EXPECT_EQ(faults.count(FaultEnv::Op::Write), 1u);
  EXPECT_EQ(faults.count(FaultEnv::Op::Truncate), 0u);
  EXPECT_EQ(faults.count(FaultEnv::Op::Sync), 0u);
  EXPECT_FALSE(journal_exists());
  EXPECT_TRUE(c.frames().empty());
  EXPECT_EQ(c.headers().pairs(), headers_before);
  EXPECT_EQ(c.frame_records(), 0u);
  EXPECT_EQ(c.records(), 2u);
  const Bytes file = read_file(path_);
  EXPECT_EQ(slice(file, c.data_start(), file.size()), concat(bodies));
  auto tail = c.read_tail();
  ASSERT_TRUE(tail.has_value());
  EXPECT_EQ(*tail, concat(bodies));
  // The container stays usable: more records, and the same refusal.
  append(c, {pair_record(3, 3)});
  EXPECT_EQ(c.close_frame(1, 3).error().kind(), Kind::ZoneFull);
  EXPECT_EQ(c.records(), 3u);
}

TEST_F(CloseFrameTest, SealOnEmptyTailRewritesOnlyTheZone) {
  Container c = create(pair_schema());
  const Bytes before = read_file(path_);
  Headers expected = c.headers();
  ASSERT_TRUE(expected.set("_sealed", "true").has_value());
  auto zone = expected.render(c.preamble().header_area);
  ASSERT_TRUE(zone.has_value());

  ASSERT_TRUE(c.seal(5, 3).has_value());
  EXPECT_TRUE(c.frames().empty());
  EXPECT_EQ(header(c.headers(), "_sealed"), "true");
  Bytes want = before;
  std::copy(zone->begin(), zone->end(), want.begin() + 16);
  EXPECT_EQ(read_file(path_), want);
  EXPECT_FALSE(journal_exists());
}

TEST_F(CloseFrameTest, SealClosesTheTailAndMarksTheFile) {
  const std::vector<Bytes> bodies = {pair_record(1, 1.5), pair_record(2, -2.5)};
  {
    Container c = create(pair_schema());
    append(c, bodies);
    ASSERT_TRUE(c.seal(9, 19).has_value());
    // Sealing is only a header value: appending and closing go on.
    append(c, {pair_record(3, 3)});
    ASSERT_TRUE(c.close_frame(10, 3).has_value());
  }
  Container r = open_read();
  EXPECT_EQ(header(r.headers(), "_sealed"), "true");
  EXPECT_EQ(header(r.headers(), "_records"), "3");
  ASSERT_EQ(r.frames().size(), 2u);
  EXPECT_EQ(*r.read_frame(9), concat(bodies));
  EXPECT_EQ(*r.read_frame(10), pair_record(3, 3));
}

TEST_F(CloseFrameTest, SealReportsTheZoneRewriteFailure) {
  FaultEnv faults;
  ScopedEnv installed(faults);
  Container c = create(pair_schema());
  append(c, {pair_record(1, 1)});
  faults.reset();
  // Syncs: the journal's, the splice's, then the zone rewrite's.
  faults.fail_nth(FaultEnv::Op::Sync, 3, EIO);
  auto s = c.seal(1, 3);
  ASSERT_FALSE(s.has_value());
  EXPECT_EQ(s.error(), Error::io(EIO));
  EXPECT_EQ(c.frames().size(), 1u);
  EXPECT_EQ(header(c.headers(), "_sealed"), "true");
}

// ---------------------------------------------------------------------------------------------
// Crashes and faults

// The file before and after one close, and the journal that close writes.
struct ClosePair {
  Bytes before;
  Bytes after;
  std::uint64_t tail_at = 0;
  Bytes zone;
  Bytes frame;
  Bytes records;
};

ClosePair make_close(const std::string& path, std::int32_t level) {
  ClosePair cp;
  std::vector<Bytes> first = {patterned(100, 1), Bytes{}};
  std::vector<Bytes> second = {patterned(2000, 2), patterned(3, 3), Bytes{0x28, 0xB5}};
  {
    auto c = Container::create(path, blob_schema(), "t", "w", 0, 4096, {});
    EXPECT_TRUE(c.has_value());
    for (const Bytes& b : first) EXPECT_TRUE(c->append_record(b).has_value());
    EXPECT_TRUE(c->close_frame(1, 3).has_value());
    for (const Bytes& b : second) EXPECT_TRUE(c->append_record(b).has_value());
    EXPECT_TRUE(c->flush_data().has_value());
    cp.before = read_file(path);
    cp.tail_at = c->tail_start();
    EXPECT_TRUE(c->close_frame(2, level).has_value());
    cp.after = read_file(path);
    const std::uint64_t area = c->preamble().header_area;
    cp.zone = slice(cp.after, 16, 16 + area);
    cp.frame = slice(cp.after, cp.tail_at, cp.after.size());
  }
  cp.records = prefixed(second);
  return cp;
}

TEST_F(CloseFrameTest, CrashAfterTheJournalIsDurableIsCompletedByOpenAppend) {
  for (std::int32_t level : {0, 3}) {
    std::filesystem::remove(path_);
    const ClosePair cp = make_close(path_, level);
    // Data file states a crash can leave while the journal is valid.
    struct State {
      const char* name;
      Bytes file;
    };
    Bytes frame_no_cut = cp.before;
    std::copy(cp.frame.begin(), cp.frame.end(), frame_no_cut.begin() + cp.tail_at);
    Bytes zone_only = cp.before;
    std::copy(cp.zone.begin(), cp.zone.end(), zone_only.begin() + 16);
    const State states[] = {
        {"untouched", cp.before},
        {"frame written, not cut", frame_no_cut},
        {"frame written and cut", slice(frame_no_cut, 0, cp.tail_at + cp.frame.size())},
        {"zone written only", zone_only},
        {"fully spliced", cp.after},
    };
    // Level 0 frames are the tail itself; compressed ones are shorter.
    ASSERT_GE(cp.before.size(), cp.tail_at + cp.frame.size());
    for (const State& st : states) {
      SCOPED_TRACE(testing::Message() << "level " << level << ": " << st.name);
      write_file(path_, st.file);
      ASSERT_TRUE(write_journal(path_, cp.tail_at, cp.zone, cp.frame).has_value());
      Container c = open_append();
      EXPECT_FALSE(journal_exists());
      EXPECT_EQ(read_file(path_), cp.after);
      ASSERT_EQ(c.frames().size(), 2u);
      EXPECT_EQ(c.records(), 5u);
      auto back = c.read_frame(2);
      ASSERT_TRUE(back.has_value());
      EXPECT_EQ(*back, cp.records);
    }
  }
}

TEST_F(CloseFrameTest, CrashWhileWritingTheJournalKeepsTheOldState) {
  const ClosePair cp = make_close(path_, 3);
  // The journal image cut short, as a crash during its write leaves it.
  ASSERT_TRUE(write_journal(path_, cp.tail_at, cp.zone, cp.frame).has_value());
  Bytes journal = read_file(journal_path(path_));
  ASSERT_GT(journal.size(), 7u);
  journal.erase(journal.end() - 7, journal.end());
  write_file(path_, cp.before);
  write_file(journal_path(path_), journal);

  Container c = open_append();
  EXPECT_FALSE(journal_exists());
  EXPECT_EQ(read_file(path_), cp.before);
  EXPECT_EQ(c.frames().size(), 1u);
  EXPECT_EQ(c.records(), 5u);  // two in the frame, three in the tail
  auto tail = c.read_tail();
  ASSERT_TRUE(tail.has_value());
  EXPECT_EQ(*tail, cp.records);
  // The close can simply be done again.
  ASSERT_TRUE(c.close_frame(2, 3).has_value());
  EXPECT_EQ(read_file(path_), cp.after);
}

TEST_F(CloseFrameTest, SpliceFailureBreaksTheContainerAndOpenAppendCompletesTheClose) {
  struct Case {
    const char* name;
    FaultEnv::Op op;
    std::uint64_t nth;  // counted from the start of the close; the buffer was flushed before
  };
  const Case cases[] = {
      {"frame write", FaultEnv::Op::Write, 2},  // the journal's write is the first
      {"cut", FaultEnv::Op::Truncate, 1},
      {"zone write", FaultEnv::Op::Write, 3},
      {"sync", FaultEnv::Op::Sync, 2},  // the journal's sync is the first
  };
  const std::vector<Bytes> bodies = {patterned(5000, 8), Bytes{}, Bytes{1}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    std::filesystem::remove(path_);
    {
      FaultEnv faults;
      ScopedEnv installed(faults);
      Container c = create(blob_schema());
      append(c, bodies);
      ASSERT_TRUE(c.flush_data().has_value());
      faults.reset();
      faults.fail_nth(k.op, k.nth, EIO);
      auto s = c.close_frame(4, 3);
      ASSERT_FALSE(s.has_value());
      EXPECT_EQ(s.error(), Error::io(EIO));
      EXPECT_TRUE(journal_exists());
      // Memory is the old state; every write is refused from now on.
      EXPECT_TRUE(c.frames().empty());
      EXPECT_EQ(c.frame_records(), 0u);
      const std::string before_refusals = std::string(as_text(read_file(path_)));
      for (int op = 0; op < 5; ++op) {
        Status r;
        switch (op) {
          case 0: r = c.append_record(Bytes{1}); break;
          case 1: r = c.close_frame(5, 3); break;
          case 2: r = c.seal(5, 3); break;
          case 3: r = c.flush_headers(); break;
          case 4: r = c.set_user_header("k", "v"); break;
        }
        ASSERT_FALSE(r.has_value()) << op;
        EXPECT_EQ(r.error().kind(), Kind::Usage);
        EXPECT_EQ(r.error().message(), kBrokenMessage);
      }
      EXPECT_EQ(c.records(), 3u);
      EXPECT_EQ(std::string(as_text(read_file(path_))), before_refusals);
    }
    EXPECT_TRUE(journal_exists());
    Container c = open_append();
    EXPECT_FALSE(journal_exists());
    ASSERT_EQ(c.frames().size(), 1u);
    EXPECT_EQ(c.frames()[0].id, 4u);
    EXPECT_EQ(c.records(), 3u);
    EXPECT_EQ(header(c.headers(), "_records"), "3");
    auto back = c.read_frame(4);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, prefixed(bodies));
    EXPECT_EQ(read_file(path_).size(), c.data_start() + c.frames()[0].len);
  }
}

TEST_F(CloseFrameTest, JournalThatWillNotGoAwayStopsFurtherWrites) {
  FaultEnv faults;
  ScopedEnv installed(faults);
  Container c = create(pair_schema());
  append(c, {pair_record(1, 1)});
  faults.reset();
  faults.fail_from_next(FaultEnv::Op::Unlink, EACCES);
  // The close itself succeeded.
  ASSERT_TRUE(c.close_frame(1, 3).has_value());
  EXPECT_EQ(faults.count(FaultEnv::Op::Unlink), 2u);  // one retry
  EXPECT_TRUE(journal_exists());
  ASSERT_EQ(c.frames().size(), 1u);
  EXPECT_EQ(*c.read_frame(1), pair_record(1, 1));
  // Records appended now would be cut off by the replay of the stale journal: refused.
  auto s = c.append_record(pair_record(2, 2));
  ASSERT_FALSE(s.has_value());
  EXPECT_EQ(s.error().message(), kBrokenMessage);
}

TEST_F(CloseFrameTest, JournalRemovedOnRetryKeepsTheContainerUsable) {
  FaultEnv faults;
  ScopedEnv installed(faults);
  Container c = create(pair_schema());
  append(c, {pair_record(1, 1)});
  faults.reset();
  faults.fail_nth(FaultEnv::Op::Unlink, 1, EBUSY);
  ASSERT_TRUE(c.close_frame(1, 3).has_value());
  EXPECT_EQ(faults.count(FaultEnv::Op::Unlink), 2u);
  EXPECT_FALSE(journal_exists());
  append(c, {pair_record(2, 2)});
  ASSERT_TRUE(c.close_frame(2, 3).has_value());
  EXPECT_EQ(c.frames().size(), 2u);
}

TEST_F(CloseFrameTest, FailuresBeforeTheSpliceLeaveTheDataFileAlone) {
  struct Case {
    const char* name;
    FaultEnv::Op op;
    std::uint64_t nth;
    bool after;
    bool buffered;  // whether the records are still in the buffer when the close starts
  };
  const Case cases[] = {
      {"buffer write", FaultEnv::Op::Write, 1, false, true},
      {"tail read", FaultEnv::Op::Read, 1, false, false},
      {"journal create", FaultEnv::Op::Open, 1, true, false},
      {"journal write", FaultEnv::Op::Write, 1, false, false},
      {"journal sync", FaultEnv::Op::Sync, 1, false, false},
  };
  const std::vector<Bytes> bodies = {pair_record(1, 1), pair_record(2, 2)};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    std::filesystem::remove(path_);
    FaultEnv faults;
    ScopedEnv installed(faults);
    Container c = create(pair_schema());
    append(c, bodies);
    if (!k.buffered) {
      ASSERT_TRUE(c.flush_data().has_value());
    }
    const Bytes before = read_file(path_);
    const std::uint64_t data_end = c.data_end();
    const std::size_t buffered = c.buffered_bytes();
    faults.reset();
    faults.fail_nth(k.op, k.nth, EIO, k.after);
    auto s = c.close_frame(1, 3);
    ASSERT_FALSE(s.has_value());
    EXPECT_EQ(s.error().kind(), Kind::Io);
    if (k.op == FaultEnv::Op::Open) {
      EXPECT_EQ(s.error().path(), journal_path(path_));
    } else {
      EXPECT_FALSE(s.error().path().has_value());
    }
    EXPECT_EQ(read_file(path_), before);
    EXPECT_EQ(c.data_end(), data_end);
    EXPECT_EQ(c.buffered_bytes(), buffered);
    EXPECT_TRUE(c.frames().empty());
    // A journal whose write reported failure is not left for the next opener to replay.
    EXPECT_FALSE(journal_exists());

    // Nothing is broken: once the fault is gone the close goes through.
    faults.clear(k.op);
    ASSERT_TRUE(c.close_frame(1, 3).has_value());
    EXPECT_EQ(*c.read_frame(1), concat(bodies));
  }
}

TEST_F(CloseFrameTest, UnremovableJournalAfterAFailedJournalWriteStopsWrites) {
  FaultEnv faults;
  ScopedEnv installed(faults);
  Container c = create(pair_schema());
  append(c, {pair_record(1, 1)});
  ASSERT_TRUE(c.flush_data().has_value());
  const Bytes before = read_file(path_);
  faults.reset();
  faults.fail_nth(FaultEnv::Op::Sync, 1, EIO);  // the journal's sync
  faults.fail_from_next(FaultEnv::Op::Unlink, EACCES);
  auto s = c.close_frame(1, 3);
  ASSERT_FALSE(s.has_value());
  EXPECT_EQ(s.error(), Error::io(EIO));
  // The journal is complete on disk: appending now would lose records at its replay.
  EXPECT_TRUE(journal_exists());
  EXPECT_EQ(read_file(path_), before);
  auto r = c.append_record(pair_record(2, 2));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(), kBrokenMessage);
}

// ---------------------------------------------------------------------------------------------
// Preview

Bytes u64_bytes(std::uint64_t v) {
  Bytes b(8);
  store_u64le(b.data(), v);
  return b;
}

struct PreviewCase {
  const char* name;
  Schema schema;
  Bytes tail;
  std::string expected;
};

Bytes f64_record(double v) { return u64_bytes(std::bit_cast<std::uint64_t>(v)); }

std::vector<PreviewCase> preview_cases() {
  const Schema f64s{"f", {{"x", "f64", 0}}, RecordLayout::fixed(8)};
  auto f64_case = [&](const char* name, double v, std::string expected) {
    return PreviewCase{name, f64s, f64_record(v), std::move(expected)};
  };
  const Schema all{"all",
                   {{"a", "u8", 0}, {"b", "u16", 1}, {"c", "u32", 3}, {"d", "u64", 7},
                    {"e", "i64", 15}, {"f", "uuid", 23}},
                   RecordLayout::fixed(39)};
  Bytes all_record(39);
  all_record[0] = 255;
  store_u16le(all_record.data() + 1, 65535);
  store_u32le(all_record.data() + 3, 4294967295u);
  store_u64le(all_record.data() + 7, UINT64_MAX);
  store_u64le(all_record.data() + 15, static_cast<std::uint64_t>(INT64_MIN));
  for (int i = 0; i < 16; ++i) all_record[23 + i] = static_cast<std::uint8_t>(i * 17 + 10);
  Bytes small_values(39);
  all_record.insert(all_record.end(), small_values.begin(), small_values.end());
  Bytes negative(39);
  store_u64le(negative.data() + 15, static_cast<std::uint64_t>(std::int64_t{-42}));
  all_record.insert(all_record.end(), negative.begin(), negative.end());

  // Fields at the very edge of a 4-byte prefixed record, and past it.
  const Schema edges{"edges",
                     {{"a", "u8", 3}, {"b", "u8", 4}, {"c", "u16", 2}, {"d", "u16", 3},
                      {"e", "u32", 0}, {"f", "u32", 1}, {"g", "u64", 0}, {"h", "uuid", 0},
                      {"i", "float", 0}, {"j", "", 0}, {"k", "U8", 0}, {"l", "u8", 4294967295u}}};

  std::string long_first;  // a row above 1024 bytes on its own: still kept
  Bytes wide;
  Schema wide_schema{"wide", {}, RecordLayout::fixed(16)};
  for (int i = 0; i < 40; ++i) wide_schema.fields.push_back({"u" + std::to_string(i), "uuid", 0});
  for (int rec = 0; rec < 2; ++rec) {
    for (int i = 0; i < 16; ++i) wide.push_back(static_cast<std::uint8_t>(0xA0 + i));
  }
  for (int i = 0; i < 40; ++i) {
    if (i > 0) long_first += ',';
    long_first += "a0a1a2a3a4a5a6a7a8a9aaabacadaeaf";
  }

  return {
      {"pairs", pair_schema(), concat({pair_record(7, 1.0), pair_record(8, 2.5)}), "7,1;8,2.5"},
      {"four records show three", pair_schema(),
       concat({pair_record(1, 1), pair_record(2, 2), pair_record(3, 3), pair_record(4, 4)}),
       "1,1;2,2;3,3"},
      {"no fields", blob_schema(), prefixed({Bytes{1}, Bytes{}, Bytes{2, 3}, Bytes{4}}), ";;"},
      {"no fields two records", blob_schema(), prefixed({Bytes{1}, Bytes{}}), ";"},
      {"one empty row", blob_schema(), prefixed({Bytes{}}), ""},
      {"empty tail", pair_schema(), Bytes{}, ""},
      {"torn tail only", pair_schema(), Bytes{1, 2, 3}, ""},
      {"whole record then torn", pair_schema(), concat({pair_record(5, 0.5), Bytes{1, 2}}),
       "5,0.5"},
      {"every integer type and uuid", all, all_record,
       "255,65535,4294967295,18446744073709551615,-9223372036854775808,"
       "0a1b2c3d4e5f708192a3b4c5d6e7f809;"
       "0,0,0,0,0,00000000000000000000000000000000;"
       "0,0,0,0,-42,00000000000000000000000000000000"},
      {"edges", edges, prefixed({Bytes{1, 2, 3, 4}}), "4,?,1027,?,67305985,?,?,?,?,?,?,?"},
      {"empty prefixed record", edges, prefixed({Bytes{}}), "?,?,?,?,?,?,?,?,?,?,?,?"},
      {"first row over 1024 kept alone", wide_schema, wide, long_first},
      {"f64 rows", f64s, concat({f64_record(1), f64_record(2.5), f64_record(-3)}), "1;2.5;-3"},
      f64_case("one", 1.0, "1"),
      f64_case("half", 0.5, "0.5"),
      f64_case("negative zero", -0.0, "-0"),
      f64_case("zero", 0.0, "0"),
      f64_case("tenth", 0.1, "0.1"),
      f64_case("third", 1.0 / 3.0, "0.3333333333333333"),
      f64_case("large integral", 123456789012345680.0, "123456789012345680"),
      f64_case("1e21", 1e21, "1000000000000000000000"),
      f64_case("1e300", 1e300, "1" + std::string(300, '0')),
      f64_case("1e-7", 1e-7, "0.0000001"),
      f64_case("denormal min", 5e-324, "0." + std::string(323, '0') + "5"),
      f64_case("max", std::numeric_limits<double>::max(),
               "179769313486231570" + std::string(291, '0')),
      f64_case("lowest normal negative", -2.2250738585072014e-308,
               "-0." + std::string(307, '0') + "22250738585072014"),
      f64_case("1e22", 1e22, "10000000000000000000000"),
      f64_case("2^53 + 1 rounds", 9007199254740993.0, "9007199254740992"),
      f64_case("sum", 0.1 + 0.2, "0.30000000000000004"),
      f64_case("mixed", -123.456, "-123.456"),
      f64_case("1e-5", 1e-5, "0.00001"),
      f64_case("nan", std::numeric_limits<double>::quiet_NaN(), "NaN"),
      f64_case("negative nan", -std::numeric_limits<double>::quiet_NaN(), "NaN"),
      f64_case("inf", std::numeric_limits<double>::infinity(), "inf"),
      f64_case("-inf", -std::numeric_limits<double>::infinity(), "-inf"),
  };
}

TEST(RenderPreview, ValueTextsAndRows) {
  for (const PreviewCase& pc : preview_cases()) {
    SCOPED_TRACE(pc.name);
    EXPECT_EQ(render_preview(pc.tail, pc.schema), pc.expected);
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
  struct Case {
    int n;
    std::uint64_t values[3];
    std::size_t full_length;
    bool whole;
  };
  const Case cases[] = {
      {25, {UINT64_MAX, 123456789, 987654321}, 1024, true},          // 25 * 41 - 1
      {27, {123456789012, 210987654321, 12345678901}, 1025, false},  // 27 * 38 - 1
      {25, {UINT64_MAX, 123456789, 9876543210}, 1049, false},
  };
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
