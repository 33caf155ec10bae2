// Bulk writes: records cut into frames (frame_policy.h), compressed in parallel and spliced
// in journaled batches.
#include "core/bulk_write.h"

#include <random>
#include <tuple>

#include "core/frame_policy.h"
#include "core/frame_read.h"
#include "core/journal.h"
#include "core/str_cat.h"
#include "tests/core/test_util.h"

namespace drelix {
namespace {

using test::DirTest;

// Refusals leave the file as it was and no journal. Then enough incompressible data for
// several journaled batches, on more threads than frames in one batch: the frames are still
// listed back to back in order and read back whole.
TEST_F(DirTest, RefusalsWriteNothingAndManyBatchesStayInOrder) {
  auto c = Container::create(path_, test::quad_schema(), "", "", 0, 65536, {});
  ASSERT_TRUE(c.has_value());
  const Bytes before = test::read_file(path_);
  const std::vector<ByteView> bodies = {ByteView()};
  test::expect_error(bulk_write_fixed(*c, Bytes(10), 0, {.frame_records = 2}), Error::Kind::Usage,
                     "10 bytes are not a whole number of 4-byte records");
  test::expect_error(bulk_write_bodies(*c, bodies, 0, {.frame_records = 2}), Error::Kind::Usage,
                     "the file's records are fixed, not length-prefixed");
  // A zone too small for the new frame list.
  auto tiny = bulk_write_fixed(*c, test::u32_records(0, 5000), 0,
                               {.frame_records = 1, .level = 1, .threads = 2});
  ASSERT_FALSE(tiny.has_value());
  EXPECT_EQ(tiny.error().kind(), Error::Kind::ZoneFull);
  EXPECT_EQ(test::read_file(path_), before);
  EXPECT_FALSE(test::exists(journal_path(path_)));
  // The zone could list a frame of the tail, not the write's frames too: the tail stays.
  auto tailed = Container::create(path_ + ".t", test::quad_schema(), "", "", 0, 65536, {});
  ASSERT_TRUE(tailed.has_value() && tailed->append_record(test::u32_records(9, 1)) &&
              tailed->flush_data());
  const Bytes tail_before = test::read_file(path_ + ".t");
  EXPECT_EQ(
      bulk_write_fixed(*tailed, test::u32_records(0, 5000), 0, {.frame_records = 1}).error().kind(),
      Error::Kind::ZoneFull);
  EXPECT_EQ(test::read_file(path_ + ".t"), tail_before);

  Bytes data(48u << 20);
  std::mt19937_64 random(7);
  for (std::size_t i = 0; i < data.size(); i += 8) store_u64le(data.data() + i, random());
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

// A frame ends at the record limit, or before a record that would pass the byte limit (one
// that reaches it exactly still fits), and holds at least one record however large. Records of
// one size cut the same way whether fixed or length-prefixed.
TEST(FramePolicy, CutsAtTheFirstLimitReached) {
  const Bytes body(10);
  // Raw sizes 5, 5, 12, 2, 3.
  const std::vector<ByteView> bodies = {ByteView(body).first(3), ByteView(body).first(3), body,
                                        ByteView(), ByteView(body).first(1)};
  const std::tuple<FrameLimits, std::vector<std::size_t>, std::vector<std::uint64_t>> cases[] = {
      {{.records = 2}, {0, 2, 4, 5}, {10, 14, 3}},
      {{.bytes = 10}, {0, 2, 3, 5}, {10, 12, 5}},
      {{.records = 3, .bytes = 14}, {0, 2, 4, 5}, {10, 14, 3}},
      {{.records = 1, .bytes = 100}, {0, 1, 2, 3, 4, 5}, {5, 5, 12, 2, 3}},
  };
  const std::vector<ByteView> same(7, ByteView(body).first(2));
  for (const auto& [limits, cuts, raw] : cases) {
    const FramePlan plan = plan_bodies(bodies, limits);
    EXPECT_EQ(std::tie(plan.cuts, plan.raw), std::tie(cuts, raw)) << limits.records;
    const FramePlan fixed = plan_fixed(7, 4, limits), prefixed = plan_bodies(same, limits);
    EXPECT_EQ(std::tie(fixed.cuts, fixed.raw), std::tie(prefixed.cuts, prefixed.raw));
  }
  test::expect_error(check_frame_limits({}), Error::Kind::Usage,
                     "a bulk write needs frame_records or frame_bytes");
}

}  // namespace
}  // namespace drelix
