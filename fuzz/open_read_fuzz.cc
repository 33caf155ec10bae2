// Container::open_read over arbitrary file bytes, then every frame (read_frame_at) and the
// tail. Oracles: peek_headers agrees with the opened container; reads of listed frames never
// fail for a reason other than the frame's own bytes, and never return bytes whose listed
// checksum fails; the tail splits into whole records; the file is never written.
#include <string>

#include "core/container.h"
#include "core/hash.h"
#include "core/journal.h"
#include "fuzz/fuzz_util.h"

using namespace drelix;
using fuzz::outcome;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = fuzz::scratch_dir() + "/r.drelix";
  const Bytes input(data, data + size);
  fuzz::put_file(path, input);
  auto peeked = peek_headers(path);
  auto c = Container::open_read(path);
  if (c) {
    FUZZ_CHECK(peeked && peeked->preamble == c->preamble() &&
                   peeked->headers.pairs() == c->headers().pairs(),
               "peek_headers and open_read disagree: " + outcome(peeked));
    FUZZ_CHECK(!c->writable() && c->data_end() == size, "read-only container state");
    for (std::uint64_t i = 0; fuzz::within_budget(c->frames()) && i < c->frames().size(); ++i) {
      const Frame& f = c->frames()[i];
      auto content = c->read_frame_at(i);
      // The open checked that every frame lies inside the file, so only decoding can fail.
      FUZZ_CHECK(content ? f.hash == 0 || xxh64(ByteView(input).subspan(c->data_start() + f.offset,
                                                                        f.len)) == f.hash
                         : content.error().kind() == Error::Kind::Compression ||
                               content.error().kind() == Error::Kind::Malformed,
                 "frame " + std::to_string(f.id) + ": " + outcome(content));
    }
    auto tail = c->read_tail();
    FUZZ_CHECK(tail && split_records(*tail, c->schema().layout).torn == 0, outcome(tail));
    FUZZ_CHECK(!c->append_record(ByteView()), "read-only container appended");
  } else {
    FUZZ_CHECK(c.error().kind() != Error::Kind::ZoneFull, outcome(c));
  }
  FUZZ_CHECK(fuzz::get_file(path) == input && !fuzz::get_file(journal_path(path)),
             "open_read wrote the file or a journal");
  return 0;
}
