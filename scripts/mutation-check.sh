#!/usr/bin/env bash
# Planted faults: applies each patch of tests/mutations/ in turn to a copy of
# the tree, builds the copy, runs the fast tests (those of the patched area
# first, stopping at the first failure) and, when no test fails, the fuzzers
# that check their outcome, each for a bounded time from its seed corpus.
# Prints, per fault, what caught it and how many seconds the catch took
# (build time apart).
#
#   scripts/mutation-check.sh [--ci] [--fuzzers] [PATCH...]
#
#   --ci       the three faults CI runs (a few minutes: only their targets are built)
#   --fuzzers  no tests: the fuzzers alone, to see what they catch by themselves
#   PATCH      names or paths of patches (default: every tests/mutations/*.patch)
#
# A patch whose description has a line "Fuzzers: TARGET..." is also given to
# those fuzzers when a test caught it: a second row says whether they do;
# when no test catches it, those fuzzers are tried first.
# KEST_MUT_DIR is the work directory (default build-mut: a copy of the tree in
# src/, a clang build in build/), KEST_MUT_FUZZ_SECONDS the time per fuzzer
# (default 60), KEST_JOBS the build and test jobs (default 2).
# A patch that no longer applies (the code moved) is reported "does not
# apply" and counts as a failure of this check, never as a catch.
# Exit status: 0 every fault caught, 1 otherwise, 2 bad arguments or the
# unplanted tree failing its own tests.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=${KEST_MUT_DIR:-$root/build-mut}
fuzz_seconds=${KEST_MUT_FUZZ_SECONDS:-60}
jobs=${KEST_JOBS:-2}
ci=0
fuzz_only=0
patches=()
for a in "$@"; do
  case $a in
    --ci) ci=1 ;;
    --fuzzers) fuzz_only=1 ;;
    -h | --help) sed -n '2,25p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "mutation-check.sh: unknown option $a" >&2; exit 2 ;;
    *) [ -f "$a" ] && patches+=("$(realpath "$a")") || patches+=("$root/tests/mutations/${a%.patch}.patch") ;;
  esac
done

# Tests that take seconds of bring-up or kill processes on purpose are left
# to the full suite; the fuzzers' smoke runs are replaced by the runs below.
slow='^(faults|fuzz)[.]|_NOT_BUILT$'
# Every fuzzer the tree builds, as fuzz/*/CMakeLists.txt declare them.
mapfile -t fuzzers < <(sed -n 's/^add_executable(\([A-Za-z0-9_]*\).*/\1/p' "$root"/fuzz/*/CMakeLists.txt)
targets=()
tests_re=''
if [ "$ci" = 1 ]; then
  [ ${#patches[@]} -gt 0 ] || patches=("$root"/tests/mutations/{reassembly-held-length,ignored-0230,ini-tab-not-space}.patch)
  targets=(kest_snapshot_tests support_ini_test kest_fuzz_tcp)
  tests_re='^snapshot[.]|^IniReader[.]'
  fuzzers=(kest_fuzz_tcp)
fi
[ ${#patches[@]} -gt 0 ] || patches=("$root"/tests/mutations/*.patch)
for p in "${patches[@]}"; do
  [ -f "$p" ] || { echo "mutation-check.sh: no patch $p" >&2; exit 2; }
done

# The copy: the tracked and new files of the working tree, with their times.
# Every file a patch touches is touched afterwards, so that nothing built
# from a planted fault by an interrupted run survives.
src=$work/src
build=$work/build
mkdir -p "$src"
git ls-files -z -co --exclude-standard | tar --null -T - -cf - | tar -C "$src" -xf -
# A repository of its own, so that patches apply relative to the copy and
# never to the tree it was copied from.
[ -d "$src/.git" ] || git -C "$src" init -q
while IFS= read -r f; do [ -f "$src/$f" ] && touch "$src/$f"; done \
  < <(sed -n 's|^+++ b/||p' "$root"/tests/mutations/*.patch | sort -u)

# Every fault relinks every test: lld, where there is one, makes that cheap.
configure() {
  local link=()
  command -v ld.lld >/dev/null && link=(-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld -DCMAKE_SHARED_LINKER_FLAGS=-fuse-ld=lld)
  cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DKEST_BUILD_FUZZERS=ON "${link[@]}" \
    -DKEST_BUILD_BENCHMARKS=OFF -DKEST_BUILD_EXAMPLES=OFF -DKEST_INSTALL=OFF >"$work/configure.log" 2>&1
}
build_copy() {
  if [ ${#targets[@]} -gt 0 ]; then
    cmake --build "$build" -j "$jobs" --target "${targets[@]}" >"$work/build.log" 2>&1
  else
    cmake --build "$build" -j "$jobs" >"$work/build.log" 2>&1
  fi
}

# Tests first for the area a patch touches, then the rest.
area_tests() {
  local files re=''
  files=$(sed -n 's|^+++ b/||p' "$1")
  case $files in *src/TcpReassembly* | *src/MdqpDecoder* | *src/InstrumentTable*) re='^snapshot[.]' ;; esac
  case $files in *src/KestShfeMdApiImpl* | *src/ChannelBringUp* | *common/*) re='^(snapshot|api|quotepath|e2e)[.]' ;; esac
  case $files in *public/reg/*) re='^e2e[.]' ;; esac
  case $files in *tools/kest-md-recv/RecvMetrics*) re='^(e2e|quotepath)[.]' ;; esac
  case $files in *python/kest_records/*) re='^recording[.]python' ;; esac
  case $files in *public/config/*) re='IniReader|ConfigTest|ConfigCheck' ;; esac
  case $files in *public/crc/*) re='Crc32c' ;; esac
  case $files in *cardsim/*) re='^(e2e|quotepath)[.]' ;; esac
  case $files in *recording/* | *tools/kest-record/* | *cardlogic/Replay*) re='record|replay|tools' ;; esac
  case $files in *tests/common/ChildProcess* | *tests/tools/ToolRunner*) re='^tools[.]children' ;; esac
  echo "$re"
}

# Runs the tests matching $1 (and the selection), except $2; prints the first
# failed test's name, empty when none failed.
run_tests() {
  local include=$1 exclude=$2 args=(--test-dir "$build" -j "$jobs" --timeout 180 --stop-on-failure)
  [ -n "$include" ] && args+=(-R "$include")
  [ -n "$exclude" ] && args+=(-E "$exclude") || args+=(-E "$slow")
  rm -f "$build/Testing/Temporary/LastTestsFailed.log"
  ctest "${args[@]}" >"$work/ctest.log" 2>&1
  local failed
  failed=$(sed -n 's/^[0-9]*://p' "$build/Testing/Temporary/LastTestsFailed.log" 2>/dev/null | sed 's/ *# GetParam.*//' | head -n 1)
  echo "$failed"
}

tests_pass() {
  local re=$1
  [ -n "$tests_re" ] && re=$tests_re
  [ -z "$(run_tests "$re" "$slow")" ]
}

# One fuzzer for the bounded time from its committed seeds: true when it
# found something.
run_fuzzer() {
  local t=$1 exe seed scratch
  exe=$(find "$build/fuzz" -type f -name "$t" | head -n 1)
  [ -n "$exe" ] || return 1
  seed="$src/fuzz/$(basename "$(dirname "$exe")")/corpus"
  scratch=$(mktemp -d "$work/fuzz.XXXXXX")
  "$exe" -max_total_time="$fuzz_seconds" -rss_limit_mb=4096 -timeout=20 -artifact_prefix="$scratch/" \
    "$scratch" "$seed" >"$work/fuzz-$t.log" 2>&1
  local rc=$?
  rm -rf "$scratch"
  [ $rc -ne 0 ]
}

now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }

configure || { echo "mutation-check.sh: cmake failed, see $work/configure.log" >&2; exit 2; }
build_copy || { echo "mutation-check.sh: the unplanted tree does not build, see $work/build.log" >&2; exit 2; }
if [ "$fuzz_only" = 0 ]; then
  t0=$(now)
  if ! tests_pass "${tests_re}"; then
    echo "mutation-check.sh: the unplanted tree fails its fast tests, see $work/ctest.log" >&2
    exit 2
  fi
  echo "unplanted tree: fast tests pass ($(since "$t0") s)"
fi

printf '%-34s %-78s %8s %8s\n' fault 'caught by' seconds build_s
missed=0
row() { printf '%-34s %-78s %8s %8s\n' "$1" "$2" "$3" "$4"; }
for p in "${patches[@]}"; do
  name=$(basename "$p" .patch)
  if ! git -C "$src" apply --check "$p" 2>/dev/null; then
    row "$name" "does not apply (regenerate it against the code as it is now)" - -
    missed=$((missed + 1))
    continue
  fi
  git -C "$src" apply "$p"
  b0=$(now)
  if ! build_copy; then
    row "$name" "does not build (see $work/build-$name.log)" - "$(since "$b0")"
    cp "$work/build.log" "$work/build-$name.log"
    git -C "$src" apply -R "$p"
    missed=$((missed + 1))
    continue
  fi
  bs=$(since "$b0")
  t0=$(now)
  caught=''
  if [ "$fuzz_only" = 0 ]; then
    first=$(area_tests "$p")
    [ -n "$tests_re" ] && first=$tests_re
    [ -n "$first" ] && caught=$(run_tests "$first" "$slow")
    if [ -z "$caught" ] && [ -z "$tests_re" ]; then
      caught=$(run_tests '' "${first:+$first|}$slow")
    fi
    [ -n "$caught" ] && row "$name" "test $caught" "$(since "$t0")" "$bs"
  fi
  also=$(sed -n 's/^Fuzzers: *//p' "$p" | head -n 1)
  if [ -z "$caught" ] || [ -n "$also" ]; then
    list=("${fuzzers[@]}")
    if [ -n "$caught" ]; then
      read -r -a list <<<"$also"
    elif [ -n "$also" ]; then
      # The fuzzers named first, then the others.
      read -r -a named <<<"$also"
      list=("${named[@]}")
      for f in "${fuzzers[@]}"; do [[ " $also " == *" $f "* ]] || list+=("$f"); done
    fi
    t1=$(now)
    fcaught=''
    for f in "${list[@]}"; do
      if run_fuzzer "$f"; then
        fcaught=$f
        break
      fi
    done
    if [ -n "$fcaught" ]; then
      row "$name" "fuzzer $fcaught" "$(since "$t1")" "$bs"
    else
      row "$name" "NOT CAUGHT (fuzzers: ${list[*]}, ${fuzz_seconds} s each)" "$(since "$t1")" "$bs"
      missed=$((missed + 1))
    fi
  fi
  git -C "$src" apply -R "$p"
done
[ "$missed" -eq 0 ] || { echo "mutation-check.sh: $missed fault(s) not caught or not tried" >&2; exit 1; }
echo "mutation-check.sh: every fault caught"
