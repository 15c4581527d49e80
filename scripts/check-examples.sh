#!/usr/bin/env bash
# Installs a build tree into a temporary prefix, runs randdump from it there and moved, builds
# examples/ against it through CMake and
# through pkg-config, and runs each program on a SoftHSM2 token of its own: what it prints must be
# what its "prints:" comments say. Then uninstalls, as the README says.
# usage: scripts/check-examples.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
libdir=$(dirname "$(find "$work/prefix" -name 'libckhelper.so*' -print -quit)")
# Installed under another prefix than configured, or moved, randdump finds its library.
env -u LD_LIBRARY_PATH "$work/prefix/bin/randdump" --version >/dev/null
mv "$work/prefix" "$work/moved"
env -u LD_LIBRARY_PATH "$work/moved/bin/randdump" --version >/dev/null
mv "$work/moved" "$work/prefix"
cmake -S examples -B "$work/cmake" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
export PKG_CONFIG_PATH=$libdir/pkgconfig
scripts/softhsm-token.sh "$work/token" examples 1234 >/dev/null
export SOFTHSM2_CONF=$work/token/softhsm2.conf
for example in names reference tokens; do
  # shellcheck disable=SC2046 # the flags are meant to split
  cc -Wall -Werror -o "$work/$example" "examples/$example.c" $(pkg-config --cflags --libs ckhelper)
  expected=$(sed -n 's|.*/\* prints: \(.*\) \*/.*|\1|p' "examples/$example.c")
  case $example in
    reference) args=(examples 1234) ;;
    tokens) args=("pkcs11:token=examples") ;;
    *) args=() ;;
  esac
  for program in "$work/cmake/$example" "$work/$example"; do
    printed=$(LD_LIBRARY_PATH=$libdir "$program" "${args[@]}")
    [[ $printed == "$expected" ]] || { printf '%s printed:\n%s\nexpected:\n%s\n' "$program" "$printed" "$expected" >&2; exit 1; }
  done
done
xargs rm -f <"$build/install_manifest.txt"
find "$work/prefix" -depth -type d -empty -delete
[[ ! -e $work/prefix ]] || { echo "uninstall left behind: $(find "$work/prefix")" >&2; exit 1; }
echo "examples: built both ways, ran as documented"
