#!/usr/bin/env bash
# Records a whole simulated trading day through the library and draws it:
# the simulated exchange from 20:50 China Standard Time at 200 times real
# time (the night auction, the night session, the day session and the next
# night's auction and roll pass in about seven and a half minutes),
# kest-md-recv --record on channel 0 (cu, au, rb and sc futures), then
# plot_day.py.
#
#   scripts/record-day.sh [OUT_DIR] [PNG]     (default build/day, examples/python/sim_day.png)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=${1:-$root/build/day}
png=${2:-$root/examples/python/sim_day.png}
speed=${KEST_DAY_SPEED:-200}
seconds=$((86400 / speed + 20))  # a day of exchange time, and the bring-up (the clock waits for it)

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "${KEST_JOBS:-2}" --target kest-md-recv kest-card-sim kest-card-ctl >/dev/null
mkdir -p "$out"
export KEST_CARDSIM_NAMESPACE="day.$$"
. scripts/children.sh
{
  sed -n '1,/^\[channel0\]/p' config/kest_md.ini | sed '$d'
  printf '[channel0]\ninsts=cu,au,rb,sc\noptions=norecv\n'
} >"$out/day.ini"

with_parent build/tools/kest-card-sim/kest-card-sim --clock 2025-01-02T20:50 --clock-speed "$speed" --rate 30 --stats 60 \
  >"$out/kest-card-sim.out" 2>&1 &
sim=$!
cleanup() {
  kill "$sim" 2>/dev/null || true
  wait "$sim" 2>/dev/null || true
  build/tools/kest-card-ctl/kest-card-ctl remove 0 >/dev/null 2>&1 || true
}
trap cleanup EXIT
exit_on_signals
# Receivers run in the exchange's zone, as a host at the exchange does: the
# library reads the card's last-update times in local time.
(cd "$out" && export TZ=Asia/Shanghai LD_LIBRARY_PATH="$root/build/cardsim" &&
  with_parent "$root/build/tools/kest-md-recv/kest-md-recv" day.ini --record day.kestrec --seconds "$seconds" --quiet \
  --stale-ms 0 >recv.out 2>recv.err)
cleanup
tail -n 3 "$out/recv.out"
PYTHONPATH="$root/python${PYTHONPATH:+:$PYTHONPATH}" /usr/bin/python3 examples/python/plot_day.py \
  "$out/day.kestrec" -o "$png" --instruments 4
