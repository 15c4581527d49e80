#!/usr/bin/env bash
# Installs, from Debian's packages, whatever of the build, test and demo needs is missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang clang-format clang-tidy libclang-rt-14-dev pkg-config
  libp11-kit-dev nlohmann-json3-dev libssl-dev dpkg-dev file lintian bash-completion man-db libgtest-dev libgmock-dev softhsm2 ent rng-tools5 python3 strace e2fsprogs gnutls-bin groff-base opensc p11-kit-modules dieharder
  libtpm2-pkcs11-1 devscripts libcap2-bin tmux jq
)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}"
sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
