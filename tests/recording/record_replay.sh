#!/usr/bin/env bash
# Records a live run of the model on channel 0, replays the recording into
# channel 3 of a fresh card and records again: the two recordings must hold
# the same record bytes in the same order. Then replays it into channel 0
# (the receiver's bring-up answered as the simulated exchange does) as fast as
# the ring takes it, and prints the replay's rate beside the receiver's.
#
#   record_replay.sh KEST_MD_RECV KEST_CARD_SIM KEST_CARD_CTL KEST_RECORD MODEL_LIB_DIR SAMPLE_CONFIG
set -euo pipefail
. "$(dirname "$0")/await.sh"
. "$(dirname "$0")/../../scripts/children.sh"
recv=$1 card_sim=$2 card_ctl=$3 record=$4
export LD_LIBRARY_PATH="$5${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
sample=$6
work=$(mktemp -d)
sim=""
cleanup() {
  [ -n "$sim" ] && kill "$sim" 2>/dev/null && wait "$sim" 2>/dev/null
  # A receiver left by a failed wait would poll on for ever.
  for pid in "${receivers[@]}"; do kill "$pid" 2>/dev/null || true; done
  for ns in "${namespaces[@]}"; do KEST_CARDSIM_NAMESPACE=$ns "$card_ctl" remove 0 >/dev/null 2>&1 || true; done
  rm -rf "$work"
}
namespaces=()
receivers=()
trap cleanup EXIT
exit_on_signals
cd "$work"
fail() {
  echo "record_replay: $*" >&2
  for f in "$work"/*.out; do echo "--- $f"; tail -n 15 "$f"; done >&2
  exit 1
}

# A configuration for a channel: the sample one with the channel changed.
config() { sed "s/^device=.*/device=xilinx0:$1/" "$sample" >"ch$1.ini"; }
config 0
config 3

start_card() { # namespace, kest-card-sim options...
  export KEST_CARDSIM_NAMESPACE=$1
  namespaces+=("$1")
  shift
  with_parent "$card_sim" --card 0 --stats 0 "$@" >"sim.$KEST_CARDSIM_NAMESPACE.out" 2>&1 &
  sim=$!
  await "a simulated card in $KEST_CARDSIM_NAMESPACE" sh -c "'$card_ctl' list 2>/dev/null | grep -q '^0 '"
}
stop_card() {
  kill "$sim" 2>/dev/null || true
  wait "$sim" || true
  sim=""
}

# Waits until the file holds `count` quotes (the receiver writes an idle
# block out within 200 ms), then stops the receiver.
holds() { # pid, recording, count
  kill -0 "$1" 2>/dev/null || fail "the receiver ended before $2 held $3 quotes"
  have=$("$record" info "$2" 2>/dev/null | sed -n 's/.* \([0-9]*\) records$/\1/p')
  [ "${have:-0}" -ge "$3" ]
}
receive_until() { # pid, recording, count
  await "$2 to hold $3 quotes" holds "$@"
  kill -INT "$1"
  wait "$1" || fail "the receiver failed"
}

ns="rec.$$"
# On a simulated clock from Friday 2025-01-03 20:58 CST: the night session trades for Monday.
start_card "$ns.live" --shfe-size 300 --ine-size 100 --rate 5 --clock 2025-01-03T20:58 --clock-speed 60 --sessions off
with_parent "$recv" ch0.ini --record live.kestrec --csv live.csv --quiet >recv-live.out 2>&1 &
receivers+=($!)
receive_until $! live.kestrec 1000
stop_card
live=$("$record" info live.kestrec | sed -n 's/.* \([0-9]*\) records$/\1/p')
[ "${live:-0}" -ge 1000 ] || fail "only ${live:-0} quotes recorded live"
echo "recorded live on channel 0: $live quotes"
"$record" info live.kestrec | grep -q '^  exchange clock: simulated, 2025-01-03T12:5.* 60.000 exchange seconds a second' ||
  fail "info shows no simulated clock: $("$record" info live.kestrec)"
for csv in "$("$record" csv live.kestrec)" "$(cat live.csv)"; do
  dates=$(echo "$csv" | cut -d, -f2 | sed 1d | sort -u | tr '\n' ' ')
  [ "$dates" = "20250106 " ] || fail "trading dates $dates, not Monday 20250106 of the simulated Friday night"
done

# Waits for the simulated card's line saying the replay is done.
replay_done() {
  kill -0 "$sim" 2>/dev/null || grep -q '^replayed' "$1" || fail "the simulated card ended before its replay"
  grep -q '^replayed' "$1"
}
replayed() { # sim output
  await "the simulated card to finish its replay" replay_done "$1"
  grep '^replayed' "$1"
  n=$(sed -n 's/^replayed \([0-9]*\) records.*/\1/p' "$1")
  [ "${n:-0}" -eq "$live" ] || fail "the replay played ${n:-0} of the $live records recorded"
}

start_card "$ns.ch3" --replay live.kestrec --channel 3 --speed 4
with_parent "$recv" ch3.ini --record replayed3.kestrec --quiet >recv-ch3.out 2>&1 &
receiver=$!
receivers+=($receiver)
replayed "sim.$ns.ch3.out"
receive_until $receiver replayed3.kestrec "$live"
stop_card
"$record" compare live.kestrec replayed3.kestrec || fail "the replay into channel 3 differs"
"$record" cat live.kestrec --limit $((live - 1)) -o short.kestrec
"$record" compare short.kestrec live.kestrec >/dev/null && fail "compare calls a recording the same as a longer one"

start_card "$ns.ch0" --replay live.kestrec --channel 0 --speed max
with_parent "$recv" ch0.ini --record replayed0.kestrec --quiet >recv-ch0.out 2>&1 &
receiver=$!
receivers+=($receiver)
replayed "sim.$ns.ch0.out"
receive_until $receiver replayed0.kestrec "$live"
stop_card
"$record" compare live.kestrec replayed0.kestrec || fail "the replay into channel 0 differs"
echo "the receiver on channel 0 during the replay at maximum speed:"
grep -E '^channel 0: ' recv-ch0.out
