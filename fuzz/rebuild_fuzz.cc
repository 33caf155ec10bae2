// The header rebuild scan (rebuild_headers with fix=false) over arbitrary file bytes. Oracles:
// the file is not written, at most the three derived headers differ, nothing is "fixed". When a
// fix succeeds it reports what the scan reported, and a second scan finds nothing to fix.
#include <string>

#include "core/journal.h"
#include "core/maintenance.h"
#include "fuzz/fuzz_util.h"

using namespace drelix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = fuzz::scratch_dir() + "/b.drelix";
  const Bytes input(data, data + size);
  fuzz::put_file(path, input);
  auto report = rebuild_headers(path, false);
  FUZZ_CHECK(fuzz::get_file(path) == input && !fuzz::get_file(journal_path(path)),
             "rebuild without fix wrote the file or a journal");
  if (!report) return 0;
  FUZZ_CHECK(!report->fixed && report->differences.size() <= 3, "report shape");
  auto fixed = rebuild_headers(path, true);
  if (!fixed) return 0;  // e.g. the derived headers do not fit the zone
  FUZZ_CHECK(
      fixed->differences == report->differences && fixed->fixed == !report->differences.empty(),
      "fix and no-fix scans disagree");
  auto again = rebuild_headers(path, false);
  FUZZ_CHECK(again && again->differences.empty(), "a rebuilt file still differs");
  return 0;
}
