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
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
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
  // Open: every way to open or create a file; Read: read_exact_at and read_at.
  enum class Op { Open, Read, Write, Truncate, Sync, Rename, Unlink, SyncDir };

  struct Step {
    Op op;
    std::string path;          // the file's path when opened, or the named path
    std::uint64_t offset = 0;  // Write: position; Truncate: new length
    std::uint64_t length = 0;  // Write: byte count
  };

  // The whole simulated disk. Plain values: copying it is a snapshot.
  struct State {
    struct Inode {
      Bytes data, durable;
      std::uint32_t mode = 0644;
    };
    // A change not yet on stable storage.
    struct Pending {
      enum class Kind { Write, Truncate, Link, Rename, Unlink } kind;
      std::uint64_t inode = 0;  // Write, Truncate: the file; Link: the new file
      std::uint64_t offset = 0;
      Bytes bytes{};
      std::string path{}, to{};               // the entry (Rename: source and target)
      std::set<std::string> unsynced_dirs{};  // entry changes: the directories still to sync
      bool entry() const { return kind != Kind::Write && kind != Kind::Truncate; }
    };
    std::map<std::uint64_t, Inode> inodes;
    std::map<std::string, std::uint64_t> names, durable_names;
    std::vector<Pending> pending;
    std::uint64_t next_inode = 1;
  };

  SimEnv() = default;
  SimEnv(const SimEnv&) = delete;
  SimEnv& operator=(const SimEnv&) = delete;

  // --- Faults: counted per kind since construction or reset(), failed calls included ---------

  // The nth call of `op` fails with `errnum` and does nothing; with `and_after`, so does every
  // later one (a full disk, say). Replaces any earlier rule for `op`.
  void fail_nth(Op op, std::uint64_t n, int errnum, bool and_after = false) {
    rules_[at(op)] = Rule{n, errnum, and_after};
  }
  void fail_from_next(Op op, int errnum) { fail_nth(op, count(op) + 1, errnum, true); }
  void clear(Op op) { rules_[at(op)] = Rule{}; }
  std::uint64_t count(Op op) const { return counts_[at(op)]; }
  // The path of the latest call of `op` (for a File call, the path it was opened by).
  const std::string& last_path(Op op) const { return last_paths_[at(op)]; }
  // Forgets rules, counts, last paths, steps and the trace; keeps the disk and any crash point.
  void reset() {
    rules_ = {};
    counts_ = {};
    last_paths_ = {};
    trace_.clear();
  }

  // --- The disk, behind the engine's back (neither counted nor steps) -----------------------

  // `bytes` at `path`, durably (into the inode already there, so open handles see them).
  void put(const std::string& path, ByteView bytes, std::optional<std::uint32_t> mode = {}) {
    auto [it, fresh] = state_.names.try_emplace(path, state_.next_inode);
    if (fresh) ++state_.next_inode;
    State::Inode& inode = state_.inodes[it->second];
    inode.data.assign(bytes.begin(), bytes.end());
    inode.durable = inode.data;
    if (mode) inode.mode = *mode;
    state_.durable_names[path] = it->second;
  }
  std::optional<Bytes> contents(const std::string& path) const {
    auto it = state_.names.find(path);
    if (it == state_.names.end()) return std::nullopt;
    return state_.inodes.at(it->second).data;
  }
  bool exists(const std::string& path) const { return state_.names.contains(path); }
  std::uint32_t mode(const std::string& path) const {
    return state_.inodes.at(state_.names.at(path)).mode;
  }
  // Removes the entry, durably.
  void erase(const std::string& path) {
    state_.names.erase(path);
    state_.durable_names.erase(path);
  }
  // Everything performed so far reaches stable storage.
  void make_durable() {
    for (auto& [id, inode] : state_.inodes) inode.durable = inode.data;
    state_.durable_names = state_.names;
    state_.pending.clear();
  }
  State snapshot() const { return state_; }
  // Replaces the disk; handles opened before are dead. The crash point and counts are kept.
  void restore(const State& state) {
    state_ = state;
    ++epoch_;
    crashed_ = false;
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
  // Changes performed but not yet durable; a write counts once per piece when torn.
  std::size_t pending_count() const { return state_.pending.size(); }
  // Splits each later write into pieces of at most `bytes` (0: whole) that a power loss keeps
  // or loses independently, as a disk writing sector by sector would.
  void set_tear_size(std::size_t bytes) { tear_size_ = bytes; }

  // Power comes back: the durable state, plus the pending changes with keep[i] true applied in
  // their order (an entry change whose source is gone does nothing); unnamed files are gone.
  // Everything is durable afterwards and the process has restarted.
  void power_loss(const std::vector<bool>& keep) {
    auto names = state_.durable_names;
    std::map<std::uint64_t, Bytes> data;
    for (const auto& [id, inode] : state_.inodes) data[id] = inode.durable;
    for (std::size_t i = 0; i < state_.pending.size(); ++i) {
      const State::Pending& p = state_.pending[i];
      if (i >= keep.size() || !keep[i]) continue;
      if (p.entry()) {
        apply_entry(p, names);
      } else if (p.kind == State::Pending::Kind::Write) {
        write_bytes(data.at(p.inode), p.offset, p.bytes);
      } else {
        data.at(p.inode).resize(static_cast<std::size_t>(p.offset), 0);
      }
    }
    std::map<std::uint64_t, State::Inode> inodes;
    for (const auto& [name, id] : names) {
      State::Inode inode = state_.inodes.at(id);
      inode.data = inode.durable = data.at(id);
      inodes[id] = std::move(inode);
    }
    state_.inodes = std::move(inodes);
    state_.names = state_.durable_names = std::move(names);
    state_.pending.clear();
    restart();
  }

  // The keep-masks to try for `n` pending changes: all 2^n when n <= 10; otherwise every prefix,
  // every "all but one" and "only one", and `random` masks of a fixed seed. No duplicates.
  static std::vector<std::vector<bool>> loss_choices(std::size_t n, std::size_t random = 32,
                                                     std::uint64_t seed = 20240229) {
    std::vector<std::vector<bool>> out;
    std::set<std::vector<bool>> seen;
    auto add = [&](std::vector<bool> keep) {
      if (seen.insert(keep).second) out.push_back(std::move(keep));
    };
    auto mask = [n](auto bit) {
      std::vector<bool> keep(n);
      for (std::size_t i = 0; i < n; ++i) keep[i] = bit(i);
      return keep;
    };
    if (n <= 10) {
      for (std::uint64_t bits = 0; bits < (std::uint64_t{1} << n); ++bits) {
        add(mask([bits](std::size_t i) { return ((bits >> i) & 1) != 0; }));
      }
      return out;
    }
    for (std::size_t len = 0; len <= n; ++len) add(mask([len](std::size_t i) { return i < len; }));
    for (std::size_t j = 0; j < n; ++j) {
      add(mask([j](std::size_t i) { return i != j; }));
      add(mask([j](std::size_t i) { return i == j; }));
    }
    std::mt19937_64 rng(seed);
    for (std::size_t r = 0; r < random; ++r) add(mask([&rng](std::size_t) { return rng() & 1; }));
    return out;
  }

  // Text for a failure message: "step 7: write /d/f.seal at 0, 4200 bytes".
  std::string describe(std::uint64_t n) const {
    if (n == 0 || n > trace_.size()) return str_cat("step ", n, ": (none)");
    const Step& s = trace_[n - 1];
    static constexpr const char* kNames[] = {"create", "read",   "write",  "truncate",
                                             "sync",   "rename", "unlink", "sync_dir"};
    std::string out = str_cat("step ", n, ": ", kNames[at(s.op)], " ", s.path);
    if (s.op == Op::Write) out += str_cat(" at ", s.offset, ", ", s.length, " bytes");
    if (s.op == Op::Truncate) out += str_cat(" to ", s.offset);
    return out;
  }

  // --- Env ----------------------------------------------------------------------------------

  Result<FilePtr> open_read(const std::string& path) override { return open(path, 'r', 0); }
  Result<FilePtr> open_read_write(const std::string& path) override { return open(path, 'w', 0); }
  Result<FilePtr> create_exclusive(const std::string& path, std::uint32_t mode) override {
    return open(path, 'x', mode);
  }
  Result<FilePtr> create_truncate(const std::string& path, std::uint32_t mode) override {
    return open(path, 't', mode);
  }
  Status rename(const std::string& from, const std::string& to) override {
    if (int e = gate(Op::Rename, from, true)) return fail(Error::io_at(from, e));
    auto it = state_.names.find(from);
    if (it == state_.names.end()) return fail(Error::io_at(from, ENOENT));
    if (from == to) return {};
    const std::uint64_t id = it->second;
    state_.names.erase(it);
    state_.names[to] = id;
    push_entry({.kind = State::Pending::Kind::Rename, .path = from, .to = to});
    return {};
  }
  Status unlink(const std::string& path) override {
    if (int e = gate(Op::Unlink, path, true)) return fail(Error::io_at(path, e));
    if (state_.names.erase(path) == 0) return fail(Error::io_at(path, ENOENT));
    push_entry({.kind = State::Pending::Kind::Unlink, .path = path});
    return {};
  }
  // Entry changes of this directory become durable; one spanning two directories waits for the
  // other as well.
  Status sync_dir(const std::string& dir) override {
    if (int e = gate(Op::SyncDir, dir, true)) return fail(Error::io_at(dir, e));
    std::vector<State::Pending> still;
    for (State::Pending& p : state_.pending) {
      if (p.entry()) p.unsynced_dirs.erase(dir == "." ? std::string() : dir);
      if (!p.entry() || !p.unsynced_dirs.empty()) {
        still.push_back(std::move(p));
      } else {
        apply_entry(p, state_.durable_names);
      }
    }
    state_.pending = std::move(still);
    return {};
  }

 private:
  class SimFile final : public File {
   public:
    SimFile(SimEnv& owner, std::uint64_t inode, std::string path, bool writable)
        : owner_(owner), inode_(inode), path_(std::move(path)), writable_(writable) {}

    Status read_exact_at(std::uint64_t offset, std::span<std::uint8_t> buf) override {
      auto n = read_at(offset, buf);
      if (!n) return fail(std::move(n).error());
      if (*n < buf.size()) return fail(Error::io_eof());
      return {};
    }
    Result<std::size_t> read_at(std::uint64_t offset, std::span<std::uint8_t> buf) override {
      if (int e = gate(Op::Read)) return fail(Error::io(e));
      const Bytes& data = inode().data;
      if (offset >= data.size()) return std::size_t{0};
      const auto n =
          static_cast<std::size_t>(std::min<std::uint64_t>(buf.size(), data.size() - offset));
      std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(offset), n, buf.begin());
      return n;
    }
    Status write_all_at(std::uint64_t offset, ByteView bytes) override {
      if (int e = gate(Op::Write, offset, bytes.size())) return fail(Error::io(e));
      if (!writable_) return fail(Error::io(EBADF));
      if (offset > kMaxOffset || bytes.size() > kMaxOffset - offset) return fail(Error::io(EFBIG));
      write_bytes(inode().data, offset, bytes);
      const std::size_t piece = owner_.tear_size_ == 0 ? bytes.size() : owner_.tear_size_;
      for (std::size_t done = 0; done < bytes.size(); done += piece) {
        const ByteView part = bytes.subspan(done, std::min(piece, bytes.size() - done));
        owner_.state_.pending.push_back({.kind = State::Pending::Kind::Write,
                                         .inode = inode_,
                                         .offset = offset + done,
                                         .bytes = Bytes(part.begin(), part.end())});
      }
      return {};
    }
    Result<std::uint64_t> length() override {
      if (!alive()) return fail(Error::io(EIO));
      return inode().data.size();
    }
    Status truncate(std::uint64_t length) override {
      if (int e = gate(Op::Truncate, length)) return fail(Error::io(e));
      if (!writable_) return fail(Error::io(EINVAL));
      if (length > kMaxOffset) return fail(Error::io(EFBIG));
      owner_.truncate_inode(inode_, length);
      return {};
    }
    // The file's bytes become durable; its directory entry does not (that takes a sync_dir).
    Status sync() override {
      if (int e = gate(Op::Sync)) return fail(Error::io(e));
      inode().durable = inode().data;
      std::erase_if(owner_.state_.pending,
                    [this](const State::Pending& p) { return !p.entry() && p.inode == inode_; });
      return {};
    }
    Result<std::uint32_t> permissions() override {
      if (!alive()) return fail(Error::io(EIO));
      return inode().mode;
    }
    Status set_permissions(std::uint32_t mode) override {
      if (!alive()) return fail(Error::io(EIO));
      inode().mode = mode & 07777;
      return {};
    }

   private:
    // A handle of a process that crashed, or of a disk that was replaced, is dead.
    bool alive() const {
      return epoch_ == owner_.epoch_ && !owner_.crashed_ && owner_.state_.inodes.contains(inode_);
    }
    int gate(Op op, std::uint64_t offset = 0, std::uint64_t length = 0) {
      return alive() ? owner_.gate(op, path_, op != Op::Read, offset, length) : EIO;
    }
    State::Inode& inode() { return owner_.state_.inodes.at(inode_); }

    SimEnv& owner_;
    std::uint64_t inode_;
    std::string path_;
    bool writable_;
    std::uint64_t epoch_ = owner_.epoch_;
  };

  struct Rule {
    std::uint64_t n = 0;  // 0: no rule
    int errnum = 0;
    bool and_after = false;
  };

  // A test that writes at a wild offset should fail, not exhaust memory.
  static constexpr std::uint64_t kMaxOffset = std::uint64_t{1} << 30;

  static constexpr std::size_t at(Op op) { return static_cast<std::size_t>(op); }

  // Counts a call and applies the fault rule, then the crash: the errno the call fails with, or
  // 0 to go ahead. A step is traced, the one the crash refuses included.
  int gate(Op op, const std::string& path, bool step, std::uint64_t offset = 0,
           std::uint64_t length = 0) {
    last_paths_[at(op)] = path;
    const std::uint64_t n = ++counts_[at(op)];
    const Rule& r = rules_[at(op)];
    if (r.n != 0 && (n == r.n || (r.and_after && n > r.n))) return r.errnum;
    if (crashed_) return EIO;
    if (!step) return 0;
    trace_.push_back(Step{op, path, offset, length});
    crashed_ = crash_at_ != 0 && trace_.size() >= crash_at_;
    return crashed_ ? EIO : 0;
  }

  // how: 'r' read, 'w' read-write, 'x' create exclusive, 't' create or truncate.
  Result<FilePtr> open(const std::string& path, char how, std::uint32_t mode) {
    const bool creates = how == 'x' || how == 't';
    if (int e = gate(Op::Open, path, creates)) return fail(Error::io_at(path, e));
    auto it = state_.names.find(path);
    std::uint64_t id = 0;
    if (it != state_.names.end()) {
      if (how == 'x') return fail(Error::io_at(path, EEXIST));
      id = it->second;
      if (how == 't') truncate_inode(id, 0);
    } else {
      if (!creates) return fail(Error::io_at(path, ENOENT));
      id = state_.next_inode++;
      state_.inodes[id].mode = mode & 07777 & ~std::uint32_t{022};
      state_.names[path] = id;
      push_entry({.kind = State::Pending::Kind::Link, .inode = id, .path = path});
    }
    return FilePtr(std::make_unique<SimFile>(*this, id, path, how != 'r'));
  }

  void push_entry(State::Pending p) {
    for (const std::string* name : {&p.path, &p.to}) {
      if (name->empty()) continue;
      const std::string d = parent_dir(*name);
      p.unsynced_dirs.insert(d == "." ? std::string() : d);
    }
    state_.pending.push_back(std::move(p));
  }

  static void write_bytes(Bytes& data, std::uint64_t offset, ByteView bytes) {
    const auto end = static_cast<std::size_t>(offset) + bytes.size();
    if (data.size() < end) data.resize(end, 0);
    std::copy(bytes.begin(), bytes.end(), data.begin() + static_cast<std::ptrdiff_t>(offset));
  }

  void truncate_inode(std::uint64_t id, std::uint64_t length) {
    state_.inodes.at(id).data.resize(static_cast<std::size_t>(length), 0);
    state_.pending.push_back(
        {.kind = State::Pending::Kind::Truncate, .inode = id, .offset = length});
  }

  static void apply_entry(const State::Pending& p, std::map<std::string, std::uint64_t>& names) {
    using Kind = State::Pending::Kind;
    if (p.kind == Kind::Link) names[p.path] = p.inode;
    if (p.kind == Kind::Unlink) names.erase(p.path);
    if (p.kind != Kind::Rename) return;
    auto it = names.find(p.path);
    if (it == names.end()) return;
    const std::uint64_t id = it->second;
    names.erase(it);
    names[p.to] = id;
  }

  State state_;
  std::array<Rule, 8> rules_{};
  std::array<std::uint64_t, 8> counts_{};
  std::array<std::string, 8> last_paths_{};
  std::vector<Step> trace_;
  std::uint64_t crash_at_ = 0;
  bool crashed_ = false;
  std::uint64_t epoch_ = 0;  // bumped at each restart, so that handles of the dead process die
  std::size_t tear_size_ = 0;
};

}  // namespace drelix
