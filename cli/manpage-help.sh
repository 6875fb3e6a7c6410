#!/usr/bin/env bash
# What help2man reads to write the man page: cx --version, and for --help the
# help of cx with the usage of every command in its synopsis, followed by the
# help of each command. The tool is $CX.
set -euo pipefail
if [ "${1:-}" = --version ]; then
  exec "$CX" --version
fi
commands=$("$CX" --help | sed -n '/^Subcommands:/,$s/^  \([a-z]\+\) .*/\1/p')
"$CX" --help | sed -n '1p;2s/SUBCOMMAND/COMMAND [OPTIONS] [ARGUMENTS]/p'
for command in $commands; do
  "$CX" "$command" --help | sed -n 's/^Usage: /  or: /p'
done
"$CX" --help | sed '1,2d'
for command in $commands; do
  echo
  echo "cx $command:"
  # The command's own description, then its arguments and options; -h and
  # the exit statuses are the same for every command and said once above.
  "$CX" "$command" --help |
    sed '/^Usage:/d; /^Positionals:$/d; /^Options:$/d; /^  -h,--help /d; /^Exit status:/d; /^$/d; s/^/  /'
done
