#include "core/journal.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

#include "core/defaults.h"
#include "core/hash.h"
#include "core/preamble.h"
#include "core/system_headers.h"

namespace drelix {

namespace {

constexpr std::string_view kMagic = "DJRNL2";
// Magic, payload length P, checksum.
constexpr std::size_t kHeaderSize = 22;
// offset and Z at the start of the payload.
constexpr std::uint64_t kPayloadPrefix = 16;
// Bits for a new journal when the data file's own cannot be read; the umask still applies.
constexpr std::uint32_t kDefaultMode = 0666;

// The payload of a journal that passed every check.
struct JournalContent {
  std::uint64_t offset;
  ByteView zone;
  ByteView frame;
};

// The payload checks, in order, after the header checks passed: checksum, then the payload's
// own framing. Returns false for an invalid journal.
bool decode_payload(ByteView payload, std::uint64_t checksum, JournalContent* out) {
  if (fnv1a64(payload) != checksum) return false;
  const std::uint64_t p = payload.size();
  if (p < kPayloadPrefix) return false;
  const std::uint64_t z = load_u64le(payload.data() + 8);
  // Written as a subtraction so that no sum can overflow: Z + 16 <= P and the frame part
  // P - 16 - Z is not empty.
  if (z > p - kPayloadPrefix) return false;
  if (p - kPayloadPrefix - z == 0) return false;
  out->offset = load_u64le(payload.data());
  out->zone = payload.subspan(kPayloadPrefix, static_cast<std::size_t>(z));
  out->frame = payload.subspan(static_cast<std::size_t>(kPayloadPrefix + z));
  return true;
}

// Whether a well-formed journal belongs to the data file open as `data`: its zone is exactly
// the file's header zone, and its offset lies in the data section, at most at the file's end
// (a power cut may have taken the tail the journal alone still holds). Anything else was
// written for another file (one deleted and recreated under the same name, say) and splicing
// it would overwrite this one's records. A file without a readable preamble never had a close.
Result<bool> journal_fits(File& data, const JournalContent& content) {
  std::array<std::uint8_t, kPreambleSize> block;
  DRELIX_ASSIGN_OR_RETURN(const std::size_t got, data.read_at(0, block));
  if (got < block.size()) return false;
  const Result<Preamble> preamble = Preamble::decode(block);
  if (!preamble) return false;
  DRELIX_ASSIGN_OR_RETURN(const std::uint64_t file_len, data.length());
  return content.zone.size() == preamble->header_area && content.offset >= preamble->data_start() &&
         content.offset <= file_len;
}

// The bits a new journal of `path` gets: those of the data file, so that a journal never exposes
// a private file's records to more readers than the file does.
std::optional<std::uint32_t> data_file_permissions(const std::string& path) {
  auto file = env().open_read(path);
  if (!file) return std::nullopt;
  auto mode = (*file)->permissions();
  if (!mode) return std::nullopt;
  return *mode;
}

// Deletes the journal at `jpath` and syncs its directory. A deletion lost in a power cut would
// bring the journal back, and replaying it then would undo whatever changed the file since (a
// zone rewrite, later records): the journal is gone only once its directory says so durably. An
// absent journal is synced too, since an earlier attempt may have unlinked it without the sync.
Status unlink_durably(const std::string& jpath) {
  if (auto removed = env().unlink(jpath); !removed && removed.error().os_code() != ENOENT) {
    return fail(std::move(removed).error());
  }
  return sync_dir_of(jpath);
}

}  // namespace

std::string journal_path(const std::string& path) {
  // Appending to the whole path also covers a path that ends in "/": its journal is ".seal" in
  // that directory.
  return path + std::string(kJournalSuffix);
}

namespace {

// Steps 2 and 3 of writing a journal: `pieces`, back to back, are its whole image.
Status write_journal_image(const std::string& path, std::span<const ByteView> pieces) {
  // 2. Create the journal afresh. A journal already there is stale (the open that made this
  //    writer replayed any it found), and anything else at the name, a planted link above all,
  //    must not be written through. The umask may have taken bits the data file has, so they
  //    are set explicitly as well.
  const std::string jpath = journal_path(path);
  const std::optional<std::uint32_t> mode = data_file_permissions(path);
  DRELIX_ASSIGN_OR_RETURN(FilePtr journal, create_replacing(jpath, mode.value_or(kDefaultMode)));
  if (mode) DRELIX_TRY(journal->set_permissions(*mode));

  // 3. Durable content, then a durable directory entry. The splice that follows trusts the
  //    journal to survive a power loss, so a directory sync that fails fails the close here,
  //    before the data file is touched.
  std::uint64_t at = 0;
  for (const ByteView piece : pieces) {
    DRELIX_TRY(journal->write_all_at(at, piece));
    at += piece.size();
  }
  DRELIX_TRY(journal->sync());
  return sync_dir_of(jpath);
}

// The image's head: header, offset, Z and the zone, with the checksum over the payload whose
// frame part is `frame_parts` back to back.
Bytes journal_head(std::uint64_t offset, ByteView zone, std::span<const ByteView> frame_parts) {
  std::uint64_t frame_size = 0;
  for (const ByteView part : frame_parts) frame_size = sat_add(frame_size, part.size());
  const std::uint64_t p = kPayloadPrefix + zone.size() + frame_size;
  Bytes image(kHeaderSize + kPayloadPrefix + zone.size());
  std::uint8_t* out = image.data();
  std::memcpy(out, kMagic.data(), kMagic.size());
  store_u64le(out + 6, p);
  std::uint8_t* payload = out + kHeaderSize;
  store_u64le(payload, offset);
  store_u64le(payload + 8, zone.size());
  if (!zone.empty()) std::memcpy(payload + kPayloadPrefix, zone.data(), zone.size());
  std::uint64_t checksum = fnv1a64(ByteView(payload, kPayloadPrefix + zone.size()));
  for (const ByteView part : frame_parts) checksum = fnv1a64_update(checksum, part);
  store_u64le(out + 14, checksum);
  return image;
}

}  // namespace

Status write_journal(const std::string& path, std::uint64_t offset, ByteView zone,
                     std::span<const ByteView> frame_parts) {
  // 1. The head built whole; the frames follow it as they are, so that a frame (or a batch of
  //    them) is not copied once more just to be journaled. A crash between the writes leaves a
  //    journal that fails its checksum, which replay discards: the data file is touched only
  //    after the journal's sync.
  const Bytes head = journal_head(offset, zone, frame_parts);
  std::vector<ByteView> pieces{ByteView(head)};
  pieces.insert(pieces.end(), frame_parts.begin(), frame_parts.end());
  return write_journal_image(path, pieces);
}

Status splice(File& file, std::uint64_t offset, ByteView zone,
              std::span<const ByteView> frame_parts) {
  std::uint64_t at = offset;
  for (const ByteView part : frame_parts) {
    DRELIX_TRY(file.write_all_at(at, part));
    at = sat_add(at, part.size());
  }
  // Cuts off the uncompressed tail the frames replace.
  DRELIX_TRY(file.truncate(at));
  return write_zone(file, zone);
}

namespace {

JournalContent content_of(const JournalImage& image) {
  return JournalContent{image.offset, image.zone(), image.frame()};
}

// A journal's whole image read from `journal` and checked: header, length, checksum, framing.
// nullopt for one that fails a check (replay discards it; a reader ignores it).
Result<std::optional<JournalImage>> read_image(File& journal) {
  DRELIX_ASSIGN_OR_RETURN(const std::uint64_t len, journal.length());
  if (len < kHeaderSize) return std::nullopt;
  std::uint8_t header[kHeaderSize];
  DRELIX_TRY(journal.read_exact_at(0, header));
  if (std::memcmp(header, kMagic.data(), kMagic.size()) != 0) return std::nullopt;
  const std::uint64_t p = load_u64le(header + 6);
  if (p > len || p + kHeaderSize != len || p == 0) return std::nullopt;
  JournalImage image;
  image.payload.resize(static_cast<std::size_t>(p));
  DRELIX_TRY(journal.read_exact_at(kHeaderSize, image.payload));
  JournalContent content;
  if (!decode_payload(image.payload, load_u64le(header + 14), &content)) return std::nullopt;
  image.offset = content.offset;
  image.zone_size = content.zone.size();
  return image;
}

}  // namespace

Result<std::optional<JournalImage>> read_journal(const std::string& path, File& data) {
  auto opened = env().open_read(journal_path(path));
  if (!opened) {
    const int code = opened.error().os_code();
    if (code == ENOENT || code == ENOTDIR) return std::nullopt;
    return fail(std::move(opened).error());
  }
  auto image = read_image(**opened);
  if (!image) return fail(std::move(image).error().with_path(journal_path(path)));
  if (!*image) return std::nullopt;
  DRELIX_ASSIGN_OR_RETURN(const bool fits, journal_fits(data, content_of(**image)));
  if (!fits) return std::nullopt;
  return image;
}

// Steps:
//   1. Open the journal: absent is nothing to do; present but unopenable is an error, since it
//      may hold a close whose splice had already begun.
//   2. Read and check the 22-byte header against the file's length, then the payload, then
//      that it fits the data file (journal_fits); the first failed check makes the journal
//      invalid, and an invalid journal is deleted (the data file was never touched).
//   3. Splice a valid journal into the data file, then delete it. A failed splice keeps the
//      journal for the next opener.
Status replay_journal(const std::string& path) {
  const std::string jpath = journal_path(path);
  auto opened = env().open_read(jpath);
  if (!opened) {
    const int code = opened.error().os_code();
    // ENOTDIR: a component of the path is not a directory, so no journal can exist either.
    if (code == ENOENT || code == ENOTDIR) return {};
    return fail(std::move(opened).error());
  }
  FilePtr journal = std::move(*opened);

  auto read = read_image(*journal);
  if (!read) return fail(std::move(read).error().with_path(jpath));
  if (!*read) {
    (void)env().unlink(jpath);
    return {};
  }
  const JournalContent content = content_of(**read);
  auto discard = [&]() -> Status {
    (void)env().unlink(jpath);
    return {};
  };

  DRELIX_ASSIGN_OR_RETURN(FilePtr data, env().open_read_write(path));
  DRELIX_ASSIGN_OR_RETURN(const bool fits, journal_fits(*data, content));
  if (!fits) return discard();

  // The close that wrote this journal may have died before syncing it: what we read may still
  // be only in the page cache. Splicing from it and then losing power would leave a data file
  // changed by a journal that no longer exists, so make the journal durable first.
  if (auto r = journal->sync(); !r) return fail(std::move(r).error().with_path(jpath));
  journal.reset();
  DRELIX_TRY(sync_dir_of(jpath));

  DRELIX_TRY(splice(*data, content.offset, content.zone, std::span(&content.frame, 1)));
  data.reset();
  // A journal left behind would be replayed again after later appends and cut them off, so an
  // opener that cannot remove it must not go on to write.
  return unlink_durably(jpath);
}

bool remove_journal(const std::string& path) {
  return unlink_durably(journal_path(path)).has_value();
}

}  // namespace drelix
