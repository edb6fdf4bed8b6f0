#!/usr/bin/env python3
"""Frugality figures of the console front end against vantrel-sim.

1. Processor time of a full `auto restart` on a line paced at 38400 baud, as a share of the
   wall time (target below 5 %).
2. The transfer's efficiency on that line: the time the line needs at best (1029-byte frames
   at 3840 bytes/s) over the time the transfer took (target at least 97 %).
3. Peak memory (maximum resident set) of `vantrel` for a 64 KiB and a 16 MiB image, which
   must not grow with the file.
Each run goes through GNU time (/usr/bin/time) for its processor time and peak memory; the
transfer's duration comes from the update record (--record), phase "transfer".
"""
import argparse
import json
import os
import random
import signal
import subprocess
import sys
import tempfile

LINE_BYTES_PER_SECOND = 3840  # 38400 baud, 10 bits per byte
FRAME_BYTES = 1029            # STX, number, complement, 1024 data bytes, CRC-16
# The record's transfer phase ends when the title is set back after the closing drain, which
# waits for this much quiet after the EOT's answer (four times as long on model 2): time the
# line is not needed for, taken off before the efficiency is computed.
DRAIN_QUIET_S = {0: 1.0, 1: 1.0, 2: 4.0}


def make_image(path, size, seed):
    rng = random.Random(seed)
    with open(path, "wb") as f:
        f.write(bytes(rng.getrandbits(8) for _ in range(size)) if size < 1 << 20
                else rng.randbytes(size))


def run(build, folder, model, image, functions, paced):
    env = dict(os.environ, XDG_CONFIG_HOME=folder)
    sim_args = [os.path.join(build, "tools/sim/vantrel-sim"), "--model", str(model), "--port",
                "COM6", "--reset-on-open", "--no-stdin",
                "--report", os.path.join(folder, "report.json")]
    if paced:
        sim_args += ["--baud", "38400"]
    sim = subprocess.Popen(sim_args, env=env, stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL, text=True)
    try:
        sim.stdout.readline()  # PTY path: the alias is in place
        record = os.path.join(folder, "record.jsonl")
        times = os.path.join(folder, "time.txt")
        if os.path.exists(record):
            os.remove(record)
        done = subprocess.run(
            ["/usr/bin/time", "-f", "%e %U %S %M", "-o", times,
             os.path.join(build, "src/cli/vantrel"), "--port", "COM6", "--file", image,
             "--wait", "30", "--record", record] + functions,
            env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace",
            timeout=900)
        with open(times) as f:
            wall, user, system, rss_kib = f.read().split()[-4:]
        with open(record) as f:
            rec = json.loads(f.read().splitlines()[-1])
        phases = {p["name"]: p["duration_ms"] for p in rec.get("phases", [])}
        transfer = (rec.get("transfers") or [{}])[-1]
        return {"exit": done.returncode, "wall": float(wall), "cpu": float(user) + float(system),
                "rss_kib": int(rss_kib), "transfer_ms": phases.get("transfer"),
                "acked": transfer.get("bytes_acknowledged", 0),
                "frames": transfer.get("frames_sent", 0), "output": done.stdout}
    finally:
        sim.send_signal(signal.SIGTERM)
        sim.communicate(timeout=30)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--paced-kib", type=int, default=128,
                        help="image size of the paced run, KiB (default 128: about 35 s)")
    parser.add_argument("--model", type=int, default=1)
    args = parser.parse_args()
    failed = False
    with tempfile.TemporaryDirectory(prefix="vantrel-frugality-") as folder:
        image = os.path.join(folder, "paced.upg")
        make_image(image, args.paced_kib * 1024, 1)
        paced = run(args.build, folder, args.model, image, ["auto", "restart"], True)
        if paced["exit"] != 0 or not paced["transfer_ms"]:
            print(paced["output"])
            print("the paced run failed (exit %d)" % paced["exit"])
            return 1
        share = paced["cpu"] / paced["wall"]
        blocks = paced["acked"] // 1024
        best = blocks * FRAME_BYTES / LINE_BYTES_PER_SECOND
        phase = paced["transfer_ms"] / 1000.0
        sending = phase - DRAIN_QUIET_S[args.model]
        efficiency = best / sending
        print("Paced line, 38400 baud, model %d, %d KiB image, auto restart:" % (
            args.model, args.paced_kib))
        print("  wall %.2f s, processor %.3f s (user+system): %.2f %% of the wall time "
              "(target < 5 %%)" % (paced["wall"], paced["cpu"], 100 * share))
        print("  transfer phase %.2f s, of which %.1f s the closing drain's quiet: %d blocks "
              "(%d frames sent) in %.2f s" % (phase, DRAIN_QUIET_S[args.model], blocks,
                                               paced["frames"], sending))
        print("  the line needs %.2f s for %d frames of 1029 bytes: efficiency %.1f %% "
              "(target >= 97 %%); with the drain counted %.1f %%" % (
                  best, blocks, 100 * efficiency, 100 * best / phase))
        failed |= share >= 0.05 or efficiency < 0.97

        print("Peak memory of vantrel (unpaced line, auto):")
        peaks = []
        for label, size in (("64 KiB", 64 * 1024), ("16 MiB", 16 * 1024 * 1024)):
            image = os.path.join(folder, "image-%d.upg" % size)
            make_image(image, size, 2)
            result = run(args.build, folder, args.model, image, ["auto"], False)
            peaks.append(result["rss_kib"])
            print("  %-7s exit %d, max RSS %6d KiB, wall %.2f s, processor %.2f s" % (
                label, result["exit"], result["rss_kib"], result["wall"], result["cpu"]))
            failed |= result["exit"] != 0
        growth = peaks[1] - peaks[0]
        print("  growth from 64 KiB to 16 MiB: %+d KiB (the image is 16320 KiB larger)" % growth)
        failed |= growth > 1024
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
