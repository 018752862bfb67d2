#!/usr/bin/env bash
# The share of test code: non-blank lines of the tests (C/C++, Python and
# shell under tests/ and fuzz/) against the non-blank lines in the same
# languages of everything else (library, card model, exchange, tools,
# bindings, benchmarks, examples, scripts, bash completion), over the files
# git tracks. A file without an extension counts by its #! line. Prints the share of each
# language and of the whole; the project holds the whole to at most a third.
#
#   scripts/test-share.sh [--markdown FILE] [LIMIT_PERCENT]
#     exit status 1 above LIMIT_PERCENT (default: no limit); --markdown FILE also
#     writes the table as a page of the guide (e.g. docs/test-share.md)
set -euo pipefail
cd "$(dirname "$0")/.."
markdown=''
if [ "${1:-}" = --markdown ]; then
  [ $# -ge 2 ] || { echo "test-share.sh: --markdown needs a file" >&2; exit 2; }
  markdown=$2
  shift 2
fi
rows=()
count() { xargs -r -d '\n' cat -- | grep -cv '^[[:space:]]*$' || true; }
language() { # path: C/C++, Python, shell or nothing
  case $1 in
    *.c | *.cc | *.cpp | *.cxx | *.h | *.hh | *.hpp | *.hxx | *.inc) echo C/C++ ;;
    *.py) echo Python ;;
    *.sh | *.bash) echo shell ;;
    */bash-completion/*) echo shell ;;  # sourced by bash: no #! line
    *) case ${1##*/} in
         *.*) ;;
         *) case $(head -n 1 "$1" 2>/dev/null | tr -d '\0') in
              '#!'*python*) echo Python ;;
              '#!'*sh*) echo shell ;;
            esac ;;
       esac ;;
  esac
}
declare -A files=()
while IFS= read -r f; do
  [ -f "$f" ] || continue
  lang=$(language "$f")
  [ -n "$lang" ] || continue
  files[$lang]+="$f"$'\n'
done < <(git ls-files)

percent() { awk -v t="$1" -v c="$2" 'BEGIN { printf "%.1f", (c > 0 ? 100 * t / c : 0) }'; }
all_tests=0
all_code=0
printf '%-8s %7s %7s %7s\n' language tests code share
for lang in C/C++ Python shell; do
  list=${files[$lang]:-}
  tests=$(grep -E '^(tests|fuzz)/' <<<"$list" | grep -v '^$' | count)
  code=$(grep -vE '^(tests|fuzz)/' <<<"$list" | grep -v '^$' | count)
  printf '%-8s %7s %7s %6s%%\n' "$lang" "$tests" "$code" "$(percent "$tests" "$code")"
  rows+=("| $lang | $tests | $code | $(percent "$tests" "$code")% |")
  all_tests=$((all_tests + tests))
  all_code=$((all_code + code))
done
percent=$(percent "$all_tests" "$all_code")
echo "test share: tests $all_tests, code $all_code, $percent%"
if [ -n "$markdown" ]; then
  # Asked before the page is opened for writing, which changes it.
  local_changes=$(git diff --quiet HEAD || echo ' with local changes')
  {
    echo "# Test share"
    echo
    echo "Written by \`scripts/test-share.sh --markdown\` at commit $(git rev-parse --short HEAD)$local_changes, $(date -u '+%Y-%m-%d %H:%M UTC'). Non-blank lines of the tests (C/C++, Python and shell under \`tests/\` and \`fuzz/\`) against the non-blank lines in the same languages of everything else git tracks; [Testing](testing.md#the-test-share) says how it is counted."
    echo
    echo "| Language | Tests | Code | Share |"
    echo "|---|---|---|---|"
    printf '%s\n' "${rows[@]}"
    echo "| **All** | **$all_tests** | **$all_code** | **$percent%** |"
  } >"$markdown"
fi
if [ $# -gt 0 ]; then
  # On the counts themselves, not the rounded share.
  awk -v t="$all_tests" -v c="$all_code" -v l="$1" 'BEGIN { exit !(100 * t <= l * c) }' ||
    { echo "test share above $1%" >&2; exit 1; }
fi
