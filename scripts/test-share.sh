#!/usr/bin/env bash
# The share of test code: non-blank lines of C/C++ under tests/ and fuzz/
# against the non-blank C/C++ lines of everything else, over the files git
# tracks. The project holds the first to at most a third of the second.
#
#   scripts/test-share.sh [LIMIT_PERCENT]    exit status 1 above LIMIT_PERCENT (default: no limit)
set -euo pipefail
cd "$(dirname "$0")/.."
count() { xargs -r -d '\n' cat -- | grep -cv '^[[:space:]]*$' || true; }
files=$(git ls-files | grep -E '\.(c|cc|cpp|cxx|h|hh|hpp|hxx|inc)$')
tests=$(grep -E '^(tests|fuzz)/' <<<"$files" | count)
code=$(grep -vE '^(tests|fuzz)/' <<<"$files" | count)
percent=$(awk -v t="$tests" -v c="$code" 'BEGIN { printf "%.1f", 100 * t / c }')
echo "test share: tests $tests, code $code, $percent%"
if [ $# -gt 0 ]; then
  awk -v p="$percent" -v l="$1" 'BEGIN { exit !(p <= l) }' || { echo "test share above $1%" >&2; exit 1; }
fi
