#!/bin/sh
# Installs the build into a fresh prefix and builds two consumers against
# the installed tree alone: one with find_package(kesta), one with
# pkg-config. Both must run.
set -eu
build=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
for f in include/kesta.h lib/libkesta.so lib/libkesta.so.1 lib/pkgconfig/kesta.pc \
    lib/cmake/kesta/kestaConfig.cmake; do
    [ -e "$work/prefix/$f" ] || { echo "install_test: $f was not installed" >&2; exit 1; }
done
[ "$(readlink "$work/prefix/lib/libkesta.so")" = libkesta.so.1 ] ||
    { echo "install_test: libkesta.so does not link to the soname" >&2; exit 1; }

cmake -S "$source/tests/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$work/prefix" \
    -DCMAKE_BUILD_RPATH="$work/prefix/lib" >/dev/null
cmake --build "$work/consumer" >/dev/null
"$work/consumer/consumer"

PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig" cc -std=c99 -o "$work/pc-consumer" \
    "$source/tests/consumer/main.c" $(PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig" \
    pkg-config --cflags --libs kesta) -Wl,-rpath,"$work/prefix/lib"
"$work/pc-consumer"
