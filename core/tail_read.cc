#include "core/tail_read.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/file.h"
#include "core/frames.h"
#include "core/journal.h"
#include "core/preamble.h"
#include "core/schema.h"
#include "core/str_cat.h"

namespace drelix {

namespace {

// A close between the container's read of the zone and ours is rare; a few tries outlast it.
constexpr int kOpenAttempts = 3;

// The failure of an open that met the end of the file inside the preamble.
Error too_short(const std::string& path, const Error& error) {
  Result<FilePtr> file = env().open_read(path);
  Result<std::uint64_t> len = file ? (*file)->length() : fail(file.error());
  if (!len || *len >= kPreambleSize) return error;
  return Error::malformed(str_cat("not a drelix file: ", *len, " bytes, too short for the ",
                                  kPreambleSize, "-byte preamble"));
}

// The zone as the file holds it now, provided it still says what `c` was opened with; empty
// when it does not.
Result<Bytes> zone_head_of(const Container& c) {
  Bytes zone(c.preamble().header_area);
  DRELIX_TRY(c.read_exact_at(kPreambleSize, zone));
  const Result<Headers> parsed = Headers::parse(zone);
  if (!parsed || parsed->pairs() != c.headers().pairs()) return Bytes{};
  const auto end = std::find(zone.begin(), zone.end(), std::uint8_t{0});
  zone.resize(static_cast<std::size_t>(
      std::min(end - zone.begin() + 1, static_cast<std::ptrdiff_t>(zone.size()))));
  return zone;
}

}  // namespace

Result<Snapshot> Snapshot::open(const std::string& path) {
  DRELIX_ASSIGN_OR_RETURN(std::string resolved, env().resolve_links(path));
  for (int attempt = 1;; ++attempt) {
    Result<Container> c = Container::open_read(path);
    if (!c && c.error() == Error::io_eof()) return fail(too_short(path, c.error()));
    if (!c) return fail(std::move(c).error());
    // Out of file order, or listing bytes twice, the list would have reads return one frame's
    // bytes as another's records or as the tail's.
    if (Status order = check_frame_order(c->frames()); !order) {
      return fail(Error::malformed(
          str_cat(order.error().message(), "; run rebuild_headers to derive the frame list")));
    }
    DRELIX_ASSIGN_OR_RETURN(Bytes head, zone_head_of(*c));
    Snapshot snapshot(std::move(*c), std::move(head), resolved);
    if (!snapshot.zone_head_.empty() || attempt == kOpenAttempts) return snapshot;
  }
}

Error Snapshot::changed() const {
  return Error::malformed(str_cat(c_.path(), ": the file changed since the reader opened it (",
                                  "a writer closed a frame or rewrote the headers); reopen it"));
}

Result<bool> Snapshot::journal_present() const {
  for (const std::string* name : {&c_.path(), &resolved_}) {
    if (name == &resolved_ && resolved_ == c_.path()) break;
    Result<FilePtr> journal = env().open_read(journal_path(*name));
    if (journal) return true;
    if (journal.error().os_code() != ENOENT) return fail(std::move(journal).error());
  }
  return false;
}

// Whether tail bytes read before this call are the ones the snapshot counted. A close writes
// its journal (and syncs it) before it splices the frame over the tail, and removes it only
// after it has rewritten the zone. So if a splice changed bytes we read, the journal existed
// when we read them: either it still exists when we look for it, or it was removed, and the
// new zone was written before that, so the zone we read next is the new one. The order of the
// two looks matters: zone first, then journal, would miss a zone rewrite and a removal that
// both fall between them. A shorter file shows as a short read before we get here.
Status Snapshot::check_unchanged() const {
  if (zone_head_.empty()) return fail(changed());
  DRELIX_ASSIGN_OR_RETURN(const bool journal, journal_present());
  if (journal) return fail(changed());
  Bytes now(zone_head_.size());
  DRELIX_TRY(c_.read_exact_at(kPreambleSize, now));
  if (now != zone_head_) return fail(changed());
  return {};
}

Status Snapshot::read_tail(std::uint64_t offset, std::span<std::uint8_t> out) const {
  const std::uint64_t len = tail_length();
  if (offset > len || out.size() > len - offset) {
    return fail(Error::usage(
        str_cat("tail bytes ", offset, "..", offset + out.size(), " are past the tail's ", len)));
  }
  // No bytes read, none to vouch for: the reader counted nothing there.
  if (out.empty()) return {};
  Status read = c_.read_exact_at(c_.tail_start() + offset, out);
  if (!read && read.error() == Error::io_eof()) return fail(changed());
  if (!read) return read;
  return check_unchanged();
}

Result<RecordCount> Snapshot::count_tail() const {
  const RecordLayout layout = c_.schema().layout;
  if (layout.is_fixed() && layout.size() > 0) {
    const std::uint64_t records = tail_length() / layout.size();
    return RecordCount{records, records * layout.size(), tail_length() % layout.size()};
  }
  Bytes bytes(static_cast<std::size_t>(tail_length()));
  DRELIX_TRY(read_tail(0, bytes));
  return count_records(bytes, layout);
}

Result<Bytes> Snapshot::read_tail_records() const {
  Bytes bytes(static_cast<std::size_t>(tail_length()));
  DRELIX_TRY(read_tail(0, bytes));
  bytes.resize(static_cast<std::size_t>(count_records(bytes, c_.schema().layout).whole_bytes));
  return bytes;
}

}  // namespace drelix
