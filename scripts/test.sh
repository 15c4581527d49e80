#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test in each build it makes: GCC in Release
# and Debug, Clang in Release, and Clang in Debug with AddressSanitizer and
# UndefinedBehaviorSanitizer. Then a minute of fuzzing, and the format and lint checks. Warnings
# are errors here.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

jobs=$(nproc)

# Builds in DIR with the given options and runs that build's tests.
run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DCKHELPER_WERROR=ON -DCKHELPER_BUILD_TESTS=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

# The Release build is the demo's, scripts/demo.sh, which then has nothing left to build.
echo "== GCC, Release"
run_suite build/release -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=Release

echo "== GCC, Debug"
run_suite build/gcc-debug -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=Debug

echo "== Clang, Release"
run_suite build/clang -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=Release

echo "== Clang, Debug, with ASan and UBSan"
run_suite build/sanitize -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=Debug -DCKHELPER_SANITIZE=ON

echo "== libFuzzer, a minute: two targets side by side for 30 seconds"
scripts/fuzz.sh 60

echo "== Format and lint"
scripts/lint.sh build/sanitize
