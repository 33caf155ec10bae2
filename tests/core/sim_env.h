// A test-only Env that keeps every file in memory. It counts each kind of call and can fail the
// nth one with an errno (the process keeps running), and it simulates what a process crash and a
// power loss leave behind, so that crash safety is checked at every step of an operation.
//
// The model. Each file (an inode) has the bytes the operating system holds and the bytes on
// stable storage as of its last File::sync. Each path names an inode in the live namespace, and
// in a durable one as of the last sync_dir of its directory. Every write, truncate, create,
// rename and unlink changes the live state at once and stays pending until a sync (of that file)
// or a sync_dir (of the directories the entry touches) makes it durable.
//
// Steps: the calls that change or harden state (creating opens, writes, truncates, renames,
// unlinks, syncs, directory syncs). crash_at(n) makes step n and every later call fail with EIO,
// as if the process died just before step n; restart() starts the next process; power_loss(keep)
// brings back the durable state plus the chosen pending changes. Not modelled, because the engine
// does not depend on them: real directories (any directory exists), links, a umask other than 022.
#pragma once

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"
#include "core/file.h"
#include "core/str_cat.h"

namespace drelix {

class SimEnv final : public Env {
 public:
  // Open: every way to open or create a file; Read: read_exact_at and read_at.
  enum class Op { Open, Read, Write, Truncate, Sync, Rename, Unlink, SyncDir };

  struct Step {
    Op op;
    std::string path;                      // the file's path when opened, or the named path
    std::uint64_t offset = 0, length = 0;  // Write: position and byte count; Truncate: length
  };

  using Names = std::map<std::string, std::uint64_t>;  // path -> inode
  using Files = std::map<std::uint64_t, Bytes>;        // inode -> bytes
  // A change not yet on stable storage: of one file's bytes, or of directory entries.
  struct Change {
    std::uint64_t inode = 0;     // 0: an entry change
    std::set<std::string> dirs;  // an entry change: the directories still to sync
    std::function<void(Names&, Files&)> apply;
  };
  // The whole simulated disk. Plain values: copying it is a snapshot.
  struct State {
    Names names, durable_names;
    Files data, durable;
    std::map<std::uint64_t, std::uint32_t> modes;
    std::vector<Change> pending;
    std::uint64_t next_inode = 1;
  };

  // --- Faults: counted per kind since construction or reset(), failed calls included ---------

  // The nth call of `op` fails with `errnum` and does nothing; with `and_after`, so does every
  // later one (a full disk, say). Replaces any earlier rule for `op`.
  void fail_nth(Op op, std::uint64_t n, int errnum, bool and_after = false) {
    ops_[at(op)].rule = {n, errnum, and_after};
  }
  void fail_from_next(Op op, int errnum) { fail_nth(op, count(op) + 1, errnum, true); }
  void clear(Op op) { ops_[at(op)].rule = {}; }
  std::uint64_t count(Op op) const { return ops_[at(op)].count; }
  // The path of the latest call of `op` (for a File call, the path it was opened by).
  const std::string& last_path(Op op) const { return ops_[at(op)].last_path; }
  // Forgets rules, counts, last paths, steps and the trace; keeps the disk and any crash point.
  void reset() {
    ops_ = {};
    trace_.clear();
  }

  // --- The disk, behind the engine's back (neither counted nor steps) -----------------------

  // `bytes` at `path`, durably (into the inode already there, so open handles see them).
  void put(const std::string& path, ByteView bytes, std::optional<std::uint32_t> mode = {}) {
    const auto [it, fresh] = state_.names.try_emplace(path, state_.next_inode);
    if (fresh) ++state_.next_inode;
    state_.data[it->second] = state_.durable[it->second] = Bytes(bytes.begin(), bytes.end());
    if (mode || fresh) state_.modes[it->second] = mode.value_or(0644);
    state_.durable_names[path] = it->second;
  }
  std::optional<Bytes> contents(const std::string& path) const {
    if (!exists(path)) return std::nullopt;
    return state_.data.at(state_.names.at(path));
  }
  bool exists(const std::string& path) const { return state_.names.contains(path); }
  std::uint32_t mode(const std::string& path) const {
    return state_.modes.at(state_.names.at(path));
  }
  // Removes the entry, durably.
  void erase(const std::string& path) {
    state_.names.erase(path);
    state_.durable_names.erase(path);
  }
  // Everything performed so far reaches stable storage.
  void make_durable() {
    state_.durable = state_.data;
    state_.durable_names = state_.names;
    state_.pending.clear();
  }
  State snapshot() const { return state_; }
  // Replaces the disk, as the next process finds it (see restart()). Counts are kept.
  void restore(const State& state) {
    state_ = state;
    restart();
  }

  // --- Steps, crashes and power loss ----------------------------------------------------------

  std::uint64_t steps() const { return trace_.size(); }
  const std::vector<Step>& trace() const { return trace_; }
  // Step n (1-based since the last reset()) and every call after it fail with EIO; 0: no crash.
  void crash_at(std::uint64_t n) { crash_at_ = n; }
  // A new process: handles of the dead one fail with EIO, the disk is what the OS holds (the
  // unsynced changes still pending), and the crash point is cleared.
  void restart() {
    ++epoch_;
    crashed_ = false;
    crash_at_ = 0;
  }
  // Splits each later write into pieces of at most `bytes` (0: whole) that a power loss keeps
  // or loses independently, as a disk writing sector by sector would.
  void set_tear_size(std::size_t bytes) { tear_size_ = bytes; }

  // Power comes back: the durable state, plus the pending changes with keep[i] true applied in
  // their order (an entry change whose source is gone does nothing). Everything is durable
  // afterwards and the process has restarted.
  void power_loss(const std::vector<bool>& keep) {
    for (std::size_t i = 0; i < state_.pending.size() && i < keep.size(); ++i) {
      if (keep[i]) state_.pending[i].apply(state_.durable_names, state_.durable);
    }
    state_.pending.clear();
    state_.names = state_.durable_names;
    state_.data = state_.durable;
    restart();
  }

  // The keep-masks to try for `n` pending changes, sorted: all 2^n when n <= 10; otherwise
  // every prefix (k <= n), every "all but one" and "only one", and 32 masks of a fixed seed.
  static std::vector<std::vector<bool>> loss_choices(std::size_t n) {
    std::set<std::vector<bool>> out;
    std::mt19937_64 rng(20240229);
    for (std::size_t k = 0; k < (n <= 10 ? std::size_t{1} << n : 3 * n + 33); ++k) {
      std::vector<bool> keep(n);
      for (std::size_t i = 0; i < n; ++i) {
        keep[i] = n <= 10      ? ((k >> i) & 1) != 0
                  : k <= n     ? i < k
                  : k <= 2 * n ? i != k - n - 1
                  : k <= 3 * n ? i == k - 2 * n - 1
                               : (rng() & 1) != 0;
      }
      out.insert(std::move(keep));
    }
    return {out.begin(), out.end()};
  }

  // Text for a failure message: "step 7: write /d/f.seal (at 0, 4200 bytes)".
  std::string describe(std::uint64_t n) const {
    static constexpr const char* kNames[] = {"create", "read",   "write",  "truncate",
                                             "sync",   "rename", "unlink", "sync_dir"};
    const Step& s = trace_.at(n - 1);
    return str_cat("step ", n, ": ", kNames[at(s.op)], " ", s.path, " (at ", s.offset, ", ",
                   s.length, " bytes)");
  }

  // --- Env ----------------------------------------------------------------------------------

  Result<FilePtr> open_read(const std::string& path) override { return open(path, 'r', 0); }
  Result<FilePtr> open_read_write(const std::string& path) override { return open(path, 'w', 0); }
  Result<FilePtr> create_exclusive(const std::string& path, std::uint32_t mode) override {
    return open(path, 'x', mode);
  }
  Status rename(const std::string& from, const std::string& to) override {
    if (int e = gate(Op::Rename, from, true)) return fail(Error::io_at(from, e));
    if (!exists(from)) return fail(Error::io_at(from, ENOENT));
    if (from == to) return {};
    change(0, {from, to}, [from, to](Names& names, Files&) {
      if (auto node = names.extract(from)) names[to] = node.mapped();
    });
    return {};
  }
  Status unlink(const std::string& path) override {
    if (int e = gate(Op::Unlink, path, true)) return fail(Error::io_at(path, e));
    if (!exists(path)) return fail(Error::io_at(path, ENOENT));
    change(0, {path}, [path](Names& names, Files&) { names.erase(path); });
    return {};
  }
  // Entry changes of this directory become durable; one spanning two directories waits for the
  // other as well.
  Status sync_dir(const std::string& dir) override {
    if (int e = gate(Op::SyncDir, dir, true)) return fail(Error::io_at(dir, e));
    std::erase_if(state_.pending, [&](Change& p) {
      if (p.inode != 0 || (p.dirs.erase(dir), !p.dirs.empty())) return false;
      p.apply(state_.durable_names, state_.durable);
      return true;
    });
    return {};
  }

 private:
  class SimFile final : public File {
   public:
    SimFile(SimEnv& owner, std::uint64_t inode, std::string path, bool writable)
        : owner_(owner), inode_(inode), path_(std::move(path)), writable_(writable) {}

    Status read_exact_at(std::uint64_t offset, std::span<std::uint8_t> buf) override {
      DRELIX_ASSIGN_OR_RETURN(const std::size_t n, read_at(offset, buf));
      if (n < buf.size()) return fail(Error::io_eof());
      return {};
    }
    Result<std::size_t> read_at(std::uint64_t offset, std::span<std::uint8_t> buf) override {
      if (int e = gate(Op::Read)) return fail(Error::io(e));
      const ByteView data = bytes();
      if (offset >= data.size()) return std::size_t{0};
      const std::size_t n = std::min<std::uint64_t>(buf.size(), data.size() - offset);
      std::ranges::copy(data.subspan(offset, n), buf.begin());
      return n;
    }
    Status write_all_at(std::uint64_t offset, ByteView bytes) override {
      if (int e = gate(Op::Write, offset, bytes.size())) return fail(Error::io(e));
      if (!writable_) return fail(Error::io(EBADF));
      if (offset > kMaxOffset || bytes.size() > kMaxOffset - offset) return fail(Error::io(EFBIG));
      const std::size_t piece = owner_.tear_size_ == 0 ? bytes.size() : owner_.tear_size_;
      for (std::size_t done = 0; done < bytes.size(); done += piece) {
        const ByteView cut = bytes.subspan(done, std::min(piece, bytes.size() - done));
        const Bytes part(cut.begin(), cut.end());
        owner_.change(inode_, {}, [id = inode_, off = offset + done, part](Names&, Files& files) {
          Bytes& data = files[id];
          if (data.size() < off + part.size()) data.resize(off + part.size(), 0);
          std::ranges::copy(part, data.begin() + static_cast<std::ptrdiff_t>(off));
        });
      }
      return {};
    }
    Result<std::uint64_t> length() override {
      if (!alive()) return fail(Error::io(EIO));
      return bytes().size();
    }
    Status truncate(std::uint64_t length) override {
      if (int e = gate(Op::Truncate, length)) return fail(Error::io(e));
      if (!writable_) return fail(Error::io(EINVAL));
      if (length > kMaxOffset) return fail(Error::io(EFBIG));
      owner_.change(inode_, {},
                    [id = inode_, length](Names&, Files& files) { files[id].resize(length, 0); });
      return {};
    }
    // The file's bytes become durable; its directory entry does not (that takes a sync_dir).
    Status sync() override {
      if (int e = gate(Op::Sync)) return fail(Error::io(e));
      owner_.state_.durable[inode_] = bytes();
      std::erase_if(owner_.state_.pending, [this](const Change& p) { return p.inode == inode_; });
      return {};
    }
    Result<std::uint32_t> permissions() override {
      if (!alive()) return fail(Error::io(EIO));
      return owner_.state_.modes[inode_];
    }
    Status set_permissions(std::uint32_t mode) override {
      if (!alive()) return fail(Error::io(EIO));
      owner_.state_.modes[inode_] = mode & 07777;
      return {};
    }

   private:
    // A handle of a process that crashed, or of a disk that was replaced, is dead.
    bool alive() const { return epoch_ == owner_.epoch_ && !owner_.crashed_; }
    int gate(Op op, std::uint64_t offset = 0, std::uint64_t length = 0) {
      return alive() ? owner_.gate(op, path_, op != Op::Read, offset, length) : EIO;
    }
    Bytes& bytes() { return owner_.state_.data[inode_]; }

    SimEnv& owner_;
    std::uint64_t inode_;
    std::string path_;
    bool writable_;
    std::uint64_t epoch_ = owner_.epoch_;
  };

  // A test that writes at a wild offset should fail, not exhaust memory.
  static constexpr std::uint64_t kMaxOffset = std::uint64_t{1} << 30;

  static constexpr std::size_t at(Op op) { return static_cast<std::size_t>(op); }

  // Counts a call and applies the fault rule, then the crash: the errno the call fails with, or
  // 0 to go ahead. A step is traced, the one the crash refuses included.
  int gate(Op op, const std::string& path, bool step, std::uint64_t offset = 0,
           std::uint64_t length = 0) {
    PerOp& o = ops_[at(op)];
    o.last_path = path;
    if (++o.count == o.rule.n || (o.rule.n != 0 && o.rule.and_after && o.count > o.rule.n))
      return o.rule.errnum;
    if (crashed_) return EIO;
    if (!step) return 0;
    trace_.push_back(Step{op, path, offset, length});
    crashed_ = crash_at_ != 0 && trace_.size() >= crash_at_;
    return crashed_ ? EIO : 0;
  }

  // how: 'r' read, 'w' read-write, 'x' create exclusive.
  Result<FilePtr> open(const std::string& path, char how, std::uint32_t mode) {
    const bool creates = how == 'x';
    if (int e = gate(Op::Open, path, creates)) return fail(Error::io_at(path, e));
    std::uint64_t id = exists(path) ? state_.names.at(path) : 0;
    if (id != 0 && how == 'x') return fail(Error::io_at(path, EEXIST));
    if (id == 0) {
      if (!creates) return fail(Error::io_at(path, ENOENT));
      id = state_.next_inode++;
      state_.modes[id] = mode & 07777 & ~std::uint32_t{022};
      state_.data[id] = state_.durable[id] = Bytes();
      change(0, {path}, [id, path](Names& names, Files&) { names[path] = id; });
    }
    return FilePtr(std::make_unique<SimFile>(*this, id, path, how != 'r'));
  }

  // Performs `apply` on the live state and leaves it pending; an entry change on the entries in
  // `paths`, to be hardened by a sync_dir of each of their directories.
  void change(std::uint64_t inode, const std::vector<std::string>& paths,
              std::function<void(Names&, Files&)> apply) {
    apply(state_.names, state_.data);
    Change p{.inode = inode, .dirs = {}, .apply = std::move(apply)};
    for (const std::string& path : paths) {
      const std::string d = parent_dir(path);
      p.dirs.insert(d.empty() ? "." : d);
    }
    state_.pending.push_back(std::move(p));
  }

  struct Rule {
    std::uint64_t n = 0;  // 0: no rule
    int errnum = 0;
    bool and_after = false;
  };
  struct PerOp {
    Rule rule;
    std::uint64_t count = 0;
    std::string last_path;
  };

  State state_;
  std::array<PerOp, 8> ops_{};
  std::vector<Step> trace_;
  std::uint64_t crash_at_ = 0;
  bool crashed_ = false;
  std::uint64_t epoch_ = 0;  // bumped at each restart, so that handles of the dead process die
  std::size_t tear_size_ = 0;
};

}  // namespace drelix
