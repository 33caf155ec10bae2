#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "core/codec.h"
#include "core/container.h"
#include "core/hash.h"
#include "core/maintenance.h"
#include "core/numbers.h"
#include "core/str_cat.h"
#include "tests/core/fault_env.h"
#include "tests/core/test_util.h"

namespace drelix {
namespace {

using Names = std::vector<std::string>;
using test::read_file;
using test::write_file;

// A file made the ordinary way: three closes (two sharing id 4, at three levels), user headers,
// and a tail of three 11-byte records.
void make_file(const std::string& path, std::uint32_t header_area = 4096) {
  auto c = Container::create(path, test::blob_schema(), "test", "test", 0, header_area,
                             {{"owner", "ops"}, {"site", "north"}});
  ASSERT_TRUE(c.has_value()) << c.error().to_string();
  std::uint8_t n = 0;
  for (const auto& [id, level] : {std::pair{4, 3}, std::pair{4, 0}, std::pair{9, 19}}) {
    for (int i = 0; i < 40; ++i, ++n) ASSERT_TRUE(c->append_record(test::patterned(4 + n % 50, n)));
    ASSERT_TRUE(c->close_frame(id, level).has_value());
  }
  for (int i = 0; i < 3; ++i, ++n) ASSERT_TRUE(c->append_record(test::patterned(11, n)));
  ASSERT_TRUE(c->flush_data().has_value());
}

// Everything a reader sees of a file's records.
struct Records {
  std::vector<std::uint64_t> ids;
  std::vector<Bytes> frames;
  Bytes tail;

  bool operator==(const Records&) const = default;
};

Records read_records(const std::string& path) {
  Records r;
  auto c = Container::open_read(path);
  EXPECT_TRUE(c.has_value()) << c.error().to_string();
  for (std::uint64_t i = 0; i < c->frames().size(); ++i) {
    r.ids.push_back(c->frames()[i].id);
    r.frames.push_back(c->read_frame_at(i).value());
  }
  r.tail = c->read_tail().value();
  return r;
}

// The header pairs other than the three a repack sets.
std::vector<Headers::Pair> kept_headers(const std::string& path) {
  using test::without;
  auto peeked = peek_headers(path);
  EXPECT_TRUE(peeked.has_value());
  return without(without(without(peeked->headers, "_frames"), "_compression"), "_compression_level")
      .pairs();
}

// Checks the layout of a repacked file byte by byte against what it must hold.
void expect_layout(const std::string& path, std::int32_t level, std::uint32_t header_area) {
  const Bytes image = read_file(path);
  ASSERT_GE(image.size(), 16u + header_area);
  EXPECT_EQ(std::string(image.begin(), image.begin() + 6), "DRELIX");
  EXPECT_EQ(image[6], 1);
  EXPECT_EQ(image[7], level != 0 ? 1 : 0);
  EXPECT_EQ(load_u32le(image.data() + 8), header_area);
  EXPECT_EQ(load_u32le(image.data() + 12), 0u);

  auto c = Container::open_read(path);
  ASSERT_TRUE(c.has_value()) << c.error().to_string();
  EXPECT_EQ(c->headers().get("_compression"), level != 0 ? "zstd" : "none");
  EXPECT_EQ(c->headers().get("_compression_level"), to_decimal_signed(level));
  std::uint64_t offset = 0;
  for (const Frame& f : c->frames()) {
    SCOPED_TRACE(f.id);
    EXPECT_EQ(f.offset, offset);  // back to back from the start of the data section
    const std::uint64_t at = 16 + header_area + f.offset;
    const ByteView bytes(image.data() + at, f.len);
    EXPECT_EQ(f.hash, xxh64(bytes));
    if (level != 0) {
      EXPECT_TRUE(starts_with_zstd_magic(bytes));
    } else {
      auto content = c->read_frame_body(f);
      ASSERT_TRUE(content.has_value());
      EXPECT_EQ(Bytes(bytes.begin(), bytes.end()), *content);  // plain record bytes
    }
    offset += f.len;
  }
}

using RepackTest = test::DirTest;

TEST_F(RepackTest, RoundTripsAcrossLevelsAndZoneSizes) {
  make_file(path_);
  const Records original = read_records(path_);
  ASSERT_EQ(original.ids, (std::vector<std::uint64_t>{4, 4, 9}));
  const std::vector<Headers::Pair> kept = kept_headers(path_);

  const std::pair<std::int32_t, std::uint32_t> steps[] = {
      {0, 4096}, {19, 4096}, {3, 8192}, {0, 1500}, {-5, 3000}, {19, 65536}, {1, 4096}};
  for (const auto& [level, area] : steps) {
    SCOPED_TRACE(str_cat("level ", level, " zone ", area));
    const std::uint64_t before = read_file(path_).size();
    auto report = repack_with_header_area(path_, level, area);
    ASSERT_TRUE(report.has_value()) << report.error().to_string();
    EXPECT_EQ(report->bytes_before, before);
    EXPECT_EQ(report->bytes_after, read_file(path_).size());
    EXPECT_EQ(report->frames, 3u);
    EXPECT_EQ(read_records(path_), original);
    expect_layout(path_, level, area);
    EXPECT_EQ(kept_headers(path_), kept);
    auto checked = validate(path_);
    ASSERT_TRUE(checked.has_value());
    EXPECT_EQ(checked->problems, std::vector<std::string>{});
    EXPECT_EQ(dir_.names(), Names{"run.drelix"});
  }
}

// Frames listed without a checksum get one; repack keeps the zone size unless told otherwise.
TEST_F(RepackTest, HashZeroFramesGetChecksumsAndTheZoneSizeIsKept) {
  make_file(path_, 6000);
  test::rewrite_zone(path_, [](Headers& h) {
    auto frames = parse_frames(*h.get("_frames"));
    ASSERT_TRUE(frames.has_value());
    for (Frame& f : *frames) f.hash = 0;
    ASSERT_TRUE(h.set("_frames", render_frames(*frames)).has_value());
  });
  ASSERT_TRUE(repack(path_, 3).has_value());
  expect_layout(path_, 3, 6000);  // every listed hash is the bytes' XXH64
}

TEST_F(RepackTest, TornTailRecordIsDropped) {
  make_file(path_);
  const Records original = read_records(path_);
  Bytes image = read_file(path_);
  image.insert(image.end(), {9, 0, 'x', 'y'});  // promises 9 bytes, holds 2
  write_file(path_, image);

  auto report = repack_with_header_area(path_, 0, 4096);
  ASSERT_TRUE(report.has_value()) << report.error().to_string();
  EXPECT_EQ(report->bytes_before, image.size());
  EXPECT_EQ(read_records(path_), original);
  const Bytes after = read_file(path_);
  EXPECT_EQ(report->bytes_after, after.size());
  auto c = Container::open_read(path_);
  ASSERT_TRUE(c.has_value());
  const std::uint64_t tail_bytes = 3 * (2 + 11);
  EXPECT_EQ(c->tail_start() + tail_bytes, after.size());
}

TEST_F(RepackTest, FileWithoutFramesKeepsItsTail) {
  {
    auto c = Container::create(path_, test::blob_schema(), "test", "test", 0, 4096, {});
    ASSERT_TRUE(c.has_value());
    ASSERT_TRUE(c->append_record(test::patterned(7, 1)).has_value());
    ASSERT_TRUE(c->flush_data().has_value());
  }
  auto report = repack_with_header_area(path_, 19, 2048);
  ASSERT_TRUE(report.has_value()) << report.error().to_string();
  EXPECT_EQ(report->frames, 0u);
  EXPECT_EQ(report->bytes_after, 16u + 2048 + 2 + 7);
  EXPECT_EQ(read_records(path_).tail, test::prefixed({test::patterned(7, 1)}));
}

// A refused repack leaves the old file as it was and no temporary file behind, not even one a
// killed repack left. A frame whose checksum fails is refused: re-encoding it would give the
// damage a fresh checksum.
TEST_F(RepackTest, RefusalsLeaveTheOldFile) {
  enum class Damage { None, Version, RawByte, ListedHash };
  const struct {
    std::uint32_t area;
    Damage damage;
    Error::Kind kind;
    std::string display;  // a part of the error's display text
  } cases[] = {
      {0, Damage::None, Error::Kind::Usage, "header zone of 0 bytes is outside 1..=16777216"},
      {16777217, Damage::None, Error::Kind::Usage,
       "header zone of 16777217 bytes is outside 1..=16777216"},
      {200, Damage::None, Error::Kind::ZoneFull, ", the zone holds 200"},
      {4096, Damage::Version, Error::Kind::Malformed, "unsupported drelix version 2"},
      {4096, Damage::RawByte, Error::Kind::Malformed, "frame 4: checksum mismatch, _frames says "},
      {4096, Damage::ListedHash, Error::Kind::Malformed,
       "frame 9: checksum mismatch, _frames says "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.display);
    std::filesystem::remove(path_);
    make_file(path_);
    write_file(path_ + ".repack", as_bytes("left over from a killed repack"));
    Bytes before = read_file(path_);
    if (c.damage == Damage::Version) {
      before[6] = 2;
      write_file(path_, before);
    } else if (c.damage == Damage::RawByte) {
      const Frame raw = Container::open_read(path_)->frames()[1];  // the level-0 close
      before[16 + 4096 + raw.offset + 5] ^= 0x20;
      write_file(path_, before);
    } else if (c.damage == Damage::ListedHash) {
      test::rewrite_zone(path_, [](Headers& h) {
        std::vector<Frame> frames = parse_frames(*h.get("_frames")).value();
        frames[2].hash ^= 1;
        ASSERT_TRUE(h.set("_frames", render_frames(frames)).has_value());
      });
      before = read_file(path_);
    }
    auto report = repack_with_header_area(path_, 3, c.area);
    ASSERT_FALSE(report.has_value());
    EXPECT_EQ(report.error().kind(), c.kind);
    EXPECT_NE(report.error().to_string().find(c.display), std::string::npos);
    EXPECT_EQ(read_file(path_), before);
    EXPECT_EQ(dir_.names(), Names{"run.drelix"});
  }
}

TEST_F(RepackTest, StaleTemporaryFileIsReused) {
  make_file(path_);
  write_file(path_ + ".repack", as_bytes("left over from a crash, and longer than nothing"));
  const Records original = read_records(path_);
  auto report = repack_with_header_area(path_, 0, 4096);
  ASSERT_TRUE(report.has_value()) << report.error().to_string();
  EXPECT_EQ(read_records(path_), original);
  EXPECT_EQ(report->bytes_after, read_file(path_).size());
  EXPECT_EQ(dir_.names(), Names{"run.drelix"});
}

// Through a symbolic link, the file the link names is repacked and the link stays a link.
TEST_F(RepackTest, RepackThroughALinkReplacesItsTarget) {
  std::filesystem::create_directory(dir_.file("data"));
  const std::string target = dir_.file("data/real.drelix");
  make_file(target);
  const Records original = read_records(target);
  std::filesystem::create_symlink("data/real.drelix", path_);
  ASSERT_TRUE(repack_with_header_area(path_, 0, 4096).has_value());
  EXPECT_TRUE(std::filesystem::is_symlink(path_));
  EXPECT_EQ(std::filesystem::read_symlink(path_), "data/real.drelix");
  EXPECT_EQ(test::header(target, "_compression_level"), "0");
  EXPECT_EQ(read_records(target), original);
  EXPECT_EQ(dir_.names(), (Names{"data", "run.drelix"}));
  EXPECT_FALSE(test::exists(target + ".repack"));
}

// A killed repack's full-size temporary file goes at the next open_append or validate.
TEST_F(RepackTest, StaleTemporaryFileIsRemovedByWritersAndValidate) {
  make_file(path_);
  const std::function<bool()> openers[] = {
      [&] { return Container::open_append(path_).has_value(); },
      [&] { return validate(path_).has_value(); },
  };
  for (const auto& open : openers) {
    write_file(path_ + ".repack", as_bytes("left over from a killed repack"));
    EXPECT_TRUE(open());
    EXPECT_EQ(dir_.names(), Names{"run.drelix"});
  }
}

TEST_F(RepackTest, PermissionsOfTheOldFileAreKept) {
  for (std::uint32_t mode : {0600u, 0640u, 0444u}) {
    SCOPED_TRACE(mode);
    std::filesystem::remove(path_);
    make_file(path_);
    {
      auto file = env().open_read(path_);
      ASSERT_TRUE(file.has_value());
      ASSERT_TRUE((*file)->set_permissions(mode).has_value());
    }
    auto report = repack_with_header_area(path_, 3, 4096);
    ASSERT_TRUE(report.has_value()) << report.error().to_string();
    auto file = env().open_read(path_);
    ASSERT_TRUE(file.has_value());
    EXPECT_EQ((*file)->permissions(), mode);
  }
}

// Every failure while the new file is built or moved leaves the old file as it was and no
// temporary file behind.
TEST_F(RepackTest, InjectedFailuresLeaveTheOldFile) {
  const std::string temp = path_ + ".repack";
  make_file(path_);
  const Bytes before = read_file(path_);

  // Writes: preamble, zero zone, three frames, tail, zone. Opens: the journal probe, the stale
  // temporary file probe, the old file, the temporary file.
  struct Case {
    const char* name;
    FaultEnv::Op op;
    std::uint64_t nth;
    std::string display;
  };
  const std::string eio = Error::io(EIO).to_string();
  const Case cases[] = {
      {"create temporary", FaultEnv::Op::Open, 4, temp + ": " + eio},
      {"preamble write", FaultEnv::Op::Write, 1, eio},
      {"zero zone write", FaultEnv::Op::Write, 2, eio},
      {"first frame write", FaultEnv::Op::Write, 3, eio},
      {"last frame write", FaultEnv::Op::Write, 5, eio},
      {"tail write", FaultEnv::Op::Write, 6, eio},
      {"zone write", FaultEnv::Op::Write, 7, eio},
      {"frame read", FaultEnv::Op::Read, 4, eio},
      {"sync", FaultEnv::Op::Sync, 1, eio},
      {"rename", FaultEnv::Op::Rename, 1, eio},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FaultEnv faults;
    ScopedEnv installed(faults);
    faults.fail_nth(c.op, c.nth, EIO);
    auto report = repack_with_header_area(path_, 0, 4096);
    ASSERT_FALSE(report.has_value());
    EXPECT_EQ(report.error().kind(), Error::Kind::Io);
    EXPECT_EQ(report.error().to_string(), c.display);
    EXPECT_EQ(read_file(path_), before);
    EXPECT_EQ(dir_.names(), Names{"run.drelix"});
  }
}

TEST_F(RepackTest, FailedDirectorySyncIsIgnored) {
  make_file(path_);
  const Records original = read_records(path_);
  FaultEnv faults;
  ScopedEnv installed(faults);
  faults.fail_from_next(FaultEnv::Op::SyncDir, EIO);
  auto report = repack_with_header_area(path_, 19, 4096);
  ASSERT_TRUE(report.has_value()) << report.error().to_string();
  EXPECT_GE(faults.count(FaultEnv::Op::SyncDir), 1u);
  EXPECT_EQ(read_records(path_), original);
}

}  // namespace
}  // namespace drelix
