#include <gtest/gtest.h>
#include <zstd.h>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/codec.h"
#include "core/container.h"
#include "core/hash.h"
#include "core/str_cat.h"
#include "tests/core/fault_env.h"
#include "tests/core/test_util.h"

namespace drelix {
namespace {

using Kind = Error::Kind;
using test::expect_error;
using test::u32_records;

// What read_frame_into and read_frame_at_into ask for and get: the sizes requested, and a
// buffer prefilled with a marker so that a byte left unwritten shows.
struct Sink {
  std::vector<std::size_t> asked;
  Bytes buffer;
  std::optional<Error> refuse;  // returned instead of memory
  std::size_t shortfall = 0;    // bytes missing from the span handed out

  Container::ContentAllocator allocator() {
    return [this](std::size_t size) -> Result<std::span<std::uint8_t>> {
      asked.push_back(size);
      if (refuse) return fail(*refuse);
      buffer.assign(size, 0xEE);
      return std::span<std::uint8_t>(buffer).first(size - std::min(size, shortfall));
    };
  }
};

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

// Damage that leaves bytes the decoder accepts (or never decodes) is caught by the listed
// checksum, on every read path, before any content is handed out.
TEST_F(ReadFrameTest, ListedChecksumIsComparedByEveryRead) {
  build({{1, 3, 0, 300}, {2, 0, 1000, 50}});
  const Bytes original = test::read_file(path_);
  std::uint64_t ds = 0;
  std::vector<Frame> listed;
  {
    Container c = open_read();
    ds = c.data_start();
    listed = c.frames();
  }
  struct Case {
    const char* name;
    std::size_t index;       // the frame read
    std::int64_t flip;       // data byte (from that frame's start) XORed with 0x10, or -1
    std::int64_t offset_by;  // added to the listed offset
    std::uint64_t hash_xor;  // applied to the listed hash
  };
  const Case cases[] = {
      {"byte of a raw frame", 1, 17, 0, 0},
      {"zstd magic", 0, 0, 0, 0},
      {"listed offset one short", 1, -1, -1, 0},
      {"stale listed hash of an intact frame", 0, -1, 0, 0x100},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Bytes bytes = original;
    const Frame f = listed[k.index];
    if (k.flip >= 0) bytes[ds + f.offset + static_cast<std::uint64_t>(k.flip)] ^= 0x10;
    test::write_file(path_, bytes);
    Frame bent = f;
    bent.offset = f.offset + static_cast<std::uint64_t>(k.offset_by);
    bent.hash = f.hash ^ k.hash_xor;
    test::rewrite_zone(path_, [&](Headers& h) {
      std::vector<Frame> frames = listed;
      frames[k.index] = bent;
      ASSERT_TRUE(h.set("_frames", render_frames(frames)).has_value());
    });
    const Bytes now = test::read_file(path_);
    const ByteView stored = ByteView(now).subspan(ds + bent.offset, bent.len);
    const std::string message =
        str_cat("frame ", f.id, ": checksum mismatch, _frames says ", to_hex16(bent.hash),
                ", the bytes hash to ", to_hex16(xxh64(stored)));
    Container c = open_read();
    expect_error(c.read_frame(f.id), Kind::Malformed, message);
    expect_error(c.read_frame_at(k.index), Kind::Malformed, message);
    Sink sink;
    expect_error(c.read_frame_into(f.id, sink.allocator()), Kind::Malformed, message);
    expect_error(c.read_frame_at_into(k.index, sink.allocator()), Kind::Malformed, message);
    EXPECT_TRUE(sink.asked.empty());
    // The other frame still reads, and a listed hash of 0 is never compared.
    EXPECT_TRUE(c.read_frame_at(1 - k.index).has_value());
    bent.hash = 0;
    if (k.flip < 0) {
      EXPECT_TRUE(c.read_frame_body(bent).has_value());
    }
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
      expect_error(c.read_frame_body(Frame{1, 0, len, 0}), Kind::Malformed, "truncated zstd frame");
    }
    // Bytes after the end of the zstd frame are ignored: the first frame read with the second
    // one appended to it.
    EXPECT_EQ(c.read_frame_body(Frame{1, 0, c.data_end() - ds, 0}), u32_records(0, 300));
  }
  // One content byte flipped: without a listed checksum, the content checksum catches it.
  Bytes damaged = original;
  damaged[ds + first.len - 6] ^= 0x40;
  test::write_file(path_, damaged);
  {
    Container c = open_read();
    auto r = c.read_frame_body(Frame{1, 0, first.len, 0});
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

// A zstd frame as another writer might make it: no content size in the header.
Bytes frame_without_size(ByteView content) {
  std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)> cctx(ZSTD_createCCtx(), ZSTD_freeCCtx);
  EXPECT_FALSE(ZSTD_isError(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_contentSizeFlag, 0)));
  Bytes frame(ZSTD_compressBound(content.size()));
  const std::size_t n =
      ZSTD_compress2(cctx.get(), frame.data(), frame.size(), content.data(), content.size());
  EXPECT_FALSE(ZSTD_isError(n));
  frame.resize(ZSTD_isError(n) ? 0 : n);
  EXPECT_FALSE(declared_content_size(frame).has_value());
  return frame;
}

// Every kind of frame a file can hold reads into caller memory exactly as it reads into a
// Bytes, with one request for exactly the content size.
TEST_F(ReadFrameTest, IntoCallerMemoryMatchesThePlainRead) {
  test::Draft d;
  const Bytes contents[] = {u32_records(0, 3000), u32_records(5000, 7), u32_records(9000, 200),
                            u32_records(20000, 50000)};
  d.add_frame(10, contents[0], 3);   // declares its size
  d.add_frame(11, contents[1], 0);   // raw
  d.add_frame(12, contents[2], 19);  // declares its size
  // Declares no size: decoded into a growing buffer, then copied.
  const Bytes foreign = frame_without_size(contents[3]);
  d.actual.push_back(Frame{13, d.data.size(), foreign.size(), xxh64(foreign)});
  d.frames.push_back(d.actual.back());
  d.add_bytes(foreign);
  d.records += contents[3].size() / 4;
  d.bytes_raw += contents[3].size();
  d.write(path_);

  Container c = open_read();
  ASSERT_EQ(c.frames().size(), 4u);
  for (std::size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    ASSERT_EQ(c.read_frame_at(i), contents[i]);
    Sink by_index;
    EXPECT_EQ(c.read_frame_at_into(i, by_index.allocator()), contents[i].size());
    EXPECT_EQ(by_index.asked, std::vector<std::size_t>{contents[i].size()});
    EXPECT_EQ(by_index.buffer, contents[i]);
    Sink by_id;
    EXPECT_EQ(c.read_frame_into(10 + i, by_id.allocator()), contents[i].size());
    EXPECT_EQ(by_id.buffer, contents[i]);
  }
}

TEST_F(ReadFrameTest, IntoCallerMemoryFailures) {
  build({{1, 3, 0, 100}, {2, 0, 1000, 5}, {1, 19, 2000, 50}});
  FaultEnv faults;
  ScopedEnv installed(faults);
  Container c = open_read();
  faults.reset();
  const Error refused = Error::io_text("no room");
  struct Case {
    const char* name;
    std::function<Result<std::size_t>(const Container::ContentAllocator&)> read;
    std::optional<Error> refuse;
    std::size_t shortfall;
    std::string display;
    std::size_t requests;
  };
  const auto by_id = [&](std::uint64_t id) {
    return [&c, id](const Container::ContentAllocator& a) { return c.read_frame_into(id, a); };
  };
  const auto at = [&](std::uint64_t i) {
    return [&c, i](const Container::ContentAllocator& a) { return c.read_frame_at_into(i, a); };
  };
  const Case cases[] = {
      {"unknown id", by_id(9), {}, 0, "no frame 9", 0},
      {"index past the end", at(3), {}, 0, "no frame at position 3", 0},
      {"refused for a zstd frame", by_id(1), refused, 0, refused.to_string(), 1},
      {"refused for a raw frame", at(1), refused, 0, refused.to_string(), 1},
      {"short span for a zstd frame",
       at(2),
       {},
       1,
       "content allocator gave 199 bytes for a 200-byte frame",
       1},
      {"short span for a raw frame",
       by_id(2),
       {},
       20,
       "content allocator gave 0 bytes for a 20-byte frame",
       1},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Sink sink;
    sink.refuse = k.refuse;
    sink.shortfall = k.shortfall;
    const Result<std::size_t> r = k.read(sink.allocator());
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().to_string(), k.display);
    EXPECT_EQ(sink.asked.size(), k.requests);
  }
  // Only the refused and short requests read a frame, once each.
  EXPECT_EQ(faults.count(FaultEnv::Op::Read), 4u);

  // A failed read asks for no memory and leaves the container usable.
  faults.reset();
  faults.fail_nth(FaultEnv::Op::Read, 1, EIO);
  Sink failed;
  EXPECT_EQ(c.read_frame_at_into(0, failed.allocator()), fail(Error::io(EIO)));
  EXPECT_TRUE(failed.asked.empty());
  Sink fine;
  EXPECT_EQ(c.read_frame_at_into(0, fine.allocator()), 400u);
  EXPECT_EQ(fine.buffer, u32_records(0, 100));
}

// Damage found while decoding into caller memory is reported as the plain read reports it.
TEST_F(ReadFrameTest, DamagedFrameIntoCallerMemory) {
  build({{1, 3, 0, 300}, {2, 3, 5000, 300}});
  Bytes damaged = test::read_file(path_);
  std::uint64_t at = 0;
  {
    Container c = open_read();
    at = c.data_start() + c.frames()[0].len - 6;
  }
  damaged[at] ^= 0x40;
  test::write_file(path_, damaged);
  Container c = open_read();
  const auto plain = c.read_frame_at(0);
  ASSERT_FALSE(plain.has_value());
  Sink sink;
  EXPECT_EQ(c.read_frame_at_into(0, sink.allocator()), fail(plain.error()));
  EXPECT_EQ(c.read_frame_into(2, sink.allocator()), 1200u);
  EXPECT_EQ(sink.buffer, u32_records(5000, 300));
}

}  // namespace
}  // namespace drelix
