#include <gtest/gtest.h>
#include <zstd.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/codec.h"
#include "core/hash.h"
#include "core/maintenance.h"
#include "core/str_cat.h"
#include "tests/core/test_util.h"

namespace drelix {
namespace {

using Lines = std::vector<std::string>;
using test::Draft;
using test::read_file;
using test::u32_records;

std::string frames_line(const std::vector<Frame>& stored, const std::vector<Frame>& derived) {
  return str_cat("_frames: ", drelix::quoted(render_frames(stored)), " -> ",
                 drelix::quoted(render_frames(derived)));
}

class RebuildTest : public test::DirTest {
 protected:
  Bytes write(const Draft& d) {
    std::filesystem::remove(path_);
    d.write(path_);
    return read_file(path_);
  }
};

// Each draft's zone agrees with its data or not. The dry run reports the differences and writes
// nothing; the fix reports the same, writes exactly the reported values into the zone and
// nothing else (nothing at all when nothing differs), and leaves a file that a second run and
// validate find clean.
TEST_F(RebuildTest, FixWritesWhatTheDataShows) {
  const Bytes magic = {0x28, 0xB5, 0x2F, 0xFD};
  const std::function<Lines(Draft&)> cases[] = {
      [](Draft&) { return Lines{}; },
      // A tail may begin with the zstd magic: records are arbitrary bytes.
      [&](Draft& d) {
        d.add_frame(1, u32_records(0, 50), 3);
        d.add_frame(2, u32_records(50, 50), 0);
        d.add_frame(3, u32_records(100, 50), 19);
        d.add_bytes(test::concat({magic, u32_records(7, 3)}));
        return Lines{};
      },
      [&](Draft& d) {
        d.add_bytes(test::concat({magic, u32_records(7, 3)}));
        return Lines{};
      },
      // The zone lost its last frame, which gets the id after the largest stored one.
      [](Draft& d) {
        d.add_frame(5, u32_records(0, 10), 3);
        d.add_frame(9, u32_records(10, 20), 3);
        d.add_frame(2, u32_records(30, 30), 3);
        d.add_bytes(u32_records(60, 2));
        d.frames.pop_back();
        d.records = 30;
        d.bytes_raw = 120;
        std::vector<Frame> derived = d.actual;
        derived[2].id = 10;
        return Lines{frames_line(d.frames, derived), "_records: 30 -> 60",
                     "_bytes_raw: 120 -> 240"};
      },
      // Frames listed without checksums get them; raw frames are recognised where the list says
      // they begin.
      [](Draft& d) {
        d.add_frame(4, u32_records(0, 10), 0);
        d.add_frame(6, u32_records(10, 10), 3);
        d.add_frame(8, u32_records(20, 10), 0);
        d.add_bytes(u32_records(30, 1));
        d.bytes_raw = 999;
        d.frames[0].hash = d.frames[2].hash = 0;
        return Lines{frames_line(d.frames, d.actual), "_bytes_raw: 999 -> 120"};
      },
      // Nothing listed, and a frame larger than the scan's first window.
      [](Draft& d) {
        std::mt19937 rng(7);
        Bytes noise(700 * 1024);
        for (auto& b : noise) b = static_cast<std::uint8_t>(rng());
        d.add_frame(1, noise, 3);
        d.add_frame(2, u32_records(0, 10), 3);
        EXPECT_GT(d.actual[0].len, 2u * 262144);
        d.frames.clear();
        d.records = d.bytes_raw = 0;
        std::vector<Frame> derived = d.actual;
        derived[0].id = 0;
        derived[1].id = 1;
        return Lines{frames_line({}, derived), str_cat("_records: 0 -> ", 700 * 256 + 10),
                     str_cat("_bytes_raw: 0 -> ", 700 * 1024 + 40)};
      },
      // Ids follow the entry that begins at the same offset, whatever the list order.
      [](Draft& d) {
        d.add_frame(11, u32_records(0, 3), 3);
        d.add_frame(22, u32_records(3, 3), 3);
        std::swap(d.frames[0], d.frames[1]);
        return Lines{frames_line(d.frames, d.actual)};
      },
      // The tail after the listed frames is no gap; counters compare as text.
      [](Draft& d) {
        d.add_frame(1, u32_records(0, 5), 3);
        d.add_bytes(u32_records(5, 5));
        d.overrides = {{"_records", "+5"}, {"_bytes_raw", ""}};
        return Lines{"_records: +5 -> 5", "_bytes_raw:  -> 20"};
      },
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    Draft d;
    const Lines expected = cases[i](d);
    const Bytes before = write(d);
    auto dry = rebuild_headers(path_, false);
    ASSERT_TRUE(dry.has_value()) << dry.error().to_string();
    EXPECT_EQ(dry->differences, expected);
    EXPECT_FALSE(dry->fixed);
    EXPECT_EQ(read_file(path_), before);

    auto fixed = rebuild_headers(path_, true);
    ASSERT_TRUE(fixed.has_value()) << fixed.error().to_string();
    EXPECT_EQ(fixed->differences, expected);
    EXPECT_EQ(fixed->fixed, !expected.empty());
    for (const std::string& line : expected) {
      const std::string key = line.substr(0, line.find(':'));
      std::string value = line.substr(line.find(" -> ") + 4);
      if (key == "_frames") value = value.substr(1, value.size() - 2);  // unquoted
      EXPECT_EQ(test::header(path_, key), value);
    }
    const Bytes after = read_file(path_);
    const std::uint64_t zone_end = 16 + d.header_area;
    ASSERT_EQ(after.size(), before.size());
    EXPECT_EQ(test::slice(after, 0, 16), test::slice(before, 0, 16));
    EXPECT_TRUE(expected.empty() ? after == before
                                 : test::slice(after, zone_end, after.size()) ==
                                       test::slice(before, zone_end, before.size()));
    EXPECT_EQ(rebuild_headers(path_, false).value().differences, Lines{});
    EXPECT_EQ(validate(path_).value().problems, Lines{});
  }
}

// A listed checksum that the bytes fail is the only witness of damage to a raw frame (or to a
// zstd frame without a content checksum): the fix keeps it, so validate still reports the
// damage. A zstd frame that decodes with its content checksum proved its bytes, and a stale
// listed checksum there is replaced.
TEST_F(RebuildTest, FixNeverBlessesDamagedBytes) {
  const std::pair<std::function<void(Draft&)>, bool> cases[] = {
      {[](Draft& d) {
         d.add_frame(2, u32_records(10, 10), 0);
         d.data.back() ^= 0x10;
       },
       false},
      {[](Draft& d) {
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
      {[](Draft& d) { d.add_frame(2, u32_records(10, 10), 3).hash ^= 1; }, true},
  };
  for (const auto& [damage, replaced] : cases) {
    SCOPED_TRACE(replaced);
    Draft d;
    d.add_frame(1, u32_records(0, 10), 3);
    damage(d);
    write(d);
    auto fixed = rebuild_headers(path_, true);
    ASSERT_TRUE(fixed.has_value()) << fixed.error().to_string();
    EXPECT_EQ(fixed->differences, replaced ? Lines{frames_line(d.frames, d.actual)} : Lines{});
    EXPECT_EQ(test::header(path_, "_frames"), render_frames(replaced ? d.actual : d.frames));
    EXPECT_EQ(validate(path_).value().problems.empty(), replaced);
  }
}

// What the scan cannot account for makes the fix refuse, writing nothing; the dry run reports
// what it can.
TEST_F(RebuildTest, RefusalsWriteNothing) {
  const std::string unaccounted = "the data section has bytes no frame accounts for at offset ";
  const std::string refusing = "; refusing to rewrite _frames";
  struct Outcome {
    std::optional<Lines> dry;  // nothing: the dry run fails as the fix does
    Error::Kind kind;
    std::string text;  // a part of the display text of the fix's error
  };
  const std::function<Outcome(Draft&)> cases[] = {
      // An entry over the tail's last two records: nothing begins where the scan stands.
      [&](Draft& d) {
        d.add_frame(1, u32_records(0, 10), 3);
        const std::uint64_t tail_at = d.data.size();
        d.add_bytes(u32_records(10, 4));
        d.frames.push_back(Frame{2, tail_at + 8, 8, 0});
        return Outcome{Lines{frames_line(d.frames, {d.actual[0]})}, Error::Kind::Malformed,
                       str_cat(unaccounted, tail_at, refusing)};
      },
      [&](Draft& d) {
        d.add_frame(1, u32_records(0, 10), 3);
        const std::uint64_t gap_at = d.data.size();
        d.add_bytes(as_bytes("junk!"));
        d.add_frame(2, u32_records(10, 10), 3);
        return Outcome{Lines{frames_line(d.frames, {d.actual[0]}), "_records: 20 -> 10",
                             "_bytes_raw: 80 -> 40"},
                       Error::Kind::Malformed, str_cat(unaccounted, gap_at, refusing)};
      },
      [](Draft& d) {
        d.add_frame(1, u32_records(0, 10), 3);
        const std::uint64_t torn_at = d.data.size();
        d.add_frame(2, test::concat({u32_records(10, 2), {1, 2, 3}}), 3);
        return Outcome{std::nullopt, Error::Kind::Malformed,
                       str_cat("frame at offset ", torn_at, ": 3 torn bytes inside a closed frame")};
      },
      [](Draft& d) {
        d.add_frame(1, u32_records(0, 1000), 3);
        d.data.back() ^= 0xff;  // the content checksum at the frame's end no longer matches
        return Outcome{std::nullopt, Error::Kind::Compression, ""};
      },
      [](Draft& d) {
        for (std::uint32_t i = 0; i < 40; ++i) d.add_frame(i, u32_records(i, 1), 3);
        d.frames.clear();
        d.records = d.bytes_raw = 0;
        d.header_area = 1024;  // holds the empty list, not forty checksummed entries
        return Outcome{
            Lines{frames_line({}, d.actual), "_records: 0 -> 40", "_bytes_raw: 0 -> 160"},
            Error::Kind::ZoneFull, ", the zone holds 1024"};
      },
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    Draft d;
    const Outcome expected = cases[i](d);
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
