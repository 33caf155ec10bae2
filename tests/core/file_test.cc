#include "core/file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>

#include "tests/core/test_util.h"

namespace drelix {
namespace {

using test::read_text;
using test::write_file;

// The display text of an errno as the engine formats it.
std::string os_text(int errnum) {
  return Error::io(errnum).to_string();
}

// An opening's outcome without the handle.
Status status_of(Result<FilePtr> r) {
  if (!r) return fail(std::move(r).error());
  return {};
}

class FileTest : public test::DirTest {
 protected:
  std::string path(const std::string& name) const { return dir_.file(name); }
};

TEST_F(FileTest, ReadsStopAtEndOfFile) {
  write_file(path("f"), as_bytes("0123456789"));
  auto f = posix_env().open_read(path("f"));
  ASSERT_TRUE(f.has_value());
  const struct {
    std::uint64_t offset;
    std::string expected;
  } cases[] = {{0, "0123"}, {7, "789"}, {10, ""}, {1000, ""}, {UINT64_MAX, ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.offset);
    std::uint8_t buf[4] = {};
    auto n = (*f)->read_at(c.offset, buf);
    ASSERT_TRUE(n.has_value());
    EXPECT_EQ(as_text(ByteView(buf, *n)), c.expected);
  }
  // Starting inside and running past the end, and wholly past it.
  for (std::uint64_t offset : {7, 10}) {
    std::uint8_t buf[4];
    auto exact = (*f)->read_exact_at(offset, buf);
    test::expect_error(exact, Error::Kind::Io, "failed to fill whole buffer");
    EXPECT_FALSE(exact.error().path().has_value());
  }
  std::uint8_t buf[4];
  ASSERT_TRUE((*f)->read_exact_at(6, buf).has_value());
  EXPECT_EQ(as_text(buf), "6789");
}

TEST_F(FileTest, WriteTruncateLengthRoundTrip) {
  auto f = posix_env().create_exclusive(path("f"), 0666);
  ASSERT_TRUE(f.has_value());
  File& file = **f;
  EXPECT_EQ(file.length().value(), 0u);

  // A write past the end leaves a hole that reads as zeros.
  ASSERT_TRUE(file.write_all_at(3, as_bytes("abc")).has_value());
  EXPECT_EQ(file.length().value(), 6u);
  ASSERT_TRUE(file.write_all_at(0, as_bytes("xy")).has_value());
  EXPECT_EQ(read_text(path("f")), std::string("xy\0abc", 6));

  ASSERT_TRUE(file.truncate(4).has_value());
  EXPECT_EQ(file.length().value(), 4u);
  ASSERT_TRUE(file.truncate(7).has_value());
  ASSERT_TRUE(file.sync().has_value());
  EXPECT_EQ(read_text(path("f")), std::string("xy\0a\0\0\0", 7));

  // Offsets beyond what the system can address fail instead of wrapping.
  EXPECT_FALSE(file.write_all_at(UINT64_MAX, as_bytes("z")).has_value());
  EXPECT_FALSE(file.truncate(UINT64_MAX).has_value());
  EXPECT_EQ(file.length().value(), 7u);

  // create_truncate empties an existing file.
  auto again = posix_env().create_truncate(path("f"), 0666);
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ((*again)->length().value(), 0u);
}

// Calls that name a path fail with it; calls on an open handle fail without one. None of them
// creates, changes or removes anything.
TEST_F(FileTest, FailuresAndTheirPaths) {
  write_file(path("keep"), as_bytes("keep"));
  Env& e = posix_env();
  const std::string missing = path("missing");
  const struct {
    const char* name;
    std::function<Status()> call;
    std::string display;
  } cases[] = {
      {"open_read", [&] { return status_of(e.open_read(missing)); },
       missing + ": " + os_text(ENOENT)},
      {"open_read_write", [&] { return status_of(e.open_read_write(missing)); },
       missing + ": " + os_text(ENOENT)},
      {"create_exclusive", [&] { return status_of(e.create_exclusive(path("keep"), 0666)); },
       path("keep") + ": " + os_text(EEXIST)},
      {"rename", [&] { return e.rename(missing, path("keep")); }, missing + ": " + os_text(ENOENT)},
      {"unlink", [&] { return e.unlink(missing); }, missing + ": " + os_text(ENOENT)},
      {"sync_dir", [&] { return e.sync_dir(missing); }, missing + ": " + os_text(ENOENT)},
      {"sync_dir of a file", [&] { return e.sync_dir(path("keep")); },
       path("keep") + ": " + os_text(ENOTDIR)},
      {"write to a read-only handle",
       [&] { return e.open_read(path("keep")).value()->write_all_at(0, as_bytes("x")); },
       os_text(EBADF)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::expect_error(c.call(), Error::Kind::Io, c.display);
  }
  EXPECT_FALSE(e.sync_dir("").has_value());
  EXPECT_EQ(read_text(path("keep")), "keep");
  EXPECT_EQ(dir_.names(), std::vector<std::string>{"keep"});
}

TEST_F(FileTest, PermissionsFollowModeUmaskAndSetPermissions) {
  const mode_t old_umask = ::umask(022);
  auto f = posix_env().create_exclusive(path("f"), 0666);
  auto g = posix_env().create_truncate(path("g"), 0600);
  ::umask(old_umask);
  ASSERT_TRUE(f.has_value());
  ASSERT_TRUE(g.has_value());
  EXPECT_EQ((*f)->permissions().value(), 0644u);
  EXPECT_EQ((*g)->permissions().value(), 0600u);
  // Set explicitly, the bits are not masked.
  ASSERT_TRUE((*f)->set_permissions(0666).has_value());
  struct stat st;
  ASSERT_EQ(::stat(path("f").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0666u);
}

TEST_F(FileTest, RenameReplacesTargetUnlinkRemovesSyncDirWorks) {
  write_file(path("a"), as_bytes("new"));
  write_file(path("b"), as_bytes("old"));
  ASSERT_TRUE(posix_env().rename(path("a"), path("b")).has_value());
  EXPECT_EQ(dir_.names(), std::vector<std::string>{"b"});
  EXPECT_EQ(read_text(path("b")), "new");
  ASSERT_TRUE(posix_env().unlink(path("b")).has_value());
  EXPECT_EQ(dir_.names(), std::vector<std::string>{});
  EXPECT_TRUE(posix_env().sync_dir(dir_.path()).has_value());
  EXPECT_TRUE(posix_env().sync_dir(".").has_value());
}

TEST(ParentDirTest, Table) {
  const struct {
    std::string path, parent;
  } cases[] = {
      {"run.drelix", ""},
      {"", ""},
      {"/x", "/"},
      {"/", "/"},
      {"a/b/c", "a/b"},
      {"a/b", "a"},
      {"a//b", "a"},
      {"//x", "/"},
      {"a/b/", "a/b"},
      {"./x", "."},
      {"/d/run.drelix.seal", "/d"},
  };
  for (const auto& c : cases) EXPECT_EQ(parent_dir(c.path), c.parent) << c.path;
}

TEST(EnvTest, ScopedEnvInstallsAndRestores) {
  EXPECT_EQ(&env(), &posix_env());
  SimEnv outer;
  {
    ScopedEnv a(outer);
    EXPECT_EQ(&env(), &outer);
    SimEnv inner;
    {
      ScopedEnv b(inner);
      EXPECT_EQ(&env(), &inner);
    }
    EXPECT_EQ(&env(), &outer);
  }
  EXPECT_EQ(&env(), &posix_env());
}

}  // namespace
}  // namespace drelix
