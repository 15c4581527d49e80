#!/usr/bin/env bash
# Installs the three Debian packages of build/packages/ with apt, uses them as a lab would, from
# what they installed alone: randdump's version, its slot list and a 1 MiB sample from a SoftHSM2
# token, the man pages; then, with only the two library packages left, the examples built
# through pkg-config and through find_package(ckhelper) and run. Last, purges them all with apt
# and checks that none of their files is left. Needs root, and no other ckhelper installed.
# usage: scripts/check-packages.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source=$PWD
shopt -s nullglob
debs=("$source"/build/packages/*.deb)
[[ ${#debs[@]} -eq 3 ]] || { echo "build/packages holds ${#debs[@]} packages, not 3: run scripts/package.sh" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

export DEBIAN_FRONTEND=noninteractive
apt-get install -y -qq --no-install-recommends "${debs[@]}" >/dev/null
packages=(randdump libckhelper1 libckhelper-dev)
dpkg-query -L "${packages[@]}" | sort -u >"$work/files"
version=$(dpkg-query -W -f '${Version}' randdump)

# Nothing of the build tree on any path: the system's programs and what the packages put there.
run() { env -i PATH=/usr/bin:/bin HOME="$work" SOFTHSM2_CONF="$work/store/softhsm2.conf" "$@"; }
"$source/scripts/softhsm-token.sh" "$work/store" randdump 1234 12345678 >/dev/null
fail() { echo "$*" >&2; exit 1; }
[[ $(run randdump --version) == "randdump ${version%-*}" ]] || fail "randdump --version: not ${version%-*}"
run randdump --list | grep -q '^  uri: pkcs11:.*token=randdump$' || fail "randdump --list: no token"
(cd "$work" && run randdump --bytes 1M -o sample.bin >/dev/null)
[[ $(stat -c %s "$work/sample.bin") -eq 1048576 ]] || fail "the sample is not 1 MiB"
run man -w randdump >/dev/null || fail "no randdump(1)"
run man -w ckhelper >/dev/null || fail "no ckhelper(3)"
echo "randdump $version: --version, --list, a 1 MiB sample and both man pages, as installed"

apt-get purge -y -qq randdump >/dev/null
expected=$(sed -n 's|.*/\* prints: \(.*\) \*/.*|\1|p' examples/names.c)
# shellcheck disable=SC2046 # the flags are meant to split
run cc -Wall -Werror -o "$work/names" examples/names.c $(run pkg-config --cflags --libs ckhelper)
run cmake -S examples -B "$work/examples" >/dev/null
run cmake --build "$work/examples" >/dev/null
for program in "$work/names" "$work/examples/names"; do
  [[ $(run "$program") == "$expected" ]] || fail "$program printed otherwise than documented"
done
echo "libckhelper1 and libckhelper-dev: examples built by pkg-config and by find_package, run as installed"

apt-get purge -y -qq libckhelper1 libckhelper-dev >/dev/null
left=()
while read -r file; do
  if [[ -e $file && ! -d $file ]]; then left+=("$file"); fi
done <"$work/files"
for package in "${packages[@]}"; do
  if [[ -e /usr/share/doc/$package ]]; then left+=("/usr/share/doc/$package"); fi
done
[[ ${#left[@]} -eq 0 ]] || fail "left after the purge: ${left[*]}"
echo "purged: none of their files left"
