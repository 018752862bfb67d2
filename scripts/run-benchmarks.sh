#!/usr/bin/env bash
# Runs the benchmarks that print a figure beside a limit measured in the same
# run, each several times, and prints one table: the median figure, the
# median limit, the median of the per-run ratios, the target and whether the
# median meets it.
#
#   scripts/run-benchmarks.sh [--markdown FILE] [BUILD_DIR]     (default: build)
#
# --markdown FILE also writes the tables as a page of the guide (Markdown, one
# header: machine, commit, load), e.g. docs/performance-figures.md.
# KEST_BENCH_RUNS runs of each benchmark (default 5, at least 3);
# KEST_BENCH_CPUS=a,b the two cores of the cross-core measures (default 0,1);
# KEST_BENCHES="kest_bench_x ..." a subset. bench/replay/ReplayBench.cpp says
# how to measure the replay with the tools of another build;
# KEST_BENCH_RECORDING=0 leaves out the recording benchmark's table.
# Builds the benchmarks first when the build directory has been configured,
# else configures it (RelWithDebInfo, Ninja).
set -euo pipefail
cd "$(dirname "$0")/.."
markdown=''
if [ "${1:-}" = --markdown ]; then
  [ $# -ge 2 ] || { echo "run-benchmarks.sh: --markdown needs a file" >&2; exit 2; }
  markdown=$2
  shift 2
fi
build=${1:-build}
runs=${KEST_BENCH_RUNS:-5}
[ "$runs" -ge 3 ] || { echo "KEST_BENCH_RUNS must be at least 3" >&2; exit 2; }
benches=(${KEST_BENCHES:-kest_bench_latency kest_bench_throughput kest_bench_quotepath kest_bench_bringup kest_bench_replay kest_bench_recvtool kest_bench_trace})

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j "${KEST_JOBS:-2}" --target ${benches[@]} >/dev/null

raw=$(mktemp)
trap 'rm -f "$raw"' EXIT
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
for ((r = 1; r <= runs; r++)); do
  for b in ${benches[@]}; do
    exe=$(find "$build/bench" -type f -name "$b" -perm -u+x | head -n 1)
    [ -n "$exe" ] || { echo "$b not built" >&2; exit 1; }
    "$exe" | grep '^FIGURE ' >>"$raw" || { echo "$b failed" >&2; exit 1; }
  done
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

machine="$(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), $(uname -sr)"
conditions="load average before $load_before, after $load_after; $runs runs each, medians"
when="$(date -u '+%Y-%m-%d %H:%M UTC'); $conditions"
commit="$(git rev-parse --short HEAD 2>/dev/null || echo unknown)$(git diff --quiet HEAD 2>/dev/null || echo ', with local changes')"
table=$(mktemp)
trap 'rm -f "$raw" "$table"' EXIT
echo "Machine: $machine"
echo "Commit: $commit"
echo "Date: $when"
echo
awk '
function median(list,    n, a, i, j, t) {
  n = split(list, a, " ")
  for (i = 2; i <= n; i++) { t = a[i]; for (j = i - 1; j >= 1 && a[j] + 0 > t + 0; j--) a[j + 1] = a[j]; a[j + 1] = t }
  return (n % 2) ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
}
BEGIN {
  # key, what, limit, target kind (le: ratio <=, ge: ratio >=, add: figure - limit <=, none), target value
  n = 0
  row[++n] = "latency_p50|Card -> application one way, p50 (callback, 2 cores)|ping-pong one way, p50|le|1.5"
  row[++n] = "latency_p99|Card -> application one way, p99|ping-pong one way, p50|none|"
  row[++n] = "latency_p999|Card -> application one way, p99.9|ping-pong one way, p50|le|3"
  row[++n] = "latency_max|Card -> application one way, max|ping-pong one way, p50|none|"
  row[++n] = "latency_p50_vs_plain|Card -> application one way, p50|plain ring same framing, p50|none|"
  row[++n] = "plain_ring_p50|Plain ring same framing one way, p50|ping-pong one way, p50|none|"
  row[++n] = "model_poll_p50|Card model ring one way, p50 (bare poll)|ping-pong one way, p50|none|"
  row[++n] = "model_poll_vs_plain|Card model ring one way, p50 (bare poll)|plain ring same framing, p50|none|"
  row[++n] = "throughput|Throughput across cores, producer at full speed|plain ring same framing|ge|1"
  row[++n] = "throughput_bare_ring|The same, the model ring polled bare (plain ring work)|plain ring same framing|ge|1"
  row[++n] = "throughput_batched|Throughput across cores, batches of 32|plain ring same framing|ge|2"
  row[++n] = "throughput_two_producers|Throughput, two producer processes, one ring|plain ring same framing|none|"
  row[++n] = "empty_poll|Empty KestRecv()|bare empty poll_once|add|1"
  row[++n] = "quote_callback|Delivered quote, callback|bare poll + virtual call|le|1.15"
  row[++n] = "quote_buffer|Delivered quote, buffer|bare poll + 152-byte copy|le|1.15"
  row[++n] = "quote_callback_metrics|Delivered quote, callback, counted for --metrics|the same, not counted|add|2"
  row[++n] = "bringup|Full bring-up, channel 0, default sizes|the three 1 s pauses|le|1.15"
  row[++n] = "replay_buffer|Replay --speed max into KestRecv(record), 2 cores|the model ring itself, same receiver|ge|0.67"
  row[++n] = "replay_buffer_target|Replay --speed max into KestRecv(record)|the target|ge|1"
  row[++n] = "replay_record|Replay --speed max into kest-md-recv --record --quiet|the model ring itself, same receiver|none|"
  row[++n] = "replay_record_target|The same, recording identical to the source|the target|ge|1"
  row[++n] = "recv_tool_quote|kest-md-recv --record --quiet, work per quote (CPU)|one quote at 5 M/s (200 ns)|le|1"
  row[++n] = "recv_tool_quote_unrecorded|kest-md-recv --quiet, work per quote (CPU)|one quote at 5 M/s (200 ns)|le|1"
  row[++n] = "recv_tool_quote_vs_clocks|kest-md-recv --record --quiet, work per quote (CPU)|the three clock reads it made before|none|"
  row[++n] = "trace_empty_summary|Empty KestRecv() over the trace, quotes summarised|the same poll, untraced|add|5"
  row[++n] = "trace_empty_all|Empty KestRecv() over the trace, every quote stored|the same poll, untraced|add|5"
  row[++n] = "trace_quote_summary|Delivered quote over the trace, quotes summarised|the same poll, untraced|le|1.5"
  row[++n] = "trace_quote_all|Delivered quote over the trace, every quote stored|the same poll, untraced|none|"
  row[++n] = "trace_size_bringup|Trace per minute of bring-up, default sizes|the same entries uncompressed|none|"
  row[++n] = "trace_size_hour|Trace per hour of summarised trading, one stream|the same hour, all quotes kept|none|"
}
$1 == "FIGURE" {
  fig[$2] = fig[$2] " " $3; lim[$2] = lim[$2] " " $4; unit[$2] = $5
  ratio[$2] = ratio[$2] " " ($4 > 0 ? $3 / $4 : 0); diff[$2] = diff[$2] " " ($3 - $4)
}
END {
  printf "| %-54s | %14s | %-30s | %14s | %8s | %-8s | %-4s |\n", "Measure", "Figure", "Limit (same run)", "Limit value", "Ratio", "Target", "Met"
  printf "|%s|%s|%s|%s|%s|%s|%s|\n", "--------------------------------------------------------", "----------------", "--------------------------------", "----------------", "----------", "----------", "------"
  for (i = 1; i <= n; i++) {
    split(row[i], c, "|")
    k = c[1]
    if (!(k in fig)) continue
    f = median(fig[k]); l = median(lim[k]); u = unit[k]
    if (c[4] == "add") { r = median(diff[k]); rs = sprintf("%+.2f %s", r, u) } else { r = median(ratio[k]); rs = sprintf("%.2fx", r) }
    if (c[4] == "le") { t = "<= " c[5] "x"; met = (r <= c[5]) ? "yes" : "no" }
    else if (c[4] == "ge") { t = ">= " c[5] "x"; met = (r >= c[5]) ? "yes" : "no" }
    else if (c[4] == "add") { t = "<= +" c[5] " " u; met = (r <= c[5]) ? "yes" : "no" }
    else { t = "-"; met = "-" }
    printf "| %-54s | %10.2f %-3s | %-30s | %10.2f %-3s | %8s | %-8s | %-4s |\n", c[2], f, (u == "Mmsg/s" ? "M/s" : u), c[3], l, (u == "Mmsg/s" ? "M/s" : u), rs, t, met
  }
}' "$raw" | tee "$table"

# Recordings: a table of its own (each figure beside its limit, medians of
# KEST_BENCH_RUNS runs inside the program); KEST_BENCH_SLICE_ENTRIES=0 skips
# the 32 M-entry slice day (about 1.3 GB in /tmp for a minute).
recording=$(mktemp)
trap 'rm -f "$raw" "$table" "$recording"' EXIT
if [ "${KEST_BENCH_RECORDING:-1}" != 0 ] && [ -f "$build/CMakeCache.txt" ] &&
  cmake --build "$build" -j "${KEST_JOBS:-2}" --target kest_bench_recording >/dev/null; then
  echo
  "$build/bench/recording/kest_bench_recording" --runs "$runs" --slice-entries "${KEST_BENCH_SLICE_ENTRIES:-33554432}" \
    --python bench/recording/read_bench.py | tee "$recording"
fi

if [ -n "$markdown" ]; then
  {
    echo "# Performance figures"
    echo
    echo "Written by \`scripts/run-benchmarks.sh --markdown\` (benchmarks: ${benches[*]}$([ -s "$recording" ] && echo ", kest_bench_recording")); [Performance](performance.md) says what each figure measures and how to read it."
    echo
    echo "- Machine: $machine"
    echo "- Commit: $commit"
    echo "- Conditions: $conditions"  # the commit says which tree; the page says what is, not when
    echo
    echo "## Quote path, rings, bring-up, replay"
    echo
    cat "$table"
    if [ -s "$recording" ]; then
      echo
      echo "## Recordings"
      echo
      echo '```text'
      cat "$recording"
      echo '```'
    fi
  } >"$markdown"
  echo "run-benchmarks.sh: wrote $markdown"
fi
