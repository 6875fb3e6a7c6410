#!/usr/bin/env bash
# Installs the build tree into a scratch prefix, then builds and runs a small
# host against it twice: through CMake's find_package and through pkg-config.
set -euo pipefail
BUILD=$1
SOURCE=$2
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

cmake --install "$BUILD" --prefix "$WORK/prefix" >/dev/null
test -e "$WORK/prefix/lib/libcx.so.1" || test -e "$WORK/prefix/lib/x86_64-linux-gnu/libcx.so.1"
libdir=$(dirname "$(find "$WORK/prefix" -name 'libcx.so.1' | head -n 1)")

cmake -S "$SOURCE" -B "$WORK/cmake-build" -DCMAKE_PREFIX_PATH="$WORK/prefix" >/dev/null
cmake --build "$WORK/cmake-build" >/dev/null
LD_LIBRARY_PATH="$libdir" "$WORK/cmake-build/host" "$WORK/a.cx" | grep -q '^folder 1 file 1$'

export PKG_CONFIG_PATH="$libdir/pkgconfig"
# shellcheck disable=SC2046
g++ -std=c++17 "$SOURCE/host.cpp" -o "$WORK/pc-host" $(pkg-config --define-variable=prefix="$WORK/prefix" --cflags --libs cx)
LD_LIBRARY_PATH="$libdir" "$WORK/pc-host" "$WORK/b.cx" | grep -q '^folder 1 file 1$'
echo "1 passed, 0 failed"
