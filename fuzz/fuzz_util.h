// Shared by the fuzz targets: a scratch directory on a memory-backed file system, whole-file
// helpers that go through the engine's Env, and a check that turns a broken property into a
// crash libFuzzer can report and minimise.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "core/bytes.h"
#include "core/error.h"
#include "core/file.h"

namespace drelix::fuzz {

[[noreturn]] inline void property_failed(const char* file, int line, const char* what,
                                         const std::string& detail) {
  std::fprintf(stderr, "%s:%d: property failed: %s\n  %s\n", file, line, what, detail.c_str());
  std::fflush(stderr);
  std::abort();
}

// Checks a property of the code under test (not an input condition): a failure is a finding.
#define FUZZ_CHECK(cond, detail)                                                       \
  do {                                                                                 \
    if (!(cond)) ::drelix::fuzz::property_failed(__FILE__, __LINE__, #cond, (detail)); \
  } while (false)

// The error's display text, or "ok".
template <class R>
std::string outcome(const R& r) {
  return r.has_value() ? std::string("ok") : r.error().to_string();
}

// Removes the scratch directory when the fuzzing process exits normally.
class ScratchDir {
 public:
  ScratchDir() {
    // Per-run file I/O goes to tmpfs when there is one: it is fast and wears no disk.
    const char* tmp = std::getenv("TMPDIR");
    std::string base = ::access("/dev/shm", W_OK) == 0    ? "/dev/shm"
                       : (tmp != nullptr && *tmp != '\0') ? tmp
                                                          : "/tmp";
    std::string pattern = base + "/drelix-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The process's scratch directory, made on first use.
inline const std::string& scratch_dir() {
  static ScratchDir dir;
  return dir.path();
}

// Replaces the file at `path` with exactly `bytes`.
inline void put_file(const std::string& path, ByteView bytes) {
  auto file = env().create_truncate(path, 0644);
  FUZZ_CHECK(file.has_value(), outcome(file));
  auto written = (*file)->write_all_at(0, bytes);
  FUZZ_CHECK(written.has_value(), outcome(written));
}

inline bool file_exists(const std::string& path) {
  return env().open_read(path).has_value();
}

// The whole file, or nothing when it cannot be opened.
inline std::optional<Bytes> get_file(const std::string& path) {
  auto file = env().open_read(path);
  if (!file) return std::nullopt;
  auto len = (*file)->length();
  FUZZ_CHECK(len.has_value(), outcome(len));
  Bytes bytes(static_cast<std::size_t>(*len));
  auto read = (*file)->read_exact_at(0, bytes);
  FUZZ_CHECK(read.has_value(), outcome(read));
  return bytes;
}

inline void remove_file(const std::string& path) {
  (void)env().unlink(path);
}

}  // namespace drelix::fuzz
