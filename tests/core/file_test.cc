#include "core/file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/core/fault_env.h"

namespace drelix {
namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// The display text of an errno as the engine formats it.
std::string os_text(int errnum) {
  return std::string(std::strerror(errnum)) + " (os error " + std::to_string(errnum) + ")";
}

class FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "drelix_file_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  std::string dir_;
};

TEST_F(FileTest, ReadExactAtPastEndFailsToFillBuffer) {
  write_file(path("f"), "hello");
  auto f = posix_env().open_read(path("f"));
  ASSERT_TRUE(f.has_value());
  // Wholly past the end, and starting inside but running past it.
  for (std::uint64_t offset : {5u, 3u}) {
    std::uint8_t buf[4];
    auto r = (*f)->read_exact_at(offset, buf);
    ASSERT_FALSE(r.has_value()) << offset;
    EXPECT_EQ(r.error().kind(), Error::Kind::Io);
    EXPECT_EQ(r.error().to_string(), "failed to fill whole buffer");
    EXPECT_FALSE(r.error().path().has_value());
  }
  std::uint8_t buf[5];
  ASSERT_TRUE((*f)->read_exact_at(0, buf).has_value());
  EXPECT_EQ(as_text(buf), "hello");
}

TEST_F(FileTest, ReadAtStopsShortAtEndOfFile) {
  write_file(path("f"), "0123456789");
  auto f = posix_env().open_read(path("f"));
  ASSERT_TRUE(f.has_value());
  struct Case {
    std::uint64_t offset;
    std::string expected;
  };
  const Case cases[] = {{0, "0123"}, {7, "789"}, {10, ""}, {1000, ""}, {UINT64_MAX, ""}};
  for (const Case& c : cases) {
    std::uint8_t buf[4] = {};
    auto n = (*f)->read_at(c.offset, buf);
    ASSERT_TRUE(n.has_value()) << c.offset;
    EXPECT_EQ(as_text(ByteView(buf, *n)), c.expected) << c.offset;
  }
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
  EXPECT_EQ(read_file(path("f")), std::string("xy\0abc", 6));

  ASSERT_TRUE(file.truncate(4).has_value());
  EXPECT_EQ(file.length().value(), 4u);
  ASSERT_TRUE(file.truncate(7).has_value());
  EXPECT_EQ(file.length().value(), 7u);
  ASSERT_TRUE(file.sync().has_value());
  EXPECT_EQ(read_file(path("f")), std::string("xy\0a\0\0\0", 7));

  // Offsets beyond what the system can address fail instead of wrapping.
  EXPECT_FALSE(file.write_all_at(UINT64_MAX, as_bytes("z")).has_value());
  EXPECT_FALSE(file.truncate(UINT64_MAX).has_value());
  EXPECT_EQ(file.length().value(), 7u);
}

TEST_F(FileTest, WriteToReadOnlyHandleFailsWithoutPath) {
  write_file(path("f"), "abc");
  auto f = posix_env().open_read(path("f"));
  ASSERT_TRUE(f.has_value());
  auto r = (*f)->write_all_at(0, as_bytes("x"));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().os_code(), EBADF);
  EXPECT_EQ(r.error().to_string(), os_text(EBADF));
  EXPECT_EQ(read_file(path("f")), "abc");
}

TEST_F(FileTest, CreateExclusiveOnExistingPathNamesThePath) {
  write_file(path("f"), "keep");
  auto f = posix_env().create_exclusive(path("f"), 0666);
  ASSERT_FALSE(f.has_value());
  EXPECT_EQ(f.error().kind(), Error::Kind::Io);
  EXPECT_EQ(f.error().path(), path("f"));
  EXPECT_EQ(f.error().to_string(), path("f") + ": " + os_text(EEXIST));
  EXPECT_EQ(read_file(path("f")), "keep");
}

TEST_F(FileTest, OpeningMissingFilesNamesThePath) {
  Env& e = posix_env();
  const std::string missing = path("missing");
  auto ro = e.open_read(missing);
  auto rw = e.open_read_write(missing);
  for (const Result<FilePtr>* r : {&ro, &rw}) {
    ASSERT_FALSE(r->has_value());
    EXPECT_EQ(r->error().to_string(), missing + ": " + os_text(ENOENT));
  }
  // Neither open creates the file.
  EXPECT_FALSE(std::filesystem::exists(missing));
}

TEST_F(FileTest, CreateTruncateEmptiesAnExistingFile) {
  write_file(path("f"), "old contents");
  auto f = posix_env().create_truncate(path("f"), 0666);
  ASSERT_TRUE(f.has_value());
  EXPECT_EQ((*f)->length().value(), 0u);
  ASSERT_TRUE((*f)->write_all_at(0, as_bytes("new")).has_value());
  EXPECT_EQ(read_file(path("f")), "new");
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
  EXPECT_EQ((*f)->permissions().value(), 0666u);
  struct stat st;
  ASSERT_EQ(::stat(path("f").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0666u);
}

TEST_F(FileTest, RenameReplacesTargetAndUnlinkRemoves) {
  write_file(path("a"), "new");
  write_file(path("b"), "old");
  ASSERT_TRUE(posix_env().rename(path("a"), path("b")).has_value());
  EXPECT_EQ(read_file(path("b")), "new");
  EXPECT_FALSE(std::filesystem::exists(path("a")));

  auto again = posix_env().rename(path("a"), path("b"));
  ASSERT_FALSE(again.has_value());
  EXPECT_EQ(again.error().to_string(), path("a") + ": " + os_text(ENOENT));

  ASSERT_TRUE(posix_env().unlink(path("b")).has_value());
  EXPECT_FALSE(std::filesystem::exists(path("b")));
  auto gone = posix_env().unlink(path("b"));
  ASSERT_FALSE(gone.has_value());
  EXPECT_EQ(gone.error().to_string(), path("b") + ": " + os_text(ENOENT));
}

TEST_F(FileTest, SyncDirNeedsAnExistingDirectory) {
  EXPECT_TRUE(posix_env().sync_dir(dir_).has_value());
  EXPECT_TRUE(posix_env().sync_dir(".").has_value());

  auto missing = posix_env().sync_dir(path("nope"));
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().to_string(), path("nope") + ": " + os_text(ENOENT));

  write_file(path("file"), "x");
  auto not_dir = posix_env().sync_dir(path("file"));
  ASSERT_FALSE(not_dir.has_value());
  EXPECT_EQ(not_dir.error().os_code(), ENOTDIR);

  EXPECT_FALSE(posix_env().sync_dir("").has_value());
}

TEST(ParentDirTest, Table) {
  struct Case {
    std::string path, parent;
  };
  const Case cases[] = {
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
  for (const Case& c : cases) EXPECT_EQ(parent_dir(c.path), c.parent) << c.path;
}

TEST(EnvTest, ScopedEnvInstallsAndRestores) {
  EXPECT_EQ(&env(), &posix_env());
  FaultEnv outer;
  {
    ScopedEnv a(outer);
    EXPECT_EQ(&env(), &outer);
    FaultEnv inner;
    {
      ScopedEnv b(inner);
      EXPECT_EQ(&env(), &inner);
    }
    EXPECT_EQ(&env(), &outer);
  }
  EXPECT_EQ(&env(), &posix_env());
}

TEST_F(FileTest, FaultEnvFailsTheNthCallAndCounts) {
  FaultEnv faults;
  write_file(path("f"), "abcdef");
  faults.fail_nth(FaultEnv::Op::Read, 2, EIO);
  auto f = faults.open_read(path("f"));
  ASSERT_TRUE(f.has_value());
  std::uint8_t buf[2];
  EXPECT_TRUE((*f)->read_exact_at(0, buf).has_value());
  auto second = (*f)->read_at(0, buf);
  ASSERT_FALSE(second.has_value());
  EXPECT_EQ(second.error().to_string(), os_text(EIO));
  EXPECT_TRUE((*f)->read_exact_at(0, buf).has_value());
  EXPECT_EQ(faults.count(FaultEnv::Op::Read), 3u);
  EXPECT_EQ(faults.count(FaultEnv::Op::Open), 1u);
  EXPECT_EQ(faults.last_path(FaultEnv::Op::Open), path("f"));

  // From now on every write fails, as on a full disk, and the file is left alone.
  auto w = faults.open_read_write(path("f"));
  ASSERT_TRUE(w.has_value());
  faults.fail_from_next(FaultEnv::Op::Write, ENOSPC);
  for (int i = 0; i < 3; ++i) {
    auto r = (*w)->write_all_at(0, as_bytes("zz"));
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().os_code(), ENOSPC);
  }
  faults.clear(FaultEnv::Op::Write);
  EXPECT_TRUE((*w)->write_all_at(6, as_bytes("g")).has_value());
  EXPECT_EQ(read_file(path("f")), "abcdefg");

  faults.fail_nth(FaultEnv::Op::Open, faults.count(FaultEnv::Op::Open) + 1, EACCES);
  auto denied = faults.create_truncate(path("f"), 0666);
  ASSERT_FALSE(denied.has_value());
  EXPECT_EQ(denied.error().to_string(), path("f") + ": " + os_text(EACCES));
  EXPECT_EQ(read_file(path("f")), "abcdefg");
}

}  // namespace
}  // namespace drelix
