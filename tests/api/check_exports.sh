#!/usr/bin/env bash
# Fails when the library exports a symbol of its own beyond the factory and
# the interface class's vtable/typeinfo.
set -euo pipefail
lib="$1"
defined=$(nm -D --defined-only "$lib" | awk '{print $3}' | grep -v '^$' | sort)
unexpected=$(echo "$defined" | c++filt | grep -v -E \
  '^(CKestShfeMdApi::CreateKestShfeMdApi\(\)|CKestShfeMdApi::DestroyKestShfeMdApi\(CKestShfeMdApi&\)|vtable for CKestShfeMdApi|typeinfo for CKestShfeMdApi|typeinfo name for CKestShfeMdApi|vtable for CKestShfeMdSpi|typeinfo for CKestShfeMdSpi|typeinfo name for CKestShfeMdSpi|_init|_fini|_edata|_end|__bss_start)$' || true)
if [ -n "$unexpected" ]; then
  echo "unexpected exported symbols:"
  echo "$unexpected"
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
echo "exports ok: $(echo "$defined" | wc -l) symbols, soname $soname"
