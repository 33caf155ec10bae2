// A test-only Env that keeps every file in memory and simulates what a process crash and a power
// loss leave behind, so that crash-safety can be checked at every step of an operation instead
// of at the few places a hand-written test thinks of.
//
// The model. Each file (an inode) has the bytes the operating system holds now and the bytes on
// stable storage as of its last completed File::sync. Each path names an inode in the live
// namespace, and in a durable namespace as of the last sync_dir of its directory. Every write,
// truncate, create, rename and unlink changes the live state at once and is also remembered as
// pending until a sync (of that file) or a sync_dir (of the directory holding the entry) makes it
// durable.
//
// Steps. Every call that changes or hardens state counts as one step: create_exclusive,
// create_truncate, write_all_at, truncate, rename, unlink, File::sync and sync_dir (syncs count
// so that a crash just before a sync is one of the enumerated cuts). Reads, opens for reading,
// length and permissions are not steps.
//
//   SimEnv sim;
//   ScopedEnv installed(sim);
//   ... set up a file ...; sim.make_durable(); const auto start = sim.snapshot();
//   sim.reset_steps(); run(); const auto total = sim.steps();     // the dry run
//   for (n = 1; n <= total; ++n) {
//     sim.restore(start); sim.reset_steps(); sim.crash_at(n);
//     run();                         // step n and every call after it fail with EIO
//     sim.restart();                 // the process is gone; the OS kept steps 1..n-1
//     for (const auto& keep : SimEnv::loss_choices(sim.pending_count())) {
//       ... copy the env state, sim.power_loss(keep), recover and check ...
//     }
//   }
//
// Simplifications, chosen because the engine does not depend on them: directories exist
// implicitly (any directory can hold files and be synchronised); a rename is durable once every
// directory it touches has been synchronised, and renames across directories are applied in
// the order their second directory is synchronised; permission bits are kept per inode but are
// neither steps nor lost by a power loss; the umask is 022.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"
#include "core/file.h"
#include "core/str_cat.h"

namespace drelix {

class SimEnv final : public Env {
 public:
  enum class Op { Create, Write, Truncate, Rename, Unlink, Sync, SyncDir };

  // One step as performed (or refused, when it was the crash point): what the tests print when
  // a cut fails, so that the failing scenario can be read off the message.
  struct Step {
    Op op;
    std::string path;          // the file's path when opened, or the named path
    std::uint64_t offset = 0;  // Write: position; Truncate: new length
    std::uint64_t length = 0;  // Write: byte count
  };

  // The whole simulated disk. Plain values: copying it is a snapshot.
  struct State {
    struct Inode {
      Bytes data;     // what the operating system holds
      Bytes durable;  // what is on stable storage
      std::uint32_t mode = 0644;
    };
    // A change not yet on stable storage.
    struct Pending {
      enum class Kind { Write, Truncate, Link, Rename, Unlink };
      Kind kind;
      std::uint64_t inode = 0;  // Write, Truncate: the file; Link: the new file
      std::uint64_t offset = 0;
      Bytes bytes{};                          // Write
      std::string path{};                     // Link, Unlink: the entry; Rename: the source
      std::string to{};                       // Rename: the target
      std::set<std::string> unsynced_dirs{};  // directory operations: dirs still to be synced
    };
    std::map<std::uint64_t, Inode> inodes;
    std::map<std::string, std::uint64_t> names;
    std::map<std::string, std::uint64_t> durable_names;
    std::vector<Pending> pending;
    std::uint64_t next_inode = 1;
  };

  SimEnv() = default;
  SimEnv(const SimEnv&) = delete;
  SimEnv& operator=(const SimEnv&) = delete;

  // --- Setting up and looking at the disk -------------------------------------------------

  // Puts `bytes` at `path` (replacing any file there) as durable content with a durable entry:
  // a file that was there before the scenario started. Not a step.
  void put_durable(const std::string& path, ByteView bytes) {
    const std::uint64_t id = state_.next_inode++;
    State::Inode& inode = state_.inodes[id];
    inode.data.assign(bytes.begin(), bytes.end());
    inode.durable = inode.data;
    state_.names[path] = id;
    state_.durable_names[path] = id;
  }

  // The bytes the operating system holds for `path` now, or nothing when no such entry.
  std::optional<Bytes> contents(const std::string& path) const {
    auto it = state_.names.find(path);
    if (it == state_.names.end()) return std::nullopt;
    return state_.inodes.at(it->second).data;
  }
  bool exists(const std::string& path) const { return state_.names.contains(path); }
  // The live paths, sorted.
  std::vector<std::string> paths() const {
    std::vector<std::string> out;
    for (const auto& [name, id] : state_.names) out.push_back(name);
    return out;
  }

  // Everything performed so far reaches stable storage: every file synced, every directory
  // synchronised. Not a step.
  void make_durable() {
    for (auto& [id, inode] : state_.inodes) inode.durable = inode.data;
    state_.durable_names = state_.names;
    state_.pending.clear();
  }

  State snapshot() const { return state_; }
  // Replaces the disk by `state`. Handles opened before are dead afterwards (the process that
  // held them is gone); the crash point and step count are kept.
  void restore(const State& state) {
    state_ = state;
    ++epoch_;
    crashed_ = false;
  }

  // --- Steps and crashes ------------------------------------------------------------------

  // Steps since construction or the last reset_steps(), the refused crash step included.
  std::uint64_t steps() const { return steps_; }
  // The steps of the same period, in order.
  const std::vector<Step>& trace() const { return trace_; }
  void reset_steps() {
    steps_ = 0;
    trace_.clear();
  }

  // Makes step `n` (1-based, counted from the last reset_steps()) and every call after it fail
  // with EIO, reads and opens included, as if the process had died just before step n. 0 turns
  // the crash off.
  void crash_at(std::uint64_t n) { crash_at_ = n; }
  bool crashed() const { return crashed_; }

  // A new process on the same machine: the crash is over, handles of the dead process fail with
  // EIO, and the disk is as the operating system holds it (every step that was performed, the
  // unsynced ones still pending). Clears the crash point.
  void restart() {
    ++epoch_;
    crashed_ = false;
    crash_at_ = 0;
  }

  // --- Power loss ---------------------------------------------------------------------------

  // Changes performed but not yet durable, in the order they happened. A write counts once per
  // piece when a tear size is set.
  std::size_t pending_count() const { return state_.pending.size(); }

  // Splits each later write into pieces of at most `bytes` bytes (0: whole writes) that a power
  // loss keeps or loses independently, as a disk that writes sector by sector would.
  void set_tear_size(std::size_t bytes) { tear_size_ = bytes; }

  // The machine loses power and comes back: every file returns to its durable bytes and the
  // namespace to its durable entries, then the pending changes with keep[i] true are applied in
  // their original order (a change whose entry no longer exists does nothing); files no entry
  // names are gone. Afterwards everything is durable and the process has restarted.
  // `keep` must have pending_count() elements.
  void power_loss(const std::vector<bool>& keep) {
    std::map<std::string, std::uint64_t> names = state_.durable_names;
    std::map<std::uint64_t, Bytes> data;
    for (const auto& [id, inode] : state_.inodes) data[id] = inode.durable;
    for (std::size_t i = 0; i < state_.pending.size(); ++i) {
      if (i < keep.size() && keep[i]) apply(state_.pending[i], names, data);
    }
    std::set<std::uint64_t> alive;
    for (const auto& [name, id] : names) alive.insert(id);
    std::map<std::uint64_t, State::Inode> inodes;
    for (std::uint64_t id : alive) {
      State::Inode inode = state_.inodes.at(id);
      inode.data = std::move(data.at(id));
      inode.durable = inode.data;
      inodes[id] = std::move(inode);
    }
    state_.inodes = std::move(inodes);
    state_.names = names;
    state_.durable_names = std::move(names);
    state_.pending.clear();
    restart();
  }

  // The keep-masks a test tries for `n` pending changes: all 2^n when n <= 10; otherwise keep
  // nothing, keep everything, every prefix, every "all but one", every "only one", and `random`
  // masks from a fixed seed. Deterministic, without duplicates.
  static std::vector<std::vector<bool>> loss_choices(std::size_t n, std::size_t random = 32,
                                                     std::uint64_t seed = 20240229) {
    std::vector<std::vector<bool>> out;
    if (n <= 10) {
      for (std::uint64_t bits = 0; bits < (std::uint64_t{1} << n); ++bits) {
        std::vector<bool> keep(n);
        for (std::size_t i = 0; i < n; ++i) keep[i] = (bits >> i) & 1;
        out.push_back(std::move(keep));
      }
      return out;
    }
    std::set<std::vector<bool>> seen;
    auto add = [&](std::vector<bool> keep) {
      if (seen.insert(keep).second) out.push_back(std::move(keep));
    };
    for (std::size_t len = 0; len <= n; ++len) {
      std::vector<bool> keep(n, false);
      std::fill(keep.begin(), keep.begin() + static_cast<std::ptrdiff_t>(len), true);
      add(std::move(keep));
    }
    for (std::size_t i = 0; i < n; ++i) {
      std::vector<bool> all_but(n, true);
      all_but[i] = false;
      add(std::move(all_but));
      std::vector<bool> only(n, false);
      only[i] = true;
      add(std::move(only));
    }
    std::mt19937_64 rng(seed);
    for (std::size_t r = 0; r < random; ++r) {
      std::vector<bool> keep(n);
      for (std::size_t i = 0; i < n; ++i) keep[i] = (rng() & 1) != 0;
      add(std::move(keep));
    }
    return out;
  }

  // Text for a failure message: "step 7: write /d/f.seal at 0, 4200 bytes".
  std::string describe(std::uint64_t n) const {
    if (n == 0 || n > trace_.size()) return str_cat("step ", n, ": (none)");
    const Step& s = trace_[n - 1];
    static constexpr const char* kNames[] = {"create", "write", "truncate", "rename",
                                             "unlink", "sync",  "sync_dir"};
    std::string out = str_cat("step ", n, ": ", kNames[static_cast<int>(s.op)], " ", s.path);
    if (s.op == Op::Write) out += str_cat(" at ", s.offset, ", ", s.length, " bytes");
    if (s.op == Op::Truncate) out += str_cat(" to ", s.offset);
    return out;
  }

  // --- Env ----------------------------------------------------------------------------------

  Result<FilePtr> open_read(const std::string& path) override {
    if (crashed_) return fail(Error::io_at(path, EIO));
    return open_existing(path, false);
  }
  Result<FilePtr> open_read_write(const std::string& path) override {
    if (crashed_) return fail(Error::io_at(path, EIO));
    return open_existing(path, true);
  }
  Result<FilePtr> create_exclusive(const std::string& path, std::uint32_t mode) override {
    if (!step({Op::Create, path})) return fail(Error::io_at(path, EIO));
    if (state_.names.contains(path)) return fail(Error::io_at(path, EEXIST));
    return link_new(path, mode);
  }
  Result<FilePtr> create_truncate(const std::string& path, std::uint32_t mode) override {
    if (!step({Op::Create, path})) return fail(Error::io_at(path, EIO));
    auto it = state_.names.find(path);
    if (it == state_.names.end()) return link_new(path, mode);
    truncate_inode(it->second, 0);
    return FilePtr(std::make_unique<SimFile>(*this, it->second, path, true));
  }
  Status rename(const std::string& from, const std::string& to) override {
    if (!step({Op::Rename, from})) return fail(Error::io_at(from, EIO));
    auto it = state_.names.find(from);
    if (it == state_.names.end()) return fail(Error::io_at(from, ENOENT));
    const std::uint64_t id = it->second;
    if (from == to) return {};
    state_.names.erase(it);
    state_.names[to] = id;
    State::Pending p{.kind = State::Pending::Kind::Rename, .path = from, .to = to};
    p.unsynced_dirs = {dir_of(from), dir_of(to)};
    state_.pending.push_back(std::move(p));
    return {};
  }
  Status unlink(const std::string& path) override {
    if (!step({Op::Unlink, path})) return fail(Error::io_at(path, EIO));
    auto it = state_.names.find(path);
    if (it == state_.names.end()) return fail(Error::io_at(path, ENOENT));
    state_.names.erase(it);
    State::Pending p{.kind = State::Pending::Kind::Unlink, .path = path};
    p.unsynced_dirs = {dir_of(path)};
    state_.pending.push_back(std::move(p));
    return {};
  }
  Status sync_dir(const std::string& dir) override {
    if (!step({Op::SyncDir, dir})) return fail(Error::io_at(dir, EIO));
    const std::string d = dir == "." ? std::string() : dir;
    // Entries of this directory become durable; an operation spanning two directories waits
    // for the other one as well.
    std::vector<State::Pending> still;
    for (State::Pending& p : state_.pending) {
      if (p.kind == State::Pending::Kind::Write || p.kind == State::Pending::Kind::Truncate) {
        still.push_back(std::move(p));
        continue;
      }
      p.unsynced_dirs.erase(d);
      if (!p.unsynced_dirs.empty()) {
        still.push_back(std::move(p));
        continue;
      }
      apply_entry(p, state_.durable_names);
    }
    state_.pending = std::move(still);
    return {};
  }

 private:
  class SimFile final : public File {
   public:
    SimFile(SimEnv& owner, std::uint64_t inode, std::string path, bool writable)
        : owner_(owner),
          inode_(inode),
          path_(std::move(path)),
          writable_(writable),
          epoch_(owner.epoch_) {}

    Status read_exact_at(std::uint64_t offset, std::span<std::uint8_t> buf) override {
      if (!alive()) return fail(Error::io(EIO));
      const Bytes& data = owner_.state_.inodes.at(inode_).data;
      if (offset > data.size() || buf.size() > data.size() - offset) {
        return fail(Error::io_eof());
      }
      std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(offset), buf.size(), buf.begin());
      return {};
    }
    Result<std::size_t> read_at(std::uint64_t offset, std::span<std::uint8_t> buf) override {
      if (!alive()) return fail(Error::io(EIO));
      const Bytes& data = owner_.state_.inodes.at(inode_).data;
      if (offset >= data.size()) return std::size_t{0};
      const std::size_t n =
          static_cast<std::size_t>(std::min<std::uint64_t>(buf.size(), data.size() - offset));
      std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(offset), n, buf.begin());
      return n;
    }
    Status write_all_at(std::uint64_t offset, ByteView bytes) override {
      if (!alive() || !owner_.step({Op::Write, path_, offset, bytes.size()})) {
        return fail(Error::io(EIO));
      }
      if (!writable_) return fail(Error::io(EBADF));
      if (offset > kMaxSimOffset || bytes.size() > kMaxSimOffset - offset) {
        return fail(Error::io(EFBIG));
      }
      owner_.write_inode(inode_, offset, bytes);
      return {};
    }
    Result<std::uint64_t> length() override {
      if (!alive()) return fail(Error::io(EIO));
      return owner_.state_.inodes.at(inode_).data.size();
    }
    Status truncate(std::uint64_t length) override {
      if (!alive() || !owner_.step({Op::Truncate, path_, length})) return fail(Error::io(EIO));
      if (!writable_) return fail(Error::io(EINVAL));
      if (length > kMaxSimOffset) return fail(Error::io(EFBIG));
      owner_.truncate_inode(inode_, length);
      return {};
    }
    Status sync() override {
      if (!alive() || !owner_.step({Op::Sync, path_})) return fail(Error::io(EIO));
      owner_.sync_inode(inode_);
      return {};
    }
    Result<std::uint32_t> permissions() override {
      if (!alive()) return fail(Error::io(EIO));
      return owner_.state_.inodes.at(inode_).mode;
    }
    Status set_permissions(std::uint32_t mode) override {
      if (!alive()) return fail(Error::io(EIO));
      owner_.state_.inodes.at(inode_).mode = mode & 07777;
      return {};
    }

   private:
    // A handle of a process that crashed or a disk that was replaced is dead.
    bool alive() const {
      return epoch_ == owner_.epoch_ && !owner_.crashed_ && owner_.state_.inodes.contains(inode_);
    }

    SimEnv& owner_;
    std::uint64_t inode_;
    std::string path_;
    bool writable_;
    std::uint64_t epoch_;
  };

  // Files larger than this are refused with EFBIG rather than allocated: a test that writes at
  // a wild offset should fail, not exhaust memory.
  static constexpr std::uint64_t kMaxSimOffset = std::uint64_t{1} << 30;

  static std::string dir_of(const std::string& path) {
    const std::string d = parent_dir(path);
    return d == "." ? std::string() : d;
  }

  // Counts one step; false when the process is (now) dead and the step must not happen.
  bool step(Step s) {
    if (crashed_) return false;
    ++steps_;
    trace_.push_back(std::move(s));
    if (crash_at_ != 0 && steps_ >= crash_at_) {
      crashed_ = true;
      return false;
    }
    return true;
  }

  Result<FilePtr> open_existing(const std::string& path, bool writable) {
    auto it = state_.names.find(path);
    if (it == state_.names.end()) return fail(Error::io_at(path, ENOENT));
    return FilePtr(std::make_unique<SimFile>(*this, it->second, path, writable));
  }

  Result<FilePtr> link_new(const std::string& path, std::uint32_t mode) {
    const std::uint64_t id = state_.next_inode++;
    state_.inodes[id].mode = mode & 07777 & ~std::uint32_t{022};
    state_.names[path] = id;
    State::Pending p{.kind = State::Pending::Kind::Link, .inode = id, .path = path};
    p.unsynced_dirs = {dir_of(path)};
    state_.pending.push_back(std::move(p));
    return FilePtr(std::make_unique<SimFile>(*this, id, path, true));
  }

  static void write_bytes(Bytes& data, std::uint64_t offset, ByteView bytes) {
    const std::size_t at = static_cast<std::size_t>(offset);
    if (data.size() < at + bytes.size()) data.resize(at + bytes.size(), 0);
    std::copy(bytes.begin(), bytes.end(), data.begin() + static_cast<std::ptrdiff_t>(at));
  }

  void write_inode(std::uint64_t id, std::uint64_t offset, ByteView bytes) {
    write_bytes(state_.inodes.at(id).data, offset, bytes);
    const std::size_t piece = tear_size_ == 0 ? bytes.size() : tear_size_;
    for (std::size_t done = 0; done < bytes.size(); done += piece) {
      const ByteView part = bytes.subspan(done, std::min(piece, bytes.size() - done));
      state_.pending.push_back(State::Pending{.kind = State::Pending::Kind::Write,
                                              .inode = id,
                                              .offset = offset + done,
                                              .bytes = Bytes(part.begin(), part.end())});
    }
  }

  void truncate_inode(std::uint64_t id, std::uint64_t length) {
    state_.inodes.at(id).data.resize(static_cast<std::size_t>(length), 0);
    state_.pending.push_back(
        State::Pending{.kind = State::Pending::Kind::Truncate, .inode = id, .offset = length});
  }

  // Full synchronisation of one file: its bytes become durable. Its directory entry does not
  // (that takes a sync_dir).
  void sync_inode(std::uint64_t id) {
    State::Inode& inode = state_.inodes.at(id);
    inode.durable = inode.data;
    std::erase_if(state_.pending, [id](const State::Pending& p) {
      return (p.kind == State::Pending::Kind::Write || p.kind == State::Pending::Kind::Truncate) &&
             p.inode == id;
    });
  }

  // Applies a directory operation to a namespace.
  static void apply_entry(const State::Pending& p, std::map<std::string, std::uint64_t>& names) {
    using Kind = State::Pending::Kind;
    if (p.kind == Kind::Link) {
      names[p.path] = p.inode;
    } else if (p.kind == Kind::Unlink) {
      names.erase(p.path);
    } else if (p.kind == Kind::Rename) {
      auto it = names.find(p.path);
      if (it == names.end()) return;
      const std::uint64_t id = it->second;
      names.erase(it);
      names[p.to] = id;
    }
  }

  static void apply(const State::Pending& p, std::map<std::string, std::uint64_t>& names,
                    std::map<std::uint64_t, Bytes>& data) {
    using Kind = State::Pending::Kind;
    if (p.kind == Kind::Write) {
      write_bytes(data.at(p.inode), p.offset, p.bytes);
    } else if (p.kind == Kind::Truncate) {
      data.at(p.inode).resize(static_cast<std::size_t>(p.offset), 0);
    } else {
      apply_entry(p, names);
    }
  }

  State state_;
  std::uint64_t steps_ = 0;
  std::vector<Step> trace_;
  std::uint64_t crash_at_ = 0;
  bool crashed_ = false;
  // Bumped whenever the process "restarts", so that handles of the dead one stop working.
  std::uint64_t epoch_ = 0;
  std::size_t tear_size_ = 0;
};

}  // namespace drelix
