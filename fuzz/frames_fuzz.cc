// parse_frames over arbitrary text. Oracle: render(parse(x)) parses to the same list and is a
// fixed point of render/parse; check_frames_fit agrees with an independent overflow-checked sum.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/frames.h"
#include "fuzz/fuzz_util.h"

using namespace drelix;
using fuzz::outcome;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto frames = parse_frames(text);
  if (!frames) {
    FUZZ_CHECK(frames.error().kind() == Error::Kind::Malformed, frames.error().to_string());
    FUZZ_CHECK(frames.error().message().starts_with("bad frame "), frames.error().message());
    return 0;
  }
  const std::string rendered = render_frames(*frames);
  auto again = parse_frames(rendered);
  FUZZ_CHECK(again.has_value(), outcome(again));
  FUZZ_CHECK(*again == *frames, rendered);
  FUZZ_CHECK(render_frames(*again) == rendered, "rendering is not canonical");

  if (frames->empty()) return 0;
  // Positions taken from the input itself, so that the fuzzer reaches the edges.
  const std::uint64_t data_start = frames->front().id;
  const std::uint64_t file_len = frames->back().hash;
  bool fits = true;
  for (const Frame& f : *frames) {
    std::uint64_t start, end;
    if (__builtin_add_overflow(data_start, f.offset, &start) ||
        __builtin_add_overflow(start, f.len, &end) || end > file_len) {
      fits = false;
      break;
    }
  }
  auto checked = check_frames_fit(*frames, data_start, file_len);
  FUZZ_CHECK(checked.has_value() == fits, outcome(checked));
  return 0;
}
