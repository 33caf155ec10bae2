// What the model test (model_test.cc) cannot express: the exact bytes of a new file, the
// refusals and failures of create, counters a zone states, frame lists that must not be
// appended to, large tails, and the journal of a close, byte for byte as it is written and with
// what permission bits. (Replaying a journal is checked against an independent reading of the
// format by the journal fuzz target, and at every crash point by the crash explorer.) Last, the
// file seam under them all (file.h) on the real disk: its refusals, failures and permission bits.
#include "core/container.h"

#include <sys/stat.h>

#include <string_view>
#include <tuple>

#include "core/journal.h"
#include "core/preamble.h"
#include "tests/core/test_util.h"

namespace drelix {
namespace {

using Op = SimEnv::Op;
using test::blob_schema;
using test::pair_schema;
using test::read_file;

constexpr std::uint32_t kZone = 4096;
constexpr std::uint64_t kDataStart = 16 + kZone;

class ContainerTest : public test::SimTest {
 protected:
  Result<Container> create(const Schema& schema, Container::UserHeaders user = {},
                           std::uint32_t zone = kZone, std::uint64_t millis = 0) {
    sim_.erase(path_);
    return Container::create(path_, schema, "sensor-7", "drelix-test 1.0", millis, zone, user);
  }
};

// Preamble and zone byte for byte, nothing else; 0666 less the umask (022 here); the creation
// time in UTC without milliseconds.
TEST_F(ContainerTest, CreateWritesPreambleAndZoneOnly) {
  using namespace std::string_view_literals;
  EXPECT_EQ(create(pair_schema()).value().data_start(), kDataStart);
  const ByteView text = as_bytes(
      "DRELIX\x01\x01\x00\x10\0\0\0\0\0\0"
      "_schema:tick@1\n_schema_fields:price:u32:0;qty:f64:4\n_schema_hash:5131c43d95c67b4f\n"
      "_record:fixed:12\n_source:sensor-7\n_created_at:1970-01-01T00:00:00Z\n"
      "_writer:drelix-test 1.0\n_compression:zstd\n_compression_level:3\n_records:0\n"
      "_bytes_raw:0\n_frames:\n_preview:\n_sealed:false\n\n"sv);
  Bytes file(text.begin(), text.end());
  file.resize(kDataStart, 0);
  EXPECT_EQ(read_file(path_), file);
  EXPECT_EQ(sim_.mode(path_), 0644u);

  // The Python model checks random times up to the 22nd century against the C library; these are
  // the last day of a 400-year cycle, which a random time hardly ever meets, and years past 9999.
  const std::pair<std::uint64_t, const char*> times[] = {
      {951831930999, "2000-02-29T13:45:30Z"},
      {253402300800000, "10000-01-01T00:00:00Z"},
      {UINT64_MAX, "584556019-04-03T14:25:51Z"},
  };
  for (const auto& [millis, text] : times) {
    EXPECT_EQ(create(blob_schema(), {}, kZone, millis).value().headers().get("_created_at"), text);
  }
}

// The refusals of create, with their exact messages, none leaving a file. (Those of user header
// keys and of the zone ceiling, which repack shares, are the Python suite's.)
TEST_F(ContainerTest, RefusalsAndTheirMessages) {
  const std::string outside = " bytes is outside 1..=16777216";
  const std::string unstorable =
      "would not read back: names and types must be non-empty and hold no ':' or ';'";
  const auto field = [](std::string name, std::string ty) {
    return Schema{
        "s", {{"ok", "u8", 0}, {std::move(name), std::move(ty), 1}}, RecordLayout::fixed(2)};
  };
  const std::tuple<Schema, std::uint32_t, std::string> cases[] = {
      // clang-format off
      {pair_schema(0), kZone, "record size is zero"},
      {pair_schema(0), 0, "header zone of 0" + outside},
      {field("a:b", "u8"), kZone, "field \"a:b\" of type \"u8\" " + unstorable},
      {field("", "u8"), kZone, "field \"\" of type \"u8\" " + unstorable},
      {field("b", "u8;1"), kZone, "field \"b\" of type \"u8;1\" " + unstorable},
      {field("b", ""), kZone, "field \"b\" of type \"\" " + unstorable},
      {Schema{"bad\xff", {}, RecordLayout::prefixed()}, kZone,
       "the headers of schema \"bad\\u{fffd}\" would not read back: header zone is not UTF-8: invalid utf-8 sequence of 1 bytes from index 11"},
      // clang-format on
  };
  for (const auto& [schema, zone, message] : cases) {
    SCOPED_TRACE(message);
    test::expect_error(create(schema, {}, zone), Error::Kind::Usage, message);
    EXPECT_FALSE(sim_.exists(path_));
  }
}

// A zone too small for the headers is refused before the file is made; one of exactly the size
// they need holds them with no zero fill. A create failing on the handle removes its partial
// file. (That an existing path is kept, and the largest zone, are the Python suite's.)
TEST_F(ContainerTest, CreateFailuresLeaveNoFile) {
  const std::uint64_t need = create(blob_schema(), {{"note", "n"}}, 1).error().need();
  EXPECT_EQ(create(blob_schema(), {{"note", "n"}}, need - 1).error(),
            Error::zone_full(need, need - 1));
  EXPECT_FALSE(sim_.exists(path_));
  ASSERT_TRUE(create(blob_schema(), {{"note", "n"}}, static_cast<std::uint32_t>(need)));
  EXPECT_EQ(read_file(path_).back(), '\n');
  EXPECT_EQ(read_file(path_).size(), 16 + need);

  for (const auto& [op, nth] : {std::pair{Op::Write, 1}, {Op::Write, 2}, {Op::Sync, 1}}) {
    sim_.reset();
    sim_.fail_nth(op, nth, EIO);
    EXPECT_EQ(create(blob_schema()).error(), Error::io(EIO));
    EXPECT_FALSE(sim_.exists(path_));
    EXPECT_EQ(sim_.count(Op::Unlink), 2u);
  }
}

// open_read counts the closed frames only, as _records and _bytes_raw say (anything that does
// not parse counts as 0); open_append adds the whole records of the tail, saturating.
TEST_F(ContainerTest, OpeningCountsRecords) {
  constexpr std::uint64_t kMax = UINT64_MAX;
  const struct {
    std::optional<std::string> records, bytes;             // nothing: the key is absent
    std::size_t tail;                                      // bytes of 4-byte records on disk
    std::pair<std::uint64_t, std::uint64_t> read, append;  // records and bytes counted
  } cases[] = {
      {"+100", "0028", 60, {100, 28}, {115, 88}},
      {"-1", "18446744073709551616", 0, {0, 0}, {0, 0}},
      {std::nullopt, std::nullopt, 8, {0, 0}, {2, 8}},
      {"18446744073709551614", "18446744073709551610", 8, {kMax - 1, kMax - 5}, {kMax, kMax}},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.records.value_or("(absent)"));
    test::Draft d;
    d.overrides = {{"_records", tc.records}, {"_bytes_raw", tc.bytes}};
    d.add_bytes(Bytes(tc.tail, 1));
    sim_.erase(path_);
    d.write(path_);
    Container r = Container::open_read(path_).value();
    Container w = Container::open_append(path_).value();
    EXPECT_EQ(std::pair(r.records(), r.bytes_raw()), tc.read);
    EXPECT_EQ(std::pair(r.frame_records(), r.frame_bytes_raw()), tc.read);
    EXPECT_EQ(std::pair(w.frame_records(), w.frame_bytes_raw()), tc.read);
    EXPECT_EQ(std::pair(w.records(), w.bytes_raw()), tc.append);
    ASSERT_TRUE(w.flush_headers());  // the counters of the frames, as numbers
    EXPECT_EQ(test::header(path_, "_records"), std::to_string(tc.read.first));
    EXPECT_EQ(test::header(path_, "_bytes_raw"), std::to_string(tc.read.second));
    ASSERT_TRUE(w.append_record(Bytes(4, 2)));
    EXPECT_EQ(w.records(), tc.append.first == kMax ? kMax : tc.append.first + 1);
    EXPECT_EQ(w.bytes_raw(), tc.append.second == kMax ? kMax : tc.append.second + 4);
  }
}

// A tail of several MiB is counted in pieces; records, and prefixes, that straddle the pieces
// count exactly as one pass over the whole tail would.
TEST_F(ContainerTest, OpenAppendCountsLargeTailsAcrossPieces) {
  constexpr std::uint64_t kPiece = 1 << 20;
  ASSERT_TRUE(create(pair_schema()));  // the tails a crashed writer would leave
  test::write_file(path_, Bytes(3 * kPiece + 5, 0x5A), /*append=*/true);
  EXPECT_EQ(Container::open_append(path_).value().records(), (3 * kPiece + 5) / 12);
  EXPECT_EQ(read_file(path_).size(), kDataStart + (3 * kPiece + 5) / 12 * 12);
  // Records up to a byte short of the first piece boundary, one whose prefix straddles it, and
  // a torn one.
  std::vector<Bytes> bodies(15, Bytes(65535, 1));
  bodies.push_back(Bytes(kPiece - 1 - 15 * 65537 - 2, 2));
  bodies.push_back(Bytes(15, 3));
  ASSERT_TRUE(create(blob_schema()));
  test::write_file(path_, test::concat({test::prefixed(bodies), {0x40, 0x9C, 3}}), true);
  Container c = Container::open_append(path_).value();
  EXPECT_EQ(c.records(), 17u);
  EXPECT_EQ(c.bytes_raw(), kPiece - 1 + 17);
  EXPECT_EQ(read_file(path_).size(), kDataStart + kPiece - 1 + 17);
}

// A frame list in which frames overlap, or one ends past the last (one flipped bit of an offset
// makes either), would have the next close write over durable frames: open_append refuses it
// and leaves the file alone, reading stays possible, and gaps are fine.
TEST_F(ContainerTest, OpenAppendRefusesOverlappingFrameLists) {
  const std::string advice = "; run rebuild_headers to derive the frame list from the data";
  // Three raw frames of 8 bytes at 0, 8 and 16, then a tail of one record.
  const std::pair<std::vector<std::pair<std::uint64_t, std::uint64_t>>, std::string> cases[] = {
      {{{0, 4}, {8, 8}, {16, 8}}, ""},
      {{{0, 8}, {8, 8}, {0, 4}}, "frame 0 ends at data offset 8, after the tail start at 4"},
      {{{0, 8}, {16, 8}, {8, 8}}, "frame 1 ends at data offset 24, after the tail start at 16"},
      {{{0, 8}, {4, 8}, {16, 8}}, "frames 0 and 1 overlap at data offset 4"},
      {{{0, 8}, {0, 8}, {16, 8}}, "frames 0 and 1 overlap at data offset 0"},
  };
  for (const auto& [listed, message] : cases) {
    SCOPED_TRACE(message);
    test::Draft d;
    for (std::uint32_t i = 0; i < 3; ++i) d.add_frame(i, test::u32_records(10 * i, 2), 0);
    d.add_bytes(Bytes(4, 7));
    for (std::size_t i = 0; i < 3; ++i)
      d.frames[i] = Frame{i, listed[i].first, listed[i].second, 0};
    sim_.erase(path_);
    d.write(path_);
    const Bytes before = read_file(path_);
    auto c = Container::open_append(path_);
    EXPECT_EQ(c.has_value(), message.empty());
    if (message.empty()) continue;
    test::expect_error(c, Error::Kind::Malformed, message + advice);
    EXPECT_EQ(read_file(path_), before);
    EXPECT_TRUE(Container::open_read(path_).value().read_frame_at(0).has_value());
  }
}

std::string u64le(std::uint64_t v) {
  std::string out(8, '\0');
  store_u64le(reinterpret_cast<std::uint8_t*>(out.data()), v);
  return out;
}

// A small data file: a preamble declaring an 8-byte zone, the zone, then a 10-byte tail. A
// close replaces the tail (at 24) by a 4-byte frame and writes a new zone.
const std::string kPreamble(as_text(Preamble{8, kFormatVersion, kFlagCompressed}.encode()));
const std::string kNewZone = "newzone\n";
const std::string kFrame = "FRM!";
const std::string kBefore = kPreamble + "oldzone\n" + "rec1rec2rr";
const std::string kPayload = u64le(24) + u64le(kNewZone.size()) + kNewZone + kFrame;
const std::string kImage =
    "DJRNL2" + u64le(kPayload.size()) + u64le(fnv1a64(as_bytes(kPayload))) + kPayload;

using JournalTest = test::SimTest;

// The image as worked out by hand (from a frame given in two pieces), over a stale longer
// journal, with the data file's permission
// bits (a relative path's gets the default ones and its directory is "."); the data file is
// untouched. A failed directory sync fails the write: the splice that would follow needs a
// durable journal. (That the journal is synced before the splice, and its directory entry, is
// the crash explorer's: a power loss would take it back.)
TEST_F(JournalTest, WriteJournal) {
  const std::string journal = path_ + ".seal";
  sim_.put(path_, as_bytes(kBefore), 0600);
  sim_.put(journal, Bytes(1000, 'x'));
  sim_.fail_nth(Op::SyncDir, 1, EIO);
  const ByteView frame = as_bytes(kFrame);
  const ByteView pieces[] = {frame.first(3), frame.subspan(3)};
  EXPECT_EQ(write_journal(path_, 24, as_bytes(kNewZone), pieces), fail(Error::io_at(dir_, EIO)));
  EXPECT_EQ(test::read_text(journal), kImage);
  EXPECT_EQ(test::read_text(path_), kBefore);
  EXPECT_EQ(sim_.mode(journal), 0600u);
  ASSERT_TRUE(write_journal("run.drelix", 24, as_bytes(kNewZone), pieces));
  EXPECT_EQ(sim_.mode("run.drelix.seal"), 0644u);
  EXPECT_EQ(sim_.last_path(Op::SyncDir), ".");
}

using JournalLinkTest = test::DirTest;

// A link planted at the journal's name, symbolic or hard, is replaced by the close's own journal:
// the file it points to keeps its bytes and the close completes.
TEST_F(JournalLinkTest, ACloseNeverWritesThroughALinkAtTheJournalsName) {
  const std::string victim = dir_.file("victim"), seal = journal_path(path_);
  const std::function<void()> plants[] = {[&] { std::filesystem::create_symlink(victim, seal); },
                                          [&] { std::filesystem::create_hard_link(victim, seal); }};
  for (const auto& plant : plants) {
    std::filesystem::remove(path_);
    test::write_file(victim, as_bytes("victim"));
    Container c = Container::create(path_, test::quad_schema(), "", "", 0, 4096, {}).value();
    ASSERT_TRUE(c.append_record(test::u32_records(7, 1)));
    plant();
    ASSERT_TRUE(c.close_frame(0, 3));
    EXPECT_EQ(test::read_text(victim), "victim");
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(seal)));
    EXPECT_EQ(c.read_frame(0).value(), test::u32_records(7, 1));
  }
}

class FileTest : public test::DirTest {
 protected:
  Env& e = posix_env();
};

// Reads stop at end of file, and an exact read then fails without a path; offsets beyond what
// the system can address fail instead of wrapping.
TEST_F(FileTest, ReadWriteTruncateLength) {
  test::write_file(dir_.file("f"), as_bytes("0123456789"));
  FilePtr f = e.open_read_write(dir_.file("f")).value();
  std::uint8_t buf[4] = {};
  EXPECT_EQ(as_text(ByteView(buf, f->read_at(7, buf).value())), "789");
  EXPECT_EQ(f->read_at(UINT64_MAX, buf).value(), 0u);
  test::expect_error(f->read_exact_at(7, buf), Error::Kind::Io, "failed to fill whole buffer");
  EXPECT_FALSE(f->write_all_at(UINT64_MAX, as_bytes("z")).has_value());
  EXPECT_FALSE(f->truncate(UINT64_MAX).has_value());
}

// A path naming no regular file is refused at once, a FIFO without waiting for a writer (a
// directory opened for writing keeps the system's own refusal); nothing is created in its place.
TEST_F(FileTest, OpensRefuseWhatIsNoRegularFile) {
  const std::string fifo = dir_.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  const std::pair<std::string, std::string> cases[] = {
      {fifo, "a FIFO"}, {dir_.path(), "a directory"}, {"/dev/null", "a character device"}};
  for (const auto& [path, kind] : cases) {
    const std::string refusal = path + ": not a regular file (" + kind + ")";
    test::expect_error(e.open_read(path), Error::Kind::Io, refusal);
    if (path != dir_.path()) test::expect_error(e.open_read_write(path), Error::Kind::Io, refusal);
  }
  test::expect_error(e.create_exclusive(fifo, 0666), Error::Kind::Io,
                     fifo + ": " + Error::io(EEXIST).to_string());
  EXPECT_EQ(dir_.names(), std::vector<std::string>{"fifo"});
}

// Calls that name a path fail with it; calls on an open handle fail without one. A path
// holding a NUL is refused whole (cut at the NUL, "<keep>\0x" would name "keep" itself). None
// of them creates, changes or removes anything.
TEST_F(FileTest, FailuresAndTheirPaths) {
  test::write_file(dir_.file("keep"), as_bytes("keep"));
  const std::string missing = dir_.file("missing"), keep = dir_.file("keep"),
                    nul = keep + std::string("\0x", 2),
                    nul_dir = dir_.path() + std::string("\0x", 2);
  const auto status = [](auto r) { return r ? Status{} : fail(std::move(r).error()); };
  const auto os = [](const std::string& p, int errnum) {
    return (p.empty() ? "" : p + ": ") + Error::io(errnum).to_string();
  };
  const std::pair<std::function<Status()>, std::string> cases[] = {
      {[&] { return e.rename(missing, keep); }, os(missing, ENOENT)},
      {[&] { return e.unlink(missing); }, os(missing, ENOENT)},
      {[&] { return e.sync_dir(missing); }, os(missing, ENOENT)},
      {[&] { return e.sync_dir(keep); }, os(keep, ENOTDIR)},
      {[&] { return e.open_read(keep).value()->write_all_at(0, as_bytes("x")); }, os("", EBADF)},
      {[&] { return status(e.create_exclusive(nul, 0666)); }, os(nul, EINVAL)},
      {[&] { return e.rename(nul, missing); }, os(nul, EINVAL)},
      {[&] { return e.rename(missing, nul); }, os(missing, EINVAL)},
      {[&] { return e.unlink(nul); }, os(nul, EINVAL)},
      {[&] { return e.sync_dir(nul_dir); }, os(nul_dir, EINVAL)},
      {[&] { return status(e.resolve_links(nul)); }, os(nul, EINVAL)},
  };
  for (const auto& [call, display] : cases) test::expect_error(call(), Error::Kind::Io, display);
  EXPECT_FALSE(e.sync_dir("").has_value());
  EXPECT_EQ(test::read_text(keep), "keep");
  EXPECT_EQ(dir_.names(), std::vector<std::string>{"keep"});
}

// Files are created with the mode less the umask; set explicitly, the bits are not masked.
// (Rename, unlink and sync_dir succeed under every repack and close the Python tests make.)
TEST_F(FileTest, Permissions) {
  const mode_t old_umask = ::umask(022);
  FilePtr f = e.create_exclusive(dir_.file("a"), 0666).value();
  FilePtr g = create_replacing(dir_.file("b"), 0600).value();
  ::umask(old_umask);
  EXPECT_EQ(f->permissions().value(), 0644u);
  EXPECT_EQ(g->permissions().value(), 0600u);
  ASSERT_TRUE(f->set_permissions(0666).has_value());
  EXPECT_EQ(std::filesystem::status(dir_.file("a")).permissions(), std::filesystem::perms(0666));
  EXPECT_TRUE(e.sync_dir(".").has_value());
}

TEST(EnvTest, ParentDir) {
  const std::pair<std::string, std::string> cases[] = {
      {"run.drelix", ""}, {"", ""},      {"/x", "/"},    {"//x", "/"},
      {"a/b/c", "a/b"},   {"a//b", "a"}, {"a/b/", "a/b"}};
  for (const auto& [path, parent] : cases) EXPECT_EQ(parent_dir(path), parent) << path;
}

}  // namespace
}  // namespace drelix
