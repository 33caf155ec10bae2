// What the engine tests share: a temporary directory or an in-memory disk per test, whole-file
// reads and writes that bypass the engine's Env (so injected faults and call counts see only the
// engine), record and schema builders, a hand-assembled file whose zone and data can be made to
// disagree.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <bit>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/codec.h"
#include "core/container.h"
#include "core/file.h"
#include "core/frames.h"
#include "core/hash.h"
#include "core/headers.h"
#include "core/numbers.h"
#include "core/schema.h"
#include "tests/core/sim_env.h"

namespace drelix::test {

// A fresh directory under the test temporary directory, removed with all it holds.
class TempDir {
 public:
  TempDir() : path_(::testing::TempDir() + "drelix_XXXXXX") {
    EXPECT_NE(::mkdtemp(path_.data()), nullptr);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  // The names in the directory, sorted.
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(path_))
      out.push_back(e.path().filename());
    std::ranges::sort(out);
    return out;
  }

 private:
  std::string path_;
};

// A fixture with a temporary directory and the path of one data file in it.
class DirTest : public ::testing::Test {
 protected:
  TempDir dir_;
  std::string path_ = dir_.file("run.drelix");
};

// A fixture with the engine on a fresh in-memory disk and the path of one data file on it.
class SimTest : public ::testing::Test {
 protected:
  SimEnv sim_;
  ScopedEnv installed_{sim_};
  std::string dir_ = "/d";
  std::string path_ = "/d/run.drelix";
};

// The whole-file helpers act on the installed SimEnv if there is one, else on the real disk.
inline Bytes read_file(const std::string& path) {
  if (auto* sim = dynamic_cast<SimEnv*>(&env())) return sim->contents(path).value_or(Bytes());
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}
inline std::string read_text(const std::string& path) {
  return std::string(as_text(read_file(path)));
}
inline void write_file(const std::string& path, ByteView bytes, bool append = false) {
  if (auto* sim = dynamic_cast<SimEnv*>(&env())) {
    Bytes all = append ? read_file(path) : Bytes();
    all.insert(all.end(), bytes.begin(), bytes.end());
    return sim->put(path, all);
  }
  std::ofstream out(path, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  EXPECT_TRUE(out.good()) << path;
}
inline bool exists(const std::string& path) {
  if (auto* sim = dynamic_cast<SimEnv*>(&env())) return sim->exists(path);
  return std::filesystem::exists(path);
}

inline Bytes slice(ByteView b, std::uint64_t from, std::uint64_t to) {
  return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from),
               b.begin() + static_cast<std::ptrdiff_t>(to));
}
inline Bytes concat(const std::vector<Bytes>& parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
// Records in their on-disk prefixed form.
inline Bytes prefixed(const std::vector<Bytes>& bodies) {
  Bytes out;
  for (const Bytes& b : bodies) {
    out.push_back(static_cast<std::uint8_t>(b.size()));
    out.push_back(static_cast<std::uint8_t>(b.size() >> 8));
    out.insert(out.end(), b.begin(), b.end());
  }
  return out;
}
// Bytes that compress but are not one repeated value.
inline Bytes patterned(std::size_t n, std::uint8_t seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7 + i / 251);
  return b;
}
// `n` four-byte records holding first, first + 1, ...
inline Bytes u32_records(std::uint32_t first, std::size_t n) {
  Bytes out(n * 4);
  for (std::size_t i = 0; i < n; ++i) store_u32le(out.data() + 4 * i, first + i);
  return out;
}
// The record of pair_schema: a u32 at 0 and an f64 at 4.
inline Bytes pair_record(std::uint32_t n, double x) {
  Bytes r(12);
  store_u32le(r.data(), n);
  store_u64le(r.data() + 4, std::bit_cast<std::uint64_t>(x));
  return r;
}

inline Schema pair_schema(std::uint32_t size = 12) {
  return Schema{"tick@1", {{"price", "u32", 0}, {"qty", "f64", 4}}, RecordLayout::fixed(size)};
}
inline Schema quad_schema() {
  return Schema{"ticks", {{"v", "u32", 0}}, RecordLayout::fixed(4)};
}
inline Schema blob_schema() {
  return Schema{"log@2", {}, RecordLayout::prefixed()};
}

// Fails the test unless `r` is an error of `kind` that displays as `display`.
template <class T>
void expect_error(const Result<T>& r, Error::Kind kind, const std::string& display) {
  ASSERT_FALSE(r.has_value()) << "expected: " << display;
  EXPECT_EQ(r.error().kind(), kind) << r.error().to_string();
  EXPECT_EQ(r.error().to_string(), display);
}

inline Headers make_headers(const std::vector<Headers::Pair>& pairs) {
  Headers h;
  for (const auto& [k, v] : pairs) EXPECT_TRUE(h.set(k, v).has_value()) << k;
  return h;
}
// The value of `key` in the file's zone, or "<absent>".
inline std::string header(const std::string& path, std::string_view key) {
  auto peeked = peek_headers(path);
  EXPECT_TRUE(peeked.has_value());
  return peeked ? std::string(peeked->headers.get(key).value_or("<absent>")) : "<unreadable>";
}
// `h` without its pairs of key `key`.
inline Headers without(const Headers& h, std::string_view key) {
  Headers out;
  for (const auto& [k, v] : h.pairs()) EXPECT_TRUE(k == key || out.set(k, v).has_value());
  return out;
}
// Rewrites the zone of the file at `path` in place with `edit` applied to its headers, behind
// the engine's back.
inline void rewrite_zone(const std::string& path, const std::function<void(Headers&)>& edit) {
  auto peeked = peek_headers(path);
  ASSERT_TRUE(peeked.has_value()) << peeked.error().to_string();
  edit(peeked->headers);
  auto zone = peeked->headers.render(peeked->preamble.header_area);
  ASSERT_TRUE(zone.has_value());
  Bytes all = read_file(path);
  std::copy(zone->begin(), zone->end(), all.begin() + 16);
  write_file(path, all);
}

// A file assembled by hand, so that a test can make its zone and its data disagree in exactly
// one way: the zone comes from Container::create, the data section and what _frames, _records
// and _bytes_raw say about it from here.
struct Draft {
  Schema schema = quad_schema();
  std::uint32_t header_area = 4096;
  Bytes data;
  std::vector<Frame> frames;  // what _frames lists
  std::vector<Frame> actual;  // the frames really in the data section, with their checksums
  std::uint64_t records = 0;
  std::uint64_t bytes_raw = 0;
  // Header values set last; nullopt removes the key.
  std::vector<std::pair<std::string, std::optional<std::string>>> overrides;

  // Appends `content` closed at `level`, listed and counted; returns the listed entry (valid
  // until the next add_frame).
  Frame& add_frame(std::uint64_t id, ByteView content, std::int32_t level) {
    auto encoded = compress_frame(content, level);
    EXPECT_TRUE(encoded.has_value());
    actual.push_back(Frame{id, data.size(), encoded->size(), xxh64(*encoded)});
    frames.push_back(actual.back());
    data.insert(data.end(), encoded->begin(), encoded->end());
    records += split_records(content, schema.layout).records.size();
    bytes_raw += content.size();
    return frames.back();
  }
  void add_bytes(ByteView bytes) { data.insert(data.end(), bytes.begin(), bytes.end()); }

  void write(const std::string& path) const {
    ASSERT_TRUE(Container::create(path, schema, "test", "test", 0, header_area, {}).has_value());
    rewrite_zone(path, [this](Headers& h) {
      ASSERT_TRUE(h.set("_frames", render_frames(frames)).has_value());
      ASSERT_TRUE(h.set("_records", to_decimal(records)).has_value());
      ASSERT_TRUE(h.set("_bytes_raw", to_decimal(bytes_raw)).has_value());
      for (const auto& [k, v] : overrides) {
        if (!v) h = without(h, k);
        ASSERT_TRUE(!v || h.set(k, *v).has_value()) << k;
      }
    });
    write_file(path, data, /*append=*/true);
  }
};

}  // namespace drelix::test
