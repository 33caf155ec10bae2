#!/usr/bin/env bash
# Runs every fuzz target built by fuzz/build.sh for a bounded time and reports executions per
# target; exits non-zero when any target found a crash, a leak, a timeout or a broken property.
#
#   fuzz/run.sh SECONDS [target...]
#
# Each target starts from its seeds in fuzz/corpus/<target>/ and keeps what it discovers in
# build/fuzz/corpus/<target>/ (so longer runs build on earlier ones without touching the checked-in
# seeds); crash inputs go to build/fuzz/artifacts/.
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=${1:?usage: fuzz/run.sh SECONDS [target...]}
shift
out=build/fuzz
mkdir -p "$out/artifacts" "$out/logs"
[ -d fuzz/corpus ] || python3 fuzz/make_seeds.py

# Largest input per target: enough for a small file with a few frames, small enough that the
# worst zstd expansion (about 32768x for RLE blocks) stays far below the memory limit.
max_len() {
  case $1 in
    preamble) echo 64 ;;
    headers | schema | frames) echo 2048 ;;
    journal) echo 4096 ;;
    *) echo 4096 ;;
  esac
}

if (($#)); then targets=("$@"); else
  targets=()
  for src in fuzz/*_fuzz.cc; do t=$(basename "$src" _fuzz.cc); targets+=("$t"); done
fi

status=0
summary=()
for t in "${targets[@]}"; do
  bin="$out/${t}_fuzz"
  if [ ! -x "$bin" ]; then
    summary+=("$(printf '%-10s %12s  %s' "$t" "-" "NOT BUILT")")
    status=1
    continue
  fi
  mkdir -p "$out/corpus/$t"
  log="$out/logs/$t.log"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$bin" -max_total_time="$seconds" -rss_limit_mb=2048 -max_len="$(max_len "$t")" -timeout=60 \
    -print_final_stats=1 -artifact_prefix="$out/artifacts/$t-" \
    "$out/corpus/$t" "fuzz/corpus/$t" >"$log" 2>&1
  rc=$?
  execs=$(grep -m1 'stat::number_of_executed_units' "$log" | awk '{print $2}')
  cov=$(grep -E '^#[0-9]+.*cov:' "$log" | tail -1 | sed -E 's/.*cov: ([0-9]+).*/\1/')
  if [ $rc -eq 0 ]; then
    result="ok"
  else
    result="FAILED (exit $rc, see $log)"
    status=1
    grep -m3 -E 'ERROR|property failed|SUMMARY' "$log" | sed 's/^/    /' >&2
  fi
  summary+=("$(printf '%-10s %12s %8s  %s' "$t" "${execs:-?}" "${cov:-?}" "$result")")
done

echo
printf '%-10s %12s %8s  %s\n' target executions cov result
printf '%s\n' "${summary[@]}"
exit $status
