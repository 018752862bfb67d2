#!/usr/bin/env bash
# Runs every libFuzzer target for the given time and prints, per target, the
# executions and the findings (crashes, leaks, timeouts, out-of-memory). Slow
# units (an input that took over 10 s, as a starved low-priority run can) are
# counted apart: replay them with the target to see whether they are slow.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]        (default: 60 s, every target)
#
# KEST_FUZZ_JOBS targets at a time (default 1); KEST_FUZZ_BUILD the build
# directory (default build-fuzz: clang, fuzzers on). Each target keeps a
# growing corpus in BUILD/fuzz-corpus/TARGET, seeded from its folder's
# corpus/, and leaves what it finds in BUILD/fuzz-findings/TARGET-*.
# Exit status 1 when anything was found.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
build=${KEST_FUZZ_BUILD:-build-fuzz}
jobs=${KEST_FUZZ_JOBS:-1}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DKEST_BUILD_FUZZERS=ON -DKEST_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" -j "${KEST_JOBS:-2}" >/dev/null

# Every fuzzer executable, and the source folder whose corpus seeds it.
declare -A area
while IFS= read -r exe; do
  area[$(basename "$exe")]=$(basename "$(dirname "$exe")")
done < <(find "$build/fuzz" -type f -perm -u+x -name '*fuzz*' | sort)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || mapfile -t targets < <(printf '%s\n' "${!area[@]}" | sort)

findings="$build/fuzz-findings"
logs="$build/fuzz-logs"
mkdir -p "$findings" "$logs"

run_one() {
  local t=$1 exe seed work
  exe=$(find "$build/fuzz" -type f -name "$t" | head -n 1)
  seed="fuzz/${area[$t]}/corpus"
  work="$build/fuzz-corpus/$t"
  mkdir -p "$work"
  # A run that finds something stops early; its log and artifact say what.
  "$exe" -max_total_time="$seconds" -rss_limit_mb=4096 -timeout=20 -print_final_stats=1 \
    -artifact_prefix="$findings/$t-" "$work" "$seed" >"$logs/$t.log" 2>&1 || true
}

for t in "${targets[@]}"; do
  [ -n "${area[$t]:-}" ] || { echo "fuzz.sh: no fuzz target $t (have: ${!area[*]})" >&2; exit 2; }
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n; done
  run_one "$t" &
done
wait

found=0
printf '%-20s %8s %14s %10s %9s %8s %5s\n' target seconds executions 'exec/s' corpus findings slow
for t in "${targets[@]}"; do
  log="$logs/$t.log"
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  secs=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -n 1)
  units=$(find "$build/fuzz-corpus/$t" -type f | wc -l)
  n=$(find "$findings" -type f \( -name "$t-crash-*" -o -name "$t-leak-*" -o -name "$t-timeout-*" \
    -o -name "$t-oom-*" \) | wc -l)
  slow=$(find "$findings" -type f -name "$t-slow-unit-*" | wc -l)
  found=$((found + n))
  rate="-"
  [ -n "$execs" ] && [ -n "$secs" ] && [ "$secs" -gt 0 ] && rate=$((execs / secs))
  printf '%-20s %8s %14s %10s %9s %8s %5s\n' "$t" "${secs:--}" "${execs:--}" "$rate" "$units" "$n" "$slow"
done
if [ "$found" -gt 0 ]; then
  echo "fuzz.sh: $found finding(s) in $findings; logs in $logs" >&2
  exit 1
fi
