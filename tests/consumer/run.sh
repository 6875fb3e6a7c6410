#!/usr/bin/env bash
# Installs the build tree into a scratch prefix and uses the installation as a
# host would, with no LD_LIBRARY_PATH: runs the installed tool, compiles every
# installed header on its own, and builds and runs a small host through CMake's
# find_package and through pkg-config.
# Usage: run.sh BUILD SOURCE [TOOL]  (TOOL: the build tree's cx, when built)
set -uo pipefail
BUILD=$1
SOURCE=$2
TOOL=${3:-}
# shellcheck source=cli/tests/checks.sh
source "$SOURCE/../../cli/tests/checks.sh" "$TOOL"
unset LD_LIBRARY_PATH
P="$WORK/prefix"

if ! cmake --install "$BUILD" --prefix "$P" >/dev/null; then
  echo "FAIL cmake --install"
  exit 1
fi
library=$(find "$P" -name 'libcx.so.1' | head -n 1)
check "libcx.so.1 installed" yes "$([ -n "$library" ] && echo yes)"
libdir=$(dirname "$library")

# The installed tool finds the library through its own runpath.
if [ -n "$TOOL" ]; then
  check "installed tool runs" "$("$TOOL" --version 2>&1)" "$("$P/bin/cx" --version 2>&1)"
  mkdir -p "$WORK/tree/folder" && echo x >"$WORK/tree/folder/file"
  check "installed tool indexes" 0 "$("$P/bin/cx" index "$WORK/tree" "$WORK/tool.cx" 2>/dev/null; echo $?)"
  check "installed tool finds" "$("$TOOL" ls "$WORK/tool.cx" "$WORK/tree/folder/" 2>&1)" \
        "$("$P/bin/cx" ls "$WORK/tool.cx" "$WORK/tree/folder/" 2>&1)"
fi

# The man page renders, the schema of the JSON reports is in place, and
# bash completion offers the installed tool's commands, options and
# containers.
if [ -n "$TOOL" ]; then
  page="$P/share/man/man1/cx.1"
  check "man page installed" yes "$([ -s "$page" ] && echo yes)"
  render() {
    if command -v man >/dev/null; then
      LC_ALL=C MANWIDTH=200 man -l "$page" 2>&1
    else
      groff -man -Tascii -rLL=200n "$page" 2>&1
    fi
  }
  if command -v man >/dev/null || command -v groff >/dev/null; then
    check "man page renders" "yes yes" "$(render | grep -qF -- '--exclude-from FILE' && echo yes) $(render |
      grep -qF 'cx index [OPTIONS] DIR CONTAINER' && echo yes)"
  fi
  check "report schema installed" yes \
        "$(cmp -s "$P/share/cx/report.schema.json" "$SOURCE/../../cli/report.schema.json" && echo yes)"
  completion="$P/share/bash-completion/completions/cx"
  check "completion installed" yes "$([ -s "$completion" ] && echo yes)"
  mkdir -p "$WORK/complete/sub" && touch "$WORK/complete/a.cx" "$WORK/complete/b.txt"
  completions() {  # completions WORD...: what completing the last word offers, sorted, on one line
    bash -c 'source "$1" && shift && COMP_WORDS=("$@") && COMP_CWORD=$(($# - 1)) && _cx &&
             printf "%s\n" "${COMPREPLY[@]}" | LC_ALL=C sort | tr "\n" " "' completions "$completion" "$P/bin/cx" "$@"
  }
  check "completion of commands" "diff dups " "$(completions d)"
  check "completion of options" "--exclude --exclude-from " "$(completions index --ex)"
  check "completion of containers" "$WORK/complete/a.cx $WORK/complete/sub " "$(completions diff "$WORK/complete/")"
  check "completion of a FILE value" "$WORK/complete/b.txt " "$(completions -v index --exclude-from "$WORK/complete/b")"
fi

# Each header a host may include compiles on its own, with only the include
# root (and Boost) on the path.
for header in "$P/include/cx/"*.h; do
  name=cx/$(basename "$header")
  check "$name compiles alone" "" \
        "$(printf '#include <%s>\n' "$name" | g++ -std=c++17 -Wall -Wextra -Werror -fsyntax-only -I"$P/include" -x c++ - 2>&1)"
done

cmake -S "$SOURCE" -B "$WORK/cmake-build" -DCMAKE_PREFIX_PATH="$P" >"$WORK/cmake.log" 2>&1 &&
  cmake --build "$WORK/cmake-build" >>"$WORK/cmake.log" 2>&1
status=$?
[ "$status" -eq 0 ] || cat "$WORK/cmake.log"
check "find_package host builds" 0 "$status"
check "find_package host runs" "folder 1 file 1" "$("$WORK/cmake-build/host" "$WORK/a.cx" 2>&1)"

# The pkg-config file finds the prefix from where it lies, so a host needs
# nothing but PKG_CONFIG_PATH, wherever the prefix was installed or moved.
pc() { PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config "$@" cx; }
check "pkg-config finds the prefix" "$P/include" "$(realpath -m "$(pc --variable=includedir)")"
# The package's flags give the include root only: the library's generic
# header names (Export.h, KoError.h, ...) stay out of the host's own path.
# shellcheck disable=SC2046
check "pkg-config flags keep the headers under cx/" "1" \
      "$(printf '#include <KoError.h>\n' | g++ -std=c++17 -fsyntax-only $(pc --cflags) -x c++ - >/dev/null 2>&1; echo $?)"
# A host chooses how it finds the library at run time; this one records the
# library's folder as its runpath.
# shellcheck disable=SC2046
g++ -std=c++17 "$SOURCE/host.cpp" -o "$WORK/pc-host" $(pc --cflags --libs) -Wl,-rpath,"$libdir" 2>&1
check "pkg-config host runs" "folder 1 file 1" "$("$WORK/pc-host" "$WORK/b.cx" 2>&1)"
checks_summary
