#include "core/file.h"

#include <sys/stat.h>

#include "tests/core/test_util.h"

namespace drelix {
namespace {

using test::read_text;

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
    test::expect_error(e.open_read(path), Error::Kind::Io,
                       path + ": not a regular file (" + kind + ")");
  }
  test::expect_error(e.open_read_write(fifo), Error::Kind::Io,
                     fifo + ": not a regular file (a FIFO)");
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
                    nul = keep + std::string("\0x", 2);
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
      {[&] { return e.sync_dir(dir_.path() + std::string("\0x", 2)); },
       os(dir_.path() + std::string("\0x", 2), EINVAL)},
      {[&] { return status(e.resolve_links(nul)); }, os(nul, EINVAL)},
  };
  for (const auto& [call, display] : cases) test::expect_error(call(), Error::Kind::Io, display);
  EXPECT_FALSE(e.sync_dir("").has_value());
  EXPECT_EQ(read_text(keep), "keep");
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
  struct stat st;
  ASSERT_EQ(::stat(dir_.file("a").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0666u);
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
