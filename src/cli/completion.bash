# bash completion for vantrel: functions, options, and the COM names of `vantrel ports`.
# Uses only bash's own compgen, so it works with or without the bash-completion package.

_vantrel() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=${COMP_WORDS[COMP_CWORD-1]}
    local functions="blank-check memory-test erase download auto restart"
    local options="--port --file --wait --record --help --version"

    case $prev in
        --port)
            # The names the program itself resolves; device paths complete as files.
            if [[ $cur == /* ]]; then
                compopt -o filenames 2>/dev/null
                mapfile -t COMPREPLY < <(compgen -f -- "$cur")
            else
                mapfile -t COMPREPLY < <(compgen -W \
                    "$("${COMP_WORDS[0]}" ports 2>/dev/null | cut -d' ' -f1)" -- "$cur")
            fi
            return ;;
        --file|--record)
            compopt -o filenames 2>/dev/null
            mapfile -t COMPREPLY < <(compgen -f -- "$cur")
            return ;;
        --wait|--count)
            return ;;
    esac

    local words=$functions
    if ((COMP_CWORD == 1)); then
        words="$words ports station"
    elif [[ ${COMP_WORDS[1]} == station ]]; then
        options="--port --file --wait --record --count --help"
    elif [[ ${COMP_WORDS[1]} == ports ]]; then
        return
    fi
    if [[ $cur == -* ]]; then
        words=$options
    fi
    mapfile -t COMPREPLY < <(compgen -W "$words" -- "$cur")
}
complete -F _vantrel vantrel
