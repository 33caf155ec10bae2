// replay_journal over arbitrary journal bytes. Each run writes a small data file (one of two) and
// the input as its ".seal", then replays. Oracles, checked against an independent reading of the
// journal format: an invalid journal (or one that does not fit the data file) is deleted and the
// data file is untouched; a valid one is spliced exactly (frame at offset, cut after it, zone at
// 16) and deleted; replay fails only when the splice itself cannot be done, and then keeps the
// journal.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

#include "core/hash.h"
#include "core/journal.h"
#include "fuzz/fuzz_util.h"

using namespace drelix;
using fuzz::outcome;

namespace {

// The data file every run starts from: a preamble declaring a 32-byte zone, then a few hundred
// bytes standing for the zone and the data.
constexpr std::uint64_t kZone = 32;

Bytes initial_data() {
  Bytes b = {'D', 'R', 'E', 'L', 'I', 'X', 1, 1, kZone, 0, 0, 0};
  for (std::size_t i = b.size(); i < 300; ++i) b.push_back(static_cast<std::uint8_t>(i * 31 + 7));
  return b;
}

struct Parsed {
  std::uint64_t offset;
  ByteView zone, frame;
};

// The journal format, read without the engine's code; nothing for a journal that is invalid or
// was written for another file (a zone of another size, an offset outside the data).
std::optional<Parsed> read_journal(ByteView j, std::uint64_t file_len) {
  if (j.size() < 38 || std::memcmp(j.data(), "DJRNL2", 6) != 0) return std::nullopt;
  const std::uint64_t p = load_u64le(j.data() + 6), z = load_u64le(j.data() + 30);
  const ByteView payload = j.subspan(22);
  if (p != payload.size() || fnv1a64(payload) != load_u64le(j.data() + 14)) return std::nullopt;
  if (z > p - 16 || p - 16 - z == 0) return std::nullopt;
  const Parsed parsed{load_u64le(payload.data()), payload.subspan(16, z), payload.subspan(16 + z)};
  if (z != kZone || parsed.offset < 16 + kZone || parsed.offset > file_len) return std::nullopt;
  return parsed;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Bytes full = initial_data();
  // An input whose length is a multiple of 7 meets a data file too short for a preamble, which
  // no journal fits (the seed "short_data_file" is one).
  const Bytes initial(full.begin(), full.begin() + (size % 7 == 0 ? 15 : full.size()));
  const std::string path = fuzz::scratch_dir() + "/j.drelix", jpath = journal_path(path);
  fuzz::put_file(path, initial);
  fuzz::put_file(jpath, ByteView(data, size));
  const std::optional<Parsed> parsed = read_journal(ByteView(data, size), initial.size());
  auto replayed = replay_journal(path);
  const bool journal_left = fuzz::get_file(jpath).has_value();
  if (!parsed) {
    FUZZ_CHECK(replayed && !journal_left && fuzz::get_file(path) == initial,
               "an invalid journal was replayed or kept: " + outcome(replayed));
    return 0;
  }
  if (!replayed) {
    // Only a splice that the file system refuses (an offset past what it can hold) fails.
    FUZZ_CHECK(replayed.error().kind() == Error::Kind::Io && journal_left, outcome(replayed));
    (void)env().unlink(jpath);
    return 0;
  }
  FUZZ_CHECK(!journal_left, "replayed journal not deleted");
  // The model: the initial bytes, the frame at its offset and the file cut after it, the zone at
  // 16 (the offset is at least 16 + kZone). A file grown past 1 MiB is checked up to its zone.
  const std::uint64_t frame_end = parsed->offset + parsed->frame.size();  // replay succeeded
  auto file = env().open_read(path);
  FUZZ_CHECK(file && (*file)->length() == frame_end, "spliced file has the wrong length");
  const bool whole = frame_end <= (1 << 20);
  Bytes want = initial;
  want.resize(whole ? frame_end : 16 + kZone, 0);
  if (whole) std::copy(parsed->frame.begin(), parsed->frame.end(), want.begin() + parsed->offset);
  std::copy(parsed->zone.begin(), parsed->zone.end(), want.begin() + 16);
  Bytes got(want.size());
  FUZZ_CHECK((*file)->read_exact_at(0, got) && got == want, "spliced file differs from the model");
  return 0;
}
