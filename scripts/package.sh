#!/usr/bin/env bash
# Builds Release for /usr, with Debian's hardening flags, and makes the three Debian packages in
# build/packages/: randdump, libckhelper1 and libckhelper-dev, version <project>-1.
# usage: scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

# The flags Debian builds its packages with, every hardening feature on.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
eval "$(dpkg-buildflags --export=sh)"
# CMake reads no CPPFLAGS: the preprocessor's (_FORTIFY_SOURCE) go in with the compilers' own.
export CFLAGS="$CFLAGS $CPPFLAGS" CXXFLAGS="$CXXFLAGS $CPPFLAGS"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
build=build/package
rm -rf "$build" build/packages
# The default module is SoftHSM2's, which the randdump package suggests: the same in every
# package build, whatever this machine has.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DCKHELPER_BUILD_TESTS=OFF -DCKHELPER_DEFAULT_MODULE="/usr/lib/$multiarch/softhsm/libsofthsm2.so" \
  >/dev/null
cmake --build "$build"
(cd "$build" && cpack -G DEB >/dev/null)
mkdir -p build/packages
mv "$build"/packages/*.deb build/packages/
ls -1 build/packages
