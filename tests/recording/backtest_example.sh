#!/usr/bin/env bash
# kest-example-backtest: --help on standard output with status 0, and on a
# replay of a few hundred records (a fraction of a millisecond at full speed)
# a time from the first record to the last that is not zero and that the
# printed rate agrees with.
#
#   backtest_example.sh KEST_EXAMPLE_BACKTEST KEST_CARD_SIM KEST_CARD_CTL SAMPLE_WRITER MODEL_LIB_DIR
set -euo pipefail
backtest=$1 card_sim=$2 card_ctl=$3 sample=$4
export LD_LIBRARY_PATH="$5${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
export KEST_CARDSIM_NAMESPACE="backtest-test.$$"
work=$(mktemp -d)
trap '"$card_ctl" remove 0 >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
fail() { echo "backtest_example: $*" >&2; exit 1; }

"$backtest" --help >"$work/help.out" 2>"$work/help.err" || fail "--help exited $?"
grep -q '^usage: .*RECORDING' "$work/help.out" || fail "--help printed no usage on standard output"
[ ! -s "$work/help.err" ] || fail "--help wrote to standard error: $(cat "$work/help.err")"
if "$backtest" --bogus 2>"$work/bogus.err"; then fail "an unknown option was taken"; fi
grep -q 'unknown option --bogus' "$work/bogus.err" || fail "no message for an unknown option"

"$sample" "$work/day.kestrec" "$work/day.json" 300 0
(cd "$work" && "$backtest" day.kestrec --card-sim "$card_sim" >run.out 2>run.err) ||
  fail "the backtest failed: $(cat "$work/run.err")"
last=$(tail -n 1 "$work/run.out")
echo "$last"
# "... 300 of 300 records in 212.345 us: 1408102 records/s"
[[ $last =~ \ 300\ of\ 300\ records\ in\ ([0-9.]+)\ (s|ms|us):\ ([0-9]+)\ records/s$ ]] ||
  fail "no time and rate in: $last"
awk -v t="${BASH_REMATCH[1]}" -v unit="${BASH_REMATCH[2]}" -v rate="${BASH_REMATCH[3]}" 'BEGIN {
  s = t * (unit == "s" ? 1 : unit == "ms" ? 1e-3 : 1e-6)
  if (s <= 0) { print "the time is zero"; exit 1 }
  r = 299 / s  # the gaps between 300 records
  if (r < rate * 0.99 || r > rate * 1.01) { printf "299 gaps in %g s is %g records/s, not %d\n", s, r, rate; exit 1 }
}' || fail "time and rate disagree: $last"
