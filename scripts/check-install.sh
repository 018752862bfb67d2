#!/usr/bin/env bash
# Tries the packages as a new user would: makes the Debian packages from a
# build tree, extracts them into an empty root, checks what every installed
# binary would load, builds the examples against that root with the CMake
# package, with pkg-config and with a plain compiler line, and runs them for a
# few seconds against the installed card model, counting quotes; then checks
# the Python package (dependencies, maintainer scripts) and receives quotes
# with the installed module kest and examples/python/live_table.py.
#
#   scripts/check-install.sh [BUILD_DIR]
#
# BUILD_DIR (default: build) is a built tree of this project, best configured
# with -DCMAKE_INSTALL_PREFIX=/usr as packages are.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd)
build=$(realpath "${1:-build}")
work="$build/install-check"
rm -rf "$work"
mkdir -p "$work"

step() { printf '\n== %s\n' "$*"; }
# Checks read whole outputs (grep >/dev/null, not grep -q): under pipefail a
# grep that stops early would fail the writer it leaves behind.
fail() {
  echo "check-install: $*" >&2
  exit 1
}

step "Debian packages"
cpack --config "$build/CPackConfig.cmake" -B "$work/packages" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack failed"; }
ls -1 "$work/packages"/*.deb "$work/packages"/*.ddeb
root="$work/root"
mkdir -p "$root"
for deb in "$work/packages"/*.deb; do dpkg-deb -x "$deb" "$root"; done

step "lintian on every package: no error; warnings only those the README's packaging section explains"
# Each accepted warning, as lintian prints it; the README says why.
accepted=(
  "W: kestshfemdapi-cardsim: shared-library-lacks-prerequisites [usr/lib/x86_64-linux-gnu/kest-cardsim/libenyx-cores-c.so.6.0.0]"
)
# lintian refuses nothing to root but says so on standard error.
lintian --tag-display-limit 0 "$work/packages"/*.deb "$work/packages"/*.ddeb >"$work/lintian.log" 2>&1 || true
grep -v 'running with root privileges' "$work/lintian.log" | sed 's/^/  /' || true
grep '^E: ' "$work/lintian.log" >/dev/null && fail "lintian reports errors"
while IFS= read -r line; do
  known=no
  for a in "${accepted[@]}"; do [ "$line" = "$a" ] && known=yes; done
  [ $known = yes ] || fail "lintian warning not explained in the README: $line"
done < <(grep '^W: ' "$work/lintian.log" || true)
for deb in "$work/packages"/*.deb "$work/packages"/*.ddeb; do
  pkg=$(dpkg-deb -f "$deb" Package)
  doc="$work/doc-check/$pkg"
  mkdir -p "$doc"
  dpkg-deb -x "$deb" "$doc"
  if [ -L "$doc/usr/share/doc/$pkg" ]; then
    # A -dbgsym package shares the documentation of the package it debugs.
    [ "$(readlink "$doc/usr/share/doc/$pkg")" = "${pkg%-dbgsym}" ] || fail "$pkg: doc directory points elsewhere"
  else
    [ -e "$doc/usr/share/doc/$pkg/copyright" ] || fail "$pkg has no /usr/share/doc/$pkg/copyright"
    [ -e "$doc/usr/share/doc/$pkg/changelog.gz" ] || fail "$pkg has no /usr/share/doc/$pkg/changelog.gz"
  fi
  printf '  %-32s %-9s %s\n' "$pkg" "$(dpkg-deb -f "$deb" Section)" "$(dpkg-deb -f "$deb" Depends)"
done
while IFS= read -r f; do
  file -b "$f" | grep '^ELF' >/dev/null || continue
  file -b "$f" | grep 'not stripped' >/dev/null && fail "${f#"$root"} is not stripped"
done < <(find "$root" -type f)

step "manual pages render"
while IFS= read -r page; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "${page#"$root"}: $warnings"
  printf '  %-48s %s lines\n' "${page#"$root"}" "$(MANWIDTH=80 man -l "$page" 2>/dev/null | wc -l)"
done < <(find "$root/usr/share/man" -name '*.gz' | sort)
for tool in "$root"/usr/bin/*; do
  [ -e "$root/usr/share/man/man1/$(basename "$tool").1.gz" ] || fail "$(basename "$tool") has no manual page"
done
lib=$(find "$root" -name 'libKestShfeMdApi.so.1' | head -n 1)
[ -n "$lib" ] || fail "no libKestShfeMdApi.so.1 in the packages"
libdir=$(dirname "$lib")
modeldir="$libdir/kest-cardsim"
prefix="$root/usr"

step "runtime paths of the installed binaries"
while IFS= read -r f; do
  file -b "$f" | grep '^ELF' >/dev/null || continue
  rp=$(readelf -d "$f" | sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]/\2/p')
  printf '%-58s %s\n' "${f#"$root"}" "${rp:-(none)}"
  case "$rp" in
  *"$build"* | *"$src"*) fail "$f points the loader into the build tree: $rp" ;;
  '' | '$ORIGIN'*) ;;
  *) fail "$f has an absolute runtime path: $rp" ;;
  esac
done < <(find "$root" -type f | sort)
if readelf -d "$lib" | grep -E 'RUNPATH|RPATH' >/dev/null; then
  fail "the library must leave the choice of card library to the loader"
fi

step "the library's card libraries, without and with the model on the loader path"
for so in libenyx-hw-c.so.5 libenyx-cores-c.so.6; do
  readelf -d "$lib" | grep "NEEDED.*\[$so\]" >/dev/null || fail "the library does not name $so"
done
echo "without LD_LIBRARY_PATH:"
env -u LD_LIBRARY_PATH ldd "$lib" | grep enyx
if env -u LD_LIBRARY_PATH ldd "$lib" | grep "=> $modeldir/" >/dev/null; then
  fail "the model was found without the loader being pointed at it"
fi
echo "with LD_LIBRARY_PATH=${modeldir#"$root"}:"
LD_LIBRARY_PATH="$modeldir" ldd "$lib" | grep enyx
for so in libenyx-hw-c.so.5 libenyx-cores-c.so.6; do
  LD_LIBRARY_PATH="$modeldir" ldd "$lib" | grep "$so => $modeldir/$so" >/dev/null ||
    fail "$so does not resolve from the model's directory"
done

examples="$prefix/share/doc/KestShfeMdApi/examples"
step "examples built with find_package(KestShfeMdApi)"
cmake -S "$examples" -B "$work/examples-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" |
  grep 'KestShfeMdApi'
cmake --build "$work/examples-cmake" >"$work/examples-cmake.log" 2>&1 ||
  { cat "$work/examples-cmake.log"; fail "the examples do not build with the CMake package"; }

step "examples built with pkg-config"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
cmake -S "$examples" -B "$work/examples-pc" -G Ninja -DKEST_EXAMPLES_USE_PKG_CONFIG=ON |
  grep 'KestShfeMdApi'
cmake --build "$work/examples-pc" >"$work/examples-pc.log" 2>&1 ||
  { cat "$work/examples-pc.log"; fail "the examples do not build with pkg-config"; }
echo "g++ buffer_app.cpp \$(pkg-config --cflags --libs KestShfeMdApi)"
# shellcheck disable=SC2046 # the flags are words
g++ -std=c++17 -Wall -Wextra -o "$work/plain-buffer" "$examples/buffer_app.cpp" \
  $(pkg-config --cflags --libs KestShfeMdApi)

step "the examples against the installed card model"
export KEST_CARDSIM_NAMESPACE="install-check.$$"
run="$work/run"
mkdir -p "$run"
"$prefix/bin/kest-card-sim" --card 0 --shfe-size 1500 --ine-size 400 --rate 400 --stats 0 \
  >"$run/kest-card-sim.out" 2>&1 &
sim=$!
cleanup() {
  kill "$sim" 2>/dev/null || true
  wait "$sim" 2>/dev/null || true
  "$prefix/bin/kest-card-ctl" remove 0 >/dev/null 2>&1 || true
}
trap cleanup EXIT
for _ in $(seq 100); do
  "$prefix/bin/kest-card-ctl" list 2>/dev/null | grep '^0 ' >/dev/null && break
  sleep 0.1
done
config="$prefix/share/KestShfeMdApi/kest_md.ini"

# Packages put the library in the loader's own paths; this root is not one,
# so its library directory joins the model's on the loader path.
# Starts one example, waits for its start (the first one brings the card up),
# lets it receive for two seconds, stops it with SIGINT and shows its count.
run_example() {
  local name=$1 binary=$2 out="$run/$1.out" pid
  # The output file exists before the wait below reads it: the background
  # shell may open it only after the first look.
  : >"$out"
  (cd "$run" && LD_LIBRARY_PATH="$modeldir:$libdir" exec "$binary" "$config") >>"$out" 2>&1 &
  pid=$!
  for _ in $(seq 600); do
    grep -q '^started:' "$out" && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  grep -q '^started:' "$out" || { tail -n 20 "$out"; fail "$name did not start"; }
  sleep 2
  kill -INT "$pid"
  wait "$pid" || { tail -n 20 "$out"; fail "$name received no quote"; }
  printf '%-34s %s\n' "$name" "$(grep '^quotes received' "$out")"
}
run_example "callback, CMake package" "$work/examples-cmake/kest-example-callback"
run_example "buffer, CMake package" "$work/examples-cmake/kest-example-buffer"
run_example "callback, pkg-config" "$work/examples-pc/kest-example-callback"
run_example "buffer, pkg-config" "$work/examples-pc/kest-example-buffer"
run_example "buffer, plain g++ and pkg-config" "$work/plain-buffer"

step "the installed tools on the card the examples brought up"
LD_LIBRARY_PATH="$modeldir:$libdir" "$prefix/bin/kest-card-info" --config "$config" | tail -n 1
"$prefix/bin/kest-config-check" "$config" | head -n 1

step "the Python package"
pydeb=$(ls "$work/packages"/python3-kestshfemdapi_*.deb)
pydir="$prefix/lib/python3/dist-packages"
depends=$(dpkg-deb -f "$pydeb" Depends)
echo "python3-kestshfemdapi Depends: $depends"
for need in libkestshfemdapi1 python3-numpy 'python3 (>='; do
  case "$depends" in *"$need"*) ;; *) fail "python3-kestshfemdapi does not depend on $need" ;; esac
done
if dpkg-deb -c "$work/packages"/kestshfemdapi-tools_*.deb | grep -E '[.]py$|dist-packages' >/dev/null; then
  fail "the tools package still carries Python files"
fi
dpkg-deb -e "$pydeb" "$work/python-control"
for script in postinst prerm; do
  [ -x "$work/python-control/$script" ] || fail "python3-kestshfemdapi has no $script"
  sh -n "$work/python-control/$script" || fail "$script of python3-kestshfemdapi is not valid sh"
done
grep 'py3compile -p python3-kestshfemdapi' "$work/python-control/postinst" >/dev/null ||
  fail "postinst does not byte-compile the package"
grep 'py3clean -p python3-kestshfemdapi' "$work/python-control/prerm" >/dev/null ||
  fail "prerm does not remove the byte-compiled files"
# The interpreter the package serves is Debian's, whichever python3 is first
# on the PATH; the root's dist-packages and library directory stand in for
# the system's.
pyrun() { (cd "$run" && PYTHONPATH="$pydir" PYTHONDONTWRITEBYTECODE=1 LD_LIBRARY_PATH="$modeldir:$libdir" /usr/bin/python3 "$@"); }
pyrun -c 'import kest, kest_records; print("kest from", kest.__file__); print("kest_records from", kest_records.__file__)' ||
  fail "python3 -c 'import kest' fails from the installed packages"
pyrun -c "
import sys, kest
with kest.Receiver('$config') as r:
    batch = r.poll(1024, timeout=10)
print('kest.Receiver: %d quotes in one poll, first %s' % (len(batch), batch[0]['inst_id'].decode() if len(batch) else '-'))
sys.exit(0 if len(batch) else 1)
" | grep -v '^.\[' || fail "kest.Receiver received no quote from the installed packages"
pyrun "$prefix/share/doc/KestShfeMdApi/examples/python/live_table.py" "$config" --seconds 3 --rows 5 >"$run/live_table.out" 2>&1 ||
  { tail -n 20 "$run/live_table.out"; fail "examples/python/live_table.py failed"; }
grep -E '^[0-9]+ instruments, [0-9]+ quotes' "$run/live_table.out" | tail -n 1
grep -E '^[0-9]+ quotes of [1-9][0-9]* instruments' "$run/live_table.out" >/dev/null ||
  fail "examples/python/live_table.py showed no quote"
echo
echo "check-install: packages, install layout and examples are sound"
