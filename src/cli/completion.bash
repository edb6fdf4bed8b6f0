# bash completion for vantrel: functions, options, and the COM names of `vantrel ports`.
# Uses only bash's own compgen, so it works with or without the bash-completion package (which
# loads this file on first use when installed; without it, source the file yourself).

# Completes the value of `option` starting with `cur`; false for an option without a value.
_vantrel_value() {
    local option=$1 cur=$2
    case $option in
        --port)
            # The names the program itself resolves; device paths complete as files.
            if [[ $cur == /* ]]; then
                compopt -o filenames 2>/dev/null
                mapfile -t COMPREPLY < <(compgen -f -- "$cur")
            else
                mapfile -t COMPREPLY < <(compgen -W \
                    "$("${COMP_WORDS[0]}" ports 2>/dev/null | cut -d' ' -f1)" -- "$cur")
            fi ;;
        --file|--record|--trace|--job)
            compopt -o filenames 2>/dev/null
            mapfile -t COMPREPLY < <(compgen -f -- "$cur") ;;
        --trace-dir)
            compopt -o filenames 2>/dev/null
            mapfile -t COMPREPLY < <(compgen -d -- "$cur") ;;
        --wait|--count)
            COMPREPLY=() ;;
        *)
            return 1 ;;
    esac
}

_vantrel() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=${COMP_WORDS[COMP_CWORD-1]}
    local functions="blank-check memory-test erase download auto restart"
    local options="--port --file --wait --record --trace --trace-bytes --job --json --help --version"

    # --port=VALUE: bash splits the word at "=" when COMP_WORDBREAKS holds it (the default),
    # so the value is the current word after a "=" word, or nothing right after the "=".
    if [[ $cur == = ]] && _vantrel_value "$prev" ""; then
        return
    fi
    if [[ $prev == = ]] && ((COMP_CWORD >= 2)) &&
        _vantrel_value "${COMP_WORDS[COMP_CWORD-2]}" "$cur"; then
        return
    fi
    # Without "=" in COMP_WORDBREAKS the word is "--port=VALUE" whole: the answers keep the
    # option in front.
    if [[ $cur == --*=* ]] && _vantrel_value "${cur%%=*}" "${cur#*=}"; then
        COMPREPLY=("${COMPREPLY[@]/#/${cur%%=*}=}")
        return
    fi
    if _vantrel_value "$prev" "$cur"; then
        return
    fi

    local words=$functions
    if ((COMP_CWORD == 1)); then
        words="$words ports station doctor job"
    elif [[ ${COMP_WORDS[1]} == station ]]; then
        options="--port --file --wait --record --count --trace-dir --trace-all --trace-bytes --job --json --help"
    elif [[ ${COMP_WORDS[1]} == doctor ]]; then
        words="" options="--port --open --help"
    elif [[ ${COMP_WORDS[1]} == job ]]; then
        # job check FILE
        if ((COMP_CWORD == 2)); then
            words=check
        else
            compopt -o filenames 2>/dev/null
            mapfile -t COMPREPLY < <(compgen -f -- "$cur")
            return
        fi
    elif [[ ${COMP_WORDS[1]} == ports ]]; then
        return
    fi
    if [[ $cur == -* ]]; then
        words=$options
    fi
    mapfile -t COMPREPLY < <(compgen -W "$words" -- "$cur")
}
complete -F _vantrel vantrel
