# bash completion for randdump: its options; for --token the URIs and for --slot the slot IDs
# that `randdump --list` prints (with the --module given, if any); file names for -o, --record
# and --module; a few sizes for --bytes and --block.

# The --module the words give, as arguments for randdump --list.
_randdump_module()
{
    local i
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            --module) printf '%s\n' --module "${words[i + 1]}" && return ;;
            --module=*) printf '%s\n' "${words[i]}" && return ;;
        esac
    done
}

# What randdump --list prints, for the lines that begin with `pattern`, without it.
_randdump_listed()
{
    local -a module
    mapfile -t module < <(_randdump_module)
    "${words[0]}" --list "${module[@]}" 2>/dev/null | sed -n "s/^$1//p"
}

# The URIs of the initialised tokens, the only ones --token chooses among.
_randdump_uris()
{
    local -a module
    mapfile -t module < <(_randdump_module)
    "${words[0]}" --list "${module[@]}" 2>/dev/null |
        awk '/^Slot / { ready = 0 } /^  initialized: yes$/ { ready = 1 } ready && sub(/^  uri: /, "")'
}

_randdump()
{
    local cur prev words cword
    _init_completion -n =: || return

    case $prev in
        --token)
            # A URI holds ; and ? for the shell: quoted as file names are.
            compopt -o filenames 2>/dev/null || :
            local IFS=$'\n'
            COMPREPLY=($(compgen -W "$(_randdump_uris)" -- "$cur"))
            # Readline replaces only what follows the word's last break (: and = among them):
            # offer each URI from there on.
            local breaks=${COMP_WORDBREAKS//[^:=]/}
            if [[ -n $breaks && $cur == *["$breaks"]* ]]; then
                local before=${cur%"${cur##*["$breaks"]}"} i
                for i in "${!COMPREPLY[@]}"; do
                    COMPREPLY[i]=${COMPREPLY[i]#"$before"}
                done
            fi
            return
            ;;
        --slot)
            COMPREPLY=($(compgen -W "$(_randdump_listed 'Slot ' | cut -d ' ' -f 1)" -- "$cur"))
            return
            ;;
        -o | --output | --record | --module)
            _filedir
            return
            ;;
        --bytes)
            COMPREPLY=($(compgen -W "1M 10M 50M 100M 125MB 1G 4G unlimited" -- "$cur"))
            return
            ;;
        --block)
            COMPREPLY=($(compgen -W "256 1K 3K 4K 64K 1M" -- "$cur"))
            return
            ;;
        --sessions)
            COMPREPLY=($(compgen -W "1 2 4 8 16 32 64" -- "$cur"))
            return
            ;;
        --restarts)
            COMPREPLY=($(compgen -W "10 100 1000" -- "$cur"))
            return
            ;;
    esac
    COMPREPLY=($(compgen -W "--list --json --token --slot -o --output --bytes --block --sessions
        --record --check --restarts --module -q --quiet -h --help -V --version" -- "$cur"))
} &&
    complete -F _randdump randdump
