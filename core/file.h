// The one seam for file-system I/O. Every byte the engine reads or writes, and every rename,
// unlink and sync, goes through an `Env` and the `File`s it opens, so that tests can substitute
// an implementation that injects faults or simulates crashes and power loss.
//
// Error conventions: calls that name a path (the Env's methods) fail with Error::io_at(path,
// errno); calls on an open File fail with Error::io(errno) (no path), or Error::io_eof() when an
// exact read meets end of file.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "core/bytes.h"
#include "core/error.h"

namespace drelix {

// Which file a handle or a path refers to (device and inode): two equal ids are one file. The
// default, all zero, makes every file the same one, for environments without such ids.
struct FileId {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  bool operator==(const FileId&) const = default;
};

class File {
 public:
  virtual ~File() = default;
  File() = default;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Reads exactly buf.size() bytes at `offset`, retrying short reads; io_eof() when the file
  // ends first.
  virtual Status read_exact_at(std::uint64_t offset, std::span<std::uint8_t> buf) = 0;
  // Reads until `buf` is full or a read returns 0 (end of file); returns the count read. Any
  // read error, an interrupted one included, fails.
  virtual Result<std::size_t> read_at(std::uint64_t offset, std::span<std::uint8_t> buf) = 0;
  // Writes all of `data` at `offset`, looping over short writes.
  virtual Status write_all_at(std::uint64_t offset, ByteView data) = 0;
  // Current length from the handle's metadata.
  virtual Result<std::uint64_t> length() = 0;
  virtual Status truncate(std::uint64_t length) = 0;
  // Full synchronisation: data and metadata durable before returning (fsync; F_FULLFSYNC on
  // macOS), retried while interrupted.
  virtual Status sync() = 0;
  // Permission bits (mode & 07777).
  virtual Result<std::uint32_t> permissions() = 0;
  virtual Status set_permissions(std::uint32_t mode) = 0;
  // The file this handle has open, whatever its path names now.
  virtual Result<FileId> id() { return FileId{}; }
};

using FilePtr = std::unique_ptr<File>;

class Env {
 public:
  virtual ~Env() = default;

  // Every open refuses at once, without waiting, a path that names no regular file (a FIFO, a
  // device, a directory), with "<path>: not a regular file (a FIFO)".
  virtual Result<FilePtr> open_read(const std::string& path) = 0;
  // Read and write, never creating.
  virtual Result<FilePtr> open_read_write(const std::string& path) = 0;
  // Read and write; fails if the path exists. `mode` is applied before the umask.
  virtual Result<FilePtr> create_exclusive(const std::string& path, std::uint32_t mode) = 0;
  // Renames over an existing `to`.
  virtual Status rename(const std::string& from, const std::string& to) = 0;
  virtual Status unlink(const std::string& path) = 0;
  // Opens the directory read-only and synchronises it fully.
  virtual Status sync_dir(const std::string& dir) = 0;
  // The path of the file `path` names once symbolic links in its last component are followed
  // (a relative target is taken from the link's directory); `path` itself when it is no link
  // or does not exist. An environment without links keeps this default.
  virtual Result<std::string> resolve_links(const std::string& path) { return path; }
  // The file `path` names now (links followed).
  virtual Result<FileId> id_of(const std::string& path) {
    (void)path;
    return FileId{};
  }
};

// The environment the engine uses: the POSIX one unless a test installed another.
Env& env();
Env& posix_env();

// Installs `replacement` as the engine's environment for the lifetime of this object.
class ScopedEnv {
 public:
  explicit ScopedEnv(Env& replacement);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  Env* previous_;
};

// A new, empty file at `path` in env(), read and write, created exclusively: whatever the path
// named before (a file a killed process left, or a link planted there, symbolic or hard) is
// removed first, the link itself and never what it points to, so nothing is ever written through
// it. Fails if another file appears at the path in between. `mode` is applied before the umask.
Result<FilePtr> create_replacing(const std::string& path, std::uint32_t mode);

// The directory holding `path` ("" when the path has no directory part, "/" for "/x").
std::string parent_dir(const std::string& path);

// Synchronises, through env(), the directory holding `path` (the current directory when the path
// has no directory part), so that an entry created, renamed or removed there is durable.
Status sync_dir_of(const std::string& path);

}  // namespace drelix
