// replay_journal over arbitrary journal bytes. Each run writes a fixed small data file and the
// input as its ".seal" in a scratch directory, then replays. Oracles, checked against an
// independent reading of the journal format: an invalid journal (or one that does not fit the
// data file) is deleted and the data file is untouched; a valid one is spliced exactly (frame at
// offset, cut after it, zone at 16) and deleted; replay fails only when the splice itself cannot
// be done, and then keeps the journal.
#include <algorithm>
#include <cstddef>
#include <cstdint>
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
constexpr std::uint64_t kDataStart = 16 + kZone;

Bytes initial_data() {
  Bytes b(300);
  for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(i * 31 + 7);
  const std::uint8_t preamble[16] = {'D',   'R', 'E', 'L', 'I', 'X', 1, 1,
                                     kZone, 0,   0,   0,   0,   0,   0, 0};
  std::memcpy(b.data(), preamble, sizeof preamble);
  return b;
}

struct Parsed {
  std::uint64_t offset;
  ByteView zone;
  ByteView frame;
};

// The journal format, read without the engine's code.
std::optional<Parsed> read_journal(ByteView j, std::uint64_t file_len) {
  if (j.size() < 22 || std::memcmp(j.data(), "DJRNL2", 6) != 0) return std::nullopt;
  const std::uint64_t p = load_u64le(j.data() + 6);
  if (p == 0 || p != j.size() - 22) return std::nullopt;
  const ByteView payload = j.subspan(22);
  if (fnv1a64(payload) != load_u64le(j.data() + 14)) return std::nullopt;
  if (p < 16) return std::nullopt;
  const std::uint64_t z = load_u64le(payload.data() + 8);
  if (z > p - 16 || p - 16 - z == 0) return std::nullopt;
  const Parsed parsed{load_u64le(payload.data()), payload.subspan(16, static_cast<std::size_t>(z)),
                      payload.subspan(16 + static_cast<std::size_t>(z))};
  // A journal written for another file: a zone of another size, an offset outside the data.
  if (z != kZone || parsed.offset < kDataStart || parsed.offset > file_len) return std::nullopt;
  return parsed;
}

constexpr std::uint64_t kModelLimit = 1 << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Bytes initial = initial_data();
  const std::string path = fuzz::scratch_dir() + "/j.drelix";
  const std::string jpath = journal_path(path);
  fuzz::put_file(path, initial);
  fuzz::put_file(jpath, ByteView(data, size));

  const std::optional<Parsed> parsed = read_journal(ByteView(data, size), initial.size());
  auto replayed = replay_journal(path);
  const bool journal_left = fuzz::file_exists(jpath);

  if (!parsed) {
    FUZZ_CHECK(replayed.has_value(), outcome(replayed));
    FUZZ_CHECK(!journal_left, "invalid journal not deleted");
    FUZZ_CHECK(fuzz::get_file(path) == initial, "invalid journal changed the data file");
    return 0;
  }
  if (!replayed) {
    // Only a splice that the file system refuses (an offset past what it can hold) fails.
    FUZZ_CHECK(replayed.error().kind() == Error::Kind::Io, replayed.error().to_string());
    FUZZ_CHECK(journal_left, "failed replay dropped the journal");
    fuzz::remove_file(jpath);
    return 0;
  }
  FUZZ_CHECK(!journal_left, "replayed journal not deleted");

  const std::uint64_t frame_end =
      parsed->offset + parsed->frame.size();  // no overflow: replay succeeded
  const std::uint64_t want_len = std::max<std::uint64_t>(frame_end, 16 + parsed->zone.size());
  auto file = env().open_read(path);
  FUZZ_CHECK(file.has_value(), outcome(file));
  auto len = (*file)->length();
  FUZZ_CHECK(len.has_value() && *len == want_len, "spliced file has the wrong length");
  if (want_len <= kModelLimit) {
    Bytes want = initial;
    want.resize(static_cast<std::size_t>(std::max<std::uint64_t>(want.size(), frame_end)), 0);
    std::copy(parsed->frame.begin(), parsed->frame.end(),
              want.begin() + static_cast<std::ptrdiff_t>(parsed->offset));
    want.resize(static_cast<std::size_t>(frame_end));
    if (want.size() < 16 + parsed->zone.size()) want.resize(16 + parsed->zone.size(), 0);
    std::copy(parsed->zone.begin(), parsed->zone.end(), want.begin() + 16);
    FUZZ_CHECK(fuzz::get_file(path) == want, "spliced file differs from the journal's content");
  } else {
    Bytes zone(parsed->zone.size());
    FUZZ_CHECK((*file)->read_exact_at(16, zone).has_value(), "zone read");
    FUZZ_CHECK(std::equal(zone.begin(), zone.end(), parsed->zone.begin()), "zone not at 16");
  }
  return 0;
}
