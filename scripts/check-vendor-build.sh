#!/usr/bin/env bash
# Keeps the build against the card vendor's library honest without a card:
# makes a vendor-layout root from the card model (include/<vendor header>,
# lib/libenyx-hw-c.so.5, lib/libenyx-cores-c.so.6), builds the project against
# it with default options and runs the tests that need no model, then embeds
# the project in a user's project with add_subdirectory against the same root.
#
#   scripts/check-vendor-build.sh [MODEL_BUILD_DIR]
#
# MODEL_BUILD_DIR (default: build) is a built tree of the model configuration;
# its cardsim/ libraries stand in for the vendor's.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd)
model_build=$(realpath "${1:-build}")
jobs=${KEST_JOBS:-2}
work="$model_build/vendor-check"
rm -rf "$work"
mkdir -p "$work"

step() { printf '\n== %s\n' "$*"; }
fail() {
  echo "check-vendor-build: $*" >&2
  exit 1
}

step "a vendor-layout root made from the model"
root="$work/vendor-root"
mkdir -p "$root/include/enyx" "$root/lib"
cp "$src/common/EnyxHwDeclarations.h" "$root/include/enyx/hw_c.h"
cp -L "$model_build/cardsim/libenyx-hw-c.so.5" "$model_build/cardsim/libenyx-cores-c.so.6" "$root/lib/"
find "$root" -type f | sed "s|^$root/||" | sort

step "the project against it, default options"
build="$work/build"
cmake -S "$src" -B "$build" -G Ninja -DKEST_ENYX_HW_ROOT="$root" | grep 'KestShfeMdApi'
cmake --build "$build" -j "$jobs" >"$work/build.log" 2>&1 || { tail -n 40 "$work/build.log"; fail "vendor build failed"; }
grep -q 'KEST_ENYX_HW_VENDOR_HEADER="<enyx/hw_c.h>"' "$build/build.ninja" ||
  fail "the product was not compiled against the vendor header"
lib="$build/libKestShfeMdApi.so.1"
for so in libenyx-hw-c.so.5 libenyx-cores-c.so.6; do
  readelf -d "$lib" | grep "NEEDED.*\[$so\]" >/dev/null || fail "the library does not name $so"
done
if readelf -d "$lib" | grep -E 'RUNPATH|RPATH' >/dev/null; then fail "the library carries a runtime path"; fi
ctest --test-dir "$build" -j "$jobs" --timeout 120 >"$work/ctest.log" 2>&1 || { tail -n 40 "$work/ctest.log"; fail "tests failed"; }
tail -n 1 "$work/ctest.log" | sed 's/^/ctest: /'
grep -E 'tests passed' "$work/ctest.log"

step "embedded with add_subdirectory in a user's project"
embed="$work/embed"
cmake -S "$src/tests/embed/user-project" -B "$embed" -G Ninja -DKEST_SOURCE_DIR="$src" -DKEST_ENYX_HW_ROOT="$root" |
  grep 'KestShfeMdApi'
cmake --build "$embed" -j "$jobs" >"$work/embed.log" 2>&1 || { tail -n 40 "$work/embed.log"; fail "embedded build failed"; }
LD_LIBRARY_PATH="$root/lib" ldd "$embed/embedded-app" | grep -E 'Kest|enyx'
if LD_LIBRARY_PATH="$root/lib" ldd "$embed/embedded-app" | grep cardsim >/dev/null; then
  fail "the embedded application reaches the model"
fi

step "embedded with neither a vendor library nor the model asked for"
if cmake -S "$src/tests/embed/user-project" -B "$work/embed-none" -G Ninja -DKEST_SOURCE_DIR="$src" \
  -DCMAKE_LIBRARY_PATH=/nonexistent >"$work/embed-none.log" 2>&1; then
  if ! grep -q "card library: vendor" "$work/embed-none.log"; then
    fail "configure passed without a card library"
  fi
  echo "this host has the vendor's library: $(grep 'card library' "$work/embed-none.log")"
else
  grep -q "KEST_CARD_LIBRARY=model" "$work/embed-none.log" || { cat "$work/embed-none.log"; fail "no guidance"; }
  grep -A3 'CMake Error' "$work/embed-none.log" | head -n 4
fi
echo
echo "check-vendor-build: the vendor build and the embedded build are sound"
