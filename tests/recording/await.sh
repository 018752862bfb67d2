# Sourced by the recording tests. Waits for a condition, not for a time: a
# loaded machine or a sanitizer may take minutes over a bring-up; the
# deadline only ends a run that hangs, naming what it waited for (the
# sourcing script's fail).
await() { # what, command...
  local what=$1 deadline=$((SECONDS + 400))
  shift
  until "$@"; do
    [ $SECONDS -lt $deadline ] || fail "waited 400 s for $what"
    sleep 0.2
  done
}
