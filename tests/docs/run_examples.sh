#!/usr/bin/env bash
# Runs the examples a newcomer copies, as they stand in the files: README's "Trying it without an
# instrument" and every block of the manual pages' EXAMPLES that brings its own simulated
# instrument (rendered by groff, as man shows it). Each block runs twice, against the built
# programs first on PATH, under a private configuration folder and home, beside an image.upg:
#   script       as a shell script: background jobs get an empty stdin (/dev/null);
#   interactive  with job control on a terminal of its own: background jobs share the
#                terminal and must leave it to the foreground job.
# A block passes when every command in it succeeds (bash -e) within the time limit.
#   run_examples.sh SOURCE_DIR PROGRAM_DIR...
set -euo pipefail
source_dir=$1
shift
# Longest run of one block, in seconds: model 2's auto restart takes about 25 s through the
# program's own waits (the runs go side by side); the limit only catches a hang.
limit=90
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/blocks"

# The indented code block under README's heading, without its indentation.
readme_block() {
    awk -v heading="### $1" '
        $0 == heading { inside = 1; next }
        inside && /^#/ { exit }
        inside && /^    / { print substr($0, 5) }' "$source_dir/README.md"
}

# Blocks of a page's EXAMPLES that start vantrel-sim in the background (an instrument for the
# commands after it), one file each as NAME-N: the lines rendered deeper than the prose (.EX
# inside .RS), without their indentation.
page_blocks() {
    local page=$1 name
    name=$(basename "$page" .1)
    groff -man -Tascii -P-cbou -rLL=200n "$page" | awk -v out="$work/blocks/$name" '
        /^[A-Z]/ { inside = ($0 == "EXAMPLES"); next }
        !inside { next }
        /^           / { block = block substr($0, 12) "\n"; next }
        { flush() }
        function flush() {
            if (block ~ /vantrel-sim[^\n]*&/) { printf "%s", block > (out "-" ++n); close(out "-" n) }
            block = ""
        }
        END { flush() }'
    # A page whose example was not found (its layout changed) must not pass untested.
    if grep -q 'vantrel\\-sim.*&' "$page" && ! compgen -G "$work/blocks/$name-*" > /dev/null; then
        echo "FAIL: no example found in $page's EXAMPLES"
        exit 1
    fi
}

readme_block "Trying it without an instrument" > "$work/blocks/README-try"
[ -s "$work/blocks/README-try" ] ||
    { echo "FAIL: README has no \"Trying it without an instrument\" block"; exit 1; }
for page in "$source_dir"/docs/man/*.1; do page_blocks "$page"; done

path=$PATH
for dir in "$@"; do path=$(cd "$dir" && pwd):$path; done

# Ends what is left of session `sid`: the simulators an example started and did not end.
end_session() {
    local sid=$1 stat line session
    for stat in /proc/[0-9]*/stat; do
        { read -r line < "$stat"; } 2>/dev/null || continue
        read -r _ _ _ session _ <<< "${line##*) }"
        if [ "$session" = "$sid" ]; then kill -TERM "${stat//[^0-9]/}" 2>/dev/null || true; fi
    done
}

run_block() {
    local block=$1 mode=$2 dir=$3
    mkdir -p "$dir/cfg" "$dir/home"
    head -c 20000 /dev/urandom > "$dir/image.upg"
    # Its session's id first, so that whatever the block leaves running can be ended.
    local body
    body="read -r _ _ _ _ _ sid _ < /proc/\$\$/stat; echo \$sid > .session"$'\n'"$(cat "$block")"
    cd "$dir"
    if [ "$mode" = script ]; then
        timeout -k 5 "$limit" setsid bash -e -c "$body" < /dev/null
    else
        printf '%s\n' "$body" > .block
        SHELL=/bin/bash timeout -k 5 "$limit" script -qec "bash -m -e .block" /dev/null < /dev/null
    fi
}

pids=()
runs=()
for block in "$work"/blocks/*; do
    for mode in script interactive; do
        dir=$work/run-$(basename "$block")-$mode
        (
            unset BASH_ENV ENV
            export PATH=$path XDG_CONFIG_HOME=$dir/cfg HOME=$dir/home TERM=${TERM:-xterm}
            run_block "$block" "$mode" "$dir"
        ) > "$dir.out" 2>&1 &
        pids+=($!)
        runs+=("$block $mode $dir")
    done
done

failed=0
for i in "${!pids[@]}"; do
    read -r block mode dir <<< "${runs[$i]}"
    status=0
    wait "${pids[$i]}" || status=$?
    if [ -s "$dir/.session" ]; then end_session "$(cat "$dir/.session")"; fi
    if [ "$status" -ne 0 ]; then
        failed=1
        echo "FAIL: $(basename "$block") as $mode ended with status $status:"
        sed 's/^/    | /' "$block"
        echo "  its output:"
        tail -n 30 "$dir.out" | sed 's/^/    > /'
    else
        echo "ok: $(basename "$block") as $mode"
    fi
done
exit $failed
