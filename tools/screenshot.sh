#!/usr/bin/env bash
# Renders the operator's window in its main states to PNG files (no display needed) and
# copies the On-Line picture to docs/window.png for the README.
#
#   tools/screenshot.sh [OUTPUT_FOLDER]     default: build-screenshot/pictures
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD="${VANTREL_SCREENSHOT_BUILD:-build-screenshot}"
OUT="${1:-$BUILD/pictures}"
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$BUILD" --target vantrel_screenshot
QT_QPA_PLATFORM=offscreen "$BUILD/tools/screenshot/vantrel_screenshot" "$OUT"
mkdir -p docs
cp "$OUT/window-on-line.png" docs/window.png
echo "docs/window.png"
