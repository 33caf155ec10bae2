// Shared by the fuzz targets: a scratch directory on a memory-backed file system, whole-file
// helpers that go through the engine's Env, and a check that turns a broken property into a
// crash libFuzzer can report and minimise.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"
#include "core/file.h"
#include "core/frames.h"

namespace drelix::fuzz {

// Checks a property of the code under test (not an input condition): a failure is a finding,
// reported as a crash that libFuzzer can minimise. The detail is built only on failure.
#define FUZZ_CHECK(cond, detail) \
  ((cond) ? void() : ::drelix::fuzz::property_failed(__FILE__, __LINE__, #cond, detail))
[[noreturn]] inline void property_failed(const char* file, int line, const char* cond,
                                         const std::string& detail) {
  std::fprintf(stderr, "%s:%d: property failed: %s\n  %s\n", file, line, cond, detail.c_str());
  std::abort();
}

// The error's display text, or "ok".
template <class R>
std::string outcome(const R& r) {
  return r.has_value() ? std::string("ok") : r.error().to_string();
}

// The process's scratch directory (on tmpfs when there is one: fast, and it wears no disk),
// made on first use and removed when the process exits normally.
inline const std::string& scratch_dir() {
  static const struct Dir {
    std::string path =
        std::string(::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/drelix-fuzz-XXXXXX";
    Dir() { FUZZ_CHECK(::mkdtemp(path.data()) != nullptr, path); }
    ~Dir() {
      std::error_code ignored;
      std::filesystem::remove_all(path, ignored);
    }
  } dir;
  return dir.path;
}

// Replaces the file at `path` with exactly `bytes`.
inline void put_file(const std::string& path, ByteView bytes) {
  auto file = create_replacing(path, 0644);
  FUZZ_CHECK(file && (*file)->write_all_at(0, bytes), path);
}

// The whole file, or nothing when it cannot be opened.
inline std::optional<Bytes> get_file(const std::string& path) {
  auto file = env().open_read(path);
  if (!file) return std::nullopt;
  Bytes bytes((*file)->length().value());
  FUZZ_CHECK((*file)->read_exact_at(0, bytes), path);
  return bytes;
}

// Frames may overlap, so a short zone can list one highly compressed run hundreds of times;
// targets that read every frame skip lists longer than this to keep each run quick.
inline bool within_budget(const std::vector<Frame>& frames) {
  std::uint64_t listed = 0;
  for (const Frame& f : frames) listed = sat_add(listed, f.len);
  return listed <= 16384;
}

}  // namespace drelix::fuzz
