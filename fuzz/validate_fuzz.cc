// validate over arbitrary file bytes: it reads every frame and the tail, writes nothing, and
// keeps to its report limits.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/frames.h"
#include "core/headers.h"
#include "core/journal.h"
#include "core/maintenance.h"
#include "fuzz/fuzz_util.h"

using namespace drelix;
using fuzz::outcome;

namespace {

// As in open_read_fuzz: overlapping frames can make one short input decode the same run
// hundreds of times.
constexpr std::uint64_t kListedBytesBudget = 16384;

bool within_budget(const std::string& path) {
  auto peeked = peek_headers(path);
  if (!peeked) return true;
  auto frames = parse_frames(peeked->headers.get("_frames").value_or(""));
  if (!frames) return true;
  std::uint64_t listed = 0;
  for (const Frame& f : *frames) listed = sat_add(listed, f.len);
  return listed <= kListedBytesBudget;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = fuzz::scratch_dir() + "/v.drelix";
  const Bytes input(data, data + size);
  fuzz::put_file(path, input);
  if (!within_budget(path)) return 0;

  auto report = validate(path);
  FUZZ_CHECK(fuzz::get_file(path) == input, "validate wrote the file");
  if (!report) return 0;
  FUZZ_CHECK(report->problems.size() <= kMaxProblems, "too many problem lines");
  for (const std::string& p : report->problems) FUZZ_CHECK(!p.empty(), "empty problem line");
  return 0;
}
