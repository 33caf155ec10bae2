#!/usr/bin/env bash
# Installs whatever the build needs and is missing, then prepares .venv.
# Safe to run repeatedly: it only installs what is absent.
#
#   scripts/setup.sh [fuzz]
#
# With "fuzz", also the fuzzing compiler: clang 19 and its libFuzzer runtime, unless FUZZ_CXX
# names another clang (16 or later; Debian's default clang 14 cannot compile the engine).
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++ cmake ninja-build pkg-config make libzstd-dev libxxhash-dev libutf8proc-dev
          libgtest-dev python3-dev python3-venv python3-pip)
if [ "${1:-}" = fuzz ] && [ "${FUZZ_CXX:-clang++-19}" = clang++-19 ]; then
  packages+=(clang-19 libclang-rt-19-dev)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" </dev/null
fi

if [ ! -x .venv/bin/python ]; then
  echo "setup: creating .venv"
  python3 -m venv .venv
fi
stamp=.venv/.requirements-stamp
if [ ! -f "$stamp" ] || [ requirements-dev.txt -nt "$stamp" ]; then
  .venv/bin/python -m pip install -q --upgrade pip
  # cmake and ninja from PyPI keep the build independent of the system's versions.
  .venv/bin/python -m pip install -q -r requirements-dev.txt cmake ninja
  touch "$stamp"
fi
