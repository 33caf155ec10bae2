// Progress and cancellation of validate, rebuild_headers and repack: each hears of every frame
// with a final (total, total), and a stop at any report leaves the file byte for byte as it was,
// with no temporary file behind.
#include "core/progress.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "core/bulk_write.h"
#include "core/container.h"
#include "core/maintenance.h"
#include "tests/core/test_util.h"

namespace drelix {
namespace {

using Calls = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
using Op = std::function<Status(const std::string& path, const Progress&)>;

struct OpCase {
  const char* name;
  Op op;
  std::size_t frame_records = 100;  // of 4 bytes each, five frames
};

class ProgressTest : public test::DirTest, public ::testing::WithParamInterface<OpCase> {
 protected:
  void SetUp() override {
    auto created = Container::create(path_, test::quad_schema(), "", "", 0, 4096, {});
    ASSERT_TRUE(created.has_value());
    const std::size_t n = GetParam().frame_records;
    ASSERT_TRUE(bulk_write_fixed(*created, test::u32_records(0, 5 * n), 0,
                                 {.frame_records = n, .level = 1, .threads = 2}));
    // The rebuild must have something to fix: a zone that lost its last frame.
    test::rewrite_zone(path_, [](Headers& h) {
      auto frames = parse_frames(h.get("_frames").value_or(""));
      ASSERT_TRUE(frames.has_value());
      frames->pop_back();
      ASSERT_TRUE(h.set("_frames", render_frames(*frames)));
    });
  }
};

TEST_P(ProgressTest, ReportsEveryFrameAndStopsAnywhereWithoutAChange) {
  const Bytes original = test::read_file(path_);
  const std::vector<std::string> names = dir_.names();
  Calls calls;
  ASSERT_TRUE(GetParam().op(path_, [&](std::uint64_t done, std::uint64_t total) {
    calls.emplace_back(done, total);
    return true;
  }));
  // Every frame, and with 1.25 MiB frames every 1 MiB slice of one being compressed.
  ASSERT_GE(calls.size(), GetParam().frame_records > 100 ? 10u : 5u);
  EXPECT_EQ(calls.back().first, calls.back().second);
  for (std::size_t i = 1; i < calls.size(); ++i) EXPECT_LE(calls[i - 1].first, calls[i].first);

  for (std::size_t stop_at = 0; stop_at < calls.size(); ++stop_at) {
    test::write_file(path_, original);
    std::size_t seen = 0;
    const Status stopped =
        GetParam().op(path_, [&](std::uint64_t, std::uint64_t) { return seen++ < stop_at; });
    test::expect_error(stopped, Error::Kind::Usage, "cancelled");
    EXPECT_TRUE(test::read_file(path_) == original) << "stopped at report " << stop_at;
    EXPECT_EQ(dir_.names(), names) << "stopped at report " << stop_at;
  }
}

template <class T>
Status status_of(Result<T> r) {
  if (!r) return fail(std::move(r).error());
  return {};
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Ops, ProgressTest,
    ::testing::Values(
        OpCase{"validate", [](const std::string& p, const Progress& g) {
                 return status_of(validate(p, {}, g)); }},
        OpCase{"rebuild_fix", [](const std::string& p, const Progress& g) {
                 return status_of(rebuild_headers(p, true, g)); }},
        OpCase{"repack", [](const std::string& p, const Progress& g) {
                 return status_of(repack(p, 3, g)); }},
        OpCase{"repack_larger_zone", [](const std::string& p, const Progress& g) {
                 return status_of(repack_with_header_area(p, 0, 8192, g)); }},
        // Frames of 1.25 MiB: the repack asks between slices of a frame, and a stop there too
        // leaves the file as it was.
        OpCase{"repack_within_frames", [](const std::string& p, const Progress& g) {
                 return status_of(repack(p, 1, g)); }, 5u << 16}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

}  // namespace
}  // namespace drelix
