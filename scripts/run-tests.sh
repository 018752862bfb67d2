#!/usr/bin/env bash
# Installs, checks the C++ layout, builds and runs every test: once with g++
# (then makes the Debian packages and tries them as a user would, and builds
# against a vendor-layout card library and embedded in a user's project), once with clang under
# AddressSanitizer and UndefinedBehaviorSanitizer (with a short smoke run of
# each fuzzer), once with clang under ThreadSanitizer; and a 30 s soak of 16
# receivers over the card model; then three planted faults, each of which a
# test or an oracle fuzzer must catch, and the share of test code. After the
# first build, every command and example the README and the guide show is run
# against it, and the guide is built as a site. Every build treats a warning
# as an error.
set -euo pipefail
cd "$(dirname "$0")/.."
# Each stage's start, with the seconds since this script began.
stage() { echo "== run-tests: ${SECONDS}s: $*"; }
stage "build dependencies and the C++ layout"
./scripts/install-deps.sh
# Layout is clang-format's (.clang-format); a file it would change fails here.
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror
# Every planted fault still applies to the tree (CI runs three of them; the
# whole table is scripts/mutation-check.sh without --ci).
for p in tests/mutations/*.patch; do
  git apply --check "$p" || { echo "run-tests.sh: $p no longer applies to the tree" >&2; exit 1; }
done

jobs=${KEST_JOBS:-2}
# A machine that has ccache rebuilds what did not change from its cache, from
# whichever clone built it last (paths are taken relative to the tree).
if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
fi

stage "g++ build and tests"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_C_FLAGS=-Werror -DCMAKE_CXX_FLAGS=-Werror
cmake --build build -j "$jobs"
ctest --test-dir build -j "$jobs" --output-on-failure --timeout 300
# The pages' commands, each block in a directory of its own; the first
# difference names its page and line. The site fails on a broken link.
stage "doc tests and site"
timeout 900 ./scripts/doctest.py build
mkdocs build --strict --quiet --site-dir build/site
stage "install and packages"
./scripts/check-install.sh build
stage "vendor-layout and embedded builds"
./scripts/check-vendor-build.sh build
stage "soak"
./scripts/soak.sh 30

stage "AddressSanitizer and UndefinedBehaviorSanitizer"
# Assertions on (Debug) at -O1, as the sanitizers' own guides advise: a
# sanitized -O0 build runs the market day six times slower for nothing more
# found. The sanitizer builds run the market day with its first seed only;
# every seed runs in the first build.
market_seeds='^cardsim[.]market[.]Seeds/MarketDay[.].*/[1-9]$'
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_FLAGS="-Werror -O1" \
  -DCMAKE_CXX_FLAGS="-Werror -O1" -DKEST_SANITIZE=ON -DKEST_BUILD_FUZZERS=ON -DKEST_BUILD_BENCHMARKS=OFF
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan -j "$jobs" --output-on-failure --timeout 600 -E "$market_seeds"

# The threaded tests (model rings across threads and processes, the live
# card's thread, the tools) under ThreadSanitizer; the fault runs kill and
# stop processes on purpose and run in the first build only.
stage "ThreadSanitizer"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_FLAGS=-Werror -DCMAKE_CXX_FLAGS=-Werror \
  -DKEST_SANITIZE_THREAD=ON -DKEST_BUILD_BENCHMARKS=OFF -DKEST_BUILD_EXAMPLES=OFF -DKEST_INSTALL=OFF
cmake --build build-tsan -j "$jobs"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build-tsan -j "$jobs" --output-on-failure --timeout 600 -E "^faults[.]|$market_seeds"

# Three planted faults (a held segment's length, an ignored minute, the INI
# reader's blanks), each caught by a test and the first also by the
# reassembly fuzzer; the whole table is scripts/mutation-check.sh without --ci.
stage "planted faults"
KEST_MUT_FUZZ_SECONDS=60 ./scripts/mutation-check.sh --ci
./scripts/test-share.sh 33.3
stage "done"
