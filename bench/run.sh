#!/usr/bin/env bash
# Builds in Release and measures randdump against a generation-only program (genonly), and
# randdump's sessions against each other, on SoftHSM2 tokens: median CPU and wall time of paired
# runs, their ratios, and peak RSS, each against its target.
#   1. the durable file, 50 MiB: CPU at most x1.2, wall at most x1.4, peak RSS at most +4 MiB
#   2. standard output to /dev/null, 50 MiB: CPU at most x1.1, wall at most x1.15
#   3. 4 GiB streamed to /dev/null: peak RSS at most +4 MiB
#   4. a slow token (the shim sleeps 1 ms a call), 2 MiB: --sessions 16 at least 12 times the
#      rate of one session (wall at most x1/12)
#   5. SoftHSM2 itself, 50 MiB to /dev/null: --sessions 2 against one (no target: what two
#      cores give)
#   6. the health checks alone, on a buffer in memory, on one core: at least 500 MiB/s
#   7. --check, 256 MiB to /dev/null through -o -, against the same run without it: wall at most
#      x1.15, CPU at most x1.6
#   8. --record, likewise: wall at most x1.10
#   9. a slow token (1 ms a call), 1 MiB through -o -: the first byte within a quarter of the
#      time the whole MiB takes
# usage: bench/run.sh [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-9}
scripts/deps.sh

cmake -S . -B build/benchmark -G Ninja -DCMAKE_BUILD_TYPE=Release -DCKHELPER_BUILD_TESTS=ON >/dev/null
cmake --build build/benchmark --target randdump genonly measure checkspeed p11shim >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
scripts/softhsm-token.sh "$work/store" >/dev/null
export SOFTHSM2_CONF=$work/store/softhsm2.conf
mkdir "$work/out"
randdump=$PWD/build/benchmark/tool/randdump
genonly=$PWD/build/benchmark/bench/genonly
shim="/usr/bin/env PKCS11_MODULE_PATH=$PWD/build/benchmark/tests/libp11shim.so P11SHIM=pause=1000"
missed=0
compare() { python3 bench/compare.py "$@" || missed=1; }

echo "== 1. the durable file, 50 MiB"
compare "$runs" "$work/out" --max cpu=1.2 --max wall=1.4 --max rss=4096 \
  "randdump=$randdump" "genonly=$genonly"
echo "== 2. standard output to /dev/null, 50 MiB"
compare "$runs" "$work/out" --max cpu=1.1 --max wall=1.15 \
  "randdump=$randdump -o -" "genonly=$genonly"
echo "== 3. 4 GiB streamed to /dev/null"
compare 3 "$work/out" --max rss=4096 \
  "randdump=$randdump -o - --bytes 4G" "genonly=$genonly 4294967296"
echo "== 4. a slow token (1 ms a call), 2 MiB in 2,048 calls"
compare 3 "$work/out" --max wall=0.0833 \
  "16-sessions=$shim $randdump -o - --bytes 2M --sessions 16" \
  "1-session=$shim $randdump -o - --bytes 2M"
echo "== 5. SoftHSM2, 50 MiB to /dev/null, on $(nproc) cores"
compare "$runs" "$work/out" \
  "2-sessions=$randdump -o - --sessions 2" "1-session=$randdump -o -"
echo "== 6. the health checks alone, in memory, on one core"
build/benchmark/bench/checkspeed 2048 || missed=1
echo "== 7. --check, 256 MiB to /dev/null"
compare "$runs" "$work/out" --max wall=1.15 --max cpu=1.6 \
  "check=$randdump -o - --bytes 256M --check" "plain=$randdump -o - --bytes 256M"
echo "== 8. --record, 256 MiB to /dev/null"
compare "$runs" "$work/out" --max wall=1.10 \
  "record=$randdump -o - --bytes 256M --record $work/out/record.json" "plain=$randdump -o - --bytes 256M"
echo "== 9. a slow token (1 ms a call), 1 MiB through -o -: time to the first byte"
python3 bench/firstbyte.py 3 0.25 $shim "$randdump" -o - --bytes 1M || missed=1
exit $missed
