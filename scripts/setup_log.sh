# shellcheck shell=bash
# Sourced by install-deps.sh and enable-i386.sh: the package manager's own
# output goes to one log file, build/setup.log (QMB_SETUP_LOG), and the
# set-up prints a few lines of its own. The scripts that source this set
# `root` to the repository first.

# setup_log_open: starts the log, unless a calling set-up script has (it
# exports QMB_SETUP_LOG and QMB_SETUP_LOG_OPEN); SETUP_LOG_SHOWN is its name
# as printed, relative to the current folder where it lies below it.
setup_log_open() {
  if [ -z "${QMB_SETUP_LOG_OPEN:-}" ]; then
    export QMB_SETUP_LOG="${QMB_SETUP_LOG:-$root/build/setup.log}" QMB_SETUP_LOG_OPEN=1
    mkdir -p "$(dirname "$QMB_SETUP_LOG")"
    echo "set-up of $(date -u '+%Y-%m-%d %H:%M:%S UTC')" >"$QMB_SETUP_LOG"
  fi
  SETUP_LOG_SHOWN="$(realpath --relative-base=. "$QMB_SETUP_LOG")"
}

# logged OUTPUT COMMAND...: runs COMMAND with its output in the file OUTPUT,
# which is then added to the log under the command line; COMMAND's status.
logged() {
  local out="$1" rc=0
  shift
  "$@" >"$out" 2>&1 </dev/null || rc=$?
  { printf '\n$ %s\n' "$*"; cat "$out"; printf '(exit status %d)\n' "$rc"; } >>"$QMB_SETUP_LOG"
  return "$rc"
}

# failed STATUS COMMAND...: shows the log's last lines (without dpkg's
# progress lines) and the command that failed.
failed() {
  local rc="$1"
  shift
  echo "install-deps: the last lines of $SETUP_LOG_SHOWN:" >&2
  grep -v '^(Reading database \.\.\.' "$QMB_SETUP_LOG" | tail -n 15 | sed 's/^/  | /' >&2
  echo "install-deps: FAILED: $* (exit status $rc)" >&2
}
