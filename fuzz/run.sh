#!/usr/bin/env bash
# Builds the fuzzers with clang (libFuzzer, ASan, UBSan) in build-fuzz and runs each for
# SECONDS (default 12) from the corpus in fuzz/corpus. Exits non-zero when a fuzzer finds a
# crash, a sanitizer report, a broken property or an input that runs too long; the input is
# kept in build-fuzz/findings/. Prints one line of figures per fuzzer. With --build it only
# builds them.
#   usage: fuzz/run.sh [SECONDS | --build]
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_EACH="${1:-12}"
BUILD=build-fuzz
JOBS="${JOBS:-2}"
FUZZERS=(fuzz_serial_channel fuzz_identify fuzz_xmodem fuzz_bootloader fuzz_port_memory)

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVANTREL_FUZZ=ON >/dev/null
cmake --build "$BUILD" -j "$JOBS" >/dev/null
[ "$SECONDS_EACH" = --build ] && exit 0

FINDINGS="$BUILD/findings"
WORK="$BUILD/corpus-work"
mkdir -p "$FINDINGS"
failed=0
printf '%-22s %10s %10s %8s %8s %8s  %s\n' fuzzer runs runs/s cover corpus rss_mb outcome
for fuzzer in "${FUZZERS[@]}"; do
    # The committed corpus stays as it is; new inputs go to a scratch copy.
    rm -rf "${WORK:?}/$fuzzer"
    mkdir -p "$WORK/$fuzzer"
    cp fuzz/corpus/"$fuzzer"/* "$WORK/$fuzzer/"
    log="$BUILD/$fuzzer.log"
    # -timeout: no single input may take longer (a hang in simulated time is a real hang).
    # -max_len: long enough for an erase report and a few blocks of answers.
    if "$BUILD/fuzz/$fuzzer" "$WORK/$fuzzer" -dict=fuzz/vantrel.dict \
        -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
        -artifact_prefix="$FINDINGS/$fuzzer-" -print_final_stats=1 >"$log" 2>&1; then
        outcome=ok
    else
        outcome="FAILED (see $log)"
        failed=1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rss=$(sed -n 's/^stat::peak_rss_mb: *//p' "$log")
    done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 || true)
    cover=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$done_line")
    corpus=$(sed -n 's/.* corp: \([0-9]*\)\/.*/\1/p' <<<"$done_line")
    printf '%-22s %10s %10s %8s %8s %8s  %s\n' "$fuzzer" "${runs:-?}" \
        "$(( ${runs:-0} / SECONDS_EACH ))" "${cover:-?}" "${corpus:-?}" "${rss:-?}" "$outcome"
    if [ "$outcome" != ok ]; then
        grep -E 'property broken|ERROR|SUMMARY' "$log" | head -5 || true
    fi
done
exit "$failed"
