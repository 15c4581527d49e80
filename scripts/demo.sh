#!/usr/bin/env bash
# Installs what is missing, builds randdump, makes a SoftHSM2 token at slot 0 in .demo/ (apart
# from the system's token store) and draws a sample there: .demo/random_0.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DCKHELPER_BUILD_TESTS=OFF >/dev/null
cmake --build build/release --target randdump

scripts/softhsm-token.sh --replace .demo >/dev/null
export SOFTHSM2_CONF=$PWD/.demo/softhsm2.conf
cd .demo
../build/release/tool/randdump
echo "Sample written to $PWD/random_0.txt ($(stat -c %s random_0.txt) bytes)"
