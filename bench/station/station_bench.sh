#!/usr/bin/env bash
# Station figures: 1, 4, 16 and 32 simulated instruments at 38400 baud downloading at once.
# Builds vantrel and vantrel-sim in BUILD (default build), then runs station_bench.py. Takes
# about two minutes. Not part of ctest.
#   usage: bench/station/station_bench.sh [--build DIR] [station_bench.py options]
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD=build
if [ "${1:-}" = --build ]; then
    BUILD="$2"
    shift 2
fi
cmake -S . -B "$BUILD" -G Ninja >/dev/null
cmake --build "$BUILD" -j "${JOBS:-2}" --target vantrel vantrel-sim >/dev/null
exec python3 bench/station/station_bench.py --build "$BUILD" "$@"
