#!/usr/bin/env bash
# Installs the build tree into a temporary prefix, then builds and runs a small C program against
# it twice: through find_package(ckhelper) and through pkg-config.
# usage: check.sh BUILD_DIR
set -euo pipefail
build=$1
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
libdir=$(dirname "$(find "$work/prefix" -name 'libckhelper.so*' -print -quit)")

cmake -S "$here" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
LD_LIBRARY_PATH=$libdir "$work/cmake-build/consumer"

export PKG_CONFIG_PATH=$libdir/pkgconfig
# shellcheck disable=SC2046 # the flags are meant to split
cc -Wall -Werror -o "$work/pc-consumer" "$here/consumer.c" $(pkg-config --cflags --libs ckhelper)
LD_LIBRARY_PATH=$libdir "$work/pc-consumer"
