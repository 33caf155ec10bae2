// Container::open_read over arbitrary file bytes, then every frame (read_frame_at) and the
// tail. Oracles: peek_headers agrees with the opened container; reads of listed frames never
// fail for a reason other than the frame's own bytes, and never return bytes whose listed
// checksum fails; the tail splits into whole records; the file is never written.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/container.h"
#include "core/hash.h"
#include "core/headers.h"
#include "core/journal.h"
#include "fuzz/fuzz_util.h"

using namespace drelix;
using fuzz::outcome;

namespace {

// Frames may overlap, so a short zone can list one highly compressed run hundreds of times;
// past this many listed frame bytes the input is skipped to keep each run quick.
constexpr std::uint64_t kListedBytesBudget = 16384;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = fuzz::scratch_dir() + "/r.drelix";
  const ByteView input(data, size);
  fuzz::put_file(path, input);

  auto peeked = peek_headers(path);
  auto opened = Container::open_read(path);
  if (!opened) {
    FUZZ_CHECK(opened.error().kind() != Error::Kind::ZoneFull, opened.error().to_string());
    FUZZ_CHECK(fuzz::get_file(path) == Bytes(input.begin(), input.end()), "open_read wrote");
    return 0;
  }
  Container& c = *opened;
  FUZZ_CHECK(peeked.has_value(),
             "peek_headers failed where open_read succeeded: " + outcome(peeked));
  FUZZ_CHECK(peeked->preamble == c.preamble(), "peek and open disagree on the preamble");
  FUZZ_CHECK(peeked->headers.pairs() == c.headers().pairs(), "peek and open disagree on headers");
  FUZZ_CHECK(!c.writable() && c.data_end() == size, "read-only container state");

  std::uint64_t listed = 0;
  for (const Frame& f : c.frames()) listed = sat_add(listed, f.len);
  if (listed <= kListedBytesBudget) {
    for (std::uint64_t i = 0; i < c.frames().size(); ++i) {
      auto content = c.read_frame_at(i);
      const Frame& f = c.frames()[i];
      if (content && f.hash != 0) {
        const ByteView stored = input.subspan(c.data_start() + f.offset, f.len);
        FUZZ_CHECK(
            xxh64(stored) == f.hash,
            "a read returned bytes whose listed checksum fails: frame " + std::to_string(f.id));
      }
      if (!content) {
        // The open checked that every frame lies inside the file, so only decoding can fail.
        const Error::Kind k = content.error().kind();
        FUZZ_CHECK(k == Error::Kind::Compression || k == Error::Kind::Malformed,
                   content.error().to_string());
      }
    }
    auto past = c.read_frame_at(c.frames().size());
    FUZZ_CHECK(!past.has_value() && past.error().kind() == Error::Kind::Usage, outcome(past));
  }

  auto tail = c.read_tail();
  FUZZ_CHECK(tail.has_value(), "tail read failed: " + outcome(tail));
  FUZZ_CHECK(split_records(*tail, c.schema().layout).torn == 0, "tail keeps torn bytes");
  FUZZ_CHECK(!c.append_record(ByteView()).has_value(), "read-only container appended");

  FUZZ_CHECK(fuzz::get_file(path) == Bytes(input.begin(), input.end()), "open_read wrote");
  FUZZ_CHECK(!fuzz::file_exists(journal_path(path)), "open_read made a journal");
  return 0;
}
