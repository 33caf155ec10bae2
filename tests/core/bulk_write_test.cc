// The bulk paths: the thread pool, bulk writes cut into frames and spliced in batches, and the
// checked parallel decoding of frames into one buffer.
#include "core/bulk_write.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "core/container.h"
#include "core/frame_read.h"
#include "core/hash.h"
#include "core/journal.h"
#include "core/maintenance.h"
#include "core/numbers.h"
#include "core/str_cat.h"
#include "core/thread_pool.h"
#include "tests/core/test_util.h"

namespace drelix {
namespace {

using test::all_records;
using test::DirTest;

TEST(ThreadPoolTest, RunsEveryIndexOnceAndStopsHandingOutAfterAFailure) {
  for (const std::size_t threads : {1u, 2u, 5u}) {
    std::vector<std::atomic<int>> seen(1000);
    std::atomic<std::size_t> max_slot{0};
    ThreadPool::shared().run(seen.size(), threads, [&](std::size_t i, std::size_t slot) {
      seen[i].fetch_add(1);
      std::size_t m = max_slot.load();
      while (slot > m && !max_slot.compare_exchange_weak(m, slot)) {
      }
      return true;
    });
    for (std::size_t i = 0; i < seen.size(); ++i) ASSERT_EQ(seen[i].load(), 1) << i;
    EXPECT_LT(max_slot.load(), threads);
  }
  // The lowest failing index is the one reported, and indices far past it never run.
  std::atomic<std::size_t> ran{0};
  const Status status = run_tasks(100000, 3, [&](std::size_t i, std::size_t) -> Status {
    ran.fetch_add(1);
    if (i == 40 || i == 41) return fail(Error::usage(str_cat("task ", i)));
    return {};
  });
  test::expect_error(status, Error::Kind::Usage, "task 40");
  EXPECT_LT(ran.load(), 1000u);
}

struct BulkCase {
  const char* name;
  bool prefixed;
  std::size_t tail;  // raw records appended before the bulk write
  std::size_t records;
  BulkOptions options;
  std::vector<std::uint64_t> frame_records;  // records per frame the write must cut
};

// Body i: 4 bytes of i and, under the prefixed layout, i % 9 bytes more.
Bytes body(bool prefixed, std::size_t i) {
  Bytes b = test::u32_records(static_cast<std::uint32_t>(i), 1);
  if (prefixed) b.resize(4 + i % 9, static_cast<std::uint8_t>(i));
  return b;
}

class BulkWriteTest : public DirTest, public ::testing::WithParamInterface<BulkCase> {};

// The file a bulk write leaves is byte for byte the one that appending the same records and
// closing the same frames one by one leaves (zone, preview and counters included), and it
// validates clean and reads back.
TEST_P(BulkWriteTest, WritesTheFileFrameByFrameClosesWould) {
  const BulkCase& c = GetParam();
  const Schema schema = c.prefixed ? test::blob_schema() : test::quad_schema();
  const std::string reference = dir_.file("reference.drelix");
  std::vector<Bytes> bodies;
  for (std::size_t i = 0; i < c.records; ++i) bodies.push_back(body(c.prefixed, 1000 + i));
  std::vector<Bytes> want;
  for (const std::string& path : {path_, reference}) {
    auto created = Container::create(path, schema, "", "", 0, 8192, {});
    ASSERT_TRUE(created.has_value());
    Container k = std::move(*created);
    want.clear();
    for (std::size_t i = 0; i <= c.tail; ++i) {
      want.push_back(body(c.prefixed, i));
      ASSERT_TRUE(k.append_record(want.back()));
      if (i == 0) {
        ASSERT_TRUE(k.close_frame(7, 1));  // ids continue after the largest
      }
    }
    if (path == reference) {
      std::uint64_t id = 8;
      if (c.tail > 0) {
        ASSERT_TRUE(k.close_frame(id++, c.options.level));
      }
      std::size_t next = 0;
      for (const std::uint64_t n : c.frame_records) {
        for (std::uint64_t r = 0; r < n; ++r) ASSERT_TRUE(k.append_record(bodies[next++]));
        ASSERT_TRUE(k.close_frame(id++, c.options.level));
      }
      continue;
    }
    const std::vector<ByteView> views(bodies.begin(), bodies.end());
    const Bytes joined = test::concat(bodies);
    auto added = c.prefixed ? bulk_write_bodies(k, views, 8, c.options)
                            : bulk_write_fixed(k, joined, 8, c.options);
    ASSERT_TRUE(added.has_value()) << added.error().to_string();
    ASSERT_EQ(added->size(), (c.tail > 0 ? 1 : 0) + c.frame_records.size());
    EXPECT_TRUE(std::equal(added->begin(), added->end(), k.frames().begin() + 1));
    EXPECT_EQ(k.records(), want.size() + bodies.size());
  }
  want.insert(want.end(), bodies.begin(), bodies.end());
  EXPECT_TRUE(test::read_file(path_) == test::read_file(reference));
  EXPECT_FALSE(test::exists(journal_path(path_)));
  auto report = validate(path_);
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(report->problems, std::vector<std::string>{});
  auto reopened = Container::open_append(path_);
  ASSERT_TRUE(reopened.has_value());
  EXPECT_EQ(all_records(*reopened).value(), want);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Cases, BulkWriteTest,
    ::testing::Values(
        BulkCase{"fixed_by_records", false, 0, 10, {.frame_records = 4, .level = 3, .threads = 2},
                 {4, 4, 2}},
        BulkCase{"fixed_by_bytes_after_a_tail", false, 3, 10,
                 {.frame_records = 100, .frame_bytes = 13, .level = 0, .threads = 3}, {3, 3, 3, 1}},
        // A frame never passes frame_bytes unless one record alone does.
        BulkCase{"prefixed_by_bytes", true, 0, 6, {.frame_bytes = 20, .level = 1, .threads = 2},
                 {2, 2, 1, 1}},
        BulkCase{"prefixed_by_records_after_a_tail", true, 2, 7,
                 {.frame_records = 3, .level = 19, .threads = 1}, {3, 3, 1}}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// Enough incompressible data for several journaled batches, on more threads than frames in one
// batch: the frames must still be listed back to back in order and read back whole.
TEST_F(DirTest, ManyBatchesStayInOrder) {
  Bytes data(48u << 20);
  std::uint64_t x = 88172645463325252ULL;
  for (std::size_t i = 0; i + 8 <= data.size(); i += 8) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    store_u64le(data.data() + i, x);
  }
  auto created = Container::create(path_, test::quad_schema(), "", "", 0, 65536, {});
  ASSERT_TRUE(created.has_value());
  auto added =
      bulk_write_fixed(*created, data, 0, {.frame_bytes = 1u << 20, .level = 1, .threads = 3});
  ASSERT_TRUE(added.has_value()) << added.error().to_string();
  ASSERT_EQ(added->size(), 48u);
  std::uint64_t offset = 0;
  for (std::size_t f = 0; f < added->size(); ++f) {
    EXPECT_EQ((*added)[f].id, f);
    EXPECT_EQ((*added)[f].offset, offset);
    offset += (*added)[f].len;
  }
  const std::vector<FrameSlot> slots = [&] {
    std::vector<FrameSlot> s;
    for (std::size_t f = 0; f < added->size(); ++f) {
      s.push_back(FrameSlot{&created->frames()[f], f << 20, 1u << 20});
    }
    return s;
  }();
  Bytes back(data.size());
  ASSERT_TRUE(decode_frames_into(*created, slots, back, 3));
  EXPECT_TRUE(back == data);
}

TEST_F(DirTest, ParallelDecodeChecksEveryFrameAndReportsTheFirstFailure) {
  {
    auto created = Container::create(path_, test::quad_schema(), "", "", 0, 4096, {});
    ASSERT_TRUE(created.has_value());
    const Bytes records = test::u32_records(0, 3000);
    ASSERT_TRUE(
        bulk_write_fixed(*created, records, 0, {.frame_records = 1000, .level = 3, .threads = 2}));
  }
  auto opened = Container::open_read(path_);
  ASSERT_TRUE(opened.has_value());
  const std::vector<Frame> frames = opened->frames();
  ASSERT_EQ(frames.size(), 3u);
  for (const Frame& f : frames) {
    auto size = frame_content_size(*opened, f);
    ASSERT_TRUE(size.has_value());
    EXPECT_EQ(size->value_or(0), 4000u);
  }
  // Frames decoded in another order than listed, straight into their slots.
  const std::vector<FrameSlot> slots = {{&frames[2], 0, 4000}, {&frames[0], 4000, 4000}};
  Bytes out(8000);
  ASSERT_TRUE(decode_frames_into(*opened, slots, out, 2));
  EXPECT_EQ(out, test::concat({test::u32_records(2000, 1000), test::u32_records(0, 1000)}));
  test::expect_error(decode_frames_into(*opened, {{{&frames[0], 0, 3999}}}, out, 1),
                     Error::Kind::Malformed, "frame 0: content is 4000 bytes, expected 3999");

  // One flipped byte in frames 1 and 2: the error is frame 1's, with validation's wording.
  Bytes file = test::read_file(path_);
  for (const std::size_t f : {1u, 2u}) file[opened->data_start() + frames[f].offset + 20] ^= 0x40;
  test::write_file(path_, file);
  auto damaged = Container::open_read(path_);
  ASSERT_TRUE(damaged.has_value());
  const std::vector<FrameSlot> all = {
      {&frames[0], 0, 4000}, {&frames[1], 4000, 4000}, {&frames[2], 8000, 4000}};
  Bytes big(12000);
  const ByteView stored =
      ByteView(file).subspan(damaged->data_start() + frames[1].offset, frames[1].len);
  test::expect_error(decode_frames_into(*damaged, all, big, 3), Error::Kind::Malformed,
                     str_cat("frame 1: checksum mismatch, _frames says ", to_hex16(frames[1].hash),
                             ", the bytes hash to ", to_hex16(xxh64(stored))));
  test::expect_error(read_checked(*damaged, frames[2]), Error::Kind::Malformed,
                     str_cat("frame 2: checksum mismatch, _frames says ", to_hex16(frames[2].hash),
                             ", the bytes hash to ",
                             to_hex16(xxh64(ByteView(file).subspan(
                                 damaged->data_start() + frames[2].offset, frames[2].len)))));
}

TEST_F(DirTest, BulkWriteRefusals) {
  auto created = Container::create(path_, test::quad_schema(), "", "", 0, 4096, {});
  ASSERT_TRUE(created.has_value());
  const Bytes ragged(10);
  test::expect_error(bulk_write_fixed(*created, ragged, 0, {.frame_records = 2}),
                     Error::Kind::Usage, "10 bytes are not a whole number of 4-byte records");
  test::expect_error(bulk_write_fixed(*created, Bytes(8), 0, {}), Error::Kind::Usage,
                     "a bulk write needs frame_records or frame_bytes");
  const Bytes b(1);
  const std::vector<ByteView> bodies = {b};
  test::expect_error(bulk_write_bodies(*created, bodies, 0, {.frame_records = 2}),
                     Error::Kind::Usage, "the file's records are fixed, not length-prefixed");
  // A zone too small for the new frame list: nothing is written.
  const Bytes before = test::read_file(path_);
  auto tiny = bulk_write_fixed(*created, test::u32_records(0, 5000), 0,
                               {.frame_records = 1, .level = 1, .threads = 2});
  ASSERT_FALSE(tiny.has_value());
  EXPECT_EQ(tiny.error().kind(), Error::Kind::ZoneFull);
  EXPECT_EQ(test::read_file(path_), before);
  EXPECT_FALSE(test::exists(journal_path(path_)));
}

}  // namespace
}  // namespace drelix
