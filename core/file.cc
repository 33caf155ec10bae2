// The POSIX implementation of the file seam. This is the only file of the engine that calls the
// operating system's file functions; everything else goes through env().

#include "core/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <limits>
#include <utility>

namespace drelix {

namespace {

// Every single read or write call is at most this large: Linux moves at most about 2 GiB per
// call anyway, and macOS refuses counts above INT_MAX outright.
constexpr std::size_t kMaxIoChunk = std::size_t{1} << 30;

constexpr std::uint64_t kMaxOffset = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());

// Owns one file descriptor and closes it exactly once.
class FdHolder {
 public:
  explicit FdHolder(int fd) : fd_(fd) {}
  ~FdHolder() {
    // A close error cannot be acted upon here; durability comes from the explicit syncs.
    if (fd_ >= 0) ::close(fd_);
  }
  FdHolder(const FdHolder&) = delete;
  FdHolder& operator=(const FdHolder&) = delete;

  int get() const { return fd_; }

 private:
  int fd_;
};

// The platform's full synchronisation, retried while interrupted. On macOS fsync only hands the
// data to the drive; F_FULLFSYNC also flushes the drive's own cache.
int full_sync(int fd) {
  int rc;
  do {
#if defined(__APPLE__)
    rc = ::fcntl(fd, F_FULLFSYNC);
#else
    rc = ::fsync(fd);
#endif
  } while (rc != 0 && errno == EINTR);
  return rc;
}

// The positions and lengths the engine uses are unsigned; the system's are signed. Anything past
// the largest off_t would wrap to a negative value, which the system refuses with EINVAL anyway.
bool fits_offset(std::uint64_t offset, std::size_t count) {
  return offset <= kMaxOffset && count <= kMaxOffset - offset;
}

enum class Direction { kRead, kWrite };

// Moves `size` bytes at `offset` by calls of `io(done, want)` (a pread or pwrite of `want`
// bytes from `done` on, at most kMaxIoChunk), retrying interrupted ones. A call that moves
// nothing ends a read at the end of the file; a write would loop forever on it, and the system
// gives no errno for it.
template <Direction direction, class Io>
Status move_all(std::uint64_t offset, std::size_t size, Io io) {
  if (!fits_offset(offset, size)) return fail(Error::io(EINVAL));
  for (std::size_t done = 0; done < size;) {
    const ssize_t n = io(done, std::min(size - done, kMaxIoChunk));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(Error::io(errno));
    if (n == 0 && direction == Direction::kRead) return fail(Error::io_eof());
    if (n == 0) return fail(Error::io_text("failed to write whole buffer"));
    done += static_cast<std::size_t>(n);
  }
  return {};
}

FileId id_from(const struct stat& st) {
  return FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

class PosixFile final : public File {
 public:
  explicit PosixFile(int fd) : fd_(fd) {}

  Status read_exact_at(std::uint64_t offset, std::span<std::uint8_t> buf) override {
    return move_all<Direction::kRead>(offset, buf.size(), [&](std::size_t done, std::size_t want) {
      return ::pread(fd_.get(), buf.data() + done, want, static_cast<off_t>(offset + done));
    });
  }

  Result<std::size_t> read_at(std::uint64_t offset, std::span<std::uint8_t> buf) override {
    // Past the largest offset nothing can be read: that is end of file, not an error.
    if (offset > kMaxOffset) return std::size_t{0};
    const std::size_t limit =
        static_cast<std::size_t>(std::min<std::uint64_t>(buf.size(), kMaxOffset - offset));
    std::size_t done = 0;
    while (done < limit) {
      const std::size_t want = std::min(limit - done, kMaxIoChunk);
      const ssize_t n =
          ::pread(fd_.get(), buf.data() + done, want, static_cast<off_t>(offset + done));
      // Deliberately not retried on EINTR: this read reports every failure to its caller.
      if (n < 0) return fail(Error::io(errno));
      if (n == 0) break;
      done += static_cast<std::size_t>(n);
    }
    return done;
  }

  Status write_all_at(std::uint64_t offset, ByteView data) override {
    return move_all<Direction::kWrite>(
        offset, data.size(), [&](std::size_t done, std::size_t want) {
          return ::pwrite(fd_.get(), data.data() + done, want, static_cast<off_t>(offset + done));
        });
  }

  Result<std::uint64_t> length() override {
    struct stat st;
    if (::fstat(fd_.get(), &st) != 0) return fail(Error::io(errno));
    return static_cast<std::uint64_t>(st.st_size);
  }

  Result<FileId> id() override {
    struct stat st;
    if (::fstat(fd_.get(), &st) != 0) return fail(Error::io(errno));
    return id_from(st);
  }

  Status truncate(std::uint64_t length) override {
    if (length > kMaxOffset) return fail(Error::io(EINVAL));
    int rc;
    do {
      rc = ::ftruncate(fd_.get(), static_cast<off_t>(length));
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) return fail(Error::io(errno));
    return {};
  }

  Status sync() override {
    if (full_sync(fd_.get()) != 0) return fail(Error::io(errno));
    return {};
  }

  Result<std::uint32_t> permissions() override {
    struct stat st;
    if (::fstat(fd_.get(), &st) != 0) return fail(Error::io(errno));
    return static_cast<std::uint32_t>(st.st_mode & 07777);
  }

  Status set_permissions(std::uint32_t mode) override {
    int rc;
    do {
      rc = ::fchmod(fd_.get(), static_cast<mode_t>(mode & 07777));
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) return fail(Error::io(errno));
    return {};
  }

 private:
  FdHolder fd_;
};

// Whether the system sees the whole of `path`: one holding a NUL would be cut there, and a
// derived path ("<path>.seal") would then name another file, the data file itself included.
bool c_path_ok(const std::string& path) {
  return path.find('\0') == std::string::npos;
}

// What a path names when it is not a regular file, for the refusal's message.
const char* file_kind(mode_t mode) {
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "of an unknown kind";
}

// Refuses a descriptor that is not a regular file, then clears the O_NONBLOCK it was opened
// with: reads and writes of a regular file never block for ever, and its data needs no
// non-blocking mode.
Status check_regular(int fd, const std::string& path) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return fail(Error::io_at(path, errno));
  if (!S_ISREG(st.st_mode)) {
    return fail(Error::io_text(std::string("not a regular file (") + file_kind(st.st_mode) + ")")
                    .with_path(path));
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return fail(Error::io_at(path, errno));
  }
  return {};
}

// open(2) of a regular file, with the descriptor never leaking into a child process; a failure
// carries `path`. O_NONBLOCK keeps the open of a FIFO or a device from waiting (for a writer, a
// carrier, ...) and the file's kind is checked before anything is read or written. An
// interrupted open is reported (EINTR), not retried: the caller may have a signal to act on.
Result<FilePtr> open_file(const std::string& path, int flags, std::uint32_t mode) {
  if (!c_path_ok(path)) return fail(Error::io_at(path, EINVAL));
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, static_cast<mode_t>(mode));
  if (fd < 0) return fail(Error::io_at(path, errno));
  auto file = std::make_unique<PosixFile>(fd);
  DRELIX_TRY(check_regular(fd, path));
  return FilePtr(std::move(file));
}

class PosixEnv final : public Env {
 public:
  Result<FilePtr> open_read(const std::string& path) override {
    return open_file(path, O_RDONLY, 0);
  }

  Result<FilePtr> open_read_write(const std::string& path) override {
    return open_file(path, O_RDWR, 0);
  }

  Result<FilePtr> create_exclusive(const std::string& path, std::uint32_t mode) override {
    return open_file(path, O_RDWR | O_CREAT | O_EXCL, mode);
  }

  // A failure names `from`, the file being moved.
  Status rename(const std::string& from, const std::string& to) override {
    if (!c_path_ok(from) || !c_path_ok(to)) return fail(Error::io_at(from, EINVAL));
    if (::rename(from.c_str(), to.c_str()) != 0) return fail(Error::io_at(from, errno));
    return {};
  }

  Status unlink(const std::string& path) override {
    if (!c_path_ok(path)) return fail(Error::io_at(path, EINVAL));
    if (::unlink(path.c_str()) != 0) return fail(Error::io_at(path, errno));
    return {};
  }

  Result<FileId> id_of(const std::string& path) override {
    if (!c_path_ok(path)) return fail(Error::io_at(path, EINVAL));
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return fail(Error::io_at(path, errno));
    return id_from(st);
  }

  Result<std::string> resolve_links(const std::string& path) override {
    // As many links as the system follows in one lookup before it gives up with ELOOP.
    constexpr int kMaxLinks = 40;
    std::string current = path;
    for (int hops = 0; hops <= kMaxLinks; ++hops) {
      if (!c_path_ok(current)) return fail(Error::io_at(current, EINVAL));
      struct stat st;
      if (::lstat(current.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return current;
        return fail(Error::io_at(current, errno));
      }
      if (!S_ISLNK(st.st_mode)) return current;
      std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 256), '\0');
      for (;;) {
        const ssize_t n = ::readlink(current.c_str(), target.data(), target.size());
        if (n < 0) return fail(Error::io_at(current, errno));
        if (static_cast<std::size_t>(n) < target.size()) {
          target.resize(static_cast<std::size_t>(n));
          break;
        }
        target.resize(target.size() * 2);  // the link grew since the lstat
      }
      const std::string dir = parent_dir(current);
      current = target.starts_with('/') || dir.empty() ? target
                : dir == "/"                           ? "/" + target
                                                       : dir + "/" + target;
    }
    return fail(Error::io_at(path, ELOOP));
  }

  Status sync_dir(const std::string& dir) override {
    if (!c_path_ok(dir)) return fail(Error::io_at(dir, EINVAL));
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return fail(Error::io_at(dir, errno));
    FdHolder holder(fd);
    if (full_sync(holder.get()) != 0) return fail(Error::io_at(dir, errno));
    return {};
  }
};

// The installed environment; null means the POSIX one.
std::atomic<Env*> installed_env{nullptr};

}  // namespace

Env& posix_env() {
  static PosixEnv instance;
  return instance;
}

Env& env() {
  Env* e = installed_env.load(std::memory_order_acquire);
  return e != nullptr ? *e : posix_env();
}

ScopedEnv::ScopedEnv(Env& replacement)
    : previous_(installed_env.exchange(&replacement, std::memory_order_acq_rel)) {}

ScopedEnv::~ScopedEnv() {
  installed_env.store(previous_, std::memory_order_release);
}

Result<FilePtr> create_replacing(const std::string& path, std::uint32_t mode) {
  if (Status removed = env().unlink(path); !removed && removed.error().os_code() != ENOENT) {
    return fail(std::move(removed).error());
  }
  return env().create_exclusive(path, mode);
}

std::string parent_dir(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return std::string();
  // "a//b" is in "a", not in "a/"; a head made only of slashes is the root.
  const std::size_t last_kept = path.find_last_not_of('/', slash);
  if (last_kept == std::string::npos) return "/";
  return path.substr(0, last_kept + 1);
}

Status sync_dir_of(const std::string& path) {
  const std::string dir = parent_dir(path);
  return env().sync_dir(dir.empty() ? std::string(".") : dir);
}

}  // namespace drelix
