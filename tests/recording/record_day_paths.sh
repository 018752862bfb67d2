#!/usr/bin/env bash
# scripts/record-day.sh draws into the directory it runs from, refuses a
# default there that is the committed picture, and replaces it when --out
# names it (each asked with --dry-run: nothing is recorded). Exit 77: no git
# checkout to tell a tracked file by.
#   record_day_paths.sh SOURCE_DIR WORK_DIR
set -uo pipefail
script=$1/scripts/record-day.sh work=$2
fail() { echo "record_day_paths: $*" >&2; exit 1; }
# A copy of the sources outside git (a tarball, mutation-check.sh's copy) tracks nothing.
git -C "$1" ls-files --error-unmatch examples/python/sim_day.png >/dev/null 2>&1 ||
  { echo "record_day_paths: $1 is not a git checkout with examples/python/sim_day.png: skipped"; exit 77; }
mkdir -p "$work" && cd "$work" || fail "no $work"
said=$("$script" --dry-run) || fail "refused in $work: $said"
[[ $said == *"draw $work/sim_day.png" ]] || fail "not drawn into the working directory: $said"
cd "$1/examples/python" || fail "no examples/python"
said=$("$script" --dry-run 2>&1) && fail "the committed picture is the default's target: $said"
[[ $said == *"sim_day.png is a tracked file"* ]] || fail "no reason given: $said"
said=$("$script" --dry-run --out sim_day.png) || fail "--out naming it refused: $said"
[[ $said == *"draw $1/examples/python/sim_day.png" ]] || fail "--out not followed: $said"
