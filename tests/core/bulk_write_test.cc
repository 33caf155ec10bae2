// The thread pool and bulk writes: records cut into frames, compressed in parallel and spliced
// in journaled batches.
#include "core/bulk_write.h"

#include <atomic>

#include "core/frame_read.h"
#include "core/journal.h"
#include "core/str_cat.h"
#include "core/thread_pool.h"
#include "tests/core/test_util.h"

namespace drelix {
namespace {

using test::DirTest;

TEST(ThreadPoolTest, RunsEveryIndexOnceAndReportsTheLowestFailure) {
  for (const std::size_t threads : {1u, 5u}) {
    std::vector<std::atomic<int>> seen(1000);
    ThreadPool::shared().run(seen.size(), threads, [&](std::size_t i, std::size_t slot) {
      seen[i].fetch_add(slot < threads ? 1 : 100);
      return true;
    });
    for (std::size_t i = 0; i < seen.size(); ++i) ASSERT_EQ(seen[i].load(), 1) << i;
  }
  std::atomic<std::size_t> ran{0};
  const Status status = run_tasks(100000, 3, [&](std::size_t i, std::size_t) -> Status {
    ran.fetch_add(1);
    if (i == 40 || i == 41) return fail(Error::usage(str_cat("task ", i)));
    return {};
  });
  test::expect_error(status, Error::Kind::Usage, "task 40");
  EXPECT_LT(ran.load(), 1000u);  // no index is handed out after a failure
}

struct BulkCase {
  const char* name;
  bool prefixed;
  std::size_t before;  // records appended first; the first of two or more is closed (id 7)
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

// A bulk write leaves byte for byte the file that appending the same records and closing the
// same frames one by one leaves: data, zone, preview and counters.
TEST_P(BulkWriteTest, WritesTheFileFrameByFrameClosesWould) {
  const BulkCase& c = GetParam();
  const std::string reference = dir_.file("reference.drelix");
  std::vector<Bytes> bodies;
  for (std::uint64_t n : c.frame_records) {
    while (n-- > 0) bodies.push_back(body(c.prefixed, 1000 + bodies.size()));
  }
  for (const std::string& path : {reference, path_}) {
    auto k = Container::create(path, c.prefixed ? test::blob_schema() : test::quad_schema(), "", "",
                               0, 8192, {});
    ASSERT_TRUE(k.has_value());
    for (std::size_t i = 0; i < c.before; ++i) {
      ASSERT_TRUE(k->append_record(body(c.prefixed, i)));
      if (i == 0 && c.before > 1) {
        ASSERT_TRUE(k->close_frame(7, 1));  // ids continue from the one given, not the largest
      }
    }
    if (path == reference) {
      std::uint64_t id = 8;
      if (c.before > 0) {  // the rest of the tail
        ASSERT_TRUE(k->close_frame(id++, c.options.level));
      }
      for (std::size_t next = 0; const std::uint64_t n : c.frame_records) {
        for (std::uint64_t r = 0; r < n; ++r) ASSERT_TRUE(k->append_record(bodies[next++]));
        ASSERT_TRUE(k->close_frame(id++, c.options.level));
      }
      continue;
    }
    const std::vector<ByteView> views(bodies.begin(), bodies.end());
    auto added = c.prefixed ? bulk_write_bodies(*k, views, 8, c.options)
                            : bulk_write_fixed(*k, test::concat(bodies), 8, c.options);
    ASSERT_TRUE(added.has_value()) << added.error().to_string();
    ASSERT_EQ(added->size(), (c.before > 0 ? 1 : 0) + c.frame_records.size());
    EXPECT_TRUE(std::equal(added->begin(), added->end(), k->frames().end() - added->size()));
  }
  EXPECT_TRUE(test::read_file(path_) == test::read_file(reference));
  EXPECT_FALSE(test::exists(journal_path(path_)));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Cases, BulkWriteTest,
    ::testing::Values(
        BulkCase{"fixed_by_records_into_a_fresh_file", false, 0,
                 {.frame_records = 4, .level = 3, .threads = 2}, {4, 4, 2}},
        BulkCase{"fixed_by_bytes_after_a_tail", false, 4,
                 {.frame_records = 100, .frame_bytes = 13, .level = 0, .threads = 3}, {3, 3, 3, 1}},
        // A frame never passes frame_bytes unless one record alone does.
        BulkCase{"prefixed_by_bytes_after_a_frame", true, 2,
                 {.frame_bytes = 20, .level = 1, .threads = 2}, {2, 2, 1, 1}},
        BulkCase{"prefixed_by_records_after_a_lone_tail", true, 1,
                 {.frame_records = 3, .level = 19, .threads = 1}, {3, 3, 1}}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// Enough incompressible data for several journaled batches, on more threads than frames in one
// batch: the frames are still listed back to back in order and read back whole.
TEST_F(DirTest, ManyBatchesStayInOrder) {
  Bytes data(48u << 20);
  std::uint64_t x = 88172645463325252ULL;
  for (std::size_t i = 0; i + 8 <= data.size(); i += 8) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    store_u64le(data.data() + i, x);
  }
  auto c = Container::create(path_, test::quad_schema(), "", "", 0, 65536, {});
  ASSERT_TRUE(c.has_value());
  auto added = bulk_write_fixed(*c, data, 0, {.frame_bytes = 1u << 20, .level = 1, .threads = 3});
  ASSERT_TRUE(added.has_value()) << added.error().to_string();
  ASSERT_EQ(added->size(), 48u);
  std::vector<FrameSlot> slots;
  for (std::size_t f = 0, offset = 0; f < added->size(); offset += (*added)[f++].len) {
    EXPECT_EQ((*added)[f], (Frame{f, offset, (*added)[f].len, (*added)[f].hash}));
    slots.push_back(FrameSlot{&c->frames()[f], f << 20, 1u << 20});
  }
  Bytes back(data.size());
  ASSERT_TRUE(decode_frames_into(*c, slots, back, 3));
  EXPECT_TRUE(back == data);
}

TEST_F(DirTest, BulkWriteRefusalsWriteNothing) {
  auto c = Container::create(path_, test::quad_schema(), "", "", 0, 4096, {});
  ASSERT_TRUE(c.has_value());
  const Bytes before = test::read_file(path_);
  test::expect_error(bulk_write_fixed(*c, Bytes(10), 0, {.frame_records = 2}), Error::Kind::Usage,
                     "10 bytes are not a whole number of 4-byte records");
  test::expect_error(bulk_write_fixed(*c, Bytes(8), 0, {}), Error::Kind::Usage,
                     "a bulk write needs frame_records or frame_bytes");
  const std::vector<ByteView> bodies = {ByteView()};
  test::expect_error(bulk_write_bodies(*c, bodies, 0, {.frame_records = 2}), Error::Kind::Usage,
                     "the file's records are fixed, not length-prefixed");
  test::expect_error(bulk_write_bodies(*c, bodies, 0, {}), Error::Kind::Usage,
                     "a bulk write needs frame_records or frame_bytes");
  // A zone too small for the new frame list.
  auto tiny = bulk_write_fixed(*c, test::u32_records(0, 5000), 0,
                               {.frame_records = 1, .level = 1, .threads = 2});
  ASSERT_FALSE(tiny.has_value());
  EXPECT_EQ(tiny.error().kind(), Error::Kind::ZoneFull);
  EXPECT_EQ(test::read_file(path_), before);
  EXPECT_FALSE(test::exists(journal_path(path_)));
}

}  // namespace
}  // namespace drelix
