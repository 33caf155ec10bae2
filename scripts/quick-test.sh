#!/usr/bin/env bash
# Builds and runs a subset of the engine tests without the full CMake build, for working on a
# few units at once: scripts/quick-test.sh OUT core/a.cc core/b.cc tests/core/a_test.cc [-- gtest args]
set -euo pipefail
cd "$(dirname "$0")/.."
out=$1; shift
srcs=()
while (($#)) && [ "$1" != "--" ]; do srcs+=("$1"); shift; done
[ "${1:-}" = "--" ] && shift
mkdir -p build/quick
san=${SANITIZE:+-fsanitize=address,undefined -fno-omit-frame-pointer}
g++ -std=c++23 -g -O1 -Wall -Wextra -Werror $san -I. "${srcs[@]}" \
  $(pkg-config --cflags --libs libzstd libxxhash libutf8proc gtest_main) -o "build/quick/$out"
"build/quick/$out" "$@"
