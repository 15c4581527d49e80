#!/usr/bin/env bash
# Builds the libFuzzer targets with Clang, ASan and UBSan, and fuzzes, side by side for half the
# time each, OpenObjectByReference, OpenObjectByUri and TrimTrailingSpaces from the seed corpus in
# tests/fuzz/corpus, and randdump's option parser and PIN masking from tests/fuzz/options-corpus.
# New inputs go to a scratch directory; a finding is written to build/fuzz/ and fails the run.
# usage: scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

cmake -S . -B build/fuzz -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=Debug -DCKHELPER_SANITIZE=ON -DCKHELPER_FUZZ=ON >/dev/null
cmake --build build/fuzz --target reference_fuzz options_fuzz p11shim

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# A core each: a fuzzer runs on one.
pids=()
for target in reference:corpus options:options-corpus; do
  IFS=: read -r name corpus <<<"$target"
  mkdir -p "$scratch/$name"
  (
    LSAN_OPTIONS=suppressions=tests/lsan.supp build/fuzz/tests/${name}_fuzz \
      -max_total_time="$(((seconds + 1) / 2))" -print_final_stats=1 -artifact_prefix=build/fuzz/ \
      "$scratch/$name" "tests/fuzz/$corpus" >"$scratch/$name.log" 2>&1
  ) &
  pids+=($!)
done
failed=0
for pid in "${pids[@]}"; do
  wait "$pid" || failed=1
done
for name in reference options; do
  echo "-- ${name}_fuzz"
  grep -E '^(Done|stat::(number_of_executed_units|new_units_added|peak_rss_mb))|ERROR|SUMMARY|Test unit written' \
    "$scratch/$name.log" || true
done
exit $failed
