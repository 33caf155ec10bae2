#include "core/container.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <memory>
#include <string_view>

#include "core/frame_stream.h"
#include "core/journal.h"
#include "core/maintenance.h"
#include "core/numbers.h"
#include "core/record_stream.h"
#include "core/str_cat.h"
#include "core/system_headers.h"

namespace drelix {

namespace {

constexpr std::uint64_t kMillisPerDay = 86400000;
constexpr std::uint64_t kSecondsPerDay = 86400;
// Days from 0000-03-01 to 1970-01-01 in the proleptic Gregorian calendar, and the length of a
// 400-year era: the civil-from-days conversion counts from March so leap days fall last.
constexpr std::uint64_t kEpochShiftDays = 719468;
constexpr std::uint64_t kDaysPerEra = 146097;
// Reads above this size first bound their buffer by the file's length, so that a bogus length
// cannot make us allocate far more than the file holds.
constexpr std::uint64_t kUncheckedReadLimit = 1 << 20;

const char kReadOnly[] = "file is open read-only";
const char kBroken[] =
    "the file may be half-spliced after a failed close; reopen it with open_append";
const char kSyncFailed[] =
    "a sync of the file failed, so what it covered may be lost; reopen it with open_append";

// `v` in decimal, left-padded with zeros to at least `width` digits.
std::string zero_padded(std::uint64_t v, std::size_t width) {
  std::string digits = to_decimal(v);
  if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
  return digits;
}

// The _created_at text of a time in milliseconds since the epoch, UTC, seconds resolution.
std::string utc_timestamp(std::uint64_t millis) {
  const std::uint64_t days = millis / kMillisPerDay;
  const std::uint64_t secs = (millis / 1000) % kSecondsPerDay;

  // Every quantity is non-negative because the day number is, so unsigned arithmetic is exact.
  const std::uint64_t z = days + kEpochShiftDays;
  const std::uint64_t era = z / kDaysPerEra;
  const std::uint64_t doe = z - era * kDaysPerEra;                                  // [0, 146096]
  const std::uint64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;  // [0, 399]
  const std::uint64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);                // [0, 365]
  const std::uint64_t mp = (5 * doy + 2) / 153;                                     // [0, 11]
  const std::uint64_t day = doy - (153 * mp + 2) / 5 + 1;                           // [1, 31]
  const std::uint64_t month = mp < 10 ? mp + 3 : mp - 9;                            // [1, 12]
  const std::uint64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);

  return str_cat(zero_padded(year, 4), "-", zero_padded(month, 2), "-", zero_padded(day, 2), "T",
                 zero_padded(secs / 3600, 2), ":", zero_padded(secs % 3600 / 60, 2), ":",
                 zero_padded(secs % 60, 2), "Z");
}

// The header list of a new file: the fourteen system keys in their fixed order, then the
// caller's keys in the order given.
Result<Headers> initial_headers(const Schema& schema, std::string_view source,
                                std::string_view writer, std::uint64_t created_at_millis,
                                const Container::UserHeaders& user) {
  const std::string created_at = utc_timestamp(created_at_millis);
  const std::string record = schema.layout.render();
  const std::string fields = schema.fields_value();
  const std::string hash = schema.hash_hex();
  // clang-format off
  const std::pair<std::string_view, std::string_view> system[] = {
      {key::kSchema, schema.name},
      {key::kSchemaFields, fields},
      {key::kSchemaHash, hash},
      {key::kRecord, record},
      {key::kSource, source},
      {key::kCreatedAt, created_at},
      {key::kWriter, writer},
      {key::kCompression, "zstd"},
      {key::kCompressionLevel, "3"},
      {key::kRecords, "0"},
      {key::kBytesRaw, "0"},
      {key::kFrames, ""},
      {key::kPreview, ""},
      {key::kSealed, "false"},
  };
  // clang-format on
  Headers headers;
  for (const auto& [key, value] : system) DRELIX_TRY(headers.set(key, value));
  DRELIX_TRY(headers.set_user_all(user));
  return headers;
}

// Refuses, before anything reaches the disk, the arguments that would make an unreadable file.
Status check_create_arguments(const Schema& schema, std::uint32_t header_area) {
  DRELIX_TRY(check_header_area(header_area));
  if (schema.layout.is_fixed() && schema.layout.size() == 0) {
    return fail(Error::usage("record size is zero"));
  }
  return schema.check_fields_storable();
}

// The zone a new file starts with must open again as the same schema; anything the field rule
// above does not cover (text that is not UTF-8, say) is caught by reading it back.
Status check_zone_reads_back(ByteView zone, const Schema& schema) {
  Result<Headers> parsed = Headers::parse(zone);
  Result<Schema> read = parsed ? Schema::from_headers(*parsed) : fail(std::move(parsed).error());
  if (read && *read == schema) return {};
  const std::string why =
      read ? std::string("it reads back as another schema") : read.error().to_string();
  return fail(Error::usage(
      str_cat("the headers of schema ", quoted(schema.name), " would not read back: ", why)));
}

Status remove_stale_journal(const std::string& path) {
  Status removed = env().unlink(journal_path(path));
  if (!removed && removed.error().os_code() == ENOENT) return {};
  return removed;
}

// Bytes of buffer an appending container needs so that no append reallocates: one byte short
// of the flush threshold plus the largest record the layout admits, in on-disk form.
std::size_t buffer_capacity_for(RecordLayout layout) {
  const std::size_t largest = layout.is_fixed() ? layout.size() : 2 + kMaxPrefixedRecord;
  return kFlushThreshold - 1 + largest;
}

}  // namespace

Result<Container> Container::create(const std::string& path, const Schema& schema,
                                    std::string_view source, std::string_view writer,
                                    std::uint64_t created_at_millis, std::uint32_t header_area,
                                    const UserHeaders& user) {
  DRELIX_TRY(check_create_arguments(schema, header_area));
  DRELIX_ASSIGN_OR_RETURN(Headers headers,
                          initial_headers(schema, source, writer, created_at_millis, user));
  DRELIX_ASSIGN_OR_RETURN(Zone zone, render_zone(std::move(headers), {}, header_area));
  DRELIX_TRY(check_zone_reads_back(zone.image, schema));

  const Preamble preamble{header_area, kFormatVersion, kFlagCompressed};
  DRELIX_ASSIGN_OR_RETURN(FilePtr file, env().create_exclusive(path, 0666));
  // A journal at this path belonged to a file that is gone (the create was exclusive), and
  // replayed into this one it would overwrite its records: it goes before anything is written,
  // durably with the directory sync below.
  Status written = remove_stale_journal(path);
  // The directory entry is synced too: every later close syncs only the file, and a file whose
  // name a power cut can take back would take its durable frames with it.
  if (written) written = file->write_all_at(0, preamble.encode());
  if (written) written = write_zone(*file, zone.image);
  if (written) written = sync_dir_of(path);
  if (!written) {
    // The file is ours (the create was exclusive) and useless half-written; leaving it would
    // make a retry of the same create fail on the existing path.
    file.reset();
    (void)env().unlink(path);
    return fail(std::move(written).error());
  }

  return Container(path, std::move(file), true, preamble, std::move(zone.headers), schema, {},
                   preamble.data_start());
}

Container::Container(std::string path, FilePtr file, bool writable, const Preamble& preamble,
                     Headers headers, Schema schema, std::vector<Frame> frames,
                     std::uint64_t data_end)
    : path_(std::move(path)),
      headers_(std::move(headers)),
      schema_(std::move(schema)),
      frames_(std::move(frames)),
      preamble_(preamble),
      data_start_(preamble.data_start()) {
  // Counters that do not parse read as 0: validation reports disagreements, opening must not
  // refuse a file over them.
  records_ = frame_records_ = parse_counter(headers_.get(key::kRecords).value_or(""));
  bytes_raw_ = frame_bytes_raw_ = parse_counter(headers_.get(key::kBytesRaw).value_or(""));
  io_.file = std::move(file);
  io_.data_end = data_end;
  io_.writable = writable;
}

Result<Container> Container::open_inner(const std::string& path, bool writable) {
  DRELIX_ASSIGN_OR_RETURN(FilePtr file,
                          writable ? env().open_read_write(path) : env().open_read(path));
  return open_file(path, std::move(file), writable);
}

Result<Container> Container::open_view(const std::string& path, FilePtr file) {
  return open_file(path, std::move(file), false);
}

Container Container::view_to(FilePtr file, std::uint64_t data_end) const {
  return Container(path_, std::move(file), false, preamble_, headers_, schema_, frames_, data_end);
}

Result<Container> Container::open_file(const std::string& path, FilePtr file, bool writable) {
  DRELIX_ASSIGN_OR_RETURN(PeekResult head, read_preamble_and_zone(*file, path));
  DRELIX_ASSIGN_OR_RETURN(Schema schema, Schema::from_headers(head.headers));
  DRELIX_ASSIGN_OR_RETURN(std::vector<Frame> frames,
                          parse_frames(head.headers.get(key::kFrames).value_or("")));
  DRELIX_TRY(check_frames_fit(frames, head.preamble.data_start(), head.file_len));
  return Container(path, std::move(file), writable, head.preamble, std::move(head.headers),
                   std::move(schema), std::move(frames), head.file_len);
}

Result<Container> Container::open_read(const std::string& path) {
  return open_inner(path, false);
}

Result<Container> Container::open_append(const std::string& path) {
  DRELIX_TRY(replay_journal(path));
  remove_stale_repack(path);
  DRELIX_ASSIGN_OR_RETURN(Container c, open_inner(path, true));
  // Reading copes with any list that fits the file, but every close writes at the tail start.
  DRELIX_TRY(check_frames_disjoint(c.frames_));

  const std::uint64_t tail = c.tail_start();
  const std::uint64_t tail_len = c.tail_length();
  if (tail_len == 0) return c;

  // Count the tail's whole records piece by piece, so that a large tail never has to fit in
  // memory at once; only the count and the cut matter here.
  RecordStream counter(c.schema_.layout);
  DRELIX_ASSIGN_OR_RETURN(
      const std::uint64_t got,
      read_pieces(c.file(), tail, tail_len, [&counter](ByteView p) { counter.feed(p); }));
  if (got < tail_len) return fail(Error::io_eof());

  const RecordCount count = counter.count();
  if (count.torn > 0) {
    // A record cut short by a crash: drop it so the next append starts on a record boundary.
    DRELIX_TRY(c.io_.file->truncate(c.io_.data_end - count.torn));
    c.io_.data_end -= count.torn;
  }
  c.records_ = sat_add(c.records_, count.records);
  c.bytes_raw_ = sat_add(c.bytes_raw_, count.whole_bytes);
  return c;
}

Container::OpenFile::OpenFile(OpenFile&& other) noexcept
    : file(std::move(other.file)),
      buffer(std::move(other.buffer)),
      data_end(other.data_end),
      writable(other.writable),
      broken(other.broken) {
  // The moved-from shell owns no file and no records: its destruction must do nothing.
  other.buffer.clear();
  other.writable = false;
}

Container::OpenFile& Container::OpenFile::operator=(OpenFile&& other) noexcept {
  if (this == &other) return *this;
  // Finish the file held now, exactly as its destruction would, then take the other one.
  std::destroy_at(this);
  std::construct_at(this, std::move(other));
  return *this;
}

Container::OpenFile::~OpenFile() {
  // Buffered records are written so that a dropped container loses nothing, but the zone and
  // durability are left to explicit calls: a destructor cannot report failure. A broken
  // container's memory no longer matches the file, so it must not write at all.
  if (file && writable && !broken) (void)write_buffer();
}

Status Container::OpenFile::write_buffer() {
  if (buffer.empty()) return {};
  DRELIX_TRY(file->write_all_at(data_end, buffer));
  data_end = sat_add(data_end, buffer.size());
  buffer.clear();  // keeps the capacity reserved for appends
  return {};
}

Status Container::check_writable() const {
  if (!io_.writable) return fail(Error::usage(kReadOnly));
  if (io_.broken) return fail(Error::usage(kBroken));
  if (sync_failed_) return fail(Error::usage(kSyncFailed));
  return {};
}

Status Container::sync_file() {
  Status synced = io_.file->sync();
  if (!synced) sync_failed_ = true;
  return synced;
}

Status Container::append_record(ByteView body) {
  DRELIX_TRY(check_writable());
  const RecordLayout layout = schema_.layout;
  if (layout.is_fixed()) {
    if (body.size() != layout.size()) {
      return fail(Error::usage(
          str_cat("record is ", body.size(), " bytes, the schema says ", layout.size())));
    }
  } else if (body.size() > kMaxPrefixedRecord) {
    return fail(
        Error::usage(str_cat("record of ", body.size(), " bytes overflows the u16 prefix")));
  }

  // One reservation for the life of the container: the buffer never holds more than the
  // threshold minus one plus one record, so later appends only copy bytes.
  const std::size_t capacity = buffer_capacity_for(layout);
  if (io_.buffer.capacity() < capacity) io_.buffer.reserve(capacity);

  const std::size_t buffered_before = io_.buffer.size();
  std::uint64_t raw = body.size();
  if (!layout.is_fixed()) {
    std::array<std::uint8_t, 2> prefix;
    store_u16le(prefix.data(), static_cast<std::uint16_t>(body.size()));
    io_.buffer.insert(io_.buffer.end(), prefix.begin(), prefix.end());
    raw += prefix.size();
  }
  io_.buffer.insert(io_.buffer.end(), body.begin(), body.end());

  // An append that fails has not taken the record, so that the caller's retry stores it once:
  // the buffer and the counters go back to what they were. data_end is unchanged, so the next
  // write (of the records buffered before) lands at the same place, over whatever bytes the
  // failed write left past the end, and a reopen cuts those as any torn tail.
  if (io_.buffer.size() >= kFlushThreshold) {
    if (Status written = io_.write_buffer(); !written) {
      io_.buffer.resize(buffered_before);
      return written;
    }
  }
  bytes_raw_ = sat_add(bytes_raw_, raw);
  records_ = sat_add(records_, 1);
  return {};
}

Status Container::flush_data() {
  return io_.write_buffer();
}

Status Container::flush_headers() {
  DRELIX_TRY(check_writable());
  // The zone counts only records inside frames; the tail is recounted on every open_append.
  DRELIX_ASSIGN_OR_RETURN(
      Zone zone,
      render_zone(headers_, ZoneChange{.counters = Counters{frame_records_, frame_bytes_raw_}},
                  preamble_.header_area));
  headers_ = std::move(zone.headers);
  DRELIX_TRY(io_.file->write_all_at(kPreambleSize, zone.image));
  return sync_file();
}

Status Container::set_user_header(std::string_view key, std::string_view value) {
  // A broken container is refused before its headers change; a read-only one keeps the change
  // in memory and fails at the write, as callers of read-only files expect.
  if (io_.broken) return fail(Error::usage(kBroken));
  if (sync_failed_) return fail(Error::usage(kSyncFailed));
  Headers before = headers_;
  DRELIX_TRY(headers_.set_user(key, value));
  Status flushed = flush_headers();
  // A zone too small for the value fails before anything is written; keeping the value in
  // memory would make every later close and seal fail the same way, so it goes.
  if (!flushed && flushed.error().kind() == Error::Kind::ZoneFull) headers_ = std::move(before);
  return flushed;
}

Result<Bytes> Container::read_tail() const {
  const std::uint64_t tail = tail_start();
  const std::uint64_t len = tail_length();
  Bytes bytes;
  if (len == 0) return bytes;
  bytes.resize(static_cast<std::size_t>(len));
  DRELIX_TRY(io_.file->read_exact_at(tail, bytes));
  bytes.resize(static_cast<std::size_t>(count_records(bytes, schema_.layout).whole_bytes));
  return bytes;
}

std::uint64_t Container::tail_start() const {
  return sat_add(data_start_, listed_end(frames_));
}

Result<Bytes> read_at(File& file, std::uint64_t offset, std::uint64_t length) {
  std::uint64_t want = length;
  if (want > kUncheckedReadLimit) {
    // Never allocate more than the file can give back.
    DRELIX_ASSIGN_OR_RETURN(const std::uint64_t file_len, file.length());
    want = std::min(want, file_len > offset ? file_len - offset : 0);
  }
  Bytes bytes(static_cast<std::size_t>(want));
  DRELIX_ASSIGN_OR_RETURN(const std::size_t got, file.read_at(offset, bytes));
  bytes.resize(got);
  return bytes;
}

}  // namespace drelix
