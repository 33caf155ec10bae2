#!/usr/bin/env bash
# Builds the libFuzzer targets fuzz/*_fuzz.cc into build/fuzz/, with AddressSanitizer and
# UndefinedBehaviorSanitizer, linking the engine sources directly.
#
#   fuzz/build.sh            # all targets
#   fuzz/build.sh headers    # only build/fuzz/headers_fuzz
#
# The engine needs <expected> with C++23 concepts, which the libstdc++ headers only enable for
# clang 16 and later; the default Debian clang (14) cannot compile it. The newest clang++-N on
# PATH that can is used (FUZZ_CXX overrides); when there is none and we are root on a Debian-like
# system, clang-19 and its fuzzer runtime are installed from the distribution.
set -euo pipefail
cd "$(dirname "$0")/.."

out=build/fuzz
mkdir -p "$out/obj"

probe_compiler() {
  local cxx=$1
  command -v "$cxx" >/dev/null 2>&1 || return 1
  printf '#include <expected>\nstd::expected<int, int> f() { return 1; }\n%s\n' \
    'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return f().value() - 1; }' \
    > "$out/probe.cc"
  "$cxx" -std=c++2b -fsanitize=fuzzer,address,undefined "$out/probe.cc" -o "$out/probe" \
    >/dev/null 2>&1
}

pick_compiler() {
  if [ -n "${FUZZ_CXX:-}" ]; then
    probe_compiler "$FUZZ_CXX" || { echo "fuzz: FUZZ_CXX=$FUZZ_CXX cannot build libFuzzer targets with <expected>" >&2; return 1; }
    echo "$FUZZ_CXX"; return 0
  fi
  local v
  for v in 21 20 19 18 17 16; do
    if probe_compiler "clang++-$v"; then echo "clang++-$v"; return 0; fi
  done
  if probe_compiler clang++; then echo clang++; return 0; fi
  return 1
}

if ! CXX=$(pick_compiler); then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "fuzz: no clang++ with C++23 <expected> and libFuzzer; installing clang-19" >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q clang-19 libclang-rt-19-dev >&2 ||
      { apt-get update -q >&2 && DEBIAN_FRONTEND=noninteractive apt-get install -y -q clang-19 libclang-rt-19-dev >&2; }
    CXX=$(pick_compiler) || { echo "fuzz: clang-19 installed but still unusable" >&2; exit 1; }
  else
    echo "fuzz: need clang++ 16 or later with the libFuzzer runtime (Debian: clang-19 libclang-rt-19-dev)" >&2
    exit 1
  fi
fi
echo "fuzz: compiler $CXX ($("$CXX" --version | head -1))"

san="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
flags="-std=c++2b -g -O1 -Wall -Wextra -Werror -I. $(pkg-config --cflags libzstd libxxhash libutf8proc)"
libs="$(pkg-config --libs libzstd libxxhash libutf8proc)"
jobs=$(nproc 2>/dev/null || echo 2)

# The engine, instrumented for coverage but without libFuzzer's main. An object is rebuilt when
# its source or any engine header is newer, or the compiler changed.
stamp="$out/obj/compiler"
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$CXX" ]; then
  rm -f "$out"/obj/*.o
  echo "$CXX" > "$stamp"
fi
newest_header=$(ls -t core/*.h fuzz/*.h | head -1)
objs=()
to_build=()
for src in core/*.cc; do
  obj="$out/obj/$(basename "${src%.cc}").o"
  objs+=("$obj")
  if [ ! -f "$obj" ] || [ "$src" -nt "$obj" ] || [ "$newest_header" -nt "$obj" ]; then
    to_build+=("$src")
  fi
done
if ((${#to_build[@]})); then
  printf '%s\n' "${to_build[@]}" | xargs -P "$jobs" -I{} sh -c \
    "$CXX $flags $san -fsanitize=fuzzer-no-link -c {} -o $out/obj/\$(basename {} .cc).o"
fi
rm -f "$out/libdrelix_fuzz.a"
ar rcs "$out/libdrelix_fuzz.a" "${objs[@]}"

targets=()
if (($#)); then
  for t in "$@"; do targets+=("fuzz/${t%_fuzz}_fuzz.cc"); done
else
  targets=(fuzz/*_fuzz.cc)
fi
printf '%s\n' "${targets[@]}" | xargs -P "$jobs" -I{} sh -c \
  "$CXX $flags $san -fsanitize=fuzzer {} $out/libdrelix_fuzz.a $libs -o $out/\$(basename {} .cc)"
for t in "${targets[@]}"; do echo "fuzz: built $out/$(basename "${t%.cc}")"; done
