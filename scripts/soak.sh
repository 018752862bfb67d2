#!/usr/bin/env bash
# Soak over the card model: the simulated card and exchange at a high rate,
# 16 receiving processes (kest-md-recv, one per channel, each with its own
# instrument list), then the reconciliation per channel, printed as a table:
#
#   pushed    quotes the card wrote into the channel's ring
#   received  quotes the receiver delivered to its application
#   pending   messages (quotes and events) still in the ring when the
#             receiver was stopped: 0 once it has drained its ring
#   refused   quotes a full ring refused (lost before the receiver)
#   misrouted received quotes of an instrument not on the channel's list
#   backwards quotes whose change number did not grow for their instrument
#   missing   change numbers skipped (quotes the exchange lost on both lines)
#   events    lost-packet events the receiver's library logged / the card wrote
#
# Once the card stops, the receivers are left to drain their rings, however
# long a loaded machine takes (up to KEST_SOAK_DRAIN_S seconds, default 600);
# a receiver that does not is named with what its ring still held. A channel
# balances when its ring drained, pushed = received, every event the card
# wrote was logged, and nothing was refused, misrouted or backwards. Events
# and quotes are counted apart: the card's counts tell them apart, the ring's
# pending count does not. Lost-packet events are raised on purpose (--gap)
# with the exchange clock in the 15:00 minute window the library ignores, so
# they are counted without a re-bring-up.
#
#   scripts/soak.sh [SECONDS]       (default 30)
#
# KEST_SOAK_BUILD build directory (default build, configured and built if
# needed); KEST_SOAK_RATE updates per second per feed (default 6000);
# KEST_SOAK_GAP chance per packet of a lost-packet event (default 0.00002).
# Exit status 0 when every channel balances, 1 otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:-30}
build=${KEST_SOAK_BUILD:-build}
rate=${KEST_SOAK_RATE:-6000}
gap=${KEST_SOAK_GAP:-0.00002}
drain_s=${KEST_SOAK_DRAIN_S:-600}
. scripts/children.sh

if [ ! -x "$build/tools/kest-md-recv/kest-md-recv" ] || [ ! -x "$build/tools/kest-card-sim/kest-card-sim" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j "${KEST_JOBS:-2}" --target kest-md-recv kest-card-sim kest-card-ctl >/dev/null
fi
recv="$root/$build/tools/kest-md-recv/kest-md-recv"
sim="$root/$build/tools/kest-card-sim/kest-card-sim"
ctl="$root/$build/tools/kest-card-ctl/kest-card-ctl"
export LD_LIBRARY_PATH="$root/$build/cardsim"
export KEST_CARDSIM_NAMESPACE="soak.$$"

work=$(mktemp -d "${TMPDIR:-/tmp}/kest-soak.XXXXXX")
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  "$ctl" remove 0 >/dev/null 2>&1 || true
}
trap cleanup EXIT
exit_on_signals

# Each channel's list: three products, channel 15 everything (options too).
products=(cu al zn pb ni sn au ag rb hc ru fu bu sp ss ao br sc lu nr bc ec)
np=${#products[@]}
lists=()
for ch in $(seq 0 15); do
  if [ "$ch" -eq 15 ]; then
    lists+=("all")
  else
    lists+=("${products[$ch]},${products[$(((ch + 5) % np))]},${products[$(((ch + 11) % np))]}")
  fi
done
{
  sed -n '1,/^\[channel0\]/p' config/kest_md.ini | sed '$d' |
    sed -e 's/^log_level=.*/log_level=7/' -e 's/^crc_mux_check=.*/crc_mux_check=0/'
  for ch in $(seq 0 15); do
    options=norecv
    [ "$ch" -eq 15 ] && options=recv
    printf '[channel%d]\ninsts=%s\noptions=%s\n' "$ch" "${lists[$ch]}" "$options"
  done
} >"$work/ch0.ini"
for ch in $(seq 1 15); do
  printf '[config]\nlog_level=7\ncpucore=-1\ndevice=xilinx0:%d\n' "$ch" >"$work/ch$ch.ini"
done

# The exchange clock in the 15:00 window of today (local time): lost-packet
# events are then logged and ignored rather than answered by a bring-up.
clock=$(date -d "$(date +%F) 15:05:00" +%s)

"$ctl" create 0 >/dev/null
with_parent "$sim" --rate "$rate" --gap "$gap" --line-loss 0.01 --line-reorder 0.01 --clock "$clock" \
  --stats 0 >"$work/sim.out" 2>&1 &
simpid=$!
pids+=("$simpid")

start_receiver() {
  local ch=$1
  mkdir -p "$work/ch$ch"
  (cd "$work/ch$ch" && with_parent "$recv" "$work/ch$ch.ini" --quiet --stale-ms 0 >out.txt 2>err.txt) &
  pids+=("$!")
  rpid[$ch]=$!
}
declare -a rpid
start_receiver 0
deadline=$((SECONDS + 300))
until grep -q "logical start" "$work/ch0/out.txt" 2>/dev/null; do
  if [ $SECONDS -ge $deadline ] || ! kill -0 "${rpid[0]}" 2>/dev/null; then
    echo "soak.sh: channel 0 did not come up; see $work" >&2
    trap - EXIT
    cleanup
    exit 1
  fi
  sleep 0.2
done
for ch in $(seq 1 15); do start_receiver "$ch"; done

echo "soak: 16 receivers, rate $rate updates/s per feed, gap $gap, $seconds s; work in $work"
sleep "$seconds" &
wait $!
kill -TERM "$simpid"
wait "$simpid" || true

# Channels whose ring still holds messages and whose receiver still runs
# (one that has ended will drain nothing more), as "CH MESSAGES BYTES".
undrained() {
  "$ctl" status 0 | awk '/^channels:/ { on = 1; next } on && $3 == "/" { print $1, $2, $4 }' |
    while read -r ch msgs bytes; do
      if [ "$msgs" -gt 0 ] && kill -0 "${rpid[$ch]}" 2>/dev/null; then echo "$ch $msgs $bytes"; fi
    done
}
t0=$SECONDS
deadline=$((SECONDS + drain_s))
while [ -n "$(undrained)" ] && [ $SECONDS -lt $deadline ]; do sleep 0.5; done
left=$(undrained)
if [ -n "$left" ]; then
  echo "soak: not drained within $drain_s s:" \
    "$(echo "$left" | awk '{ printf "%schannel %s still held %s messages (%s bytes)", s, $1, $2, $3; s = ", " }')"
else
  echo "soak: every receiver drained its ring in $((SECONDS - t0)) s after the card stopped"
fi
for ch in $(seq 0 15); do kill -INT "${rpid[$ch]}" 2>/dev/null || true; done
for ch in $(seq 0 15); do wait "${rpid[$ch]}" || true; done
"$ctl" status 0 >"$work/status.txt"
pids=()

python3 - "$work" "$seconds" "${lists[@]}" <<'EOF'
import re, sys
work, seconds, lists = sys.argv[1], float(sys.argv[2]), sys.argv[3:]

def matches(inst, token, options):
    # The library's subscription rule: a two-letter product takes the
    # product's futures (options only with options=recv), anything else one
    # instrument exactly; "all" every future (and option with recv).
    if token == "all":
        return options or len(inst) < 7
    if len(token) == 2:
        return inst[:2] == token and (options or len(inst) < 7)
    return inst == token

sim = open(f"{work}/sim.out").read()
pushed, refused, events = {}, {}, {}
for m in re.finditer(r"channel +(\d+): quotes (\d+) refused (\d+) events (\d+)", sim):
    ch = int(m.group(1))
    pushed[ch], refused[ch], events[ch] = int(m.group(2)), int(m.group(3)), int(m.group(4))
stats = [l for l in sim.splitlines() if l.startswith("frames mirrored")]
gaps = sum(int(g) for g in re.findall(r"gaps (\d+)", stats[-1])) if stats else 0
pending = {}
for m in re.finditer(r"^\s+(\d+)\s+(\d+) /\s+\d+ /\s+\d+\s+\d+", open(f"{work}/status.txt").read(), re.M):
    pending[int(m.group(1))] = int(m.group(2))

rows, ok, total, held = [], True, 0, []
for ch in range(16):
    out = open(f"{work}/ch{ch}/out.txt", errors="replace").read()
    m = re.search(r"channel \d+: (\d+) quotes", out)
    received = int(m.group(1)) if m else -1
    insts = {}
    body = out.split("=== summary ===")[-1]
    for line in body.splitlines():
        f = line.split()
        if len(f) == 4 and f[2].isdigit() and f[3].isdigit():  # instrument feed quotes missing
            insts[f[0]] = insts.get(f[0], 0) + int(f[2])
    tokens = lists[ch].split(",")
    options = ch == 15
    misrouted = sum(n for i, n in insts.items() if not any(matches(i, t, options) for t in tokens))
    mm = re.search(r"missing quotes \(change-number gaps\): (\d+) in \d+ gaps; out of order: (\d+)", out)
    missing, backwards = (int(mm.group(1)), int(mm.group(2))) if mm else (-1, -1)
    logged = 0
    import glob
    for log in glob.glob(f"{work}/ch{ch}/kest_u50_*.log"):
        logged += open(log, errors="replace").read().count("received lost pkt event")
    p, r, pe, ev = pushed.get(ch, 0), refused.get(ch, 0), pending.get(ch, -1), events.get(ch, 0)
    # Pending messages may be quotes or events: only a drained ring balances.
    balanced = (received >= 0 and pe == 0 and p == received and logged == ev and r == 0 and misrouted == 0
                and backwards == 0)
    ok &= balanced
    if pe > 0 and received >= 0:
        held.append(f"channel {ch}: {pe} messages left in its ring, {p - received} quotes and {ev - logged} "
                    "events the receiver had not taken")
    total += max(received, 0)
    rows.append((ch, p, received, pe, r, misrouted, backwards, missing, f"{logged}/{ev}",
                 "yes" if balanced else "NO"))

hdr = ("ch", "pushed", "received", "pending", "refused", "misrouted", "backwards", "missing", "events", "balanced")
fmt = "{:>3} {:>12} {:>12} {:>8} {:>8} {:>9} {:>9} {:>8} {:>11} {:>8}"
print(fmt.format(*hdr))
for r in rows:
    print(fmt.format(*r))
for line in held:
    print(line)
print(f"total received {total} quotes in {seconds:.0f} s ({total / seconds:.0f} quotes/s); "
      f"lost-packet gaps raised by the exchange {gaps}; events = logged by the receiver / written by the card")
print("soak: every channel balances" if ok else "soak: NOT BALANCED", flush=True)
sys.exit(0 if ok else 1)
EOF
rm -rf "$work" # kept when a check fails, for its reader
