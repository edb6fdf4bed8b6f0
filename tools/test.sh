#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test once: a normal build with the whole
# suite, a short run of each fuzzer, then the Qt-free core and its fake-port tests (where
# memory faults live) again under AddressSanitizer and UndefinedBehaviorSanitizer, and the
# station's and the console run's tests (the code that runs on the station's threads) under
# ThreadSanitizer. A test that fails once fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
JOBS="$(nproc)"

# Built as the package is (-O2, no debug information: the build is most of the command's time).
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build -j "$JOBS"

# The real-line tests spend most of their time waiting on the line, so they run two per core,
# and the sanitizer and fuzzer builds take the processor they leave idle, at the lowest
# priority, so that the tests' own timing is not disturbed.
side_builds() {
    cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVANTREL_SANITIZE=ON
    cmake --build build-asan -j "$JOBS" --target vantrel_core_tests
    cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVANTREL_TSAN=ON
    cmake --build build-tsan -j "$JOBS" --target vantrel_tsan_tests
    bash fuzz/run.sh --build
}
side_log="$(mktemp)"
trap 'rm -f "$side_log"' EXIT
nice -n 19 bash -c "$(declare -f side_builds); JOBS=$JOBS; set -euo pipefail; side_builds" \
    > "$side_log" 2>&1 &
side=$!
tests=0
ctest --test-dir build --output-on-failure -j "$((2 * JOBS))" || tests=$?
builds=0
wait "$side" || builds=$?
if [ "$builds" -ne 0 ]; then
    cat "$side_log"
    echo "The sanitizer or fuzzer builds failed." >&2
    exit "$builds"
fi
[ "$tests" -eq 0 ] || exit "$tests"

# The fuzzers (clang, libFuzzer) for a short fixed time each, from the committed corpus.
bash fuzz/run.sh 6

ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-asan --output-on-failure -j "$JOBS" -L core

TSAN_OPTIONS="halt_on_error=1 suppressions=$PWD/tools/tsan.supp" \
    ctest --test-dir build-tsan --output-on-failure -j "$JOBS" -L tsan
