#!/usr/bin/env bash
# Outputs that cannot be written: the receiver records and writes CSV into a
# 512 KiB tmpfs until it is full. Each failure must be said once, the summary
# must count what reached the file (as kest-record finds it), the files must
# end on a whole entry and a whole line, the log's full file system must be
# warned about, and the exit status must be 1. Then kest-record csv of a bad
# recording must leave no output file behind. Needs root to mount the tmpfs;
# exits 77 (skipped) when it cannot.
#
#   full_disk.sh KEST_MD_RECV KEST_CARD_SIM KEST_CARD_CTL KEST_RECORD MODEL_LIB_DIR SAMPLE_CONFIG
set -euo pipefail
. "$(dirname "$0")/await.sh"
. "$(dirname "$0")/../../scripts/children.sh"
recv=$1 card_sim=$2 card_ctl=$3 record=$4
export LD_LIBRARY_PATH="$5${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
sample=$6
work=$(mktemp -d)
small=$work/small
sim=""
receiver=""
mounted=0
export KEST_CARDSIM_NAMESPACE="fulldisk.$$"
cleanup() {
  [ -n "$receiver" ] && kill "$receiver" 2>/dev/null && wait "$receiver" 2>/dev/null
  [ -n "$sim" ] && kill "$sim" 2>/dev/null && wait "$sim" 2>/dev/null
  "$card_ctl" remove --all >/dev/null 2>&1 || true
  [ "$mounted" = 1 ] && umount "$small"
  rm -rf "$work"
}
trap cleanup EXIT
exit_on_signals
fail() {
  echo "full_disk: $*" >&2
  for f in "$work"/*.out; do echo "--- $f"; tail -n 20 "$f"; done >&2
  exit 1
}
count() { sed -n "s/$1/\\1/p" "$2" | head -n 1; }

# A recording that is not one.
cd "$work"
printf 'not a recording at all, but long enough to hold a header of sixty-four bytes...\n' >bad.kestrec
"$record" csv bad.kestrec --output out.csv >csv.out 2>&1 && fail "kest-record csv of a bad file succeeded"
[ ! -e out.csv ] || fail "kest-record csv left out.csv behind after failing"

mkdir -p "$small"
if [ "$(id -u)" != 0 ] || ! mount -t tmpfs -o size=512k tmpfs "$small" 2>/dev/null; then
  echo "full_disk: cannot mount a tmpfs here (needs root): skipped"
  exit 77
fi
mounted=1
# Channel 0 takes every instrument: the market's busiest contracts change
# at most four times a second, so a few of them would not fill the disk soon.
sed -e "s/^device=.*/device=xilinx0:0/" -e "0,/^insts=/s/^insts=.*/insts=all/" \
  -e "0,/^options=/s/^options=.*/options=recv/" "$sample" >ch0.ini
with_parent "$card_sim" --card 0 --stats 0 --shfe-size 300 --ine-size 100 --rate 2000 >sim.out 2>&1 &
sim=$!
await "the simulated card" sh -c "'$card_ctl' list 2>/dev/null | grep -q '^0 '"
# The receiver runs until both outputs have failed (each failure is said
# within a second of the write that failed); then it is asked to stop.
cd "$small"
with_parent "$recv" "$work/ch0.ini" --record x.kestrec --csv x.csv --quiet >"$work/recv.out" 2>"$work/recv.err" &
receiver=$!
cd "$work"
both_failed() {
  kill -0 "$receiver" 2>/dev/null || fail "the receiver ended before the file system was full"
  grep -q 'recording failed: ' recv.err && grep -q 'writing x.csv failed: ' recv.err
}
await "the recording and the CSV to fail on the full file system" both_failed
kill -INT "$receiver"
status=0
wait "$receiver" || status=$?
receiver=""
[ "$status" = 1 ] || fail "exit status $status on a full file system, not 1"
[ "$(grep -c 'recording failed: .*No space left on device' recv.err)" = 1 ] || fail "recording failure not said once"
[ "$(grep -c 'writing x.csv failed: No space left on device' recv.err)" = 1 ] || fail "CSV failure not said once"
grep -q 'file system of the working directory is full' recv.err || fail "no warning about the log's full file system"

recorded=$(count '^recorded \([0-9]*\) quotes.*writing failed.*' recv.out)
found=$("$record" info "$small/x.kestrec" | tee info.out | sed -n 's/.* \([0-9]*\) records$/\1/p')
[ -n "$recorded" ] && [ "$recorded" = "$found" ] || fail "summary says ${recorded:-nothing} recorded, the file holds $found"
grep -q 'bytes after the last whole record' info.out && fail "the recording ends mid-entry"
lines=$(count '^csv: .* holds \([0-9]*\) quotes; writing failed.*' recv.out)
[ -n "$lines" ] && [ "$lines" = "$(($(wc -l <"$small/x.csv") - 1))" ] || fail "summary says ${lines:-nothing} CSV lines"
[ "$(tail -c 1 "$small/x.csv" | od -An -c | tr -d ' ')" = '\n' ] || fail "the CSV ends mid-line"
echo "full file system: $recorded quotes recorded, $lines CSV lines, each failure said once, exit status 1"
