#!/usr/bin/env bash
# Installs, builds and runs every test: once with g++ (then makes the Debian
# packages and tries them as a user would, and builds against a vendor-layout
# card library and embedded in a user's project), once with clang under
# AddressSanitizer and UndefinedBehaviorSanitizer (with a short smoke run of
# each fuzzer).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

jobs=${KEST_JOBS:-2}

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr
cmake --build build -j "$jobs"
ctest --test-dir build -j "$jobs" --output-on-failure --timeout 300
./scripts/check-install.sh build
./scripts/check-vendor-build.sh build

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DKEST_SANITIZE=ON -DKEST_BUILD_FUZZERS=ON -DKEST_BUILD_BENCHMARKS=OFF
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan -j "$jobs" --output-on-failure --timeout 600
