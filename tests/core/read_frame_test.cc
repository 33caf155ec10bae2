#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/codec.h"
#include "core/container.h"
#include "core/str_cat.h"
#include "tests/core/fault_env.h"

namespace drelix {
namespace {

using Kind = Error::Kind;

Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string& path, ByteView bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Fixed 4-byte records.
Schema quad_schema() { return Schema{"quads", {{"v", "u32", 0}}, RecordLayout::fixed(4)}; }

Bytes quads(std::uint32_t from, std::uint32_t count) {
  Bytes out;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint8_t r[4];
    store_u32le(r, from + i);
    out.insert(out.end(), r, r + 4);
  }
  return out;
}

class ReadFrameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "drelix_read_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/run.drelix";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Closes one frame per (id, level, first value, count) into a new file.
  struct Planned {
    std::uint64_t id;
    std::int32_t level;
    std::uint32_t from;
    std::uint32_t count;
  };
  void build(const std::vector<Planned>& plan) {
    auto c = Container::create(path_, quad_schema(), "t", "w", 0, 4096, {});
    ASSERT_TRUE(c.has_value()) << c.error().to_string();
    for (const Planned& s : plan) {
      const Bytes records = quads(s.from, s.count);
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

  std::string dir_;
  std::string path_;
};

void expect_error(const Result<Bytes>& r, Kind kind, const std::string& message) {
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), kind);
  EXPECT_EQ(r.error().message(), message);
}

TEST_F(ReadFrameTest, RepeatedIdsResolveToTheFirstAndPositionsReachTheRest) {
  build({{7, 3, 0, 100}, {8, 0, 1000, 5}, {7, 19, 2000, 50}});
  Container c = open_read();
  EXPECT_EQ(*c.read_frame(7), quads(0, 100));
  EXPECT_EQ(*c.read_frame(8), quads(1000, 5));
  EXPECT_EQ(*c.read_frame_at(0), quads(0, 100));
  EXPECT_EQ(*c.read_frame_at(1), quads(1000, 5));
  EXPECT_EQ(*c.read_frame_at(2), quads(2000, 50));
  expect_error(c.read_frame(9), Kind::Usage, "no frame 9");
  expect_error(c.read_frame(UINT64_MAX), Kind::Usage, "no frame 18446744073709551615");
  expect_error(c.read_frame_at(3), Kind::Usage, "no frame at position 3");
  expect_error(c.read_frame_at(UINT64_MAX), Kind::Usage,
               "no frame at position 18446744073709551615");
}

TEST_F(ReadFrameTest, WritableContainerReadsItsOwnFrames) {
  build({{1, 3, 0, 10}});
  auto c = Container::open_append(path_);
  ASSERT_TRUE(c.has_value());
  EXPECT_EQ(*c->read_frame(1), quads(0, 10));
}

TEST_F(ReadFrameTest, RangeChecksComeBeforeAnyRead) {
  build({{1, 3, 0, 10}});
  FaultEnv faults;
  ScopedEnv installed(faults);
  Container c = open_read();
  const std::uint64_t ds = c.data_start();
  const std::uint64_t end = c.data_end();
  faults.reset();
  struct Case {
    Frame frame;
    Kind kind;
    std::string message;
  };
  const Case cases[] = {
      {{5, UINT64_MAX, 0, 0}, Kind::Malformed, "frame 5 overflows a u64 offset"},
      {{5, UINT64_MAX - ds + 1, 0, 0}, Kind::Malformed, "frame 5 overflows a u64 offset"},
      {{6, 0, UINT64_MAX - ds + 1, 0}, Kind::Malformed, "frame 6 overflows a u64 offset"},
      // One byte past the end of the data.
      {{7, end - ds, 1, 0}, Kind::Malformed,
       str_cat("frame 7 ends at ", end + 1, " but the file is ", end, " bytes")},
      {{8, 0, end - ds + 1, 0}, Kind::Malformed,
       str_cat("frame 8 ends at ", end + 1, " but the file is ", end, " bytes")},
      {{9, UINT64_MAX - ds, 0, 0}, Kind::Malformed,
       str_cat("frame 9 ends at ", UINT64_MAX, " but the file is ", end, " bytes")},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.message);
    expect_error(c.read_frame_body(k.frame), k.kind, k.message);
  }
  EXPECT_EQ(faults.count(FaultEnv::Op::Read), 0u);

  // A frame that ends exactly at the end of the data is fine; one of length 0 is empty and
  // reads nothing.
  auto whole = c.read_frame_body(c.frames()[0]);
  ASSERT_TRUE(whole.has_value());
  EXPECT_EQ(*whole, quads(0, 10));
  faults.reset();
  for (std::uint64_t at : {std::uint64_t{0}, end - ds}) {
    auto empty = c.read_frame_body(Frame{3, at, 0, 0});
    ASSERT_TRUE(empty.has_value());
    EXPECT_TRUE(empty->empty());
  }
  EXPECT_EQ(faults.count(FaultEnv::Op::Read), 0u);
}

TEST_F(ReadFrameTest, ListedHashIsNotCompared) {
  build({{1, 3, 0, 10}, {2, 0, 50, 3}});
  Container c = open_read();
  for (std::size_t i = 0; i < 2; ++i) {
    Frame f = c.frames()[i];
    f.hash ^= 1;
    auto r = c.read_frame_body(f);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(*r, i == 0 ? quads(0, 10) : quads(50, 3));
    f.hash = 0;
    EXPECT_TRUE(c.read_frame_body(f).has_value());
  }
}

TEST_F(ReadFrameTest, RawBytesAreReturnedAsStored) {
  // Frames of 1 to 3 bytes cannot hold the magic; longer ones that do not start with it are
  // returned byte for byte, even when the magic appears later on.
  auto c = Container::create(path_, Schema{"b", {}, RecordLayout::fixed(1)}, "t", "w", 0, 4096,
                             {});
  ASSERT_TRUE(c.has_value());
  const Bytes data = {0x28, 0xB5, 0x2F, 0x00, 0x28, 0xB5, 0x2F, 0xFD, 9};
  for (std::uint8_t b : data) ASSERT_TRUE(c->append_record(Bytes{b}).has_value());
  ASSERT_TRUE(c->flush_data().has_value());
  for (std::uint64_t len = 1; len <= 3; ++len) {
    auto r = c->read_frame_body(Frame{1, 0, len, 0});
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(*r, Bytes(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(len)));
  }
  auto all = c->read_frame_body(Frame{1, 0, data.size(), 0});
  ASSERT_TRUE(all.has_value());
  EXPECT_EQ(*all, data);
}

TEST_F(ReadFrameTest, BytesStartingWithTheMagicGoToTheDecoder) {
  // Raw bytes that begin with the zstd magic (which the engine's own level 0 closes never
  // store) are taken for a zstd frame.
  auto c = Container::create(path_, Schema{"b", {}, RecordLayout::fixed(1)}, "t", "w", 0, 4096,
                             {});
  ASSERT_TRUE(c.has_value());
  const Bytes data = {0x28, 0xB5, 0x2F, 0xFD, 1, 2, 3, 4};
  for (std::uint8_t b : data) ASSERT_TRUE(c->append_record(Bytes{b}).has_value());
  ASSERT_TRUE(c->flush_data().has_value());
  auto r = c->read_frame_body(Frame{1, 0, data.size(), 0});
  ASSERT_FALSE(r.has_value());
  EXPECT_NE(r.error().kind(), Kind::Io);
  auto magic_only = c->read_frame_body(Frame{1, 0, 4, 0});
  expect_error(magic_only, Kind::Malformed, "truncated zstd frame");
}

TEST_F(ReadFrameTest, DamagedZstdFrames) {
  build({{1, 3, 0, 300}, {2, 3, 5000, 300}});
  const Bytes original = read_file(path_);
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
    auto joined = c.read_frame_body(Frame{1, 0, c.data_end() - ds, 0});
    ASSERT_TRUE(joined.has_value());
    EXPECT_EQ(*joined, quads(0, 300));
  }
  // One content byte flipped: the content checksum catches it.
  Bytes damaged = original;
  damaged[ds + first.len - 6] ^= 0x40;
  write_file(path_, damaged);
  {
    Container c = open_read();
    auto r = c.read_frame(1);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), Kind::Compression);
    EXPECT_FALSE(r.error().message().empty());
    // The container stays usable.
    auto second = c.read_frame(2);
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(*second, quads(5000, 300));
  }
}

TEST_F(ReadFrameTest, ReadFailureIsIoAndLeavesTheContainerUsable) {
  build({{1, 3, 0, 10}});
  FaultEnv faults;
  ScopedEnv installed(faults);
  Container c = open_read();
  faults.reset();
  faults.fail_nth(FaultEnv::Op::Read, 1, EIO);
  auto r = c.read_frame(1);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), Error::io(EIO));
  EXPECT_EQ(faults.count(FaultEnv::Op::Read), 1u);
  auto again = c.read_frame(1);
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(*again, quads(0, 10));
  // One positioned read per frame.
  EXPECT_EQ(faults.count(FaultEnv::Op::Read), 2u);
}

}  // namespace
}  // namespace drelix
