#!/usr/bin/env bash
# Makes the Debian packages of the build tree with cpack into a scratch
# folder, and checks them without installing them: the files each package
# holds, the control fields that tie them together, and, unpacked together
# into a scratch root with dpkg-deb -x, that the tool runs from there with the
# library beside it, the man page renders, the SQLite extension loads, the
# systemd units verify and a host builds through pkg-config with nothing but
# PKG_CONFIG_PATH.
# Usage: run.sh BUILD SOURCE [TOOL]  (TOOL: the build tree's cx, when built)
set -uo pipefail
BUILD=$1
SOURCE=$2
TOOL=${3:-}
# shellcheck source=cli/tests/checks.sh
source "$SOURCE/cli/tests/checks.sh" "$TOOL"
unset LD_LIBRARY_PATH

if ! cpack --config "$BUILD/CPackConfig.cmake" -B "$WORK/cpack" >"$WORK/cpack.log" 2>&1; then
  cat "$WORK/cpack.log"
  echo "FAIL cpack"
  exit 1
fi
prefix=$(sed -n 's/^set(CPACK_PACKAGING_INSTALL_PREFIX "\(.*\)")$/\1/p' "$BUILD/CPackConfig.cmake")
version=$(sed -n 's/^set(CPACK_DEBIAN_PACKAGE_VERSION "\(.*\)")$/\1/p' "$BUILD/CPackConfig.cmake")
names="libcx-dev libcx1"
[ -n "$TOOL" ] && names="cx $names"
check "the packages" "$names" "$(cd "$WORK/cpack" && printf '%s\n' *.deb | sed 's/_.*//' | LC_ALL=C sort | xargs)"
deb() { echo "$WORK/cpack/$1_${version}_$(dpkg --print-architecture).deb"; }

# What each package holds, below the prefix: the library's folder reads LIB
# (lib, or lib/<multiarch> for /usr), the headers are compared with the
# source's public ones apart.
library=$(dpkg-deb -c "$(deb libcx1)" | sed -n 's|.* \./\(.*\)/libcx\.so\.1 -> .*|\1|p')
lib=${library#"${prefix#/}"/}
contents() {  # contents PACKAGE: its files and links, one per line, sorted
  dpkg-deb -c "$(deb "$1")" | grep -v '^d' | sed 's/ -> .*//; s|.* \./||' | sed "s|^${prefix#/}/||; /^lib\/systemd\//!s|^$lib/|LIB/|" |
    grep -v '^include/cx/' | sed 's/cxTargets-[a-z]*\.cmake$/cxTargets-CONFIG.cmake/' | LC_ALL=C sort
}
check "libcx1 holds" "LIB/libcx.so.1
LIB/libcx.so.$version
share/doc/libcx1/changelog.gz
share/doc/libcx1/copyright" "$(contents libcx1)"
check "libcx-dev holds" "LIB/cmake/cx/cxConfig.cmake
LIB/cmake/cx/cxConfigVersion.cmake
LIB/cmake/cx/cxTargets-CONFIG.cmake
LIB/cmake/cx/cxTargets.cmake
LIB/libcx.so
LIB/pkgconfig/cx.pc
share/doc/libcx-dev/changelog.gz
share/doc/libcx-dev/copyright" "$(contents libcx-dev)"
check "libcx-dev holds the public headers" \
      "$(cd "$SOURCE" && printf '%s\n' foundation/*.h contentcontainer/*.h walk/*.h compare/*.h review/*.h uniquename/*.h |
         sed 's|.*/||' | LC_ALL=C sort)" \
      "$(dpkg-deb -c "$(deb libcx-dev)" | sed -n 's|.*/include/cx/\(.*\.h\)$|\1|p' | LC_ALL=C sort)"
if [ -n "$TOOL" ]; then
  page=share/man/man1/cx.1.gz
  check "cx holds" "$(printf '%s\n' LIB/cx/libcx_sqlite.so bin/cx lib/systemd/system/cx-check@.service \
                      lib/systemd/system/cx-check@.timer share/bash-completion/completions/cx \
                      share/doc/cx/changelog.gz share/doc/cx/copyright share/doc/cx/examples/cron \
                      share/doc/cx/examples/policy $page | LC_ALL=C sort)" \
        "$(contents cx | grep -v '^share/cx/')"
  check "cx holds the report's schema" yes \
        "$(dpkg-deb --fsys-tarfile "$(deb cx)" | tar -xOf - "./${prefix#/}/share/cx/report.schema.json" |
           cmp -s - "$SOURCE/cli/report.schema.json" && echo yes)"
fi

# The fields that tie the packages together.
field() { dpkg-deb -f "$(deb "$1")" "$2"; }
check "libcx1 tells dpkg-shlibdeps it provides libcx.so.1, and has ldconfig run" \
      "libcx 1 libcx1 (>= $version) activate-noawait ldconfig" \
      "$(dpkg-deb -I "$(deb libcx1)" shlibs triggers | xargs)"
check "libcx-dev depends on this libcx1" yes "$(field libcx-dev Depends | grep -F "libcx1 (= $version)" >/dev/null && echo yes)"
# Computed by dpkg-shlibdeps, but for libcrypto's package (libssl3), which
# the library loads for its first digest: without them dpkg would install a
# library that cannot load, or cannot digest.
check "libcx1 depends on the libraries it links and loads" "libc6 libsqlite3-0 libssl3" \
      "$(field libcx1 Depends | tr ',' '\n' | sed 's/ *\([^ ]*\).*/\1/' | grep -x 'libc6\|libsqlite3-0\|libssl3' | sort | xargs)"
if [ -n "$TOOL" ]; then
  check "cx depends on this libcx1" yes "$(field cx Depends | grep -F "libcx1 (= $version)" >/dev/null && echo yes)"
  check "cx recommends ssh-keygen's package" openssh-client "$(field cx Recommends)"
fi
for name in $names; do
  check "$name: maintainer" "cx developers" "$(field "$name" Maintainer | sed 's/ <.*//')"
  check "$name: copyright holds the license" yes \
        "$(dpkg-deb --fsys-tarfile "$(deb "$name")" | tar -xOf - "./${prefix#/}/share/doc/$name/copyright" |
           grep -F 'Permission is hereby granted, free of charge' >/dev/null && echo yes)"
done

# Unpacked together, as dpkg would install them, into a scratch root.
R="$WORK/root"
for name in $names; do
  dpkg-deb -x "$(deb "$name")" "$R"
done
P="$R$prefix"
if [ -n "$TOOL" ]; then
  check "the unpacked tool runs" "$("$TOOL" --version 2>&1)" "$("$P/bin/cx" --version 2>&1)"
  check "the unpacked tool uses the unpacked library" "$P/$lib/libcx.so.1" \
        "$(ldd "$P/bin/cx" | sed -n 's/.*libcx\.so\.1 => \(.*\) (.*/\1/p' | xargs realpath -ms)"
  mkdir -p "$WORK/tree" && echo x >"$WORK/tree/file"
  "$P/bin/cx" index "$WORK/tree" "$WORK/tree.cx" 2>/dev/null
  check "the SQLite extension loads" ok \
        "$(sqlite3 "$WORK/tree.cx" -cmd ".load $P/$lib/cx/libcx_sqlite" 'PRAGMA integrity_check;' 2>&1)"
  check "the man page renders" yes \
        "$(LC_ALL=C MANWIDTH=200 man -l "$P/$page" 2>&1 | grep -F 'cx index [OPTIONS] DIR CONTAINER' >/dev/null && echo yes)"
  check "the units run the packaged tool" \
        "ExecStart=$prefix/bin/cx check --quiet --syslog --verify" \
        "$(grep -o '^ExecStart=.* --verify' "$P/lib/systemd/system/cx-check@.service")"
  if command -v systemd-analyze >/dev/null; then
    # Verified where they would run the unpacked tool: verify checks that
    # the command exists. Documentation= names a man page not installed.
    mkdir -p "$WORK/units"
    sed "s|^ExecStart=$prefix/|ExecStart=$P/|" "$P/lib/systemd/system/cx-check@.service" >"$WORK/units/cx-check@.service"
    cp "$P/lib/systemd/system/cx-check@.timer" "$WORK/units/"
    check "systemd-analyze verify" "" \
          "$(systemd-analyze verify --man=no "$WORK/units/cx-check@.service" "$WORK/units/cx-check@.timer" 2>&1)"
  else
    echo "note: no systemd-analyze (package systemd), the units are not verified"
  fi
fi

# A host needs only PKG_CONFIG_PATH; it chooses itself how it finds the
# library at run time (here a runpath).
export PKG_CONFIG_PATH="$P/$lib/pkgconfig"
# shellcheck disable=SC2046  # the flags are words
g++ -std=c++17 "$SOURCE/tests/consumer/host.cpp" -o "$WORK/host" $(pkg-config --cflags --libs cx) \
  -Wl,-rpath,"$P/$lib" 2>&1
check "a host built through pkg-config runs" "folder 1 file 1" "$("$WORK/host" "$WORK/host.cx" 2>&1)"
checks_summary
