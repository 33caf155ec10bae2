// The header rebuild scan (rebuild_headers with fix=false) over arbitrary file bytes. Oracles:
// the file is not written, at most the three derived headers differ, nothing is "fixed". When a
// file opens, a rebuild with fix=true on a copy either fails or leaves a file whose second
// rebuild finds nothing to fix.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/journal.h"
#include "core/maintenance.h"
#include "fuzz/fuzz_util.h"

using namespace drelix;
using fuzz::outcome;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = fuzz::scratch_dir() + "/b.drelix";
  const Bytes input(data, data + size);
  fuzz::put_file(path, input);

  auto report = rebuild_headers(path, false);
  FUZZ_CHECK(fuzz::get_file(path) == input, "rebuild without fix wrote the file");
  FUZZ_CHECK(!fuzz::file_exists(journal_path(path)), "rebuild made a journal");
  if (!report) return 0;
  FUZZ_CHECK(!report->fixed && report->differences.size() <= 3, "report shape");

  auto fixed = rebuild_headers(path, true);
  if (!fixed) return 0;  // e.g. the derived headers do not fit the zone
  FUZZ_CHECK(fixed->differences == report->differences, "fix and no-fix scans disagree");
  FUZZ_CHECK(fixed->fixed == !report->differences.empty(), "fixed flag");
  auto again = rebuild_headers(path, false);
  FUZZ_CHECK(again.has_value(), "a rebuilt file no longer opens: " + outcome(again));
  FUZZ_CHECK(again->differences.empty(),
             "a rebuilt file still differs: " + again->differences.front());
  return 0;
}
