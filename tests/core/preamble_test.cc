#include "core/preamble.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/core/test_util.h"

namespace drelix {
namespace {

using namespace std::string_view_literals;
using test::concat;
using test::slice;

// Builds preamble bytes from text so that the cases below read as the bytes on disk.
Bytes raw(std::string_view s) {
  return Bytes(s.begin(), s.end());
}

// "DRELIX", version, flags, header_area (little-endian) and the reserved bytes.
Bytes block(std::uint8_t version, std::uint8_t flags, std::uint32_t area,
            std::uint32_t reserved = 0) {
  Bytes b = raw("DRELIX");
  b.push_back(version);
  b.push_back(flags);
  b.resize(16);
  store_u32le(b.data() + 8, area);
  store_u32le(b.data() + 12, reserved);
  return b;
}

TEST(PreambleDecodeTest, FailuresInOrder) {
  struct Case {
    const char* name;
    Bytes bytes;
    std::string message;
  };
  const Case cases[] = {
      {"empty", Bytes{}, "not a drelix file: bad magic"},
      {"five bytes", raw("DRELI"), "not a drelix file: bad magic"},
      {"five bytes of junk", raw("\xff\xff\xff\xff\xff"), "not a drelix file: bad magic"},
      {"lower-case magic", raw("drelix\x01\x01\x00\x10\x00\x00"sv), "not a drelix file: bad magic"},
      // The magic decides first even when every later field is broken too.
      {"bad magic, bad version, zero zone", raw("DRELIY\x09\x00\x00\x00\x00\x00"sv),
       "not a drelix file: bad magic"},
      {"magic alone", raw("DRELIX"), "preamble too short"},
      {"version 2 with nothing after it", raw("DRELIX\x02"), "unsupported drelix version 2"},
      {"version 0", block(0, 1, 4096), "unsupported drelix version 0"},
      {"version 255", block(255, 1, 4096), "unsupported drelix version 255"},
      // The version is checked before the length and before the zone size.
      {"version 2, zone 0", block(2, 1, 0), "unsupported drelix version 2"},
      {"version 1, seven bytes", raw("DRELIX\x01"), "preamble too short"},
      {"version 1, eleven bytes", slice(block(1, 1, 4096), 0, 11), "preamble too short"},
      {"zone 0", block(1, 1, 0), "header zone size is zero"},
      {"zone above ceiling", block(1, 1, 16777217),
       "header zone claims 16777217 bytes, the ceiling is 16777216"},
      {"zone max u32", block(1, 1, UINT32_MAX),
       "header zone claims 4294967295 bytes, the ceiling is 16777216"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = Preamble::decode(c.bytes);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), Error::Kind::Malformed);
    EXPECT_EQ(r.error().to_string(), c.message);
  }
}

TEST(PreambleDecodeTest, Accepts) {
  struct Case {
    const char* name;
    Bytes bytes;
    std::uint32_t area;
    std::uint8_t flags;
  };
  const Case cases[] = {
      {"default", block(1, 1, 4096), 4096, 1},
      {"twelve bytes only", slice(block(1, 1, 4096), 0, 12), 4096, 1},
      {"reserved bytes ignored", block(1, 1, 4096, 0xdeadbeef), 4096, 1},
      {"flags zero", block(1, 0, 1), 1, 0},
      {"flags all bits", block(1, 255, 77), 77, 255},
      {"zone at the ceiling", block(1, 1, 16777216), 16777216, 1},
      {"zone uses all four bytes", block(1, 1, 0x00fedcba), 0x00fedcba, 1},
      {"zstd bytes after the block", concat({block(1, 1, 4096, 7), {0x28, 0xb5, 0x2f, 0xfd}}), 4096,
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = Preamble::decode(c.bytes);
    ASSERT_TRUE(r.has_value()) << r.error().to_string();
    EXPECT_EQ(r->header_area, c.area);
    EXPECT_EQ(r->version, 1);
    EXPECT_EQ(r->flags, c.flags);
    EXPECT_EQ(r->data_start(), 16u + c.area);
  }
}

TEST(PreambleEncodeTest, ExactBytes) {
  const Preamble p{0x01020304, 1, 1};
  const auto out = p.encode();
  const std::uint8_t expected[16] = {'D',  'R',  'E',  'L',  'I', 'X', 1, 1,
                                     0x04, 0x03, 0x02, 0x01, 0,   0,   0, 0};
  EXPECT_TRUE(std::equal(out.begin(), out.end(), std::begin(expected)));

  const auto plain = Preamble{4096, 1, 0}.encode();
  EXPECT_EQ(plain[7], 0);
  EXPECT_EQ(load_u32le(plain.data() + 8), 4096u);
}

TEST(PreambleLengthTest, FileMustHoldTheWholeZone) {
  const Preamble p{4096, 1, 1};
  struct Case {
    std::uint64_t len;
    const char* message;  // nullptr: accepted
  };
  const Case cases[] = {
      {0, "header zone claims 4096 bytes but the file is 0 bytes"},
      {16, "header zone claims 4096 bytes but the file is 16 bytes"},
      {4111, "header zone claims 4096 bytes but the file is 4111 bytes"},
      {4112, nullptr},  // exactly preamble and zone: an empty data section
      {4113, nullptr},
      {UINT64_MAX, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.len);
    auto s = p.check_file_length(c.len);
    if (c.message == nullptr) {
      EXPECT_TRUE(s.has_value());
    } else {
      ASSERT_FALSE(s.has_value());
      EXPECT_EQ(s.error().kind(), Error::Kind::Malformed);
      EXPECT_EQ(s.error().to_string(), c.message);
    }
  }
  // The largest zone cannot overflow the comparison.
  const Preamble largest{16777216, 1, 1};
  EXPECT_FALSE(largest.check_file_length(16777231).has_value());
  EXPECT_TRUE(largest.check_file_length(16777232).has_value());
}

}  // namespace
}  // namespace drelix
