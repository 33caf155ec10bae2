#include "core/frames.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "core/numbers.h"

namespace drelix {
namespace {

constexpr const char* kEmpty = "cannot parse integer from empty string";
constexpr const char* kInvalid = "invalid digit found in string";
constexpr const char* kTooLarge = "number too large to fit in target type";

std::string bad_frame(const std::string& quoted_token, const char* reason) {
  return "bad frame " + quoted_token + ": " + reason;
}

TEST(FramesTest, ParseAndRenderCanonicalTexts) {
  const struct {
    std::string text;
    std::vector<Frame> want;
  } cases[] = {
      {"", {}},
      {"1,0,100", {{1, 0, 100, 0}}},
      {"1,0,100,0000000000abcdef", {{1, 0, 100, 0xabcdef}}},
      {"7,0,10;3,10,20,ffffffffffffffff", {{7, 0, 10, 0}, {3, 10, 20, UINT64_MAX}}},
      {"18446744073709551615,18446744073709551615,18446744073709551615,0000000000000001",
       {{UINT64_MAX, UINT64_MAX, UINT64_MAX, 1}}},
      // Any order, overlaps and repeated ids are all kept as written.
      {"5,100,50;5,0,200;2,10,10", {{5, 100, 50, 0}, {5, 0, 200, 0}, {2, 10, 10, 0}}},
      {"0,0,0", {{0, 0, 0, 0}}},
  };
  for (const auto& c : cases) {
    const auto got = parse_frames(c.text);
    ASSERT_TRUE(got.has_value()) << c.text << ": " << got.error().to_string();
    EXPECT_EQ(*got, c.want) << c.text;
    EXPECT_EQ(render_frames(c.want), c.text);
  }
}

// Texts a writer would not produce but a reader accepts; each renders in canonical form.
TEST(FramesTest, ParseNonCanonicalTexts) {
  const struct {
    std::string text;
    std::vector<Frame> want;
    std::string canonical;
  } cases[] = {
      {";;", {}, ""},
      {";1,0,100;;2,100,50;", {{1, 0, 100, 0}, {2, 100, 50, 0}}, "1,0,100;2,100,50"},
      {"1,0,100,0000000000000000", {{1, 0, 100, 0}}, "1,0,100"},
      {"1,0,100,", {{1, 0, 100, 0}}, "1,0,100"},
      {"1,0,100,ABCDEF", {{1, 0, 100, 0xabcdef}}, "1,0,100,0000000000abcdef"},
      {"1,0,100,aBcD", {{1, 0, 100, 0xabcd}}, "1,0,100,000000000000abcd"},
      {"+1,+0,+5,+ab", {{1, 0, 5, 0xab}}, "1,0,5,00000000000000ab"},
      {"0001,00,005", {{1, 0, 5, 0}}, "1,0,5"},
      {"018446744073709551615,0,0", {{UINT64_MAX, 0, 0, 0}}, "18446744073709551615,0,0"},
      // 17 hexadecimal digits fit when the first is zero.
      {"1,0,100,0ffffffffffffffff", {{1, 0, 100, UINT64_MAX}}, "1,0,100,ffffffffffffffff"},
      {"1,0,100,00000000000000000000000001", {{1, 0, 100, 1}}, "1,0,100,0000000000000001"},
  };
  for (const auto& c : cases) {
    const auto got = parse_frames(c.text);
    ASSERT_TRUE(got.has_value()) << c.text << ": " << got.error().to_string();
    EXPECT_EQ(*got, c.want) << c.text;
    EXPECT_EQ(render_frames(*got), c.canonical) << c.text;
  }
}

TEST(FramesTest, ParseFailures) {
  const struct {
    std::string text;
    std::string message;
  } cases[] = {
      {"1,0", bad_frame("\"1,0\"", kEmpty)},
      {"1,0,", bad_frame("\"1,0,\"", kEmpty)},
      {",0,0", bad_frame("\",0,0\"", kEmpty)},
      {"1,0,100,xyz", bad_frame("\"1,0,100,xyz\"", kInvalid)},
      {"1,0,100,1,2", bad_frame("\"1,0,100,1,2\"", kInvalid)},
      {"-1,0,0", bad_frame("\"-1,0,0\"", kInvalid)},
      {"+,0,0", bad_frame("\"+,0,0\"", kInvalid)},
      {"18446744073709551616,0,0", bad_frame("\"18446744073709551616,0,0\"", kTooLarge)},
      {"1,0,18446744073709551616", bad_frame("\"1,0,18446744073709551616\"", kTooLarge)},
      {"1,0,100,1ffffffffffffffff", bad_frame("\"1,0,100,1ffffffffffffffff\"", kTooLarge)},
      // An invalid character is reported even when the value already overflowed.
      {"1,0,100,1ffffffffffffffff0z", bad_frame("\"1,0,100,1ffffffffffffffff0z\"", kInvalid)},
      // Parts are checked in order: id, offset, len, hash.
      {"x,,,", bad_frame("\"x,,,\"", kInvalid)},
      {",x,0", bad_frame("\",x,0\"", kEmpty)},
      {"1,99999999999999999999,x", bad_frame("\"1,99999999999999999999,x\"", kTooLarge)},
      // The first bad token is reported; good tokens before it do not matter.
      {"1,0,10;2,x,3;4,,", bad_frame("\"2,x,3\"", kInvalid)},
      // The token is shown in quoted form.
      {"1,0,\"5", bad_frame("\"1,0,\\\"5\"", kInvalid)},
      {"1,0,5\n", bad_frame("\"1,0,5\\n\"", kInvalid)},
  };
  for (const auto& c : cases) {
    const auto got = parse_frames(c.text);
    ASSERT_FALSE(got.has_value()) << c.text;
    EXPECT_EQ(got.error().kind(), Error::Kind::Malformed) << c.text;
    EXPECT_EQ(got.error().message(), c.message) << c.text;
  }
}

// A hostile zone can list a million frames: they parse, and the fit check walks them all and
// names the one that does not fit, without arithmetic surprises.
TEST(FramesTest, MillionEntryListIsParsedAndChecked) {
  std::string text;
  for (int i = 0; i < 1000000; ++i) text += "7,0,1;";
  text += "8,0,4097";
  auto parsed = parse_frames(text);
  ASSERT_TRUE(parsed.has_value());
  ASSERT_EQ(parsed->size(), 1000001u);
  EXPECT_EQ(check_frames_fit(*parsed, 4112, 4112 + 4096),
            fail(Error::malformed("frame 8 ends at 8209 but the file is 8208 bytes")));
  parsed->pop_back();
  EXPECT_TRUE(check_frames_fit(*parsed, 4112, 4113).has_value());
}

TEST(FramesTest, CheckFramesFit) {
  constexpr std::uint64_t kStart = 4112;
  constexpr std::uint64_t kFile = 5000;
  const struct {
    std::vector<Frame> frames;
    std::uint64_t data_start;
    std::uint64_t file_len;
    std::string message;  // empty: fits
  } cases[] = {
      {{}, kStart, kFile, ""},
      {{}, kStart, 0, ""},                    // nothing listed, nothing to check
      {{{9, 0, 888, 0}}, kStart, kFile, ""},  // ends exactly at the end of the file
      {{{9, 0, 889, 0}}, kStart, kFile, "frame 9 ends at 5001 but the file is 5000 bytes"},
      {{{1, 888, 0, 0}}, kStart, kFile, ""},
      {{{1, 889, 0, 0}}, kStart, kFile, "frame 1 ends at 5001 but the file is 5000 bytes"},
      // The first frame that does not fit is reported, in list order.
      {{{1, 0, 100, 0}, {2, 0, 2000, 0}, {3, 0, 3000, 0}},
       kStart,
       kFile,
       "frame 2 ends at 6112 but the file is 5000 bytes"},
      // Overlapping and out-of-order frames are not this check's concern.
      {{{1, 500, 100, 0}, {2, 0, 888, 0}, {3, 0, 888, 0}}, kStart, kFile, ""},
      {{{4, UINT64_MAX - kStart, 0, 0}}, kStart, UINT64_MAX, ""},
      {{{4, UINT64_MAX - kStart, 1, 0}}, kStart, UINT64_MAX, "frame 4 overflows a u64 offset"},
      {{{5, UINT64_MAX, 0, 0}}, 1, UINT64_MAX, "frame 5 overflows a u64 offset"},
      {{{6, 0, UINT64_MAX, 0}}, 1, UINT64_MAX, "frame 6 overflows a u64 offset"},
      {{{7, UINT64_MAX, UINT64_MAX, 0}}, 0, UINT64_MAX, "frame 7 overflows a u64 offset"},
      // Overflow is checked before the end for the same frame; an earlier frame wins.
      {{{8, 0, 1000, 0}, {9, UINT64_MAX, 1, 0}},
       kStart,
       kFile,
       "frame 8 ends at 5112 but the file is 5000 bytes"},
      {{{UINT64_MAX, 1, 0, 0}},
       0,
       0,
       "frame 18446744073709551615 ends at 1 but the file is 0 bytes"},
  };
  for (const auto& c : cases) {
    const Status got = check_frames_fit(c.frames, c.data_start, c.file_len);
    if (c.message.empty()) {
      EXPECT_TRUE(got.has_value()) << render_frames(c.frames) << ": " << got.error().to_string();
    } else {
      ASSERT_FALSE(got.has_value()) << render_frames(c.frames);
      EXPECT_EQ(got.error().kind(), Error::Kind::Malformed);
      EXPECT_EQ(got.error().message(), c.message);
    }
  }
}

TEST(FramesTest, MaxFramesFor) {
  const struct {
    std::uint64_t header_area;
    std::uint64_t want;
  } cases[] = {
      {0, 0},    {1, 0},    {2624, 0}, {2625, 0},  {2687, 0},
      {2688, 1}, {2751, 1}, {2752, 2}, {4096, 23}, {16777216, 262103},
  };
  for (const auto& c : cases) EXPECT_EQ(max_frames_for(c.header_area), c.want) << c.header_area;
}

}  // namespace
}  // namespace drelix
