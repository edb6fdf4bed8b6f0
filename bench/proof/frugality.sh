#!/usr/bin/env bash
# Frugality figures: processor share and transfer efficiency on a 38400-baud line, peak memory
# for a small and a large image. Builds vantrel and vantrel-sim in BUILD (default build), then
# runs bench/proof/frugality.py. Takes about a minute. Not part of ctest.
#   usage: bench/proof/frugality.sh [--build DIR] [frugality.py options]
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD=build
if [ "${1:-}" = --build ]; then
    BUILD="$2"
    shift 2
fi
cmake -S . -B "$BUILD" -G Ninja >/dev/null
cmake --build "$BUILD" -j "${JOBS:-2}" --target vantrel vantrel-sim >/dev/null
exec python3 bench/proof/frugality.py --build "$BUILD" "$@"
