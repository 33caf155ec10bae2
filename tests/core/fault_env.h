// A test-only Env that forwards to another Env (the POSIX one by default), counts the calls of
// each kind, and makes chosen calls fail with a chosen errno, so that tests can reach the error
// paths of the engine without a broken disk.
//
//   FaultEnv faults;
//   ScopedEnv installed(faults);
//   faults.fail_nth(FaultEnv::Op::Sync, 1, EIO);  // the next File::sync fails with EIO
//   ... run the operation; then look at faults.count(FaultEnv::Op::Write) ...
//
// Counting starts at construction (or the last reset()). A failed call is counted like any other
// and does nothing underneath: the wrapped Env or File is not called.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>

#include "core/error.h"
#include "core/file.h"

namespace drelix {

class FaultEnv : public Env {
 public:
  // The kinds of call that can be counted and failed. Open covers all four ways to open or
  // create a file; Read covers read_exact_at and read_at; Sync is File::sync, SyncDir is
  // Env::sync_dir. length, permissions and set_permissions are passed through uncounted.
  enum class Op { Open, Read, Write, Truncate, Sync, Rename, Unlink, SyncDir };
  static constexpr std::size_t kOpCount = 8;

  explicit FaultEnv(Env& base = posix_env()) : base_(base) {}

  // Makes the `n`th call of `op` (1-based, counted since construction or reset()) fail with
  // `errnum`. With `and_after`, every later call of that kind fails too (a full disk, say).
  // Replaces any earlier rule for `op`.
  void fail_nth(Op op, std::uint64_t n, int errnum, bool and_after = false) {
    rules_[index(op)] = Rule{n, errnum, and_after};
  }
  // Makes every call of `op` from the next one on fail with `errnum`.
  void fail_from_next(Op op, int errnum) { fail_nth(op, count(op) + 1, errnum, true); }
  // Removes the rule for `op`.
  void clear(Op op) { rules_[index(op)] = Rule{}; }

  // Calls of `op` so far, failed ones included.
  std::uint64_t count(Op op) const { return counts_[index(op)]; }

  // The path named by the latest call of `op` ("" before any): for Open, Unlink and SyncDir the
  // path, for Rename the source. Calls on an open File name no path.
  const std::string& last_path(Op op) const { return last_paths_[index(op)]; }

  // Forgets all rules, counts and paths.
  void reset() {
    rules_ = {};
    counts_ = {};
    last_paths_ = {};
  }

  Result<FilePtr> open_read(const std::string& path) override {
    if (int e = tick(Op::Open, path)) return fail(Error::io_at(path, e));
    return wrap(base_.open_read(path));
  }
  Result<FilePtr> open_read_write(const std::string& path) override {
    if (int e = tick(Op::Open, path)) return fail(Error::io_at(path, e));
    return wrap(base_.open_read_write(path));
  }
  Result<FilePtr> create_exclusive(const std::string& path, std::uint32_t mode) override {
    if (int e = tick(Op::Open, path)) return fail(Error::io_at(path, e));
    return wrap(base_.create_exclusive(path, mode));
  }
  Result<FilePtr> create_truncate(const std::string& path, std::uint32_t mode) override {
    if (int e = tick(Op::Open, path)) return fail(Error::io_at(path, e));
    return wrap(base_.create_truncate(path, mode));
  }
  Status rename(const std::string& from, const std::string& to) override {
    if (int e = tick(Op::Rename, from)) return fail(Error::io_at(from, e));
    return base_.rename(from, to);
  }
  Status unlink(const std::string& path) override {
    if (int e = tick(Op::Unlink, path)) return fail(Error::io_at(path, e));
    return base_.unlink(path);
  }
  Result<std::string> resolve_links(const std::string& path) override {
    return posix_env().resolve_links(path);
  }
  Status sync_dir(const std::string& dir) override {
    if (int e = tick(Op::SyncDir, dir)) return fail(Error::io_at(dir, e));
    return base_.sync_dir(dir);
  }

 private:
  struct Rule {
    std::uint64_t n = 0;  // 0: no rule
    int errnum = 0;
    bool and_after = false;
  };

  // Files opened through a FaultEnv must not outlive it.
  class FaultFile final : public File {
   public:
    FaultFile(FaultEnv& owner, FilePtr base) : owner_(owner), base_(std::move(base)) {}

    Status read_exact_at(std::uint64_t offset, std::span<std::uint8_t> buf) override {
      if (int e = owner_.tick(Op::Read)) return fail(Error::io(e));
      return base_->read_exact_at(offset, buf);
    }
    Result<std::size_t> read_at(std::uint64_t offset, std::span<std::uint8_t> buf) override {
      if (int e = owner_.tick(Op::Read)) return fail(Error::io(e));
      return base_->read_at(offset, buf);
    }
    Status write_all_at(std::uint64_t offset, ByteView data) override {
      if (int e = owner_.tick(Op::Write)) return fail(Error::io(e));
      return base_->write_all_at(offset, data);
    }
    Result<std::uint64_t> length() override { return base_->length(); }
    Status truncate(std::uint64_t length) override {
      if (int e = owner_.tick(Op::Truncate)) return fail(Error::io(e));
      return base_->truncate(length);
    }
    Status sync() override {
      if (int e = owner_.tick(Op::Sync)) return fail(Error::io(e));
      return base_->sync();
    }
    Result<std::uint32_t> permissions() override { return base_->permissions(); }
    Status set_permissions(std::uint32_t mode) override { return base_->set_permissions(mode); }

   private:
    FaultEnv& owner_;
    FilePtr base_;
  };

  static constexpr std::size_t index(Op op) { return static_cast<std::size_t>(op); }

  // Counts one call of `op`; returns the errno it must fail with, or 0 to go ahead.
  int tick(Op op) {
    const std::uint64_t c = ++counts_[index(op)];
    const Rule& r = rules_[index(op)];
    if (r.n == 0) return 0;
    if (c == r.n || (r.and_after && c > r.n)) return r.errnum;
    return 0;
  }
  int tick(Op op, const std::string& path) {
    last_paths_[index(op)] = path;
    return tick(op);
  }

  Result<FilePtr> wrap(Result<FilePtr> opened) {
    if (!opened) return opened;
    return FilePtr(std::make_unique<FaultFile>(*this, std::move(*opened)));
  }

  Env& base_;
  std::array<Rule, kOpCount> rules_{};
  std::array<std::uint64_t, kOpCount> counts_{};
  std::array<std::string, kOpCount> last_paths_{};
};

}  // namespace drelix
