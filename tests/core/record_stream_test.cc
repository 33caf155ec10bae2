#include "core/record_stream.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "tests/core/test_util.h"

namespace drelix {
namespace {

// Whatever the cut into pieces, a stream counts and visits exactly what split_records finds in
// the whole: records gathered across piece boundaries come out whole and in order.
TEST(RecordStreamTest, AnyCutAgreesWithSplittingTheWhole) {
  std::mt19937 rng(11);
  for (int round = 0; round < 400; ++round) {
    SCOPED_TRACE(round);
    const RecordLayout layout =
        round % 3 == 0 ? RecordLayout::prefixed() : RecordLayout::fixed(1 + rng() % 20);
    Bytes data;
    if (layout.is_fixed()) {
      data = test::patterned(rng() % 300, static_cast<std::uint8_t>(round));
    } else {
      std::vector<Bytes> bodies(rng() % 12);
      for (Bytes& b : bodies) b = test::patterned(rng() % 40, static_cast<std::uint8_t>(rng()));
      data = test::prefixed(bodies);
      data.resize(data.size() - std::min<std::size_t>(data.size(), rng() % 3));  // torn end
    }
    const SplitResult whole = split_records(data, layout);

    std::vector<Bytes> visited;
    RecordStream visiting(layout, [&](ByteView r) { visited.emplace_back(r.begin(), r.end()); });
    RecordStream counting(layout);
    for (std::size_t at = 0; at < data.size();) {
      const std::size_t n = std::min<std::size_t>(data.size() - at, rng() % 25);
      visiting.feed(ByteView(data).subspan(at, n));
      counting.feed(ByteView(data).subspan(at, n));
      at += n;
    }
    std::vector<Bytes> expected;
    for (ByteView r : whole.records) expected.emplace_back(r.begin(), r.end());
    EXPECT_EQ(visited, expected);
    for (const RecordStream* s : {&visiting, &counting}) {
      EXPECT_EQ(s->records(), whole.records.size());
      EXPECT_EQ(s->torn(), whole.torn);
    }
  }
}

}  // namespace
}  // namespace drelix
