#!/usr/bin/env bash
# The man page keeps up with the tool: every command that cx --help lists
# has a subsection under COMMANDS headed by its usage line, and every option
# that cx COMMAND --help lists is described there (or, for -h and --help,
# under OPTIONS); and the page renders without a warning.
# Usage: manpage.sh CX PAGE
set -uo pipefail

# shellcheck source=cli/tests/checks.sh
source "$(dirname "$0")/checks.sh" "$1"
PAGE=$2

if ! command -v man >/dev/null; then
  echo "skipped: no man (package man-db)"
  exit 0
fi

# section TITLE: the text of the .SH or .SS section headed TITLE, as plain
# text: font changes and zero-width escapes dropped, \- as -, and the
# macros and the quotes around their arguments gone.
section() {
  sed 's/\\-/-/g' "$PAGE" |
    awk -v title="$1" '
      /^\.S[HS] / { heading = $0; sub(/^\.S[HS] "?/, "", heading); sub(/"$/, "", heading)
                    inside = heading == title; next }
      inside' |
    sed -e 's/\\f[BIRP]//g; s/\\[&%]//g; s/\\c$//; s/\\(aq/'"'"'/g; s/\\(dq/"/g; s/\\ / /g' \
        -e 's/^\.[A-Z]\{1,2\} //; s/"//g'
}
# The options a help text lists: the first word of each option line, split
# at its commas, without a {default} or a [=VALUE].
options() {
  sed -n 's/^  \(-[^ ]*\).*/\1/p' | sed 's/{[^}]*}//; s/\[.*//' | tr ',' '\n'
}

common=$(section OPTIONS)
commands=$("$CX" --help | sed -n '/^Subcommands:/,$s/^  \([a-z]\+\) .*/\1/p')
check "commands listed" yes "$([ "$(wc -w <<<"$commands")" -ge 9 ] && echo yes)"
for option in $("$CX" --help | options); do
  check "cx $option described" yes "$(grep -qe "\(^\|[^a-z-]\)$option\([^a-z-]\|$\)" <<<"$common" && echo yes)"
done
for command in $commands; do
  usage=$("$CX" "$command" --help | sed -n 's/^Usage: //p')
  text=$(section "$usage")
  check "cx $command: a subsection headed \"$usage\"" yes "$([ -n "$text" ] && echo yes)"
  missing=""
  for option in $("$CX" "$command" --help | options); do
    grep -qe "\(^\|[^a-z-]\)$option\([^a-z-]\|$\)" <<<"$text"$'\n'"$common" || missing+=" $option"
  done
  check "cx $command: every option described" "" "$missing"
done

# As lintian renders a page to look for warnings.
check "renders without warnings" "" \
  "$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$PAGE" 2>&1 >/dev/null)"
check "renders without warnings, all of groff's" "" "$(groff -ww -z -man "$PAGE" 2>&1)"
checks_summary
