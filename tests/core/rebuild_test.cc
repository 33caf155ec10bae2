#include <gtest/gtest.h>
#include <zstd.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/codec.h"
#include "core/frames.h"
#include "core/hash.h"
#include "core/maintenance.h"
#include "core/str_cat.h"
#include "tests/core/test_util.h"

namespace drelix {
namespace {

using Lines = std::vector<std::string>;
using test::Draft;
using test::header;
using test::read_file;
using test::u32_records;

std::string frames_line(const std::vector<Frame>& stored, const std::vector<Frame>& derived) {
  return str_cat("_frames: ", drelix::quoted(render_frames(stored)), " -> ",
                 drelix::quoted(render_frames(derived)));
}

class RebuildTest : public test::DirTest {
 protected:
  // Writes `d` and returns its bytes.
  Bytes write(const Draft& d) {
    std::filesystem::remove(path_);
    d.write(path_);
    return read_file(path_);
  }
};

// A file whose zone agrees with its data, a fresh one, and ones whose tail begins with the zstd
// magic (records are arbitrary bytes: that is still a tail) are left alone.
TEST_F(RebuildTest, AgreeingFileHasNoDifferences) {
  const Bytes magic_record = {0x28, 0xB5, 0x2F, 0xFD};
  const struct {
    const char* name;
    std::function<void(Draft&)> build;
  } cases[] = {
      {"fresh", [](Draft&) {}},
      {"frames and tail",
       [](Draft& d) {
         d.add_frame(1, u32_records(0, 50), 3);
         d.add_frame(2, u32_records(50, 50), 0);  // a raw frame in the middle
         d.add_frame(3, u32_records(100, 50), 19);
         d.add_bytes(u32_records(150, 3));
       }},
      {"magic tail after a frame",
       [&](Draft& d) {
         d.add_frame(1, u32_records(0, 10), 3);
         d.add_bytes(test::concat({magic_record, u32_records(7, 3)}));
       }},
      {"magic tail alone",
       [&](Draft& d) {
         d.add_bytes(test::concat({magic_record, u32_records(7, 3)}));
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Draft d;
    c.build(d);
    const Bytes before = write(d);
    for (bool fix : {false, true}) {
      auto report = rebuild_headers(path_, fix);
      ASSERT_TRUE(report.has_value()) << report.error().to_string();
      EXPECT_EQ(report->differences, Lines{});
      EXPECT_FALSE(report->fixed);
      EXPECT_EQ(read_file(path_), before);
    }
  }
}

// Each draft's zone disagrees with its data. The dry run reports the differences and writes
// nothing; the fix reports the same, writes exactly the reported values into the zone and
// nothing else, and leaves a file that a second run and validate find clean.
TEST_F(RebuildTest, FixWritesWhatTheDataShows) {
  const struct {
    const char* name;
    std::function<Lines(Draft&)> build;  // returns the expected differences
  } cases[] = {
      {"zone lost its last frame",
       [](Draft& d) {
         d.add_frame(5, u32_records(0, 10), 3);
         d.add_frame(9, u32_records(10, 20), 3);
         d.add_frame(2, u32_records(30, 30), 3);
         d.add_bytes(u32_records(60, 2));
         d.frames.pop_back();
         d.records = 30;
         d.bytes_raw = 120;
         std::vector<Frame> derived = d.actual;
         derived[2].id = 10;  // the id after the largest stored one
         return Lines{frames_line(d.frames, derived), "_records: 30 -> 60",
                      "_bytes_raw: 120 -> 240"};
       }},
      {"hash zero frames get checksums",
       [](Draft& d) {
         d.add_frame(1, u32_records(0, 10), 3);
         d.add_frame(2, u32_records(10, 10), 0);
         for (Frame& f : d.frames) f.hash = 0;
         return Lines{frames_line(d.frames, d.actual)};
       }},
      {"frame larger than the first window",
       [](Draft& d) {
         std::mt19937 rng(7);
         Bytes noise(700 * 1024);
         for (auto& b : noise) b = static_cast<std::uint8_t>(rng());
         d.add_frame(1, noise, 3);
         d.add_frame(2, u32_records(0, 10), 3);
         EXPECT_GT(d.actual[0].len, 2u * 262144) << "needs at least two window doublings";
         d.frames.clear();
         d.records = 0;
         d.bytes_raw = 0;
         std::vector<Frame> derived = d.actual;
         derived[0].id = 0;
         derived[1].id = 1;
         return Lines{frames_line({}, derived), str_cat("_records: 0 -> ", 700 * 256 + 10),
                      str_cat("_bytes_raw: 0 -> ", 700 * 1024 + 40)};
       }},
      {"raw frames recognised where the list says they begin",
       [](Draft& d) {
         d.add_frame(4, u32_records(0, 10), 0);
         d.add_frame(6, u32_records(10, 10), 3);
         d.add_frame(8, u32_records(20, 10), 0);
         d.add_bytes(u32_records(30, 1));
         d.bytes_raw = 999;
         d.frames[2].hash = 0;
         return Lines{frames_line(d.frames, d.actual), "_bytes_raw: 999 -> 120"};
       }},
      {"ids follow the entry that begins at the same offset",
       [](Draft& d) {
         d.add_frame(11, u32_records(0, 3), 3);
         d.add_frame(22, u32_records(3, 3), 3);
         std::swap(d.frames[0], d.frames[1]);  // listed out of file order
         return Lines{frames_line(d.frames, d.actual)};
       }},
      {"tail after the listed frames is no gap",
       [](Draft& d) {
         d.add_frame(1, u32_records(0, 10), 3);
         d.add_bytes(u32_records(10, 5));
         d.records = 3;
         return Lines{"_records: 3 -> 10"};
       }},
      // Counters compare as text.
      {"signed and zero-padded counters",
       [](Draft& d) {
         d.add_frame(1, u32_records(0, 5), 3);
         d.overrides = {{"_records", "+5"}, {"_bytes_raw", "020"}};
         return Lines{"_records: +5 -> 5", "_bytes_raw: 020 -> 20"};
       }},
      {"unparsable counters",
       [](Draft& d) {
         d.add_frame(1, u32_records(0, 5), 3);
         d.overrides = {{"_records", "abc"}, {"_bytes_raw", ""}};
         return Lines{"_records: abc -> 5", "_bytes_raw:  -> 20"};
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Draft d;
    const Lines expected = c.build(d);
    const Bytes before = write(d);
    auto dry = rebuild_headers(path_, false);
    ASSERT_TRUE(dry.has_value()) << dry.error().to_string();
    EXPECT_EQ(dry->differences, expected);
    EXPECT_FALSE(dry->fixed);
    EXPECT_EQ(read_file(path_), before);

    auto fixed = rebuild_headers(path_, true);
    ASSERT_TRUE(fixed.has_value()) << fixed.error().to_string();
    EXPECT_EQ(fixed->differences, expected);
    EXPECT_TRUE(fixed->fixed);
    for (const std::string& line : expected) {
      const std::string key = line.substr(0, line.find(':'));
      std::string value = line.substr(line.find(" -> ") + 4);
      if (key == "_frames") value = value.substr(1, value.size() - 2);  // unquoted
      EXPECT_EQ(header(path_, key), value);
    }
    const Bytes after = read_file(path_);
    const std::uint64_t zone_end = 16 + d.header_area;
    ASSERT_EQ(after.size(), before.size());
    EXPECT_EQ(test::slice(after, 0, 16), test::slice(before, 0, 16));
    EXPECT_EQ(test::slice(after, zone_end, after.size()),
              test::slice(before, zone_end, before.size()));

    auto again = rebuild_headers(path_, false);
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(again->differences, Lines{});
    auto checked = validate(path_);
    ASSERT_TRUE(checked.has_value());
    EXPECT_EQ(checked->problems, Lines{});
  }
}

// A listed checksum that the bytes fail is the only witness of damage to a raw frame (or to a
// zstd frame without a content checksum of its own): the fix keeps it, so validate still
// reports the damage. A zstd frame that decodes with its content checksum proved its bytes, and
// a stale listed checksum there is replaced.
TEST_F(RebuildTest, FixNeverBlessesDamagedBytes) {
  const struct {
    const char* name;
    std::function<void(Draft&)> damage;  // of frame 1, after an intact frame 0
    bool replaced;
  } cases[] = {
      {"raw frame with a flipped byte",
       [](Draft& d) {
         d.add_frame(2, u32_records(10, 10), 0);
         d.data.back() ^= 0x10;
       },
       false},
      {"zstd frame without a content checksum, stale listed hash",
       [](Draft& d) {
         const Bytes content = u32_records(10, 10);
         Bytes frame(ZSTD_compressBound(content.size()));
         frame.resize(ZSTD_compress(frame.data(), frame.size(), content.data(), content.size(), 3));
         ASSERT_FALSE(declares_content_checksum(frame));
         d.actual.push_back(Frame{2, d.data.size(), frame.size(), xxh64(frame)});
         d.frames.push_back(d.actual.back());
         d.frames.back().hash ^= 1;
         d.add_bytes(frame);
         d.records += 10;
         d.bytes_raw += 40;
       },
       false},
      {"zstd frame with a content checksum, stale listed hash",
       [](Draft& d) { d.add_frame(2, u32_records(10, 10), 3).hash ^= 1; }, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Draft d;
    d.add_frame(1, u32_records(0, 10), 3);
    c.damage(d);
    write(d);
    auto fixed = rebuild_headers(path_, true);
    ASSERT_TRUE(fixed.has_value()) << fixed.error().to_string();
    const Lines expected =
        c.replaced ? Lines{frames_line(d.frames, {d.actual[0], d.actual[1]})} : Lines{};
    EXPECT_EQ(fixed->differences, expected);
    EXPECT_EQ(header(path_, "_frames"),
              render_frames(c.replaced ? std::vector<Frame>{d.actual[0], d.actual[1]} : d.frames));
    auto checked = validate(path_);
    ASSERT_TRUE(checked.has_value());
    EXPECT_EQ(checked->problems.empty(), c.replaced) << testing::PrintToString(checked->problems);
  }
}

// What the scan cannot account for makes the fix refuse, writing nothing.
TEST_F(RebuildTest, RefusalsWriteNothing) {
  const std::string unaccounted = "the data section has bytes no frame accounts for at offset ";
  const std::string refusing = "; refusing to rewrite _frames";
  struct Outcome {
    std::optional<Lines> dry;  // nothing: the dry run fails as the fix does
    Error::Kind kind;
    std::string text;  // a part of the display text of the fix's error
  };
  const struct {
    const char* name;
    std::function<Outcome(Draft&)> build;
  } cases[] = {
      {"entry the scan cannot reach",
       [&](Draft& d) {
         d.add_frame(1, u32_records(0, 10), 3);
         const std::uint64_t tail_at = d.data.size();
         d.add_bytes(u32_records(10, 4));
         // An entry over the tail's last two records: nothing begins where the scan stands.
         d.frames.push_back(Frame{2, tail_at + 8, 8, 0});
         return Outcome{Lines{frames_line(d.frames, {d.actual[0]})}, Error::Kind::Malformed,
                        str_cat(unaccounted, tail_at, refusing)};
       }},
      {"gap",
       [&](Draft& d) {
         d.add_frame(1, u32_records(0, 10), 3);
         const std::uint64_t gap_at = d.data.size();
         d.add_bytes(as_bytes("junk!"));
         d.add_frame(2, u32_records(10, 10), 3);
         return Outcome{Lines{frames_line(d.frames, {d.actual[0]}), "_records: 20 -> 10",
                              "_bytes_raw: 80 -> 40"},
                        Error::Kind::Malformed, str_cat(unaccounted, gap_at, refusing)};
       }},
      {"torn record inside a decodable frame",
       [](Draft& d) {
         d.add_frame(1, u32_records(0, 10), 3);
         const std::uint64_t torn_at = d.data.size();
         d.add_frame(2, test::concat({u32_records(10, 2), {1, 2, 3}}), 3);
         return Outcome{
             std::nullopt, Error::Kind::Malformed,
             str_cat("frame at offset ", torn_at, ": 3 torn bytes inside a closed frame")};
       }},
      {"undecodable listed frame",
       [](Draft& d) {
         d.add_frame(1, u32_records(0, 1000), 3);
         d.data.back() ^= 0xff;  // the content checksum at the frame's end no longer matches
         return Outcome{std::nullopt, Error::Kind::Compression, ""};
       }},
      {"fix that does not fit the zone",
       [](Draft& d) {
         for (std::uint32_t i = 0; i < 40; ++i) d.add_frame(i, u32_records(i, 1), 3);
         d.frames.clear();
         d.records = 0;
         d.bytes_raw = 0;
         d.header_area = 1024;  // holds the empty list, not forty checksummed entries
         return Outcome{
             Lines{frames_line({}, d.actual), "_records: 0 -> 40", "_bytes_raw: 0 -> 160"},
             Error::Kind::ZoneFull, ", the zone holds 1024"};
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Draft d;
    const Outcome expected = c.build(d);
    const Bytes before = write(d);
    for (bool fix : {false, true}) {
      auto report = rebuild_headers(path_, fix);
      if (!fix && expected.dry) {
        ASSERT_TRUE(report.has_value()) << report.error().to_string();
        EXPECT_EQ(report->differences, *expected.dry);
      } else {
        ASSERT_FALSE(report.has_value()) << fix;
        EXPECT_EQ(report.error().kind(), expected.kind);
        EXPECT_NE(report.error().to_string().find(expected.text), std::string::npos)
            << report.error().to_string();
      }
      EXPECT_EQ(read_file(path_), before);
    }
  }
}

}  // namespace
}  // namespace drelix
