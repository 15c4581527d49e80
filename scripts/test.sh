#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test: a GCC build, and a Clang build with
# AddressSanitizer and UndefinedBehaviorSanitizer; then a minute of fuzzing, and the format and
# lint checks.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

jobs=$(nproc)

run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

echo "== GCC build"
run_suite build/gcc -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++

echo "== Clang build with ASan and UBSan"
run_suite build/sanitize -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=Debug -DCKHELPER_SANITIZE=ON

echo "== libFuzzer, 60 seconds"
scripts/fuzz.sh 60

echo "== Format and lint"
scripts/lint.sh build/sanitize
