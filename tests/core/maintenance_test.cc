// The whole-file operations: validate, rebuild_headers and repack, their reports, refusals and
// failures, and their progress and cancellation.
#include "core/maintenance.h"

#include <zstd.h>

#include <cerrno>
#include <random>

#include "core/bulk_write.h"
#include "core/journal.h"
#include "core/str_cat.h"
#include "tests/core/test_util.h"

namespace drelix {
namespace {

using K = Error::Kind;
using Lines = std::vector<std::string>;
using Op = SimEnv::Op;
using test::Draft;
using test::read_file;
using test::u32_records;
using test::write_file;

std::string checksum_line(std::uint64_t id, std::uint64_t listed, std::uint64_t actual) {
  return str_cat("frame ", id, ": checksum mismatch, _frames says ", to_hex16(listed),
                 ", the bytes hash to ", to_hex16(actual));
}
std::string frames_line(const std::vector<Frame>& stored, const std::vector<Frame>& derived) {
  return str_cat("_frames: ", drelix::quoted(render_frames(stored)), " -> ",
                 drelix::quoted(render_frames(derived)));
}

// Rewrites the file's _frames with `edit` applied, behind the engine's back.
void edit_frames(const std::string& path, const std::function<void(std::vector<Frame>&)>& edit) {
  test::rewrite_zone(path, [&](Headers& h) {
    std::vector<Frame> frames = parse_frames(*h.get("_frames")).value();
    edit(frames);
    ASSERT_TRUE(h.set("_frames", render_frames(frames)));
  });
}

// Fails the test unless `r` is an error of `kind` whose display holds `part`.
template <class T>
void expect_error_holding(const Result<T>& r, K kind, const std::string& part) {
  ASSERT_FALSE(r.has_value()) << part;
  EXPECT_EQ(r.error().kind(), kind);
  EXPECT_NE(r.error().to_string().find(part), std::string::npos) << r.error().to_string();
}

using MaintenanceTest = test::SimTest;

// Lines in order: the schema hash, each frame's checksum, content error or torn bytes and
// record check lines, the tail's, then _records (which counts the frames only). At most 20.
TEST_F(MaintenanceTest, ValidateLines) {
  Draft d;
  d.add_frame(1, u32_records(0, 10), 3);
  const Frame f = d.add_frame(7, u32_records(10, 2000), 3);
  d.data[f.offset + f.len / 2] ^= 0x55;
  d.add_frame(4, test::concat({u32_records(2010, 2), {0xAA, 0xBB}}), 3);  // torn content
  Frame& unhashed = d.add_frame(7, u32_records(2013, 5), 0);              // a repeated id
  unhashed.hash = 0;
  d.data[unhashed.offset + 1] ^= 0xFF;  // a raw frame without a checksum still reads: 63709
  d.add_bytes(test::concat({u32_records(2018, 3), {1, 2, 3}}));  // a torn tail record is fine
  d.overrides = {{"_schema_hash", std::nullopt}};
  const ByteView damaged(d.data.data() + f.offset, f.len);
  const auto decoded = decode_one_frame(damaged);
  ASSERT_FALSE(decoded.has_value());
  const RecordCheck odd_is_bad = [](ByteView record) -> std::optional<std::string> {
    const std::uint32_t v = load_u32le(record.data());
    if (v % 2 == 0 || v < 2012) return std::nullopt;
    return str_cat("odd ", v);
  };
  Draft many;
  Lines capped;
  for (std::uint32_t i = 0; i < 25; ++i) {
    Frame& g = many.add_frame(100 + i, u32_records(i, 4), 1);
    g.hash ^= 1;
    if (capped.size() < kMaxProblems) capped.push_back(checksum_line(100 + i, g.hash, g.hash ^ 1));
  }
  many.overrides = {{"_records", "abc"}};  // a 26th problem, also dropped
  const std::tuple<const Draft&, RecordCheck, std::uint64_t, std::uint64_t, Lines> cases[] = {
      {d, odd_is_bad, 4, 20,
       Lines{"_schema_hash is , the fields hash to " + test::quad_schema().hash_hex(),
             checksum_line(7, f.hash, xxh64(damaged)), "frame 7: " + decoded.error().to_string(),
             "frame 4: 2 torn bytes", "frame 7: odd 63709", "frame 7: odd 2015",
             "frame 7: odd 2017", "tail: odd 2019", "_records says 2017, the frames hold 17"}},
      {many, {}, 25, 100, capped},
  };
  for (const auto& [draft, check, frames, records, problems] : cases) {
    sim_.erase(path_);
    draft.write(path_);
    const ValidateReport r = validate(path_, check).value();
    EXPECT_EQ(std::tie(r.problems, r.frames, r.records), std::tie(problems, frames, records));
  }
}

// Read faults, found by counting the reads of a clean run first: the last read is the tail's,
// and the ones before it belong to the frames.
TEST_F(MaintenanceTest, ValidateReadFaultsBecomeLines) {
  Draft d;
  d.add_frame(1, u32_records(0, 4), 3);
  d.add_frame(2, u32_records(4, 4), 3).hash = 0;
  d.add_frame(3, u32_records(8, 400), 3);
  d.add_bytes(u32_records(408, 2));
  d.write(path_);
  sim_.reset();
  ASSERT_TRUE(validate(path_).has_value());
  const std::uint64_t reads = sim_.count(Op::Read);
  const std::string eio = Error::io(EIO).to_string(), says = "_records says 408, the frames hold ";
  const std::pair<std::uint64_t, Lines> cases[] = {
      {reads, {"tail: " + eio}},
      {reads - 1, {"frame 3: " + eio, "frame 3: " + eio, says + "8"}},
      {reads - 2, {"frame 2: " + eio, says + "404"}},
  };
  for (const auto& [nth, expected] : cases) {
    sim_.reset();
    sim_.fail_nth(Op::Read, nth, EIO);
    EXPECT_EQ(validate(path_).value().problems, expected);
  }
}

// A pending journal is replayed before the file is validated or rebuilt.
TEST_F(MaintenanceTest, ValidateAndRebuildReplayAPendingJournalFirst) {
  for (const bool rebuild : {false, true}) {
    sim_.erase(path_);
    {
      Container c = Container::create(path_, test::quad_schema(), "", "", 0, 4096, {}).value();
      for (std::uint32_t i = 0; i < 12; ++i) ASSERT_TRUE(c.append_record(u32_records(i, 1)));
      sim_.fail_from_next(Op::Truncate, EIO);  // the splice fails after the journal is durable
      ASSERT_FALSE(c.close_frame(3, 3).has_value());
    }
    sim_.reset();
    const Bytes before = read_file(path_);
    sim_.fail_nth(Op::Read, 1, EIO);  // the journal's: a replay that fails stops the call
    EXPECT_FALSE(rebuild ? rebuild_headers(path_, false).has_value() : validate(path_).has_value());
    sim_.reset();
    EXPECT_EQ(read_file(path_), before);
    ASSERT_TRUE(test::exists(journal_path(path_)));
    if (rebuild) {
      EXPECT_EQ(rebuild_headers(path_, false).value().differences, Lines{});
    }
    const ValidateReport report = validate(path_).value();
    EXPECT_EQ(std::tie(report.problems, report.frames, report.records),
              std::tuple(Lines{}, 1u, 12u));
    EXPECT_FALSE(test::exists(journal_path(path_)));
  }
}

// Each draft's dry run reports what differs and writes nothing; the fix reports the same, after
// which a dry run finds nothing. A refused fix writes nothing. (That a fix rewrites the zone
// alone is checked byte for byte by the Python suite and the crash explorer.)
// A listed checksum that the bytes fail is the only witness of damage to a raw frame (or to a
// zstd frame without a content checksum): the fix keeps it, and validate still reports it.
// Damaged lists and cut files (a list out of file order, one listing a frame twice, a frame cut
// off by the end of the file, a tail that begins with a cut frame): rebuild derives the list in
// file order, never makes a cut frame the tail, and refuses a file whose list reaches past its
// end as it opens it. (Validate's lines for them are the Python suite's, test_damaged.py; here,
// that a tail whose records begin with the magic by chance is no cut frame.)
TEST_F(MaintenanceTest, RebuildHeaders) {
  const std::string refusing = "; refusing to rewrite _frames";
  const std::string unaccounted = "the data section has bytes no frame accounts for at offset ";
  struct Rebuilt {
    std::optional<Lines> diffs;                             // nothing: the dry run fails as the fix
    std::optional<std::pair<K, std::string>> refused = {};  // the fix's error: kind, part of text
    bool damaged = false;  // validate reports problems after the fix
  };
  const auto three_frames = [](Draft& d) {
    for (std::uint32_t i = 0; i < 3; ++i) d.add_frame(i, u32_records(i * 300, 300), 3);
    return d.actual[2];
  };
  const auto cut_tail = [](const Frame& c) {
    return str_cat("tail: its ", c.len / 2,
                   " bytes begin a zstd frame that the end of the file cuts short, not records");
  };
  const std::function<Rebuilt(Draft&)> cases[] = {
      [&](Draft& d) {
        three_frames(d);
        std::swap(d.frames[0], d.frames[1]);
        return Rebuilt{Lines{frames_line(d.frames, d.actual)}};
      },
      [&](Draft& d) {
        three_frames(d);
        d.frames.insert(d.frames.begin() + 2, d.actual[1]);
        return Rebuilt{Lines{frames_line(d.frames, d.actual)}};
      },
      [&](Draft& d) {
        const Frame c = three_frames(d);
        d.frames.pop_back();
        d.data.resize(c.offset + c.len / 2);
        d.records = 600;
        d.bytes_raw = 2400;
        const std::string cut = "the data section ends in a zstd frame cut short at offset ";
        return Rebuilt{Lines{cut_tail(c)},
                       std::pair{K::Malformed, str_cat(cut, c.offset, refusing)}};
      },
      [&](Draft& d) {
        const Frame c = three_frames(d);
        d.data.resize(c.offset + c.len / 2);
        const std::string ends = str_cat("frame 2 ends at ", 4112 + c.offset + c.len,
                                         " but the file is ", 4112 + d.data.size(), " bytes");
        return Rebuilt{{}, std::pair{K::Malformed, ends}};
      },
      [&](Draft& d) {  // a tail may begin with the zstd magic: records are arbitrary bytes
        three_frames(d);
        d.add_bytes(test::concat({{0x28, 0xB5, 0x2F, 0xFD}, {8, 0, 0, 0}}));
        return Rebuilt{Lines{}};
      },
      // Listed out of file order, a raw frame without its checksum (recognised where the list
      // says it begins), a lost frame (which gets the id after the largest), a tail, counters
      // compared as text.
      [](Draft& d) {
        d.add_frame(5, u32_records(0, 10), 3);
        d.add_frame(9, u32_records(10, 20), 0).hash = 0;
        d.add_frame(2, u32_records(30, 30), 3);
        d.add_bytes(u32_records(60, 2));
        d.frames = {d.frames[1], d.frames[0]};
        d.overrides = {{"_records", "+30"}, {"_bytes_raw", ""}};
        std::vector<Frame> derived = d.actual;
        derived[2].id = 10;
        return Rebuilt{
            Lines{frames_line(d.frames, derived), "_records: +30 -> 60", "_bytes_raw:  -> 240"}};
      },
      [](Draft& d) {  // nothing listed, and a frame larger than the scan's first window
        std::mt19937 rng(7);
        Bytes noise(700 * 1024);
        for (auto& b : noise) b = static_cast<std::uint8_t>(rng());
        d.add_frame(1, noise, 3);
        d.add_frame(2, u32_records(0, 10), 3);
        d.frames.clear();
        d.records = d.bytes_raw = 0;
        std::vector<Frame> derived = d.actual;
        derived[0].id = 0;
        derived[1].id = 1;
        return Rebuilt{Lines{frames_line({}, derived), str_cat("_records: 0 -> ", 700 * 256 + 10),
                             str_cat("_bytes_raw: 0 -> ", 700 * 1024 + 40)}};
      },
      [](Draft& d) {
        d.data[d.add_frame(2, u32_records(10, 10), 0).offset] ^= 0x10;
        return Rebuilt{Lines{}, {}, true};
      },
      [](Draft& d) {
        Bytes frame(ZSTD_compressBound(40));
        frame.resize(ZSTD_compress(frame.data(), frame.size(), u32_records(10, 10).data(), 40, 3));
        EXPECT_FALSE(declares_content_checksum(frame));
        d.actual.push_back(Frame{2, d.data.size(), frame.size(), xxh64(frame)});
        d.frames.push_back(Frame{2, d.data.size(), frame.size(), xxh64(frame) ^ 1});
        d.add_bytes(frame);
        d.records += 10;
        d.bytes_raw += 40;
        return Rebuilt{Lines{}, {}, true};
      },
      [](Draft& d) {  // a content checksum proves the bytes: a stale listed one is replaced
        d.add_frame(2, u32_records(10, 10), 3).hash ^= 1;
        return Rebuilt{Lines{frames_line(d.frames, d.actual)}};
      },
      [&](Draft& d) {  // an entry over the tail's last two records: nothing begins there
        d.add_frame(1, u32_records(0, 10), 3);
        d.add_bytes(u32_records(10, 4));
        d.frames.push_back(Frame{2, d.data.size() - 8, 8, 0});
        return Rebuilt{Lines{frames_line(d.frames, d.actual)},
                       std::pair{K::Malformed, str_cat(unaccounted, d.data.size() - 16, refusing)}};
      },
      [&](Draft& d) {
        d.add_frame(1, u32_records(0, 10), 3);
        d.add_bytes(as_bytes("junk!"));
        d.add_frame(2, u32_records(10, 10), 3);
        return Rebuilt{Lines{frames_line(d.frames, {d.actual[0]}), "_records: 20 -> 10",
                             "_bytes_raw: 80 -> 40"},
                       std::pair{K::Malformed, str_cat(unaccounted, d.actual[0].len, refusing)}};
      },
      [](Draft& d) {
        d.add_frame(2, test::concat({u32_records(10, 2), {1, 2, 3}}), 3);
        return Rebuilt{
            {}, std::pair{K::Malformed, "frame at offset 0: 3 torn bytes inside a closed frame"}};
      },
      [](Draft& d) {
        d.add_frame(1, u32_records(0, 1000), 3);
        d.data.back() ^= 0xff;  // the content checksum at the frame's end no longer matches
        return Rebuilt{{}, std::pair{K::Compression, "Restored data doesn't match checksum"}};
      },
      [](Draft& d) {
        for (std::uint32_t i = 0; i < 40; ++i) d.add_frame(i, u32_records(i, 1), 3);
        d.frames.clear();
        d.records = d.bytes_raw = 0;
        d.header_area = 1024;  // holds the empty list, not forty checksummed entries
        return Rebuilt{
            Lines{frames_line({}, d.actual), "_records: 0 -> 40", "_bytes_raw: 0 -> 160"},
            std::pair{K::ZoneFull, ", the zone holds 1024"}};
      },
  };
  for (const auto& build : cases) {
    Draft d;
    const Rebuilt want = build(d);
    sim_.erase(path_);
    d.write(path_);
    const Bytes before = read_file(path_);
    for (bool fix : {false, true}) {
      auto r = rebuild_headers(path_, fix);
      if (want.diffs && !(fix && want.refused)) {
        ASSERT_TRUE(r.has_value()) << r.error().to_string();
        EXPECT_EQ(r->differences, *want.diffs);
        EXPECT_EQ(r->fixed, fix && !want.diffs->empty());
      } else {
        expect_error_holding(r, want.refused->first, want.refused->second);
      }
      if (!r || !r->fixed) {
        EXPECT_EQ(read_file(path_), before);
      }
    }
    if (want.refused) continue;
    EXPECT_EQ(rebuild_headers(path_, false).value().differences, Lines{});
    EXPECT_EQ(validate(path_).value().problems.empty(), !want.damaged);
  }
}

// A file made the ordinary way: three closes (two sharing id 4, at three levels), user headers,
// and a tail of three 11-byte records.
void make_file(const std::string& path) {
  auto c = Container::create(path, test::blob_schema(), "test", "test", 0, 4096,
                             {{"owner", "ops"}, {"site", "north"}});
  ASSERT_TRUE(c.has_value()) << c.error().to_string();
  std::uint8_t n = 0;
  for (const auto& [id, level] : {std::pair{4, 3}, std::pair{4, 0}, std::pair{9, 19}}) {
    for (int i = 0; i < 40; ++i, ++n) ASSERT_TRUE(c->append_record(test::patterned(4 + n % 50, n)));
    ASSERT_TRUE(c->close_frame(id, level));
  }
  for (int i = 0; i < 3; ++i, ++n) ASSERT_TRUE(c->append_record(test::patterned(11, n)));
}

// What a reader sees of a file: ids, frame contents, tail, and the headers other than the three
// a repack sets.
Lines contents(const std::string& path) {
  auto c = Container::open_read(path);
  EXPECT_TRUE(c.has_value()) << c.error().to_string();
  Lines out;
  for (std::uint64_t i = 0; i < c->frames().size(); ++i) {
    out.push_back(str_cat(c->frames()[i].id, ":", as_text(c->read_frame_at(i).value())));
  }
  out.emplace_back(as_text(c->read_tail().value()));
  for (const auto& [k, v] : c->headers().pairs()) {
    if (k != "_frames" && k != "_compression" && k != "_compression_level") out.push_back(k + v);
  }
  return out;
}

// A repack keeps every record and user header, gives frames listed without a checksum one,
// drops a torn tail record, keeps the zone size unless told otherwise, reuses a stale temporary
// file and keeps the file's permission bits. A failed directory sync is no failure. (The layout
// of the frames is the Python model's.)
TEST_F(MaintenanceTest, RepackKeepsTheRecordsZoneAndPermissions) {
  make_file(path_);
  const Lines original = contents(path_);
  edit_frames(path_, [](std::vector<Frame>& frames) {
    for (Frame& f : frames) f.hash = 0;
  });
  write_file(path_, Bytes{9, 0, 'x', 'y'}, /*append=*/true);  // promises 9 bytes, holds 2
  ASSERT_TRUE((*env().open_read(path_))->set_permissions(0640));
  sim_.reset();
  sim_.fail_from_next(Op::SyncDir, EIO);
  for (const auto& [level, area] : {std::pair{19, 8192u}, {-5, 0u}, {0, 1500u}}) {
    write_file(path_ + ".repack", as_bytes("left over from a crash, and longer than nothing"));
    ASSERT_TRUE(area ? repack_with_header_area(path_, level, area) : repack(path_, level));
    const Bytes image = read_file(path_);
    EXPECT_EQ(contents(path_), original);
    EXPECT_EQ(load_u32le(image.data() + 8), area ? area : 8192);
    auto c = Container::open_read(path_);
    for (const Frame& f : c->frames()) {
      EXPECT_EQ(f.hash, xxh64(ByteView(image).subspan(c->data_start() + f.offset, f.len)));
    }
    EXPECT_EQ(c->tail_start() + 3 * (2 + 11), image.size());
    EXPECT_EQ(sim_.mode(path_), 0640u);
    EXPECT_FALSE(test::exists(path_ + ".repack"));
  }
  EXPECT_GE(sim_.count(Op::SyncDir), 3u);
}

// A refused or failed repack leaves the old file as it was and no temporary file behind, not
// even one a killed repack left. A frame whose checksum fails is refused: re-encoding it would
// give the damage a fresh checksum.
TEST_F(MaintenanceTest, RepackFailuresLeaveTheOldFile) {
  const std::string eio = Error::io(EIO).to_string();
  std::vector<std::tuple<std::function<void()>, K, std::string>> cases = {
      {[this] {  // a byte of the level 0 close
         Bytes image = read_file(path_);
         image[16 + 4096 + Container::open_read(path_)->frames()[1].offset + 5] ^= 0x20;
         write_file(path_, image);
       },
       K::Malformed, "frame 4: checksum mismatch, _frames says "},
      {[this] { edit_frames(path_, [](std::vector<Frame>& frames) { frames[2].hash ^= 1; }); },
       K::Malformed, "frame 9: checksum mismatch, _frames says "}};
  // Opens: the journal probe, the stale temporary file, the old file, the temporary file.
  // Writes: preamble, zero zone, three frames, tail, zone.
  const std::pair<Op, std::uint64_t> faults[] = {
      {Op::Open, 4},  {Op::Write, 1}, {Op::Write, 2}, {Op::Write, 3}, {Op::Write, 5},
      {Op::Write, 6}, {Op::Write, 7}, {Op::Read, 4},  {Op::Sync, 1},  {Op::Rename, 1}};
  for (const auto& [op, nth] : faults) {
    cases.emplace_back([this, op, nth] { sim_.fail_nth(op, nth, EIO); }, K::Io,
                       op == Op::Open ? path_ + ".repack: " + eio : eio);
  }
  for (const auto& [damage, kind, display] : cases) {
    SCOPED_TRACE(display);
    sim_.erase(path_);
    make_file(path_);
    write_file(path_ + ".repack", as_bytes("left over from a killed repack"));
    sim_.reset();
    damage();
    const Bytes before = read_file(path_);
    const auto report = repack_with_header_area(path_, 0, 4096);
    sim_.reset();
    expect_error_holding(report, kind, display);
    EXPECT_EQ(read_file(path_), before);
    EXPECT_FALSE(test::exists(path_ + ".repack"));
  }
  // A killed repack's full-size temporary file goes at the next open_append or validate.
  for (bool by_validate : {false, true}) {
    write_file(path_ + ".repack", as_bytes("left over from a killed repack"));
    EXPECT_TRUE(by_validate ? validate(path_).has_value()
                            : Container::open_append(path_).has_value());
    EXPECT_FALSE(test::exists(path_ + ".repack"));
  }
}

using ThreadsTest = test::DirTest;

// On several threads validate checks frames out of order and rebuild decodes frames ahead of its
// scan, but both report (and rebuild fixes) as one thread does, with a progress report for every
// frame: a list repeating, swapping and misstating entries (validate's lines capped alike); a
// sound file; a list that lost entries (the scan stops at the first unlisted raw frame) and holds
// stale checksums; junk that stops the scan inside a window; a damaged frame; a frame cut short by
// the end; tail records that begin with the magic.
TEST_F(ThreadsTest, ValidateAndRebuildReportAsOnOneThread) {
  enum Damage { kListed, kSound, kLost, kJunk, kDamaged, kCut, kMagicTail };
  const RecordCheck odd = [](ByteView r) -> std::optional<std::string> {
    const std::uint32_t v = load_u32le(r.data());
    return v % 97 == 1 ? std::optional<std::string>(str_cat("odd ", v)) : std::nullopt;
  };
  for (const Damage damage : {kListed, kSound, kLost, kJunk, kDamaged, kCut, kMagicTail}) {
    Draft d;
    for (std::uint32_t i = 0; i < 30; ++i) {
      if (damage == kJunk && i == 13) d.add_bytes(as_bytes("junk!"));
      Frame& f = d.add_frame(i, u32_records(i * 50, 50), i % 5 == 0 ? 0 : 3);
      if (damage == kListed && i % 7 == 3) f.hash ^= 1;
    }
    if (damage == kListed) {
      d.frames.insert(d.frames.begin() + 12, d.frames[5]);
      std::swap(d.frames[20], d.frames[21]);
      d.add_bytes(u32_records(1500, 3));
    }
    if (damage == kLost) {
      d.frames.resize(22);
      d.frames[4].hash ^= 1;
      d.frames[5].hash ^= 1;
    }
    if (damage == kDamaged) d.data[d.actual[17].offset + d.actual[17].len / 2] ^= 0x55;
    if (damage == kCut) d.data.resize(d.actual[29].offset + d.actual[29].len / 2);
    if (damage == kMagicTail) d.add_bytes(test::concat({{0x28, 0xB5, 0x2F, 0xFD}, {8, 0, 0, 0}}));
    std::vector<std::tuple<Lines, Lines, std::string, Bytes>> seen;
    for (const std::size_t threads : {1, 4}) {
      std::filesystem::remove(path_);
      d.write(path_);
      std::uint64_t calls = 0;
      const Progress count = [&calls](std::uint64_t, std::uint64_t) { return ++calls > 0; };
      const ValidateReport v = validate(path_, odd, count, threads).value();
      if (damage == kListed) {
        EXPECT_EQ(std::pair(v.problems.size(), calls), std::pair(kMaxProblems, std::uint64_t{32}));
      }
      Lines checked = v.problems, rebuilt;
      checked.push_back(str_cat(v.frames, " frames, ", v.records, " records, ", calls, " reports"));
      calls = 0;
      for (const bool fix : {false, true}) {
        const auto r = rebuild_headers(path_, fix, count, threads);
        rebuilt.push_back(r ? (r->fixed ? "fixed" : "as it was") : r.error().to_string());
        if (r) rebuilt.insert(rebuilt.end(), r->differences.begin(), r->differences.end());
      }
      rebuilt.push_back(str_cat(calls, " progress reports"));
      seen.emplace_back(checked, rebuilt, validate(path_).value().problems.empty() ? "" : "damaged",
                        read_file(path_));
    }
    const Lines& one = std::get<1>(seen[0]);
    EXPECT_EQ(one[0] == "as it was" && one[1] == "as it was",
              damage == kSound || damage == kMagicTail);
    EXPECT_EQ(seen[0], seen[1]) << damage;
  }
}

using LinkTest = test::DirTest;

// Through a symbolic link, the file the link names is repacked and the link stays a link. A link
// planted at the temporary file's name, dangling or not, is replaced, never followed: no file
// appears at its target, the victim keeps its bytes, and the path ends a regular file.
TEST_F(LinkTest, RepackReplacesALinksTargetAndNeverWritesThroughItsTemporaryName) {
  std::filesystem::create_directory(dir_.file("data"));
  const std::string target = dir_.file("data/real.drelix"), victim = dir_.file("victim");
  make_file(target);
  const Lines original = contents(target);
  std::filesystem::create_symlink("data/real.drelix", path_);
  ASSERT_TRUE(repack_with_header_area(path_, 0, 4096));
  EXPECT_EQ(std::filesystem::read_symlink(path_), "data/real.drelix");
  EXPECT_EQ(test::header(target, "_compression_level"), "0");
  EXPECT_EQ(contents(target), original);
  EXPECT_EQ(dir_.names(), (Lines{"data", "run.drelix"}));
  std::filesystem::remove(path_);
  std::filesystem::rename(target, path_);
  test::write_file(victim, as_bytes("victim"));
  for (const std::string& to : {dir_.file("absent"), victim}) {
    std::filesystem::create_symlink(to, path_ + ".repack");
    ASSERT_TRUE(repack_with_header_area(path_, 0, 4096));
    EXPECT_FALSE(std::filesystem::is_symlink(path_));
    EXPECT_EQ(contents(path_), original);
    EXPECT_EQ(test::read_text(victim), "victim");
    EXPECT_EQ(dir_.names(), (Lines{"data", "run.drelix", "victim"}));
  }
}

// On many threads a repack writes the very bytes one thread writes, with progress (which slices
// the compression) and without, over frames of very unequal sizes that finish out of order. A
// damaged frame among them is refused as on one thread, and a stop at any report leaves the
// file as it was with no temporary file behind.
TEST_F(LinkTest, RepackOnManyThreadsWritesWhatOneThreadWrites) {
  {
    auto c = Container::create(path_, test::blob_schema(), "test", "test", 0, 4096, {});
    ASSERT_TRUE(c.has_value());
    for (std::uint8_t k = 0; k < 30; ++k) {
      for (int i = 0; i < (k % 7 == 3 ? 1200 : 1 + k % 4); ++i) {
        ASSERT_TRUE(c->append_record(test::patterned(1000, static_cast<std::uint8_t>(k + i))));
      }
      ASSERT_TRUE(c->close_frame(k, 1));
    }
  }
  const Bytes original = read_file(path_);
  const auto repacked = [&](const Bytes& image, std::size_t threads, const Progress& progress) {
    write_file(path_, image);
    auto r = repack(path_, 3, progress, threads);
    EXPECT_FALSE(test::exists(path_ + ".repack"));
    return r ? std::string(as_text(read_file(path_))) : r.error().to_string();
  };
  for (bool with_progress : {false, true}) {
    std::vector<std::uint64_t> done;
    const Progress progress = [&](std::uint64_t d, std::uint64_t total) {
      EXPECT_EQ(total, 30u);
      done.push_back(d);
      return true;
    };
    const std::string one = repacked(original, 1, with_progress ? progress : Progress{});
    for (std::size_t threads : {3, 8}) {
      done.clear();
      EXPECT_TRUE(repacked(original, threads, with_progress ? progress : Progress{}) == one);
      EXPECT_TRUE(std::ranges::is_sorted(done) && (!with_progress || done.back() == 30u));
    }
  }
  for (std::size_t stop_at : {0, 7, 20, 31}) {
    std::size_t seen = 0;
    EXPECT_EQ(repacked(original, 8, [&](std::uint64_t, std::uint64_t) { return seen++ < stop_at; }),
              "cancelled");
    EXPECT_TRUE(read_file(path_) == original);
  }
  Bytes damaged = original;
  const Frame f = Container::open_read(path_)->frames()[17];
  damaged[4112 + f.offset + f.len / 2] ^= 1;
  const Bytes stored = test::slice(damaged, 4112 + f.offset, 4112 + f.offset + f.len);
  for (std::size_t threads : {1, 8}) {
    EXPECT_EQ(repacked(damaged, threads, {}), checksum_mismatch(f, xxh64(stored)).to_string());
    EXPECT_TRUE(read_file(path_) == damaged);
  }
}

// Each operation hears of every frame with a final (total, total), and a stop at any report
// leaves the file byte for byte as it was, with no temporary file or journal behind. With frames
// of 1.25 MiB a repack also asks between the 1 MiB slices of one being compressed.
TEST_F(MaintenanceTest, ProgressReportsEveryFrameAndStopsAnywhereWithoutAChange) {
  const auto status = [](auto r) -> Status { return r ? Status{} : fail(r.error()); };
  const std::tuple<std::function<Status(const Progress&)>, std::uint32_t, std::size_t> ops[] = {
      {[&](const Progress& g) { return status(validate(path_, {}, g)); }, 100, 5},
      {[&](const Progress& g) { return status(rebuild_headers(path_, true, g)); }, 100, 5},
      {[&](const Progress& g) { return status(repack_with_header_area(path_, 0, 8192, g)); }, 100,
       5},
      {[&](const Progress& g) { return status(repack(path_, 1, g)); }, 5u << 16, 10},
  };
  for (const auto& [run, frame_records, reports] : ops) {
    sim_.erase(path_);
    auto c = Container::create(path_, test::quad_schema(), "", "", 0, 4096, {});
    ASSERT_TRUE(c && bulk_write_fixed(*c, u32_records(0, 5 * frame_records), 0,
                                      {.frame_records = frame_records, .level = 1, .threads = 2}));
    // The rebuild must have something to fix: a zone that lost its last frame.
    edit_frames(path_, [](std::vector<Frame>& frames) { frames.pop_back(); });
    const Bytes original = read_file(path_);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> calls;
    ASSERT_TRUE(run([&](std::uint64_t done, std::uint64_t total) {
      calls.emplace_back(done, total);
      return true;
    }));
    ASSERT_GE(calls.size(), reports);
    EXPECT_EQ(calls.back().first, calls.back().second);
    for (std::size_t i = 1; i < calls.size(); ++i) EXPECT_LE(calls[i - 1].first, calls[i].first);
    for (std::size_t stop_at = 0; stop_at < calls.size(); ++stop_at) {
      write_file(path_, original);
      std::size_t seen = 0;
      test::expect_error(run([&](std::uint64_t, std::uint64_t) { return seen++ < stop_at; }),
                         K::Usage, "cancelled");
      EXPECT_TRUE(read_file(path_) == original) << "stopped at report " << stop_at;
      EXPECT_FALSE(test::exists(path_ + ".repack") || test::exists(journal_path(path_)));
    }
  }
}

}  // namespace
}  // namespace drelix
