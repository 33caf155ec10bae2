#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "core/codec.h"
#include "core/container.h"
#include "core/error.h"
#include "core/file.h"
#include "core/frames.h"
#include "core/hash.h"
#include "core/headers.h"
#include "core/maintenance.h"
#include "core/numbers.h"
#include "core/schema.h"
#include "core/str_cat.h"
#include "tests/core/fault_env.h"

namespace drelix {
namespace {

class TempDir {
 public:
  TempDir() {
    std::string pattern = ::testing::TempDir() + "/drelix_repack_XXXXXX";
    const char* made = mkdtemp(pattern.data());
    EXPECT_NE(made, nullptr);
    path_ = pattern;
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  // The names in the directory, sorted.
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& entry : std::filesystem::directory_iterator(path_)) {
      out.push_back(entry.path().filename().string());
    }
    std::sort(out.begin(), out.end());
    return out;
  }

 private:
  std::string path_;
};

Bytes slurp(const std::string& path) {
  auto file = env().open_read(path);
  EXPECT_TRUE(file.has_value());
  auto len = (*file)->length();
  Bytes bytes(static_cast<std::size_t>(*len));
  EXPECT_TRUE((*file)->read_exact_at(0, bytes).has_value());
  return bytes;
}

void spill(const std::string& path, ByteView bytes) {
  auto file = env().create_truncate(path, 0666);
  ASSERT_TRUE(file.has_value());
  ASSERT_TRUE((*file)->write_all_at(0, bytes).has_value());
}

Schema notes_schema() {
  Schema s;
  s.name = "notes";
  s.fields = {{"n", "u32", 0}};
  s.layout = RecordLayout::prefixed();
  return s;
}

// A length-prefixed record body: a counter, then `extra` bytes of a pattern.
Bytes note(std::uint32_t n, std::size_t extra) {
  Bytes body(4 + extra);
  store_u32le(body.data(), n);
  for (std::size_t i = 0; i < extra; ++i)
    body[4 + i] = static_cast<std::uint8_t>('a' + (n + i) % 26);
  return body;
}

// A file made the ordinary way: three closes (two sharing id 4, at three levels), a user
// header, and a tail of three records.
void make_file(const std::string& path, std::uint32_t header_area = 4096) {
  auto c = Container::create(path, notes_schema(), "test", "test", 0, header_area,
                             {{"owner", "ops"}, {"site", "north"}});
  ASSERT_TRUE(c.has_value()) << c.error().to_string();
  std::uint32_t n = 0;
  const std::pair<std::uint64_t, std::int32_t> closes[] = {{4, 3}, {4, 0}, {9, 19}};
  for (const auto& [id, level] : closes) {
    for (int i = 0; i < 40; ++i, ++n) ASSERT_TRUE(c->append_record(note(n, n % 50)).has_value());
    ASSERT_TRUE(c->close_frame(id, level).has_value());
  }
  for (int i = 0; i < 3; ++i, ++n) ASSERT_TRUE(c->append_record(note(n, 7)).has_value());
  ASSERT_TRUE(c->flush_data().has_value());
}

// Everything a reader sees of a file's records.
struct Records {
  std::vector<std::uint64_t> ids;
  std::vector<std::vector<Bytes>> frames;
  std::vector<Bytes> tail;

  bool operator==(const Records&) const = default;
};

std::vector<Bytes> split(ByteView data) {
  std::vector<Bytes> out;
  const std::uint64_t torn = for_each_record(
      data, notes_schema().layout, [&out](ByteView r) { out.emplace_back(r.begin(), r.end()); });
  EXPECT_EQ(torn, 0u);
  return out;
}

Records read_records(const std::string& path) {
  Records r;
  auto c = Container::open_read(path);
  EXPECT_TRUE(c.has_value()) << c.error().to_string();
  for (std::uint64_t i = 0; i < c->frames().size(); ++i) {
    r.ids.push_back(c->frames()[i].id);
    auto content = c->read_frame_at(i);
    EXPECT_TRUE(content.has_value()) << content.error().to_string();
    r.frames.push_back(split(*content));
  }
  auto tail = c->read_tail();
  EXPECT_TRUE(tail.has_value());
  r.tail = split(*tail);
  return r;
}

void rewrite_zone(const std::string& path, const std::function<void(Headers&)>& edit) {
  auto peeked = peek_headers(path);
  ASSERT_TRUE(peeked.has_value());
  edit(peeked->headers);
  auto zone = peeked->headers.render(peeked->preamble.header_area);
  ASSERT_TRUE(zone.has_value());
  auto file = env().open_read_write(path);
  ASSERT_TRUE(file.has_value());
  ASSERT_TRUE((*file)->write_all_at(16, *zone).has_value());
}

// The header pairs other than the three a repack sets.
std::vector<Headers::Pair> kept_headers(const Headers& h) {
  std::vector<Headers::Pair> out;
  for (const auto& p : h.pairs()) {
    if (p.first != "_frames" && p.first != "_compression" && p.first != "_compression_level") {
      out.push_back(p);
    }
  }
  return out;
}

// Checks the layout of a repacked file byte by byte against what it must hold.
void expect_layout(const std::string& path, std::int32_t level, std::uint32_t header_area) {
  const Bytes image = slurp(path);
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

TEST(RepackTest, RoundTripsAcrossLevelsAndZoneSizes) {
  TempDir dir;
  const std::string path = dir.file("trip.drelix");
  make_file(path);
  const Records original = read_records(path);
  ASSERT_EQ(original.ids, (std::vector<std::uint64_t>{4, 4, 9}));
  auto first = peek_headers(path);
  ASSERT_TRUE(first.has_value());
  const std::vector<Headers::Pair> kept = kept_headers(first->headers);

  const std::pair<std::int32_t, std::uint32_t> steps[] = {
      {0, 4096}, {19, 4096}, {3, 8192}, {0, 1500}, {-5, 3000}, {19, 65536}, {1, 4096}};
  for (const auto& [level, area] : steps) {
    SCOPED_TRACE(str_cat("level ", level, " zone ", area));
    const std::uint64_t before = slurp(path).size();
    auto report = repack_with_header_area(path, level, area);
    ASSERT_TRUE(report.has_value()) << report.error().to_string();
    EXPECT_EQ(report->bytes_before, before);
    EXPECT_EQ(report->bytes_after, slurp(path).size());
    EXPECT_EQ(report->frames, 3u);
    EXPECT_EQ(read_records(path), original);
    expect_layout(path, level, area);
    auto peeked = peek_headers(path);
    ASSERT_TRUE(peeked.has_value());
    EXPECT_EQ(kept_headers(peeked->headers), kept);
    auto checked = validate(path);
    ASSERT_TRUE(checked.has_value());
    EXPECT_EQ(checked->problems, std::vector<std::string>{});
    EXPECT_EQ(dir.names(), std::vector<std::string>{"trip.drelix"});
  }
}

TEST(RepackTest, KeepsTheZoneSizeByDefault) {
  TempDir dir;
  const std::string path = dir.file("same.drelix");
  make_file(path, 6000);
  auto report = repack(path, 0);
  ASSERT_TRUE(report.has_value()) << report.error().to_string();
  expect_layout(path, 0, 6000);
}

TEST(RepackTest, HashZeroFramesGetChecksums) {
  TempDir dir;
  const std::string path = dir.file("hash0.drelix");
  make_file(path);
  rewrite_zone(path, [](Headers& h) {
    auto frames = parse_frames(*h.get("_frames"));
    ASSERT_TRUE(frames.has_value());
    for (Frame& f : *frames) f.hash = 0;
    ASSERT_TRUE(h.set("_frames", render_frames(*frames)).has_value());
  });
  auto report = repack_with_header_area(path, 3, 4096);
  ASSERT_TRUE(report.has_value()) << report.error().to_string();
  auto c = Container::open_read(path);
  ASSERT_TRUE(c.has_value());
  for (const Frame& f : c->frames()) EXPECT_NE(f.hash, 0u);
  expect_layout(path, 3, 4096);
}

TEST(RepackTest, TornTailRecordIsDropped) {
  TempDir dir;
  const std::string path = dir.file("torn.drelix");
  make_file(path);
  const Records original = read_records(path);
  Bytes image = slurp(path);
  image.insert(image.end(), {9, 0, 'x', 'y'});  // promises 9 bytes, holds 2
  spill(path, image);

  auto report = repack_with_header_area(path, 0, 4096);
  ASSERT_TRUE(report.has_value()) << report.error().to_string();
  EXPECT_EQ(report->bytes_before, image.size());
  EXPECT_EQ(read_records(path), original);
  const Bytes after = slurp(path);
  EXPECT_EQ(report->bytes_after, after.size());
  auto c = Container::open_read(path);
  ASSERT_TRUE(c.has_value());
  const std::uint64_t tail_bytes = 3 * (2 + 4 + 7);
  EXPECT_EQ(c->tail_start() + tail_bytes, after.size());
}

TEST(RepackTest, FileWithoutFramesKeepsItsTail) {
  TempDir dir;
  const std::string path = dir.file("noframes.drelix");
  {
    auto c = Container::create(path, notes_schema(), "test", "test", 0, 4096, {});
    ASSERT_TRUE(c.has_value());
    ASSERT_TRUE(c->append_record(note(1, 3)).has_value());
    ASSERT_TRUE(c->flush_data().has_value());
  }
  auto report = repack_with_header_area(path, 19, 2048);
  ASSERT_TRUE(report.has_value()) << report.error().to_string();
  EXPECT_EQ(report->frames, 0u);
  EXPECT_EQ(report->bytes_after, 16u + 2048 + 2 + 7);
  EXPECT_EQ(read_records(path).tail, std::vector<Bytes>{note(1, 3)});
}

TEST(RepackTest, ZoneSizeOutOfRangeIsRefused) {
  for (std::uint32_t area : {0u, 16777217u}) {
    SCOPED_TRACE(area);
    TempDir dir;
    const std::string path = dir.file("range.drelix");
    make_file(path);
    const Bytes before = slurp(path);
    auto report = repack_with_header_area(path, 3, area);
    ASSERT_FALSE(report.has_value());
    EXPECT_EQ(report.error().kind(), Error::Kind::Usage);
    EXPECT_EQ(report.error().message(),
              str_cat("header zone of ", area, " bytes is outside 1..=16777216"));
    EXPECT_EQ(slurp(path), before);
    EXPECT_EQ(dir.names(), std::vector<std::string>{"range.drelix"});
  }
}

TEST(RepackTest, ZoneTooSmallLeavesTheOldFile) {
  TempDir dir;
  const std::string path = dir.file("small.drelix");
  make_file(path);
  const Bytes before = slurp(path);
  auto report = repack_with_header_area(path, 3, 200);
  ASSERT_FALSE(report.has_value());
  EXPECT_EQ(report.error().kind(), Error::Kind::ZoneFull);
  EXPECT_EQ(report.error().have(), 200u);
  EXPECT_EQ(slurp(path), before);
  EXPECT_EQ(dir.names(), std::vector<std::string>{"small.drelix"});
}

TEST(RepackTest, StaleTemporaryFileIsReused) {
  TempDir dir;
  const std::string path = dir.file("stale.drelix");
  make_file(path);
  spill(path + ".repack", as_bytes("left over from a crash, and longer than nothing"));
  const Records original = read_records(path);
  auto report = repack_with_header_area(path, 0, 4096);
  ASSERT_TRUE(report.has_value()) << report.error().to_string();
  EXPECT_EQ(read_records(path), original);
  EXPECT_EQ(report->bytes_after, slurp(path).size());
  EXPECT_EQ(dir.names(), std::vector<std::string>{"stale.drelix"});
}

TEST(RepackTest, PermissionsOfTheOldFileAreKept) {
  for (std::uint32_t mode : {0600u, 0640u, 0444u}) {
    SCOPED_TRACE(mode);
    TempDir dir;
    const std::string path = dir.file("perm.drelix");
    make_file(path);
    {
      auto file = env().open_read(path);
      ASSERT_TRUE(file.has_value());
      ASSERT_TRUE((*file)->set_permissions(mode).has_value());
    }
    auto report = repack_with_header_area(path, 3, 4096);
    ASSERT_TRUE(report.has_value()) << report.error().to_string();
    auto file = env().open_read(path);
    ASSERT_TRUE(file.has_value());
    EXPECT_EQ((*file)->permissions(), mode);
  }
}

// Every failure while the new file is built or moved leaves the old file as it was and no
// temporary file behind.
TEST(RepackTest, InjectedFailuresLeaveTheOldFile) {
  TempDir dir;
  const std::string path = dir.file("faults.drelix");
  const std::string temp = path + ".repack";
  make_file(path);
  const Bytes before = slurp(path);

  // Writes: preamble, zero zone, three frames, tail, zone. Opens: the journal probe, the old
  // file, the temporary file.
  struct Case {
    const char* name;
    FaultEnv::Op op;
    std::uint64_t nth;
    std::string display;
  };
  const std::string eio = Error::io(EIO).to_string();
  const Case cases[] = {
      {"create temporary", FaultEnv::Op::Open, 3, temp + ": " + eio},
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
    auto report = repack_with_header_area(path, 0, 4096);
    ASSERT_FALSE(report.has_value());
    EXPECT_EQ(report.error().kind(), Error::Kind::Io);
    EXPECT_EQ(report.error().to_string(), c.display);
    EXPECT_EQ(slurp(path), before);
    EXPECT_EQ(dir.names(), std::vector<std::string>{"faults.drelix"});
  }
}

TEST(RepackTest, FailedDirectorySyncIsIgnored) {
  TempDir dir;
  const std::string path = dir.file("dirsync.drelix");
  make_file(path);
  const Records original = read_records(path);
  FaultEnv faults;
  ScopedEnv installed(faults);
  faults.fail_from_next(FaultEnv::Op::SyncDir, EIO);
  auto report = repack_with_header_area(path, 19, 4096);
  ASSERT_TRUE(report.has_value()) << report.error().to_string();
  EXPECT_GE(faults.count(FaultEnv::Op::SyncDir), 1u);
  EXPECT_EQ(read_records(path), original);
}

TEST(RepackTest, MalformedOldFileCreatesNoTemporary) {
  TempDir dir;
  const std::string path = dir.file("bad.drelix");
  make_file(path);
  Bytes image = slurp(path);
  image[6] = 2;
  spill(path, image);
  auto report = repack_with_header_area(path, 3, 4096);
  ASSERT_FALSE(report.has_value());
  EXPECT_EQ(report.error().message(), "unsupported drelix version 2");
  EXPECT_EQ(dir.names(), std::vector<std::string>{"bad.drelix"});
}

}  // namespace
}  // namespace drelix
