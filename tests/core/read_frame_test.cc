#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/codec.h"
#include "core/container.h"
#include "core/str_cat.h"
#include "tests/core/fault_env.h"
#include "tests/core/test_util.h"

namespace drelix {
namespace {

using Kind = Error::Kind;
using test::expect_error;
using test::u32_records;

class ReadFrameTest : public test::DirTest {
 protected:
  // Closes one frame per (id, level, first value, count) into a new file.
  struct Planned {
    std::uint64_t id;
    std::int32_t level;
    std::uint32_t from;
    std::uint32_t count;
  };
  void build(const std::vector<Planned>& plan) {
    auto c = Container::create(path_, test::quad_schema(), "t", "w", 0, 4096, {});
    ASSERT_TRUE(c.has_value()) << c.error().to_string();
    for (const Planned& s : plan) {
      const Bytes records = u32_records(s.from, s.count);
      for (std::size_t i = 0; i < records.size(); i += 4) {
        ASSERT_TRUE(c->append_record(ByteView(records).subspan(i, 4)).has_value());
      }
      ASSERT_TRUE(c->close_frame(s.id, s.level).has_value());
    }
  }
  Container open_read() {
    auto c = Container::open_read(path_);
    EXPECT_TRUE(c.has_value()) << c.error().to_string();
    return std::move(*c);
  }
};

TEST_F(ReadFrameTest, RepeatedIdsResolveToTheFirstAndPositionsReachTheRest) {
  build({{7, 3, 0, 100}, {8, 0, 1000, 5}, {7, 19, 2000, 50}});
  Container c = open_read();
  EXPECT_EQ(*c.read_frame(7), u32_records(0, 100));
  EXPECT_EQ(*c.read_frame(8), u32_records(1000, 5));
  EXPECT_EQ(*c.read_frame_at(0), u32_records(0, 100));
  EXPECT_EQ(*c.read_frame_at(1), u32_records(1000, 5));
  EXPECT_EQ(*c.read_frame_at(2), u32_records(2000, 50));
  expect_error(c.read_frame(9), Kind::Usage, "no frame 9");
  expect_error(c.read_frame(UINT64_MAX), Kind::Usage, "no frame 18446744073709551615");
  expect_error(c.read_frame_at(3), Kind::Usage, "no frame at position 3");
  expect_error(c.read_frame_at(UINT64_MAX), Kind::Usage,
               "no frame at position 18446744073709551615");
}

TEST_F(ReadFrameTest, RangeChecksComeBeforeAnyRead) {
  build({{1, 3, 0, 10}});
  FaultEnv faults;
  ScopedEnv installed(faults);
  Container c = open_read();
  const std::uint64_t ds = c.data_start();
  const std::uint64_t end = c.data_end();
  faults.reset();
  auto past_end = [&](std::uint64_t at) {
    return str_cat("ends at ", at, " but the file is ", end, " bytes");
  };
  const std::pair<Frame, std::string> cases[] = {
      {{5, UINT64_MAX, 0, 0}, "frame 5 overflows a u64 offset"},
      {{5, UINT64_MAX - ds + 1, 0, 0}, "frame 5 overflows a u64 offset"},
      {{6, 0, UINT64_MAX - ds + 1, 0}, "frame 6 overflows a u64 offset"},
      {{7, end - ds, 1, 0}, "frame 7 " + past_end(end + 1)},  // one byte past the end
      {{8, 0, end - ds + 1, 0}, "frame 8 " + past_end(end + 1)},
      {{9, UINT64_MAX - ds, 0, 0}, "frame 9 " + past_end(UINT64_MAX)},
  };
  for (const auto& [frame, message] : cases) {
    SCOPED_TRACE(message);
    expect_error(c.read_frame_body(frame), Kind::Malformed, message);
  }
  EXPECT_EQ(faults.count(FaultEnv::Op::Read), 0u);

  // A frame that ends exactly at the end of the data is fine; one of length 0 is empty and
  // reads nothing.
  EXPECT_EQ(c.read_frame_body(c.frames()[0]), u32_records(0, 10));
  faults.reset();
  for (std::uint64_t at : {std::uint64_t{0}, end - ds}) {
    EXPECT_EQ(c.read_frame_body(Frame{3, at, 0, 0}), Bytes{});
  }
  EXPECT_EQ(faults.count(FaultEnv::Op::Read), 0u);
}

TEST_F(ReadFrameTest, ListedHashIsNotCompared) {
  build({{1, 3, 0, 10}, {2, 0, 50, 3}});
  Container c = open_read();
  for (std::size_t i = 0; i < 2; ++i) {
    Frame f = c.frames()[i];
    f.hash ^= 1;
    EXPECT_EQ(c.read_frame_body(f), i == 0 ? u32_records(0, 10) : u32_records(50, 3));
    f.hash = 0;
    EXPECT_TRUE(c.read_frame_body(f).has_value());
  }
}

// Frames of 1 to 3 bytes cannot hold the zstd magic; longer ones that do not start with it are
// returned byte for byte, even when the magic appears later on. Raw bytes that begin with it
// (which the engine's own level 0 closes never store) are taken for a zstd frame.
TEST_F(ReadFrameTest, RawBytesAreReturnedAsStoredUnlessTheyBeginWithTheMagic) {
  auto c = Container::create(path_, Schema{"b", {}, RecordLayout::fixed(1)}, "t", "w", 0, 4096, {});
  ASSERT_TRUE(c.has_value());
  const Bytes data = {0x28, 0xB5, 0x2F, 0x00, 0x28, 0xB5, 0x2F, 0xFD, 1, 2, 3, 4};
  for (std::uint8_t b : data) ASSERT_TRUE(c->append_record(Bytes{b}).has_value());
  ASSERT_TRUE(c->flush_data().has_value());
  for (std::uint64_t len : {1, 2, 3, 9}) {
    EXPECT_EQ(c->read_frame_body(Frame{1, 0, len, 0}), test::slice(data, 0, len)) << len;
  }
  auto r = c->read_frame_body(Frame{1, 4, 8, 0});
  ASSERT_FALSE(r.has_value());
  EXPECT_NE(r.error().kind(), Kind::Io);
  expect_error(c->read_frame_body(Frame{1, 4, 4, 0}), Kind::Malformed, "truncated zstd frame");
}

TEST_F(ReadFrameTest, DamagedZstdFrames) {
  build({{1, 3, 0, 300}, {2, 3, 5000, 300}});
  const Bytes original = test::read_file(path_);
  std::uint64_t ds = 0;
  Frame first;
  {
    Container c = open_read();
    ds = c.data_start();
    first = c.frames()[0];
  }
  // Cut short inside the file: the listed length is smaller than the zstd frame.
  {
    Container c = open_read();
    for (std::uint64_t len : {first.len - 1, first.len - 4, std::uint64_t{4}, std::uint64_t{9}}) {
      SCOPED_TRACE(len);
      expect_error(c.read_frame_body(Frame{1, 0, len, first.hash}), Kind::Malformed,
                   "truncated zstd frame");
    }
    // Bytes after the end of the zstd frame are ignored: the first frame read with the second
    // one appended to it.
    EXPECT_EQ(c.read_frame_body(Frame{1, 0, c.data_end() - ds, 0}), u32_records(0, 300));
  }
  // One content byte flipped: the content checksum catches it.
  Bytes damaged = original;
  damaged[ds + first.len - 6] ^= 0x40;
  test::write_file(path_, damaged);
  {
    Container c = open_read();
    auto r = c.read_frame(1);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), Kind::Compression);
    EXPECT_FALSE(r.error().message().empty());
    // The container stays usable.
    EXPECT_EQ(c.read_frame(2), u32_records(5000, 300));
  }
}

TEST_F(ReadFrameTest, ReadFailureIsIoAndLeavesTheContainerUsable) {
  build({{1, 3, 0, 10}});
  FaultEnv faults;
  ScopedEnv installed(faults);
  Container c = open_read();
  faults.reset();
  faults.fail_nth(FaultEnv::Op::Read, 1, EIO);
  EXPECT_EQ(c.read_frame(1), fail(Error::io(EIO)));
  EXPECT_EQ(faults.count(FaultEnv::Op::Read), 1u);
  EXPECT_EQ(c.read_frame(1), u32_records(0, 10));
  // One positioned read per frame.
  EXPECT_EQ(faults.count(FaultEnv::Op::Read), 2u);
}

}  // namespace
}  // namespace drelix
