#!/usr/bin/env bash
# Soak of the whole chain on a noisy line: builds vantrel, vantrel-sim and vantrel-relay in
# BUILD (default build), then runs bench/proof/soak.py with the remaining arguments (see
# `soak.py --help`: --runs, --rates, --models, --modes, --size, --jobs, --seed).
# Not part of ctest: a full soak takes tens of minutes.
#   usage: bench/proof/soak.sh [--build DIR] [soak.py options]
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD=build
if [ "${1:-}" = --build ]; then
    BUILD="$2"
    shift 2
fi
cmake -S . -B "$BUILD" -G Ninja >/dev/null
cmake --build "$BUILD" -j "${JOBS:-2}" --target vantrel vantrel-sim vantrel-relay >/dev/null
exec python3 bench/proof/soak.py --build "$BUILD" "$@"
