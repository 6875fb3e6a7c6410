#!/usr/bin/env bash
# Bash completion of cx (cli/cx.bash-completion) against the tool's own help:
# each case sets COMP_WORDS as bash would and compares what _cx offers.
# Usage: completion.sh CX COMPLETION
set -uo pipefail

# shellcheck source=cli/tests/checks.sh
source "$(dirname "$0")/checks.sh" "$1"
COMPLETION=$2

D="$WORK/d"
mkdir -p "$D/sub"
touch "$D/a.cx" "$D/b.txt" "$D/b2.txt"

offers() {  # offers WORD...: what completing the last word offers, sorted, on one line
  bash -c 'source "$1" && shift && COMP_WORDS=("$@") && COMP_CWORD=$(($# - 1)) && _cx &&
           printf "%s\n" "${COMPREPLY[@]}" | LC_ALL=C sort | paste -sd " "' offers "$COMPLETION" "$CX" "$@"
}

all_attributes="acl caps ctime default_acl digest flags gid mode mtime nlink rdev selinux size target type uid"
# NAME|EXPECTED|WORDS after cx, separated by spaces (an empty last word as '').
# "=" stands alone where bash splits "--option=value" at it, as it does by
# default; a word "--option=value" is what it sees without "=" among
# COMP_WORDBREAKS.
while IFS='|' read -r name expected words; do
  eval "set -- $words"
  check "$name" "$expected" "$(offers "$@")"
done <<EOF
commands|diff dups|d
options of check|--exclude --exclude-from|check --ex
FILE of check --exclude-from|$D/b.txt $D/b2.txt|check --exclude-from $D/b
FILE of index --exclude-from|$D/b.txt $D/b2.txt|-v index --exclude-from $D/b
FILE after =|$D/b.txt $D/b2.txt|check --exclude-from = $D/b
FILE in a whole word|--exclude-from=$D/b.txt --exclude-from=$D/b2.txt|check --exclude-from=$D/b
no value for a PATTERN||index --exclude ''
no value for a number||dups -j ''
algorithms right after --checksum=|blake2b sha256 sha512 xxh128|index --checksum =
algorithms of check|sha256 sha512|check --checksum = sh
algorithms in a whole word|--checksum=xxh128|index --checksum=x
--checksum DIR is a flag and a folder|$D/a.cx $D/b.txt $D/b2.txt $D/sub|index --checksum $D/
attributes|$all_attributes|diff --ignore ''
attributes after a comma|mtime,mode|check --ignore mtime,mo
attributes after = and commas|size,mtime,caps size,mtime,ctime|check --ignore = size,mtime,c
attributes in a whole word|--ignore=mode --ignore=mtime|diff --ignore=m
containers|$D/a.cx $D/sub|diff $D/
EOF
checks_summary
