# Sourced by the scripts and test scripts that start processes in the
# background, so that every child ends with the script, however it ends.
#
#   with_parent CMD [ARG...]  in a background job or a ( ... ) subshell:
#                             becomes CMD, killed by SIGKILL when the
#                             script dies (kill -9 included, when no trap
#                             runs), and ends at once when the script is
#                             already gone by then
#   exit_on_signals           HUP, INT and TERM end the script through its
#                             EXIT trap, where its cleanup stops the children
#
# Without setpriv (util-linux) the traps alone stop the children.
with_parent() {
  if [ "$BASHPID" = "$$" ]; then
    echo "with_parent: only in a background job or a subshell (it replaces the shell)" >&2
    return 2
  fi
  local parent _
  # The process that forked this subshell: the script, or a subshell of it.
  read -r _ _ _ parent _ <"/proc/$BASHPID/stat"
  if command -v setpriv >/dev/null 2>&1; then
    exec setpriv --pdeathsig KILL -- /bin/sh -c '[ "$PPID" = "$0" ] || exit 127; exec "$@"' "$parent" "$@"
  fi
  exec "$@"
}

exit_on_signals() {
  trap 'exit 129' HUP
  trap 'exit 130' INT
  trap 'exit 143' TERM
}
