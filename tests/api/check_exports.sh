#!/usr/bin/env bash
# usage: check_exports.sh LIBRARY EXPORTS_MAP [BINARY...]
# Fails when the library exports a name its export map's global list does
# not hold (beyond the linker's own), when it does not export the factory, and when
# any BINARY (the tools, the Python modules, the examples) defines a member
# of CKestShfeMdApi itself instead of reaching the library's.
set -euo pipefail
lib="$1"
map="$2"
shift 2
defined=$(nm -D --defined-only "$lib" | awk 'NF >= 3 {print $3}' | grep -v -E '^(_init|_fini|_edata|_end|__bss_start)$' | sort)
# The names between "global:" and "local:", one "NAME;" a line.
listed=$(awk '/global:/ {on = 1; next} /local:/ {on = 0} on && /;/ {sub(/^[ \t]*/, ""); sub(/;.*/, ""); print}' "$map" | sort)
if [ -z "$listed" ]; then
  echo "no global names in $map"
  exit 1
fi
# The map may list what the library need not emit (an interface class's
# vtable where no object of it is made); nothing unlisted may leave.
unlisted=$(comm -23 <(echo "$defined") <(echo "$listed"))
if [ -n "$unlisted" ]; then
  echo "the library exports names its export map ($map) does not list:"
  echo "$unlisted" | c++filt
  exit 1
fi
for want in 'CKestShfeMdApi::CreateKestShfeMdApi()' 'CKestShfeMdApi::DestroyKestShfeMdApi(CKestShfeMdApi&)'; do
  # grep -q would stop reading early and, under pipefail, fail the pipeline
  # through the writer's SIGPIPE.
  if ! echo "$defined" | c++filt | grep -xF "$want" >/dev/null; then
    echo "missing export: $want"
    exit 1
  fi
done
soname=$(objdump -p "$lib" | awk '/SONAME/ {print $2}')
case "$soname" in
  libKestShfeMdApi.so.*) ;;
  *) echo "unexpected soname: $soname"; exit 1 ;;
esac
needed=$(objdump -p "$lib" | awk '/NEEDED/ {print $2}')
if ! echo "$needed" | grep -x 'libenyx-hw-c.so.5' >/dev/null; then
  echo "the library does not need libenyx-hw-c.so.5: $needed"
  exit 1
fi
for bin in "$@"; do
  # Every symbol of the file, local ones included: a copy of the product's
  # code, exported or not, is a second product inside the program.
  own=$(nm -C --defined-only "$bin" | grep -E '^[0-9a-f]+ [A-Za-z] CKestShfeMdApi::' || true)
  if [ -n "$own" ]; then
    echo "$bin defines members of the product's interface itself:"
    echo "$own"
    exit 1
  fi
done
echo "exports ok: $(echo "$defined" | wc -l) symbols, each in $map, soname $soname;" \
  "$# other binaries define no CKestShfeMdApi member"
