#!/usr/bin/env bash
# Makes a SoftHSM2 token store in DIR with one initialised token at slot ID 0, apart from the
# system's token store; each further label makes one more token, with the same PINs, at the slot
# SoftHSM2 gives it. Afterwards: export SOFTHSM2_CONF=DIR/softhsm2.conf
#
# usage: scripts/softhsm-token.sh [--replace] DIR [LABEL] [USER_PIN] [SO_PIN] [FURTHER_LABEL...]
#
# A DIR that already holds a token store is refused: its tokens would be deleted. --replace
# deletes them.
#
# SoftHSM2 gives an initialised token the slot ID made of the low 31 bits of its serial number
# (16 hex digits kept in the token's token.object). Rewriting that serial to zeros moves the
# token to slot 0, where randdump looks.
set -euo pipefail

replace=false
if [[ ${1:-} == --replace ]]; then
  replace=true
  shift
fi
dir=${1:?usage: $0 [--replace] DIR [LABEL] [USER_PIN] [SO_PIN] [FURTHER_LABEL...]}
label=${2:-randdump}
user_pin=${3:-1234}
so_pin=${4:-12345678}

if ! $replace && [[ -e $dir/softhsm2.conf || -n $(ls -A "$dir/tokens" 2>/dev/null) ]]; then
  echo "$0: $dir already holds a token store; --replace deletes its tokens" >&2
  exit 1
fi
mkdir -p "$dir/tokens"
dir=$(cd "$dir" && pwd)
rm -rf "${dir:?}/tokens/"*
cat >"$dir/softhsm2.conf" <<CONF
directories.tokendir = $dir/tokens
objectstore.backend = file
log.level = ERROR
slots.removable = false
CONF
export SOFTHSM2_CONF="$dir/softhsm2.conf"

softhsm2-util --init-token --free --label "$label" --so-pin "$so_pin" --pin "$user_pin" >/dev/null
object=$(echo "$dir"/tokens/*/token.object)
serial=$(softhsm2-util --show-slots | awk -v l="$label" '
  /Serial number:/ { s = $3 }
  /Label:/ { sub(/^ *Label: */, ""); sub(/ *$/, ""); if ($0 == l) { print s; exit } }')
[[ ${#serial} -eq 16 ]] || { echo "$0: no serial number found for token $label" >&2; exit 1; }
offset=$(grep -obUa -- "$serial" "$object" | head -n 1 | cut -d: -f1)
[[ -n $offset ]] || { echo "$0: serial $serial not found in $object" >&2; exit 1; }
printf '0000000000000000' | dd of="$object" bs=1 seek="$offset" conv=notrunc status=none

softhsm2-util --show-slots | grep -q '^Slot 0$' || { echo "$0: token did not move to slot 0" >&2; exit 1; }
for further in "${@:5}"; do
  softhsm2-util --init-token --free --label "$further" --so-pin "$so_pin" --pin "$user_pin" >/dev/null
done
echo "SOFTHSM2_CONF=$SOFTHSM2_CONF"
