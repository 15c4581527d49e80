#!/usr/bin/env bash
# Drives bash's completion of randdump for a few words, as a user's TAB would, on a SoftHSM2
# token store of its own: the options, the URIs of initialised tokens and slot IDs randdump
# --list prints, sizes; and a TAB in a real interactive bash, through tmux.
# usage: tests/completion.sh RANDDUMP SOURCE_DIR
set -euo pipefail
randdump=$1
source_dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$source_dir/scripts/softhsm-token.sh" "$work/store" randdump 1234 12345678 lab >/dev/null
export SOFTHSM2_CONF=$work/store/softhsm2.conf
unset PKCS11_MODULE_PATH
# shellcheck disable=SC1091 # the system's bash-completion, and the script under test
source /usr/share/bash-completion/bash_completion
# shellcheck disable=SC1091
source "$source_dir/tool/completion.bash"
complete -F _randdump "$randdump"

# What a TAB after the words offers, a line each.
offered() {
  COMP_WORDS=("$randdump" "$@")
  COMP_CWORD=$(($# ))
  COMP_LINE="${COMP_WORDS[*]}"
  COMP_POINT=${#COMP_LINE}
  COMPREPLY=()
  _randdump
  printf '%s\n' "${COMPREPLY[@]}"
}
expect() {  # WANTED WORDS...: WANTED is among what is offered
  local wanted=$1
  shift
  offered "$@" | grep -xF -- "$wanted" >/dev/null || {
    echo "completing '$*' did not offer '$wanted'; it offered:" >&2
    offered "$@" >&2
    exit 1
  }
}

expect --token --to
expect --restarts --r
expect --check --ch
serial=$("$randdump" --list | sed -n 's/^  uri: .*serial=\([0-9a-f]*\);token=lab$/\1/p')
lab="pkcs11:model=SoftHSM%20v2;manufacturer=SoftHSM%20project;serial=$serial;token=lab"
expect "$lab" --token ''
expect "${lab#pkcs11:}" --token pkcs11:model
# Only initialised tokens: the store's spare, uninitialised one has an empty label.
if offered --token '' | grep -q 'token=$'; then
  echo "completing '--token' offered an uninitialised token" >&2
  exit 1
fi

# In a real interactive bash, as a user's TAB: readline splits the word at : and =, and what it
# puts on the line must be the URI, not pkcs11:model=model=...
if command -v tmux >/dev/null; then
  cat >"$work/bashrc" <<RC
source /usr/share/bash-completion/bash_completion
source "$source_dir/tool/completion.bash"
complete -F _randdump "$randdump"
PS1='$ '
RC
  tmux -S "$work/tmux" new-session -d -x 250 -y 10 "bash --rcfile $work/bashrc --noprofile -i"
  sleep 1
  tmux -S "$work/tmux" send-keys "$randdump --token pkcs11:model=So" Tab
  line=
  for _ in 1 2 3 4 5 6 7 8 9 10; do
    sleep 0.5
    line=$(tmux -S "$work/tmux" capture-pane -p | grep -F -- '--token' | tail -n 1)
    [[ $line != *'model=So' ]] && break
  done
  tmux -S "$work/tmux" kill-server
  wanted='--token pkcs11:model=SoftHSM%20v2\;manufacturer\=SoftHSM%20project\;serial\='
  [[ $line == *"$wanted"* && $line != *model=model* ]] || {
    echo "a TAB in bash after 'pkcs11:model=So' gave: $line" >&2
    exit 1
  }
fi
slot=$("$randdump" --list | sed -n 's/^Slot \([0-9]*\) .*/\1/p' | head -n 1)
expect "$slot" --slot ''
expect 64K --block 6
expect unlimited --bytes u
echo "completion: options, URIs, slot IDs and sizes offered"
