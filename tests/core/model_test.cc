// One container driven by a seeded random sequence of every call it has (valid and invalid
// appends of every size, closes and seals at every level, bulk writes, header changes, failing
// disks, crashes, reopening read-only or for appending), checked after each step against a plain
// model: the records and where each one is (a frame, the file's tail, the buffer), the headers in
// memory and on disk, and which state refuses writes. A refused call must change nothing.
#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "core/bulk_write.h"
#include "core/codec.h"
#include "core/container.h"
#include "core/hash.h"
#include "core/journal.h"
#include "core/preview.h"
#include "core/str_cat.h"
#include "tests/core/test_util.h"

namespace drelix {
namespace {

using Op = SimEnv::Op;

enum Mode { kWritable, kReadOnly, kBroken, kSyncFailed };
const char* const kRefusals[] = {
    "", "file is open read-only",
    "the file may be half-spliced after a failed close; reopen it with open_append",
    "a sync of the file failed, so what it covered may be lost; reopen it with open_append"};

// Bytes of the zone text: "key:value\n" per pair and a closing "\n".
std::uint64_t zone_need(const Headers& h) {
  std::uint64_t n = 1;
  for (const auto& [k, v] : h.pairs()) n += k.size() + v.size() + 2;
  return n;
}

class ModelTest : public test::SimTest, public ::testing::WithParamInterface<int> {
 protected:
  std::mt19937_64 rng_{static_cast<std::uint64_t>(GetParam())};
  std::optional<Container> c_;
  // The model.
  Schema schema_;
  std::uint32_t zone_ = 4096;
  std::vector<Bytes> records_;     // every record kept, in order
  std::vector<std::size_t> ends_;  // frame i holds the records before ends_[i]
  std::vector<std::int32_t> levels_;
  std::vector<Frame> listed_;  // ids and offsets from here, lengths and checksums as made
  std::size_t on_disk_ = 0;    // the records from here on are in the buffer
  Bytes torn_;                 // a crashed writer's half records after the tail
  Headers mem_, disk_;
  Mode mode_ = kWritable;
  bool journal_ = false;
  std::optional<std::pair<std::uint64_t, std::int32_t>> pending_;  // open_append completes it
  std::optional<Bytes> frozen_;  // a half-spliced file, which nothing may touch

  std::uint64_t pick(std::uint64_t n) { return rng_() % n; }
  std::size_t framed() const { return ends_.empty() ? 0 : ends_.back(); }
  Bytes encode(std::size_t from, std::size_t to) const {
    const std::vector<Bytes> part(records_.begin() + from, records_.begin() + to);
    return is_fixed() ? test::concat(part) : test::prefixed(part);
  }
  std::uint64_t raw(std::size_t from, std::size_t to) const { return encode(from, to).size(); }
  std::uint64_t raw(const Bytes& body) const { return body.size() + (is_fixed() ? 0 : 2); }
  bool is_fixed() const { return schema_.layout.is_fixed(); }
  std::optional<Error> refusal() const {
    return mode_ == kWritable ? std::nullopt : std::optional(Error::usage(kRefusals[mode_]));
  }
  void expect(const Status& got, const std::optional<Error>& want) {
    EXPECT_EQ(got, want ? Status(fail(*want)) : Status{});
  }
  void set(Headers& h, std::string_view key, std::string_view value) {
    ASSERT_TRUE(h.set(key, value));
  }
  void append(const Bytes& body) {
    records_.push_back(body);
    if (raw(on_disk_, records_.size()) >= kFlushThreshold) on_disk_ = records_.size();
  }
  void close(std::uint64_t id, std::int32_t level, const Frame& made) {
    if (mem_.get("_preview").value_or("").empty())
      set(mem_, "_preview", render_preview(encode(framed(), records_.size()), schema_));
    const std::uint64_t at = listed_.empty() ? 0 : listed_.back().offset + listed_.back().len;
    listed_.push_back(Frame{id, at, made.len, made.hash});
    on_disk_ = records_.size();
    ends_.push_back(on_disk_);
    levels_.push_back(level);
    set(mem_, "_frames", render_frames(listed_));
    set(mem_, "_records", std::to_string(records_.size()));
    set(mem_, "_bytes_raw", std::to_string(raw(0, records_.size())));
    set(mem_, "_compression_level", std::to_string(level));
    set(mem_, "_compression", level == 0 ? "none" : "zstd");
    disk_ = mem_;
  }

  // Once a close returns, a power loss takes nothing back: neither the file's bytes nor the
  // deletion of the journal, which replayed later would undo what came after the close.
  void expect_durable() {
    const SimEnv::State disk = sim_.snapshot();
    EXPECT_EQ(disk.durable_names, disk.names);
    EXPECT_EQ(disk.durable.at(disk.names.at(path_)), disk.data.at(disk.names.at(path_)));
  }

  // A record the schema takes: prefixed ones of the boundary sizes too, and ones that fill the
  // buffer to exactly the threshold or one byte short of it; some begin with the zstd magic.
  Bytes body(bool fill = false) {
    std::size_t n = schema_.layout.size();
    if (!is_fixed()) {
      const std::size_t buffered = raw(on_disk_, records_.size());
      const std::size_t room = buffered + 2 < kFlushThreshold ? kFlushThreshold - 2 - buffered : 0;
      const std::size_t sizes[] = {0, 1, pick(300), 65535, room, room ? room - 1 : 0};
      n = fill ? room : sizes[pick(6)];
    }
    Bytes b(n);
    for (auto& x : b) x = static_cast<std::uint8_t>(pick(4));
    if (n >= 4 && pick(3) == 0) b = test::concat({{0x28, 0xB5, 0x2F, 0xFD}, test::slice(b, 4, n)});
    return b;
  }
  std::int32_t level() {
    constexpr std::int32_t kLevels[] = {0, 0, 1, 3, -5, 9};
    return kLevels[pick(6)];
  }

  // A schema of each kind (one of one-byte records); a user header list with a repeated key; every
  // fifth file with a zone too small for one frame more.
  void start() {
    const Schema schemas[] = {test::pair_schema(), test::quad_schema(), test::blob_schema(),
                              Schema{"byte@1", {{"b", "u8", 0}}, RecordLayout::fixed(1)}};
    schema_ = schemas[GetParam() % 4];
    Container::UserHeaders user;
    if (GetParam() % 2) user = {{"zeta", "1"}, {"alpha", "x:y"}, {"zeta", "2"}};
    if (GetParam() % 5 == 4) {
      zone_ = static_cast<std::uint32_t>(
          Container::create(path_, schema_, "s", "w", 0, 1, user).error().need() + pick(20));
    }
    // The journal of a file that was deleted mid-close: create removes it before it could be
    // replayed into the new file.
    const Bytes frame(4, 9);
    const ByteView parts[] = {frame};
    ASSERT_TRUE(write_journal(path_, 16 + zone_, Bytes(zone_, 0), parts));
    c_.emplace(Container::create(path_, schema_, "s", "w", 0, zone_, user).value());
    for (const auto& [k, v] : std::span(c_->headers().pairs()).first(14)) set(mem_, k, v);
    for (const auto& [k, v] : user) set(mem_, k, v);
    disk_ = mem_;
  }

  void check() {
    const Container& c = *c_;
    const Bytes file = test::read_file(path_);
    const std::uint64_t start = 16 + zone_;
    const std::size_t counted = mode_ == kReadOnly ? framed() : records_.size();
    EXPECT_EQ(std::tuple(c.records(), c.bytes_raw(), c.frame_records(), c.frame_bytes_raw()),
              std::tuple(counted, raw(0, counted), framed(), raw(0, framed())));
    EXPECT_EQ(c.buffered_bytes(), raw(on_disk_, records_.size()));
    EXPECT_EQ(c.headers().pairs(), mem_.pairs());
    EXPECT_EQ(c.writable(), mode_ != kReadOnly);
    EXPECT_EQ(test::exists(journal_path(path_)), journal_);
    ASSERT_EQ(c.frames(), listed_);
    const std::uint64_t tail_at =
        start + (listed_.empty() ? 0 : listed_.back().offset + listed_.back().len);
    EXPECT_EQ(c.tail_start(), tail_at);
    ASSERT_LE(tail_at, file.size());
    for (std::size_t i = 0; i < listed_.size(); ++i) {
      const Bytes content = encode(i ? ends_[i - 1] : 0, ends_[i]);
      EXPECT_EQ(c.read_frame_at(i), content);
      const std::uint64_t at = start + listed_[i].offset;
      const Bytes stored = test::slice(file, at, at + listed_[i].len);
      EXPECT_EQ(xxh64(stored), listed_[i].hash);
      const bool as_is = levels_[i] == 0 && !starts_with_zstd_magic(content);
      EXPECT_EQ(stored == content, as_is);  // else a zstd frame, as read_frame_at found
    }
    if (frozen_) {
      EXPECT_EQ(file, *frozen_);
      return;
    }
    const Bytes tail = encode(framed(), on_disk_);
    EXPECT_EQ(test::slice(file, tail_at, file.size()), test::concat({tail, torn_}));
    EXPECT_EQ(c.data_end(), file.size());
    EXPECT_EQ(c.read_tail(), tail);
    EXPECT_EQ(peek_headers(path_).value().headers.pairs(), disk_.pairs());
  }

  void append_invalid() {
    const std::size_t size = schema_.layout.size();
    const std::size_t fixed[] = {0, size - 1, size + 1};
    const std::size_t n = is_fixed() ? fixed[pick(3)] : 65536 + pick(2);
    const Status got = c_->append_record(Bytes(n, 1));
    if (refusal()) return expect(got, refusal());
    expect(got,
           Error::usage(is_fixed() ? str_cat("record is ", n, " bytes, the schema says ", size)
                                   : str_cat("record of ", n, " bytes overflows the u16 prefix")));
  }

  // The disk is full: an append whose threshold write fails has not taken its record, so its
  // retry stores it once; the records buffered before stay for the next write.
  void append_to_full_disk() {
    if (mode_ != kWritable) return;
    const Bytes b = body(pick(2));
    const bool writes = raw(on_disk_, records_.size()) + raw(b) >= kFlushThreshold;
    sim_.fail_from_next(Op::Write, ENOSPC);
    expect(c_->append_record(b), writes ? std::optional(Error::io(ENOSPC)) : std::nullopt);
    if (!writes) append(b);
    const bool buffered = on_disk_ < records_.size();
    expect(c_->flush_data(), buffered ? std::optional(Error::io(ENOSPC)) : std::nullopt);
    check();
    sim_.clear(Op::Write);
    if (!writes) return;
    expect(c_->append_record(b), std::nullopt);
    append(b);
  }

  void close_or_seal(bool seal) {
    const std::uint64_t id = pick(4);
    const std::int32_t lv = level();
    const Status got = seal ? c_->seal(id, lv) : c_->close_frame(id, lv);
    if (refusal()) return expect(got, refusal());
    on_disk_ = records_.size();
    const bool tail = records_.size() > framed();
    if (tail && zone_ != 4096) {  // only the buffer was written
      EXPECT_EQ(std::pair(got.error().kind(), got.error().have()),
                std::pair(Error::Kind::ZoneFull, std::uint64_t{zone_}));
      return;
    }
    expect(got, std::nullopt);
    if (tail) {
      expect_durable();
      close(id, lv, c_->frames().back());
    }
    if (seal) set(mem_, "_sealed", "true");
    disk_ = mem_;
  }

  // A bulk write: the tail closed first into frame `id`, then the records cut into frames of
  // at most frame_records records and frame_bytes bytes (a record alone may pass that), the ids
  // following on.
  void bulk_write() {
    if (zone_ != 4096) return;
    std::vector<Bytes> bodies(pick(9));
    for (Bytes& b : bodies) b = body();
    // No frame_bytes, a small one, or one that the first record or the first two fill exactly
    // (a first frame of one record renders an empty preview when the schema has no fields).
    const std::uint64_t max_records = pick(3);
    std::uint64_t max_bytes = 8 * pick(4);
    if (!bodies.empty() && pick(2)) max_bytes = raw(bodies[0]);
    if (bodies.size() > 1 && pick(2)) max_bytes += raw(bodies[1]);
    const BulkOptions o{max_records, max_bytes, level(), /*threads=*/1 + pick(3)};
    // Now and then one body too long for its prefix, which refuses the whole write.
    std::optional<std::size_t> oversized;
    if (!is_fixed() && !bodies.empty() && pick(5) == 0) {
      oversized = pick(bodies.size());
      bodies[*oversized] = Bytes(65536, 7);
    }
    std::uint64_t id = pick(4);
    const std::vector<ByteView> views(bodies.begin(), bodies.end());
    const auto got = is_fixed() ? bulk_write_fixed(*c_, test::concat(bodies), id, o)
                                : bulk_write_bodies(*c_, views, id, o);
    const Status status = got ? Status{} : fail(got.error());
    if (max_records == 0 && max_bytes == 0)
      return expect(status, Error::usage("a bulk write needs frame_records or frame_bytes"));
    if (oversized) {
      return expect(status, Error::usage(str_cat("record ", *oversized,
                                                 " of 65536 bytes overflows the u16 prefix")));
    }
    const bool writes = !bodies.empty() || records_.size() > framed();
    if (refusal()) return expect(status, writes || mode_ == kReadOnly ? refusal() : std::nullopt);
    ASSERT_TRUE(got.has_value()) << got.error().to_string();
    const std::size_t before = listed_.size();
    on_disk_ = records_.size();
    if (records_.size() > framed()) close(id++, o.level, c_->frames().at(listed_.size()));
    std::uint64_t n = 0, bytes = 0;
    for (const Bytes& b : bodies) {
      const std::uint64_t size = raw(b);
      if (n > 0 && (n == max_records || (max_bytes > 0 && bytes + size > max_bytes))) {
        close(id++, o.level, c_->frames().at(listed_.size()));
        n = bytes = 0;
      }
      records_.push_back(b);
      ++n;
      bytes += size;
    }
    if (n > 0) close(id, o.level, c_->frames().at(listed_.size()));
    EXPECT_EQ(*got, std::vector<Frame>(listed_.begin() + before, listed_.end()));
    if (writes) expect_durable();
  }

  void set_header() {
    const char* const keys[] = {"note", "owner", "zeta", "_x", "Bad"};
    const std::string key = keys[pick(5)];
    const std::string value =
        pick(6) ? std::string(pick(12), static_cast<char>('a' + pick(26))) : std::string(4096, 'x');
    const Status got = c_->set_user_header(key, value);
    if (mode_ == kBroken || mode_ == kSyncFailed) return expect(got, refusal());
    if (key == "_x")
      return expect(got, Error::usage("user header key \"_x\" may not start with '_'"));
    if (key == "Bad") return expect(got, Error::usage("invalid header key \"Bad\""));
    Headers changed = mem_;
    set(changed, key, value);
    if (mode_ == kReadOnly) {
      mem_ = changed;  // kept in memory, refused at the write
      return expect(got, refusal());
    }
    if (zone_need(changed) > zone_) return expect(got, Error::zone_full(zone_need(changed), zone_));
    expect(got, std::nullopt);
    mem_ = disk_ = changed;
  }

  // A close, seal or zone write whose nth call of one kind fails (the records are written
  // first, but for the first row).
  void fail_a_call() {
    enum Call { kClose, kSeal, kFlush };
    enum Outcome { kRetry, kHalfSpliced, kJournalKept, kStale, kUsable, kSyncLost };
    const std::tuple<Call, Op, std::uint64_t, Outcome> cases[] = {
        {kClose, Op::Write, 0, kRetry},           // the buffer
        {kClose, Op::Read, 1, kRetry},            // the tail
        {kClose, Op::Open, 1, kRetry},            // the journal's create
        {kClose, Op::Write, 1, kRetry},           // the journal's head
        {kClose, Op::Write, 2, kRetry},           // the journal's frame
        {kClose, Op::Sync, 1, kRetry},            // the journal's sync
        {kClose, Op::Sync, 1, kJournalKept},      // ... and the journal, complete, stays
        {kClose, Op::Write, 3, kHalfSpliced},     // the frame
        {kClose, Op::Truncate, 1, kHalfSpliced},  // the cut after it
        {kClose, Op::Write, 4, kHalfSpliced},     // the zone
        {kClose, Op::Sync, 2, kHalfSpliced},      // the splice's sync
        {kClose, Op::Unlink, 2, kStale},          // the journal never goes
        {kClose, Op::Unlink, 2, kUsable},         // it goes on the second try
        {kClose, Op::SyncDir, 2, kUsable},        // so does its deletion's directory sync
        {kSeal, Op::Sync, 3, kSyncLost},          // the rewrite after the close
        {kFlush, Op::Write, 1, kRetry},           // the zone
        {kFlush, Op::Sync, 1, kSyncLost},
    };
    const auto& [call, op, nth, outcome] = cases[pick(std::size(cases))];
    const bool no_tail = records_.size() == framed();
    if (mode_ != kWritable || zone_ != 4096 || (call != kFlush && no_tail)) return;
    if (nth == 0 && on_disk_ == records_.size()) return;
    if (nth > 0) {
      ASSERT_TRUE(c_->flush_data());
      on_disk_ = records_.size();
    }
    sim_.reset();
    sim_.fail_nth(op, std::max<std::uint64_t>(nth, 1), EIO, outcome != kUsable);
    if (outcome == kJournalKept) sim_.fail_nth(Op::Unlink, 2, EIO, true);
    const std::uint64_t id = pick(4);
    const std::int32_t lv = level();
    const Status got = call == kClose  ? c_->close_frame(id, lv)
                       : call == kSeal ? c_->seal(id, lv)
                                       : c_->flush_headers();
    const bool done = outcome == kStale || outcome == kUsable;
    const Error eio = op == Op::Open ? Error::io_at(journal_path(path_), EIO) : Error::io(EIO);
    expect(got, done ? std::nullopt : std::optional(eio));
    if (done) expect_durable();
    if (op == Op::Unlink) {
      EXPECT_EQ(sim_.count(Op::Unlink), 3u);  // clearing the name, the removal and one retry
    }
    sim_.reset();
    if (done || call == kSeal) close(id, lv, c_->frames().back());
    if (call == kSeal) set(mem_, "_sealed", "true");
    disk_ = mem_;
    journal_ = outcome == kStale || outcome == kHalfSpliced || outcome == kJournalKept;
    if (journal_) mode_ = kBroken;
    if (outcome == kSyncLost) mode_ = kSyncFailed;
    if (journal_ && !done) {
      pending_.emplace(id, lv);
      frozen_ = test::read_file(path_);
    }
  }

  // The container goes (or its process dies, taking the buffer along and perhaps leaving half a
  // record on disk), and the file is opened again.
  void reopen() {
    const bool crash = pick(2);
    const bool read_only = pick(3) == 0 && !pending_;
    if (crash) {
      sim_.restart();
      records_.resize(on_disk_);
    } else {
      c_.reset();
    }
    on_disk_ = records_.size();
    if (crash && torn_.empty() && schema_.layout.size() != 1 && pick(2)) {  // one byte: never torn
      torn_ = is_fixed() ? body() : test::prefixed({body()});
      torn_.resize(1 + pick(torn_.size() - 1));
      test::write_file(path_, torn_, /*append=*/true);
    }
    const Bytes before = test::read_file(path_);
    if (!read_only && !torn_.empty() && !journal_ && pick(2)) {  // the open fails, cutting nothing
      const bool read = pick(2);
      sim_.reset();
      sim_.fail_nth(read ? Op::Read : Op::Truncate, read ? 3 : 1, EIO);  // 1, 2: preamble, zone
      EXPECT_EQ(Container::open_append(path_).error(), Error::io(EIO));
      EXPECT_EQ(sim_.count(Op::Write), 0u);
      EXPECT_EQ(test::read_file(path_), before);
      sim_.reset();
    }
    if (!journal_ && disk_.get("_preview") == "" && pick(2)) {  // as an older writer left it
      disk_ = test::without(disk_, "_preview");
      test::rewrite_zone(path_, [this](Headers& h) { h = disk_; });
    }
    sim_.reset();
    Result<Container> opened =
        read_only ? Container::open_read(path_) : Container::open_append(path_);
    ASSERT_TRUE(opened.has_value()) << opened.error().to_string();
    EXPECT_TRUE(!torn_.empty() || journal_ || sim_.count(Op::Truncate) == 0);  // nothing to cut
    c_ = std::move(*opened);  // moved over the dead process's container, if any (it cannot write)
    mode_ = read_only ? kReadOnly : kWritable;
    mem_ = disk_;
    frozen_.reset();
    if (read_only) return;
    torn_.clear();
    journal_ = false;
    if (pending_) close(pending_->first, pending_->second, c_->frames().back());
    pending_.reset();
  }

  void step() {
    const std::uint64_t choice = pick(13);
    if (choice < 4) {
      const Bytes b = body();
      expect(c_->append_record(b), refusal());
      if (!refusal()) append(b);
    }
    if (choice == 4) append_invalid();
    if (choice == 5 || choice == 6) close_or_seal(choice == 6);
    if (choice == 7) set_header();
    if (choice == 8) {
      expect(c_->flush_headers(), refusal());
      expect(c_->flush_data(), std::nullopt);
      on_disk_ = records_.size();
    }
    if (choice == 9) reopen();
    if (choice == 10) fail_a_call();
    if (choice == 11) append_to_full_disk();
    if (choice == 12) bulk_write();
  }
};

TEST_P(ModelTest, EveryStepAgreesWithTheModel) {
  start();
  for (int i = 0; i < 60 && !HasFailure(); ++i) {
    SCOPED_TRACE(testing::Message() << "step " << i);
    step();
    check();
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, ModelTest, ::testing::Range(0, 80));

}  // namespace
}  // namespace drelix
