// Frames: decoded on their own (codec.h), written in bulk (bulk_write.h; where a bulk write cuts
// its frames is the model test's), and read back by id and position, the listed checksum on every
// path, into caller memory, and many at once into one buffer (frame_read.h). Raw frames read as
// stored are the model's (its one-byte records make frames of one to three bytes); damaged zstd
// frames are the decode fuzz target's and rebuild's.
// Last, objects in a store read by range (range_file.h), frames, tail and validation alike.
#include "core/frame_read.h"

#include <zstd.h>
#include <zstd_errors.h>

#include <memory>
#include <random>
#include <span>
#include <tuple>

#include "core/bulk_write.h"
#include "core/journal.h"
#include "core/maintenance.h"
#include "core/range_file.h"
#include "core/str_cat.h"
#include "core/tail_read.h"
#include "tests/core/test_util.h"

namespace drelix {
namespace {

using K = Error::Kind;
using Op = SimEnv::Op;
using test::DirTest;
using test::expect_error;
using test::u32_records;

// Compressible but not trivial, or random bytes (which zstd stores verbatim).
Bytes sample(std::size_t n, bool random = false) {
  std::mt19937 gen(static_cast<unsigned>(n));
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) {
    out[i] = static_cast<std::uint8_t>(random ? gen() : "record of the sample;"[i % 21] + i / 997);
  }
  return out;
}

// `frame` (single segment, no dictionary, content under 64 KiB) with its header rebuilt to
// declare `size` in an 8-byte content size field, behind a 1 MiB window descriptor.
Bytes with_declared_size(const Bytes& frame, std::uint64_t size) {
  const std::size_t header_size = 5 + (std::size_t{1} << (frame[4] >> 6));
  Bytes forged = {0x28, 0xB5, 0x2F, 0xFD, static_cast<std::uint8_t>(0xC0 | (frame[4] & 4)), 0x50};
  forged.resize(14);
  store_u64le(forged.data() + 6, size);
  forged.insert(forged.end(), frame.begin() + static_cast<std::ptrdiff_t>(header_size),
                frame.end());
  return forged;
}

Result<Bytes> decode_into(ByteView frame, std::size_t size) {
  Bytes out(size, 0xEE);
  DRELIX_ASSIGN_OR_RETURN(const std::uint64_t used, decode_one_frame_into(frame, out));
  EXPECT_EQ(used, ZSTD_findFrameCompressedSize(frame.data(), frame.size()));
  return out;
}

// Damage is reported alike whether the content goes to a buffer of its own or into one of the
// declared size: every cut is a truncated frame, a flipped byte fails the content checksum, a
// header whose size disagrees with the content is refused without being trusted; a declared
// size is believed only when plausible.
TEST(CodecTest, DamageIsReportedAlikeAndImplausibleSizesAreNotBelieved) {
  const Bytes in = test::concat({sample(2000, true), sample(3000)});
  const Bytes frame = compress_frame(in, 3).value(), tiny = compress_frame(sample(100), 3).value();
  for (std::size_t cut = 0; cut < frame.size(); ++cut) {
    const ByteView part = ByteView(frame).first(cut);
    expect_error(decode_one_frame(part), K::Malformed, "truncated zstd frame");
    if (cut >= 6) expect_error(decode_into(part, in.size()), K::Malformed, "truncated zstd frame");
  }
  Bytes flipped = frame;
  flipped[frame.size() / 3] ^= 0x01;
  expect_error(decode_one_frame(flipped), K::Compression,
               ZSTD_getErrorString(ZSTD_error_checksum_wrong));
  EXPECT_EQ(decode_into(flipped, in.size()).error(), decode_one_frame(flipped).error());
  for (std::uint64_t claim : {std::uint64_t{99}, std::uint64_t{101}, kMaxDecodedFrame}) {
    const Bytes forged = with_declared_size(tiny, claim);
    const auto plain = decode_one_frame(forged);
    ASSERT_FALSE(plain.has_value());
    EXPECT_EQ(plain.error().kind(), K::Compression);
    if (claim < 1000) {
      EXPECT_EQ(decode_into(forged, claim), fail(plain.error()));
    }
  }
  const std::pair<Bytes, std::optional<std::uint64_t>> cases[] = {
      {test::concat({frame, tiny}), in.size()},
      // 100 bytes of frame cannot expand to 4 GiB, whatever the header says.
      {with_declared_size(tiny, kMaxDecodedFrame), std::nullopt},
      {with_declared_size(compress_frame(sample(60000), 3).value(), kMaxDecodedFrame + 1), {}},
      {test::slice(frame, 0, 5), std::nullopt},
      {sample(50), std::nullopt}};
  for (const auto& [bytes, want] : cases) EXPECT_EQ(declared_content_size(bytes), want);
  // From a short read: believed up to 32768 bytes of content per stored byte.
  const Bytes exact = test::slice(with_declared_size(tiny, 65536), 0, kZstdMaxHeader);
  const Bytes over = test::slice(with_declared_size(tiny, 65537), 0, kZstdMaxHeader);
  EXPECT_EQ(declared_content_size(exact, 2), 65536u);
  EXPECT_EQ(declared_content_size(over, 2), std::nullopt);
  EXPECT_EQ(declared_content_size(over, 3), 65537u);
}

// What read_frame_into asks for and gets: the sizes requested, and a buffer
// prefilled with a marker so that a byte left unwritten shows.
struct Sink {
  std::vector<std::size_t> asked{};
  Bytes buffer{};
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

class ReadFrameTest : public test::SimTest {
 protected:
  // Every kind of frame a file can hold: 10 declares its size, 11 is raw, 12 is
  // empty, 13 (as another writer makes it) declares none, and 10 again at level
  // 19 (ids may repeat).
  const Bytes contents[5] = {u32_records(0, 3000), u32_records(5000, 7), Bytes{},
                             u32_records(20000, 50000), u32_records(90000, 50)};
  void SetUp() override {
    test::Draft d;
    d.add_frame(10, contents[0], 3);
    d.add_frame(11, contents[1], 0);
    d.add_frame(12, contents[2], 0);
    std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)> cctx(ZSTD_createCCtx(), ZSTD_freeCCtx);
    ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_contentSizeFlag, 0);
    Bytes foreign(ZSTD_compressBound(contents[3].size()));
    foreign.resize(ZSTD_compress2(cctx.get(), foreign.data(), foreign.size(), contents[3].data(),
                                  contents[3].size()));
    ASSERT_FALSE(declared_content_size(foreign).has_value());
    d.actual.push_back(Frame{13, d.data.size(), foreign.size(), xxh64(foreign)});
    d.frames.push_back(d.actual.back());
    d.add_bytes(foreign);
    d.add_frame(10, contents[4], 19);
    d.write(path_);
  }
  Container open() {
    Container c = Container::open_read(path_).value();
    sim_.reset();
    return c;
  }
};

// Damage that leaves bytes the decoder accepts (or never decodes) is caught by
// the listed checksum, on every read path, before any content is handed out.
TEST_F(ReadFrameTest, ListedChecksumIsComparedByEveryRead) {
  const Bytes original = test::read_file(path_);
  const std::vector<Frame> listed = open().frames();
  const std::uint64_t ds = 16 + 4096;
  // The frame read, a byte of it XORed with 0x10 (or none), a shift of its listed offset, a
  // change of its listed hash.
  const std::tuple<std::size_t, int, int, std::uint64_t> cases[] = {
      {1, 17, 0, 0}, {0, 0, 0, 0}, {1, -1, -1, 0}, {0, -1, 0, 0x100}};
  for (const auto& [index, flip, offset_by, hash_xor] : cases) {
    SCOPED_TRACE(index * 100 + flip);
    Bytes bytes = original;
    const Frame f = listed[index];
    if (flip >= 0) bytes[ds + f.offset + flip] ^= 0x10;
    test::write_file(path_, bytes);
    Frame bent{f.id, f.offset + offset_by, f.len, f.hash ^ hash_xor};
    test::rewrite_zone(path_, [&](Headers& h) {
      std::vector<Frame> frames = listed;
      frames[index] = bent;
      ASSERT_TRUE(h.set("_frames", render_frames(frames)));
    });
    const ByteView stored = ByteView(test::read_file(path_)).subspan(ds + bent.offset, bent.len);
    const std::string message =
        str_cat("frame ", f.id, ": checksum mismatch, _frames says ", to_hex16(bent.hash),
                ", the bytes hash to ", to_hex16(xxh64(stored)));
    Container c = open();
    Sink sink;
    Bytes out(20000);
    expect_error(c.read_frame(f.id), K::Malformed, message);
    expect_error(c.read_frame_at(index), K::Malformed, message);
    expect_error(c.read_frame_into(f.id, sink.allocator()), K::Malformed, message);
    expect_error(c.read_frame_at_into(index, sink.allocator()), K::Malformed, message);
    expect_error(read_checked(c, bent), K::Malformed, message);
    expect_error(decode_frames_into(c, {{{&bent, 0, 1200}}}, out, 1), K::Malformed, message);
    EXPECT_TRUE(sink.asked.empty());
    // The other frame still reads, and a listed hash of 0 is never compared.
    EXPECT_TRUE(c.read_frame_at(1 - index).has_value());
    bent.hash = 0;
    EXPECT_TRUE(read_checked(c, bent).has_value());
  }
}

// Every kind of frame a file can hold reads into caller memory as it reads into a Bytes, with
// one request for exactly the content size (by id, the first of a repeated one), and decodes in
// parallel into slots of one buffer whose bounds and sizes are checked. What the allocator refuses
// or leaves out fails the read.
TEST_F(ReadFrameTest, IntoCallerMemoryMatchesThePlainRead) {
  Container c = open();
  std::vector<FrameSlot> slots;
  std::uint64_t at = 0;
  for (std::size_t i = 4; i-- > 0;) {  // the first four, backwards
    SCOPED_TRACE(i);
    const std::size_t size = contents[i].size();
    ASSERT_EQ(c.read_frame_at(i), contents[i]);
    Sink by_index, by_id;
    EXPECT_EQ(c.read_frame_at_into(i, by_index.allocator()), size);
    EXPECT_EQ(by_index.asked, std::vector<std::size_t>{size});
    EXPECT_EQ(by_index.buffer, contents[i]);
    EXPECT_EQ(c.read_frame_into(10 + i, by_id.allocator()), size);
    EXPECT_EQ(by_id.buffer, contents[i]);
    EXPECT_EQ(frame_content_size(c, c.frames()[i]).value(),
              i == 3 ? std::nullopt : std::optional<std::uint64_t>(size));
    slots.push_back(FrameSlot{&c.frames()[i], at, size});
    at += size;
  }
  expect_error(c.read_frame(9), K::Usage, "no frame 9");
  Bytes out(at + 1, 0xEE);
  ASSERT_TRUE(decode_frames_into(c, slots, std::span(out).first(at), 2));
  EXPECT_EQ(out, test::concat({contents[3], contents[2], contents[1], contents[0], {0xEE}}));
  // Each slot must lie inside the buffer and match its frame's content size
  // exactly.
  const Frame empty{99, 0, 0, 0};
  const std::span<std::uint8_t> part = std::span(out).first(28);
  EXPECT_TRUE(decode_frames_into(c, {{{&empty, 28, 0}, {&c.frames()[1], 0, 28}}}, part, 1));
  const std::tuple<FrameSlot, K, std::string> bad_slots[] = {
      {{&empty, 29, 0}, K::Usage, "frame 99 does not fit the output"},
      {{&c.frames()[1], 1, 28}, K::Usage, "frame 11 does not fit the output"},
      {{&c.frames()[1], 1, 27}, K::Malformed, "frame 11: content is 28 bytes, expected 27"},
      {{&c.frames()[2], 0, 1}, K::Malformed, "frame 12: content is 0 bytes, expected 1"},
      {{&c.frames()[0], 0, 28}, K::Malformed, "frame 10: content is 12000 bytes, expected 28"},
      {{&c.frames()[3], 0, 28}, K::Malformed, "frame 13: content is 200000 bytes, expected 28"},
  };
  for (const auto& [slot, kind, message] : bad_slots) {
    expect_error(decode_frames_into(c, {{slot}}, part, 1), kind, message);
  }
  sim_.reset();
  const Error refused = Error::io_text("no room");
  // By id or position, what the allocator refuses with or leaves out, the error: one request.
  const std::tuple<bool, std::uint64_t, std::optional<Error>, std::size_t, std::string> cases[] = {
      {true, 10, refused, 0, refused.to_string()},
      {false, 4, {}, 1, "content allocator gave 199 bytes for a 200-byte frame"},
      {true, 11, {}, 28, "content allocator gave 0 bytes for a 28-byte frame"},
      {true, 13, {}, 1, "content allocator gave 199999 bytes for a 200000-byte frame"},
  };
  for (const auto& [by_id, n, refuse, shortfall, display] : cases) {
    Sink sink{.refuse = refuse, .shortfall = shortfall};
    const auto r =
        by_id ? c.read_frame_into(n, sink.allocator()) : c.read_frame_at_into(n, sink.allocator());
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().to_string(), display);
    EXPECT_EQ(sink.asked.size(), 1u);
  }
  EXPECT_EQ(sim_.count(Op::Read), 4u);  // one read per request
}

// Refusals leave the file as it was and no journal. Then enough incompressible data for
// several journaled batches, on more threads than frames in one batch: the frames are still
// listed back to back in order and read back whole.
TEST_F(DirTest, RefusalsWriteNothingAndManyBatchesStayInOrder) {
  auto c = Container::create(path_, test::quad_schema(), "", "", 0, 65536, {});
  auto tailed = Container::create(path_ + ".t", test::quad_schema(), "", "", 0, 65536, {});
  ASSERT_TRUE(c && tailed && tailed->append_record(u32_records(9, 1)) && tailed->flush_data());
  const std::vector<ByteView> bodies = {ByteView()};
  for (const auto& [w, path] : {std::pair{&*c, path_}, {&*tailed, path_ + ".t"}}) {
    const Bytes before = test::read_file(path);
    expect_error(bulk_write_fixed(*w, Bytes(10), 0, {.frame_records = 2}), K::Usage,
                 "10 bytes are not a whole number of 4-byte records");
    expect_error(bulk_write_bodies(*w, bodies, 0, {.frame_records = 2}), K::Usage,
                 "the file's records are fixed, not length-prefixed");
    // A zone too small for the new frame list; the second one could list a frame of the tail,
    // not the write's frames too: the tail stays.
    const auto full = bulk_write_fixed(*w, u32_records(0, 5000), 0,
                                       {.frame_records = 1, .level = 1, .threads = 2});
    ASSERT_FALSE(full.has_value());
    EXPECT_EQ(full.error().kind(), K::ZoneFull);
    EXPECT_EQ(test::read_file(path), before);
    EXPECT_FALSE(test::exists(journal_path(path)));
  }

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

}  // namespace
}  // namespace drelix

namespace drelix {
namespace {

// An object in a store, read by range: each read is one fetch of exactly the bytes it needs,
// through which the frames and the tail read as from the file; a zone that changed under a
// tail read (the object was replaced) is refused; a failed fetch fails the read; validate
// reports what it reports for the file.
class ObjectReadTest : public test::SimTest {
 protected:
  Bytes object_;
  std::vector<std::pair<std::uint64_t, std::size_t>> fetched_;
  std::optional<Error> refuse_;

  void SetUp() override {
    test::Draft d;
    d.add_frame(0, u32_records(0, 300), 3);
    d.add_frame(1, u32_records(300, 200), 3);
    d.add_bytes(u32_records(500, 7));
    d.records += 7;
    d.frames[1].hash ^= 1;  // frame 1 is damaged as listed
    d.write(path_);
    object_ = test::read_file(path_);
  }
  FilePtr object() {
    return range_file(
        object_.size(),
        [this](std::uint64_t offset, std::span<std::uint8_t> buf) -> Result<std::size_t> {
          fetched_.emplace_back(offset, buf.size());
          if (refuse_) return fail(*refuse_);
          std::copy_n(object_.begin() + static_cast<std::ptrdiff_t>(offset), buf.size(),
                      buf.begin());
          return buf.size();
        });
  }
};

TEST_F(ObjectReadTest, ReadsWhatTheFileHoldsWithOneFetchPerReadAndRefusesAChangedZone) {
  const Snapshot s = Snapshot::open_object(object(), "s3://b/run.drelix").value();
  const Container& c = s.container();
  EXPECT_EQ(c.path(), "s3://b/run.drelix");
  ASSERT_EQ(c.frames().size(), 2u);
  fetched_.clear();
  EXPECT_EQ(read_checked(c, c.frames()[0]).value(), u32_records(0, 300));
  ASSERT_EQ(fetched_.size(), 1u);
  EXPECT_EQ(fetched_[0], std::make_pair(c.data_start(), std::size_t(c.frames()[0].len)));
  expect_error(read_checked(c, c.frames()[1]), K::Malformed,
               str_cat("frame 1: checksum mismatch, _frames says ", to_hex16(c.frames()[1].hash),
                       ", the bytes hash to ", to_hex16(c.frames()[1].hash ^ 1)));
  EXPECT_EQ(s.read_tail_records().value(), u32_records(500, 7));
  // The object replaced by one whose frame list was rewritten: the tail is refused.
  const std::uint64_t at = object_.size() - 28;
  test::rewrite_zone(path_, [](Headers& h) { ASSERT_TRUE(h.set("_frames", "").has_value()); });
  object_ = test::read_file(path_);
  ASSERT_EQ(object_.size(), at + 28);
  expect_error(s.read_tail_records(), K::Malformed,
               "s3://b/run.drelix: the file changed since the reader opened it in a way it "
               "cannot follow (its frame list was rewritten); reopen it or call refresh()");
  EXPECT_FALSE(s.refresh().value().has_value());
  refuse_ = Error::io_text("the connection dropped");
  expect_error(read_checked(c, c.frames()[0]), K::Io, "the connection dropped");
  // Too short for a preamble, as a file would be.
  object_.resize(9);
  refuse_.reset();
  expect_error(Snapshot::open_object(object(), "x"), K::Malformed,
               "not a drelix file: 9 bytes, too short for the 16-byte preamble");
}

TEST_F(ObjectReadTest, ValidateReportsWhatItReportsForTheFile) {
  const ValidateReport want = validate(path_).value();
  ASSERT_FALSE(want.problems.empty());
  const ValidateReport got = validate_object(object(), "s3://b/run.drelix", {}, {}, 4).value();
  EXPECT_EQ(got.problems, want.problems);
  EXPECT_EQ(std::tie(got.frames, got.records), std::tie(want.frames, want.records));
}

}  // namespace
}  // namespace drelix
