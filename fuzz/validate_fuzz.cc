// validate over arbitrary file bytes: it reads every frame and the tail, writes nothing, and
// keeps to its report limits.
#include <string>

#include "core/headers.h"
#include "core/maintenance.h"
#include "fuzz/fuzz_util.h"

using namespace drelix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = fuzz::scratch_dir() + "/v.drelix";
  const Bytes input(data, data + size);
  fuzz::put_file(path, input);
  if (auto peeked = peek_headers(path)) {
    auto frames = parse_frames(peeked->headers.get("_frames").value_or(""));
    if (frames && !fuzz::within_budget(*frames)) return 0;
  }
  auto report = validate(path);
  FUZZ_CHECK(fuzz::get_file(path) == input, "validate wrote the file");
  if (!report) return 0;
  FUZZ_CHECK(report->problems.size() <= kMaxProblems, "too many problem lines");
  for (const std::string& p : report->problems) FUZZ_CHECK(!p.empty(), "empty problem line");
  return 0;
}
