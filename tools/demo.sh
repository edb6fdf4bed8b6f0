#!/usr/bin/env bash
# The demo: the simulated instrument is reprogrammed on each boot-loader variant with
# `vantrel auto restart`, then the image it received is compared with the file.
#
# Installs what is missing, builds into build/, and leaves nothing behind: the simulator, its
# COMn alias and the scratch folder go away at the end, also when a step fails.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT="$(pwd)"

PORT="${DEMO_PORT:-COM7}"
IMAGE_BYTES=100000  # about 100 KiB, not a whole number of 1024-byte blocks: shows the padding

bash tools/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build -j "$(nproc)" --target vantrel vantrel-sim

VANTREL="$ROOT/build/src/cli/vantrel"
SIM="$ROOT/build/tools/sim/vantrel-sim"
WORK="$(mktemp -d)"
# A private configuration folder: the alias and the remembered port of the demo stay in it.
export XDG_CONFIG_HOME="$WORK/config"
SIM_PID=""

stop_sim() {
    if [ -n "$SIM_PID" ] && kill -0 "$SIM_PID" 2>/dev/null; then
        kill -TERM "$SIM_PID" 2>/dev/null || true
        wait "$SIM_PID" 2>/dev/null || true
    fi
    SIM_PID=""
    rm -f "$XDG_CONFIG_HOME/vantrel/ports/$PORT"
}
cleanup() {
    stop_sim
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# CRC-32 of the image as it goes on the line: 0x1A then 0xFF up to the end of the last block.
padded_crc32() {
    python3 - "$1" <<'PY'
import sys, zlib
data = open(sys.argv[1], "rb").read()
if len(data) % 1024:
    data += b"\x1a" + b"\xff" * (1024 - len(data) % 1024 - 1)
print("%08x %d" % (zlib.crc32(data) & 0xFFFFFFFF, len(data)))
PY
}

report_image() {
    python3 - "$1" <<'PY'
import json, sys
image = json.load(open(sys.argv[1])).get("image") or {}
print("%s %s" % (image.get("crc32", "none"), image.get("size", 0)))
PY
}

SAMPLE="$WORK/sample.upg"
python3 -c "import random,sys; r=random.Random(2024); sys.stdout.buffer.write(bytes(r.getrandbits(8) for _ in range($IMAGE_BYTES)))" > "$SAMPLE"
read -r FILE_CRC FILE_SENT < <(padded_crc32 "$SAMPLE")
echo
echo "Sample image: $SAMPLE, $IMAGE_BYTES bytes; on the line $FILE_SENT bytes, CRC-32 $FILE_CRC"

failed=0
for model in 0 1 2; do
    echo
    echo "=== Model $model: vantrel --port $PORT --file sample.upg auto restart ==="
    REPORT="$WORK/report-$model.json"
    "$SIM" --model "$model" --port "$PORT" --reset-on-open --no-stdin --report "$REPORT" \
        > "$WORK/sim-$model.out" 2> "$WORK/sim-$model.err" &
    SIM_PID=$!
    for _ in $(seq 100); do
        [ -s "$WORK/sim-$model.out" ] && break
        sleep 0.1
    done
    status=0
    "$VANTREL" --port "$PORT" --file "$SAMPLE" --record "$WORK/record.jsonl" auto restart \
        || status=$?
    stop_sim
    read -r GOT_CRC GOT_SIZE < <(report_image "$REPORT")
    if [ "$status" = 0 ] && [ "$GOT_CRC" = "$FILE_CRC" ] && [ "$GOT_SIZE" = "$FILE_SENT" ]; then
        echo "Model $model: the instrument received $GOT_SIZE bytes, CRC-32 $GOT_CRC: matches the file."
    else
        echo "Model $model: FAILED (exit status $status; received CRC-32 $GOT_CRC, $GOT_SIZE bytes)"
        failed=1
    fi
done

echo
if [ "$failed" = 0 ]; then
    echo "Demo complete: every model received the image intact."
else
    echo "Demo FAILED."
fi
exit "$failed"
