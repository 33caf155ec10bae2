// parse_frames over arbitrary text. Oracle: render(parse(x)) parses to the same list and is a
// fixed point of render/parse; check_frames_fit agrees with an independent overflow-checked sum.
#include <string_view>

#include "core/frames.h"
#include "fuzz/fuzz_util.h"

using namespace drelix;
using fuzz::outcome;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto frames = parse_frames(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!frames) {
    FUZZ_CHECK(frames.error().kind() == Error::Kind::Malformed &&
                   frames.error().message().starts_with("bad frame "),
               outcome(frames));
    return 0;
  }
  const std::string rendered = render_frames(*frames);
  auto again = parse_frames(rendered);
  FUZZ_CHECK(again && *again == *frames && render_frames(*again) == rendered, rendered);
  if (frames->empty()) return 0;
  // Positions taken from the input itself, so that the fuzzer reaches the edges.
  const std::uint64_t data_start = frames->front().id, file_len = frames->back().hash;
  bool fits = true;
  for (const Frame& f : *frames) {
    std::uint64_t start, end;
    fits = fits && !__builtin_add_overflow(data_start, f.offset, &start) &&
           !__builtin_add_overflow(start, f.len, &end) && end <= file_len;
  }
  auto checked = check_frames_fit(*frames, data_start, file_len);
  FUZZ_CHECK(checked.has_value() == fits, outcome(checked));
  return 0;
}
