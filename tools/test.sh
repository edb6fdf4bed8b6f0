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
# Most real-line tests spend their time waiting on the line, so they run two per core.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build -j "$JOBS"
ctest --test-dir build --output-on-failure -j "$((2 * JOBS))"

# The fuzzers (clang, libFuzzer) for a short fixed time each, from the committed corpus.
bash fuzz/run.sh 6

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVANTREL_SANITIZE=ON
cmake --build build-asan -j "$JOBS" --target vantrel_core_tests
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-asan --output-on-failure -j "$JOBS" -L core

# The station's threads under ThreadSanitizer (about a minute: the two tests' build).
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVANTREL_TSAN=ON
cmake --build build-tsan -j "$JOBS" --target vantrel_tsan_tests
TSAN_OPTIONS="halt_on_error=1 suppressions=$PWD/tools/tsan.supp" \
    ctest --test-dir build-tsan --output-on-failure -j "$JOBS" -L tsan
