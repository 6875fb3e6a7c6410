# shellcheck shell=bash disable=SC2034  # CX and EXTENSION are for the sourcing script
# Shared by the tool's test scripts, which source it with their arguments:
# CX (the tool) and EXTENSION (the loadable SQLite extension, optional), a
# scratch folder WORK removed on exit, and the check counters.
CX=$1
EXTENSION=${2:-}
WORK=$(mktemp -d)
# Only by the script itself: a child it forked for a background command, hit
# by a signal before it runs the command, would run this trap too.
trap '[ "$BASHPID" = "$$" ] && rm -rf "$WORK"' EXIT
# A temporary folder of the script's own: what it looks for there is its
# own, however many other cx runs share the machine's.
export TMPDIR="$WORK/tmp"
mkdir -m 1777 "$TMPDIR"  # the other users some scripts act as write there too
failures=0
checks=0

check() {  # check NAME EXPECTED ACTUAL
  checks=$((checks + 1))
  if [ "$2" != "$3" ]; then
    failures=$((failures + 1))
    printf 'FAIL %s\n--- expected\n%s\n--- actual\n%s\n' "$1" "$2" "$3"
  fi
}

checks_summary() {  # prints the counts; fails when a check failed
  echo "$((checks - failures)) passed, $failures failed"
  [ "$failures" -eq 0 ]
}
