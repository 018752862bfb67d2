#!/usr/bin/env bash
# Records a whole simulated trading day through the library and draws it:
# the simulated exchange from 20:50 China Standard Time at 200 times real
# time (the night auction, the night session, the day session and the next
# night's auction and roll pass in about seven and a half minutes),
# kest-md-recv --record on channel 0 (cu, au, rb and sc futures), then
# plot_day.py.
#
#   scripts/record-day.sh [--out PNG] [--dry-run] [OUT_DIR]
#
# OUT_DIR (default build/day) holds the recording and the tools' output; the
# picture goes to PNG (default sim_day.png in the directory the script is run
# from). A default that is a file git tracks (run from examples/python/, say)
# is refused: the committed picture is replaced only when --out names it.
# --dry-run says where the recording and the picture would go, and stops.
set -euo pipefail
here=$PWD
png="" out="" dry=0
while [ $# -gt 0 ]; do
  case $1 in
    --out) [ $# -ge 2 ] || { echo "record-day.sh: --out needs a file" >&2; exit 2; }; png=$2; shift 2 ;;
    --out=*) png=${1#--out=}; shift ;;
    --dry-run) dry=1; shift ;;
    -h | --help) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "record-day.sh: unknown option $1" >&2; exit 2 ;;
    *) [ -z "$out" ] || { echo "record-day.sh: one OUT_DIR only (the picture: --out PNG)" >&2; exit 2; }
       out=$1; shift ;;
  esac
done
if [ -z "$png" ]; then
  png=$here/sim_day.png
  if git -C "$here" ls-files --error-unmatch -- "$png" >/dev/null 2>&1; then
    echo "record-day.sh: $png is a tracked file; give --out $png to replace it" >&2
    exit 2
  fi
fi
case $png in /*) ;; *) png=$here/$png ;; esac
case $out in /* | "") ;; *) out=$here/$out ;; esac
cd "$(dirname "$0")/.."
root=$PWD
out=${out:-$root/build/day}
if [ "$dry" = 1 ]; then
  echo "record-day.sh: would record into $out and draw $png"
  exit 0
fi
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
