#include "core/tail_read.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "core/file.h"
#include "core/frame_read.h"
#include "core/frames.h"
#include "core/journal.h"
#include "core/preamble.h"
#include "core/schema.h"
#include "core/str_cat.h"

namespace drelix {

namespace {

// A zone rewritten while it is read shows as a zone that does not parse, or as one that reads
// back otherwise; a few tries, a little apart, outlast the writer.
constexpr int kTakeAttempts = 4;
// Tries at following the tail's records to where a writer moved them, each over the file as it
// then stands: a close or a header rewrite between a try's reads makes it try again.
constexpr int kFollowAttempts = 8;

void pause_before(int attempt) {
  std::this_thread::sleep_for(std::chrono::microseconds(250 << std::min(attempt, 6)));
}

// The data file as a reader takes it: the bytes of `base`, with a pending close's journal
// applied in memory when there is one (its zone over the file's, its frames at its offset, the
// file ending after them), as replaying it would leave the file. It writes nothing.
class ReaderView final : public File {
 public:
  ReaderView(std::shared_ptr<File> base, std::optional<JournalImage> journal)
      : base_(std::move(base)), journal_(std::move(journal)) {}

  Status read_exact_at(std::uint64_t offset, std::span<std::uint8_t> buf) override {
    DRELIX_ASSIGN_OR_RETURN(const std::size_t got, read_at(offset, buf));
    if (got < buf.size()) return fail(Error::io_eof());
    return {};
  }

  Result<std::size_t> read_at(std::uint64_t offset, std::span<std::uint8_t> buf) override {
    if (!journal_) return base_->read_at(offset, buf);
    const std::uint64_t end = journal_->offset + journal_->frame().size();
    if (offset >= end) return std::size_t{0};
    buf = buf.first(static_cast<std::size_t>(std::min<std::uint64_t>(buf.size(), end - offset)));
    // The file's own bytes before the journal's frames (a splice changes none of them but the
    // zone's), then the journal's zone and frames over whatever the file holds there now.
    const std::uint64_t own = offset < journal_->offset
                                  ? std::min<std::uint64_t>(buf.size(), journal_->offset - offset)
                                  : 0;
    DRELIX_TRY(base_->read_exact_at(offset, buf.first(static_cast<std::size_t>(own))));
    overlay(offset, buf, kPreambleSize, journal_->zone());
    overlay(offset, buf, journal_->offset, journal_->frame());
    return buf.size();
  }

  Status write_all_at(std::uint64_t, ByteView) override { return refuse(); }
  Result<std::uint64_t> length() override {
    if (journal_) return journal_->offset + journal_->frame().size();
    return base_->length();
  }
  Status truncate(std::uint64_t) override { return refuse(); }
  Status sync() override { return refuse(); }
  Result<std::uint32_t> permissions() override { return base_->permissions(); }
  Status set_permissions(std::uint32_t) override { return refuse(); }
  Result<FileId> id() override { return base_->id(); }

 private:
  static Status refuse() { return fail(Error::usage("a reader writes nothing")); }
  // Copies the part of `bytes` (which belong at `at`) that falls in buf (read from `offset`).
  static void overlay(std::uint64_t offset, std::span<std::uint8_t> buf, std::uint64_t at,
                      ByteView bytes) {
    const std::uint64_t lo = std::max(offset, at);
    const std::uint64_t hi = std::min(offset + buf.size(), at + bytes.size());
    if (lo >= hi) return;
    std::memcpy(buf.data() + (lo - offset), bytes.data() + (lo - at),
                static_cast<std::size_t>(hi - lo));
  }

  std::shared_ptr<File> base_;
  std::optional<JournalImage> journal_;
};

// The failure of an open that met the end of the file inside the preamble.
Error too_short(File* file, const Error& error) {
  Result<std::uint64_t> len = file ? file->length() : fail(error);
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

// Whether `error` may come from reading a file while a writer changes it, so that the same
// reads over the file as it then stands may succeed.
bool may_be_a_race(const Error& error) {
  return error.kind() == Error::Kind::Malformed || error == Error::io_eof();
}

}  // namespace

Result<Snapshot> Snapshot::take(std::shared_ptr<File> file, const std::string& path,
                                const std::string& resolved, bool with_journal, bool object) {
  std::optional<JournalImage> journal;
  for (const std::string* name : {&path, &resolved}) {
    if (!with_journal || (name == &resolved && resolved == path)) break;
    DRELIX_ASSIGN_OR_RETURN(journal, read_journal(*name, *file));
    if (journal) break;
  }
  const bool from_journal = journal.has_value();
  DRELIX_ASSIGN_OR_RETURN(Container c, Container::open_view(path, std::make_unique<ReaderView>(
                                                                      file, std::move(journal))));
  // Out of file order, or listing bytes twice, the list would have reads return one frame's
  // bytes as another's records or as the tail's.
  if (Status order = check_frame_order(c.frames()); !order) {
    return fail(Error::malformed(
        str_cat(order.error().message(), "; run rebuild_headers to derive the frame list")));
  }
  DRELIX_ASSIGN_OR_RETURN(Bytes head, zone_head_of(c));
  return Snapshot(std::move(file), std::move(c), std::move(head), resolved, from_journal, object);
}

Result<Snapshot> Snapshot::open(const std::string& path) {
  DRELIX_ASSIGN_OR_RETURN(std::string resolved, env().resolve_links(path));
  for (int attempt = 1;; ++attempt) {
    DRELIX_ASSIGN_OR_RETURN(FilePtr opened, env().open_read(path));
    Result<Snapshot> s =
        take(std::shared_ptr<File>(std::move(opened)), path, resolved, true, false);
    if (!s && s.error() == Error::io_eof()) {
      Result<FilePtr> file = env().open_read(path);
      return fail(too_short(file ? file->get() : nullptr, s.error()));
    }
    if (attempt == kTakeAttempts) return s;
    if (s && !s->zone_head_.empty()) return s;
    if (!s && s.error().kind() != Error::Kind::Malformed) return s;
    pause_before(attempt);
  }
}

Result<Snapshot> Snapshot::open_object(std::shared_ptr<File> file, const std::string& name) {
  for (int attempt = 1;; ++attempt) {
    Result<Snapshot> s = take(file, name, name, false, true);
    if (!s && s.error() == Error::io_eof()) return fail(too_short(file.get(), s.error()));
    // An empty zone head: the object was replaced between two of our reads; look again.
    if (attempt == kTakeAttempts || !s || !s->zone_head_.empty()) return s;
    pause_before(attempt);
  }
}

Result<Snapshot> Snapshot::now() const {
  DRELIX_ASSIGN_OR_RETURN(const bool gone, detached());
  for (int attempt = 1;; ++attempt) {
    Result<Snapshot> s = take(file_, c_.path(), resolved_, !gone && !object_, object_);
    if (attempt == kTakeAttempts) return s;
    if (s && !s->zone_head_.empty()) return s;
    if (!s && !may_be_a_race(s.error())) return s;
    pause_before(attempt);
  }
}

Error Snapshot::changed() const {
  return Error::malformed(str_cat(c_.path(), ": the file changed since the reader opened it in ",
                                  "a way it cannot follow (its frame list was rewritten); ",
                                  "reopen it or call refresh()"));
}

// A journal that is incomplete or fails its checksum is one whose writer had not finished it
// when we read it (or died first): its splice, which only follows a complete, synced journal,
// had not begun then, and a writer that opens the file discards it. Only a valid one counts.
Result<bool> Snapshot::journal_present() const {
  if (object_) return false;
  for (const std::string* name : {&c_.path(), &resolved_}) {
    if (name == &resolved_ && resolved_ == c_.path()) break;
    DRELIX_ASSIGN_OR_RETURN(const std::optional<JournalImage> journal, read_journal(*name, *file_));
    if (journal) return true;
  }
  return false;
}

// Whether the path names another file than the one open: a repack put a new one in its place
// (or the file was removed). Nothing writes to the old one any more, so its bytes stay as read.
Result<bool> Snapshot::detached() const {
  if (object_) return false;
  DRELIX_ASSIGN_OR_RETURN(const FileId mine, file_->id());
  Result<FileId> named = env().id_of(c_.path());
  if (!named && named.error().os_code() == ENOENT) return true;
  if (!named) return fail(std::move(named).error());
  return *named != mine;
}

// Whether tail bytes read before this call are the ones the snapshot counted. A close writes
// its journal whole (and syncs it) before it splices the frame over the tail, and removes it
// only after it has rewritten the zone. So if a splice changed bytes we read, the whole journal
// existed when we read them: either it still exists when we look for it, or it was removed, and the
// new zone was written before that, so the zone we read next is the new one. The order of the
// two looks matters: zone first, then journal, would miss a zone rewrite and a removal that
// both fall between them. A shorter file shows as a short read before we get here. A journal
// beside a path that names another file now is that file's: the one we read is no longer
// written by anyone.
Status Snapshot::check_unchanged() const {
  if (zone_head_.empty()) return fail(changed());
  DRELIX_ASSIGN_OR_RETURN(const bool journal, journal_present());
  if (journal) {
    DRELIX_ASSIGN_OR_RETURN(const bool gone, detached());
    if (!gone) return fail(changed());
  }
  Bytes now(zone_head_.size());
  DRELIX_TRY(c_.read_exact_at(kPreambleSize, now));
  if (now != zone_head_) return fail(changed());
  return {};
}

Status Snapshot::read_tail_as_taken(std::uint64_t offset, std::span<std::uint8_t> out) const {
  Status read = c_.read_exact_at(c_.tail_start() + offset, out);
  if (!read && read.error() == Error::io_eof()) return fail(changed());
  if (!read) return read;
  return check_unchanged();
}

Status Snapshot::read_tail(std::uint64_t offset, std::span<std::uint8_t> out) const {
  const std::uint64_t len = tail_length();
  if (offset > len || out.size() > len - offset) {
    return fail(Error::usage(
        str_cat("tail bytes ", offset, "..", offset + out.size(), " are past the tail's ", len)));
  }
  // No bytes read, none to vouch for: the reader counted nothing there.
  if (out.empty()) return {};
  Status read = read_tail_as_taken(offset, out);
  if (read || read.error() != changed()) return read;
  DRELIX_ASSIGN_OR_RETURN(const std::size_t got, read_followed(offset, out));
  if (got < out.size()) return fail(changed());
  return {};
}

Result<Bytes> Snapshot::read_whole_tail() const {
  Bytes bytes(static_cast<std::size_t>(tail_length()));
  if (bytes.empty()) return bytes;
  Status read = read_tail_as_taken(0, bytes);
  if (read) return bytes;
  if (read.error() != changed()) return fail(std::move(read).error());
  // A torn record at the end may have been cut since by a writer that opened the file.
  DRELIX_ASSIGN_OR_RETURN(const std::size_t got, read_followed(0, bytes));
  bytes.resize(got);
  return bytes;
}

// The tail's records were moved (a close made frames of them) or the zone was rewritten: the
// same bytes are read from the file as it stands now, where they follow the frames this
// snapshot lists. Each try takes the file anew, so a change during one is met by the next.
Result<std::size_t> Snapshot::read_followed(std::uint64_t offset,
                                            std::span<std::uint8_t> out) const {
  Error last = changed();
  for (int attempt = 1; attempt <= kFollowAttempts; ++attempt) {
    if (attempt > 1) pause_before(attempt);
    Result<Snapshot> current = now();
    Result<std::size_t> read =
        current ? current->read_moved_from(*this, offset, out) : fail(current.error());
    if (read) return read;
    if (!may_be_a_race(read.error())) return read;
    last = std::move(read).error();
  }
  // Something other than appends and closes happened (a rebuild that changed the frame list),
  // or a writer kept changing the file through every try, or a frame is damaged.
  return fail(std::move(last));
}

// out = bytes [offset, offset + out.size()) of what `old` counted as its tail, found in this
// later state of the same file: a writer only appends records and closes frames at the tail's
// start (cutting a torn record first), so the records from old's tail start on are the
// contents of the frames listed from there, back to back, and then this state's tail. Returns
// how many bytes it found: fewer only where a torn record at old's end was cut.
Result<std::size_t> Snapshot::read_moved_from(const Snapshot& old, std::uint64_t offset,
                                              std::span<std::uint8_t> out) const {
  const std::vector<Frame>& before = old.c_.frames();
  const std::vector<Frame>& after = c_.frames();
  if (after.size() < before.size() || !std::equal(before.begin(), before.end(), after.begin())) {
    return fail(old.changed());
  }
  const std::uint64_t end = offset + out.size();
  std::uint64_t at = listed_end(before);  // where the next frame must begin
  std::uint64_t pos = 0;                  // bytes of old's tail passed so far
  for (std::size_t i = before.size(); i < after.size() && pos < end; ++i) {
    const Frame& frame = after[i];
    if (frame.offset != at) return fail(old.changed());
    at = frame.offset + frame.len;
    DRELIX_ASSIGN_OR_RETURN(const std::optional<std::uint64_t> size, frame_content_size(c_, frame));
    if (size && pos + *size <= offset) {
      pos += *size;
      continue;
    }
    DRELIX_ASSIGN_OR_RETURN(const Bytes content, read_checked(c_, frame));
    const std::uint64_t lo = std::max(offset, pos);
    const std::uint64_t hi = std::min(end, pos + content.size());
    if (lo < hi) {
      std::memcpy(out.data() + (lo - offset), content.data() + (lo - pos),
                  static_cast<std::size_t>(hi - lo));
    }
    pos += content.size();
  }
  if (pos >= end) return out.size();
  // The rest is in this state's tail, which must begin where those frames end.
  if (c_.tail_start() != c_.data_start() + at) return fail(old.changed());
  const std::uint64_t lo = std::max(offset, pos);
  if (lo - pos > tail_length()) return fail(old.changed());
  const std::uint64_t held = std::min<std::uint64_t>(end - lo, tail_length() - (lo - pos));
  const std::span<std::uint8_t> rest =
      out.subspan(static_cast<std::size_t>(lo - offset), static_cast<std::size_t>(held));
  DRELIX_TRY(read_tail_as_taken(lo - pos, rest));
  return static_cast<std::size_t>(lo - offset + held);
}

Result<std::optional<Snapshot::Refreshed>> Snapshot::refresh() const {
  if (object_) return std::nullopt;
  DRELIX_ASSIGN_OR_RETURN(const bool gone, detached());
  if (gone) {
    // A file removed from under the reader has nothing new to offer (it may reappear: look
    // again later); one put in its place is opened.
    Result<Snapshot> fresh = open(c_.path());
    if (!fresh && fresh.error().os_code() == ENOENT) return std::nullopt;
    if (!fresh) return fail(std::move(fresh).error());
    return Refreshed{std::move(*fresh), true};
  }
  // The same zone and no close under way: nothing new, or only appended records. This is what
  // a follower pays on every poll, so it reads only the zone's text and parses nothing. The
  // length is read first: a close that cut the file after it would show in the journal or the
  // zone looked at next, and the bytes it counts are checked when they are read.
  if (!from_journal_) {
    DRELIX_ASSIGN_OR_RETURN(const std::uint64_t len, file_->length());
    DRELIX_ASSIGN_OR_RETURN(const bool journal, journal_present());
    if (len >= c_.data_end() && !journal) {
      Bytes zone(zone_head_.size());
      DRELIX_TRY(c_.read_exact_at(kPreambleSize, zone));
      if (zone == zone_head_ && len == c_.data_end()) return std::nullopt;
      if (zone == zone_head_) {
        Container grown = c_.view_to(std::make_unique<ReaderView>(file_, std::nullopt), len);
        return Refreshed{Snapshot(file_, std::move(grown), zone_head_, resolved_, false, false),
                         false};
      }
    }
  }
  DRELIX_ASSIGN_OR_RETURN(Snapshot current, now());
  const std::vector<Frame>& before = c_.frames();
  const std::vector<Frame>& after = current.c_.frames();
  if (after.size() < before.size() || !std::equal(before.begin(), before.end(), after.begin())) {
    DRELIX_ASSIGN_OR_RETURN(Snapshot fresh, open(c_.path()));
    return Refreshed{std::move(fresh), true};
  }
  return Refreshed{std::move(current), false};
}

Result<RecordCount> Snapshot::count_tail() const {
  const RecordLayout layout = c_.schema().layout;
  if (layout.is_fixed() && layout.size() > 0) {
    const std::uint64_t records = tail_length() / layout.size();
    return RecordCount{records, records * layout.size(), tail_length() % layout.size()};
  }
  DRELIX_ASSIGN_OR_RETURN(const Bytes bytes, read_whole_tail());
  RecordCount count = count_records(bytes, layout);
  count.torn = tail_length() - count.whole_bytes;
  return count;
}

Result<Bytes> Snapshot::read_tail_records() const {
  DRELIX_ASSIGN_OR_RETURN(Bytes bytes, read_whole_tail());
  bytes.resize(static_cast<std::size_t>(count_records(bytes, c_.schema().layout).whole_bytes));
  return bytes;
}

}  // namespace drelix
