#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test: GCC and Clang in Release, and Clang
# in Debug with AddressSanitizer and UndefinedBehaviorSanitizer; GCC in Debug is built too. Then
# a minute of fuzzing, and the format and lint checks. Warnings are errors here.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

jobs=$(nproc)

build() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DCKHELPER_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

run_suite() {
  build "$@"
  ctest --test-dir "$1" --output-on-failure -j "$jobs"
}

echo "== GCC, Release"
run_suite build/gcc -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=Release

echo "== GCC, Debug (build only)"
build build/gcc-debug -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=Debug

echo "== Clang, Release"
run_suite build/clang -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=Release

echo "== Clang, Debug, with ASan and UBSan"
run_suite build/sanitize -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=Debug -DCKHELPER_SANITIZE=ON

echo "== libFuzzer, 60 seconds"
scripts/fuzz.sh 60

echo "== Format and lint"
scripts/lint.sh build/sanitize
