// Container::open_append over arbitrary file bytes, then one append and a frame close. Oracle:
// a close never changes the bytes of a frame the file listed when it was opened (the close
// writes at the tail start, so a list whose frames reach past it must have been refused).
#include <algorithm>
#include <string>
#include <vector>

#include "core/container.h"
#include "core/journal.h"
#include "fuzz/fuzz_util.h"

using namespace drelix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = fuzz::scratch_dir() + "/c.drelix";
  (void)env().unlink(journal_path(path));
  fuzz::put_file(path, ByteView(data, size));
  auto c = Container::open_append(path);
  if (!c) return 0;
  // What the listed frames held once the file was open (the open may have cut a torn tail, but
  // never inside a listed frame).
  const std::vector<Frame> listed = c->frames();
  const Bytes before = fuzz::get_file(path).value();
  const RecordLayout layout = c->schema().layout;
  if (layout.is_fixed() && layout.size() > 4096) return 0;  // keep each run small
  if (!c->append_record(Bytes(layout.is_fixed() ? layout.size() : size % 7, 0x5A))) return 0;
  const Status closed = c->close_frame(size, size % 2 == 0 ? 0 : 1);
  const Bytes after = fuzz::get_file(path).value();
  for (const Frame& f : listed) {
    const std::uint64_t at = c->data_start() + f.offset;
    FUZZ_CHECK(at + f.len <= after.size() &&
                   std::equal(before.begin() + at, before.begin() + at + f.len, after.begin() + at),
               "a close changed frame " + std::to_string(f.id) + ": " + fuzz::outcome(closed));
  }
  return 0;
}
