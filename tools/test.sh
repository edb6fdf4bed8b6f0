#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: a normal build, a short run of each
# fuzzer, then the whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
JOBS="$(nproc)"

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$JOBS"
ctest --test-dir build --output-on-failure -j "$JOBS"

# The fuzzers (clang, libFuzzer) for a short fixed time each, from the committed corpus.
bash fuzz/run.sh 12

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVANTREL_SANITIZE=ON
cmake --build build-asan -j "$JOBS"
# The sanitizers slow every program several times over, which stretches the real-line rigs'
# timing (a reset racing a slow start-up): a test that fails there gets one more try.
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-asan --output-on-failure -j "$JOBS" \
    --repeat until-pass:2
