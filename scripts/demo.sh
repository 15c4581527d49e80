#!/usr/bin/env bash
# Installs what is missing, builds randdump, and draws samples in .demo/, from SoftHSM2 tokens
# kept there apart from the system's token store: one at slot 0 (random_0.txt), as randdump
# draws without options, and one initialised the plain way, at the slot ID SoftHSM2 gives it,
# chosen by its PKCS#11 URI (random_<slot ID>.txt).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DCKHELPER_BUILD_TESTS=OFF >/dev/null
cmake --build build/release --target randdump

scripts/softhsm-token.sh --replace .demo randdump 1234 12345678 lab >/dev/null
export SOFTHSM2_CONF=$PWD/.demo/softhsm2.conf
cd .demo
rm -f random_*.txt
../build/release/tool/randdump
echo "Sample written to $PWD/random_0.txt ($(stat -c %s random_0.txt) bytes)"

../build/release/tool/randdump --list
../build/release/tool/randdump --token 'pkcs11:token=lab'
for sample in random_*.txt; do
  [[ $sample == random_0.txt ]] || echo "Sample written to $PWD/$sample ($(stat -c %s "$sample") bytes)"
done
