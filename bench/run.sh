#!/usr/bin/env bash
# Builds in Release and measures randdump against a generation-only program on a SoftHSM2 token
# at slot 0: median CPU and wall time, their ratios, and peak RSS.
# Targets: randdump CPU at most x1.2 and wall time at most x1.4 of genonly, peak RSS at most
# 4 MiB above it.
# usage: bench/run.sh [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-9}
scripts/deps.sh

cmake -S . -B build/benchmark -G Ninja -DCMAKE_BUILD_TYPE=Release -DCKHELPER_BUILD_TESTS=ON >/dev/null
cmake --build build/benchmark --target randdump genonly measure >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
scripts/softhsm-token.sh "$work/store" >/dev/null
export SOFTHSM2_CONF=$work/store/softhsm2.conf
mkdir "$work/out"
python3 bench/compare.py "$runs" "$work/out" \
  "randdump=$PWD/build/benchmark/tool/randdump" "genonly=$PWD/build/benchmark/bench/genonly"
