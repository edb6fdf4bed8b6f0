#!/usr/bin/env python3
"""Soak: many `vantrel ... auto` runs against vantrel-sim through vantrel-relay on a noisy line.

For every model, check mode (CRC, checksum) and error rate, each run starts a fresh simulated
instrument and a relay that damages both directions at that rate, runs the console front end
with `auto`, and compares the image the instrument received with the file. After an aborted
run the line is made clean and the program run again, as an operator would after resetting
the instrument: the abort counts as recovered when that run completes with the right image.

Prints one row per configuration: runs, completed, aborted (and how many of those were
recovered), hangs (no end within the hang bound) and false completions ("!!! Download
Completed !!!" while the instrument holds another image). Seeds of hangs and false
completions are listed so that a run can be replayed with the relay's --seed.
"""
import argparse
import concurrent.futures
import json
import os
import random
import signal
import subprocess
import sys
import tempfile
import threading
import time
import zlib

COMPLETED = "!!! Download Completed !!!"
# A run that has not ended after this many seconds is a hang. The worst the program may
# legitimately take on this line is far less: identification up to --wait, the dialogue's
# bounded waits, and for the transfer a few retries per block.
HANG_SECONDS = 240
# Seconds the program waits for the instrument to be identified.
WAIT_SECONDS = 10


def padded(image):
    rest = len(image) % 1024
    if rest == 0:
        return image
    return image + b"\x1a" + b"\xff" * (1024 - rest - 1)


class Line:
    """A simulated instrument behind a relay with faults, under a private config folder."""

    def __init__(self, build, folder, model, checksum, rate, seed):
        self.folder = folder
        self.env = dict(os.environ, XDG_CONFIG_HOME=folder)
        self.report = os.path.join(folder, "report.json")
        self.received = os.path.join(folder, "received.bin")
        args = [os.path.join(build, "tools/sim/vantrel-sim"), "--model", str(model),
                "--reset-on-open", "--no-stdin", "--report", self.report,
                "--image-out", self.received]
        if checksum:
            args.append("--checksum")
        self.sim = subprocess.Popen(args, env=self.env, stdout=subprocess.PIPE,
                                    stderr=subprocess.DEVNULL, text=True)
        first = self.sim.stdout.readline().split()
        if len(first) != 2 or first[0] != "PTY":
            raise RuntimeError("vantrel-sim did not start")
        self.sim_pty = first[1]
        self.build = build
        self.relay = None
        self.start_relay(rate, seed)

    def start_relay(self, rate, seed):
        self.stop_relay()
        args = [os.path.join(self.build, "tools/relay/vantrel-relay"), "--device", self.sim_pty,
                "--follow-open", "--alias", "COM5", "--seed", str(seed)]
        if rate > 0:
            # Mostly bit flips, then lost bytes, then duplicated and made-up ones.
            args += ["--flip", repr(rate / 2), "--drop", repr(rate / 4),
                     "--dup", repr(rate / 8), "--insert", repr(rate / 8)]
        self.relay = subprocess.Popen(args, env=self.env, stdout=subprocess.PIPE,
                                      stderr=subprocess.DEVNULL, text=True)
        for line in self.relay.stdout:
            if line.strip() == "READY":
                return
        raise RuntimeError("vantrel-relay did not start")

    def stop_relay(self):
        if self.relay is None:
            return {}
        self.relay.send_signal(signal.SIGTERM)
        rest, _ = self.relay.communicate(timeout=10)
        self.relay = None
        stats = {}
        for line in rest.splitlines():
            parts = line.split()
            if parts[:1] == ["STATS"]:
                stats[parts[1]] = {k: int(v) for k, v in (p.split("=") for p in parts[2:])}
        return stats

    def run(self, image_path):
        started = time.monotonic()
        self.record = os.path.join(self.folder, "record.jsonl")
        program = subprocess.Popen(
            [os.path.join(self.build, "src/cli/vantrel"), "--port", "COM5", "--file", image_path,
             "--wait", str(WAIT_SECONDS), "--record", self.record, "auto"],
            env=self.env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
            errors="replace")
        try:
            output, _ = program.communicate(timeout=HANG_SECONDS)
            return program.returncode, output, time.monotonic() - started
        except subprocess.TimeoutExpired:
            program.kill()
            output, _ = program.communicate()
            return None, output, time.monotonic() - started

    def received_image(self):
        """Stops the instrument; returns the image of its last completed transfer."""
        self.stop_relay()
        self.sim.send_signal(signal.SIGTERM)
        self.sim.communicate(timeout=10)
        try:
            with open(self.received, "rb") as f:
                return f.read()
        except OSError:
            return None

    def record_line(self):
        """The update record of the last run, or {}."""
        try:
            with open(self.record) as f:
                lines = f.read().splitlines()
            return json.loads(lines[-1]) if lines else {}
        except (OSError, ValueError):
            return {}

    def report_mode(self):
        try:
            with open(self.report) as f:
                transfers = json.load(f).get("transfers", [])
            return transfers[0]["mode"] if transfers else None
        except (OSError, ValueError):
            return None

    def close(self):
        self.stop_relay()
        if self.sim.poll() is None:
            self.sim.kill()
            self.sim.communicate()


RESULTS = {-1: "receiver cancelled", -2: "no start signal", -4: "block never acknowledged",
           -5: "end never acknowledged", -6: "file failed", -10: "fault line",
           -11: "connection lost in the menu", -12: "file could not be opened"}


def cause(output, record):
    """Why a run did not complete, from its update record (or its last words)."""
    if record.get("diagnosis"):
        return "not identified: " + record["diagnosis"].get("kind", "?")
    transfers = record.get("transfers") or []
    if transfers and transfers[-1].get("result", 0) < 0:
        code = transfers[-1]["result"]
        return "transfer %d: %s" % (code, RESULTS.get(code, "?"))
    status = [s["text"] for s in record.get("status", [])]
    if status:
        last = status[-1]
        if last.startswith("Connection Lost"):
            return "menu: " + last[:90]
        # The operation stopped at a line it did not expect: the boot loader's words as the
        # line delivered them, shown in the status line.
        return "menu: an unexpected (garbled) boot-loader line"
    lines = [l for l in output.replace("\r", "\n").splitlines() if l and not l.startswith("[")]
    return (lines[-1] if lines else "(nothing)")[:100]


def one_run(build, image_path, image, model, checksum, rate, seed):
    with tempfile.TemporaryDirectory(prefix="vantrel-soak-") as folder:
        line = Line(build, folder, model, checksum, rate, seed)
        try:
            code, output, seconds = line.run(image_path)
            said_completed = COMPLETED in output
            record = line.record_line()
            transfers = record.get("transfers") or []
            result = {"seed": seed, "exit": code, "seconds": seconds, "hang": code is None,
                      "completed": said_completed and code == 0, "words": cause(output, record),
                      "frames": sum(t.get("frames_sent", 0) for t in transfers),
                      "acked": sum(t.get("bytes_acknowledged", 0) for t in transfers) // 1024}
            result["faults"] = line.stop_relay()
            received = line.received_image()
            result["mode"] = line.report_mode()
            result["image_ok"] = received == padded(image)
            result["false"] = said_completed and not result["image_ok"]
            result["recovered"] = None
            if not said_completed and code is not None:
                # The operator resets the instrument and tries again on a good line.
                result["recovered"] = recover(build, folder, image_path, image, model, checksum)
            return result
        finally:
            line.close()


def recover(build, folder, image_path, image, model, checksum):
    again = os.path.join(folder, "again")
    os.makedirs(again, exist_ok=True)
    line = Line(build, again, model, checksum, 0, 0)
    try:
        code, output, _ = line.run(image_path)
        return code == 0 and COMPLETED in output and line.received_image() == padded(image)
    finally:
        line.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build", help="build folder (default: build)")
    parser.add_argument("--runs", type=int, default=6, help="runs per configuration")
    parser.add_argument("--rates", default="0,1e-4,1e-3,3e-3",
                        help="byte error rates, comma separated")
    parser.add_argument("--models", default="0,1,2")
    parser.add_argument("--modes", default="crc,checksum")
    parser.add_argument("--size", type=int, default=24 * 1024 + 100, help="image bytes")
    parser.add_argument("--jobs", type=int, default=4, help="runs at the same time")
    parser.add_argument("--seed", type=int, default=1,
                        help="relay seed of the first run; each further run takes the next")
    parser.add_argument("--image-seed", type=int, default=1, help="seed of the image's bytes")
    args = parser.parse_args()

    rng = random.Random(args.image_seed)
    image = bytes(rng.getrandbits(8) for _ in range(args.size))
    work = tempfile.mkdtemp(prefix="vantrel-soak-image-")
    image_path = os.path.join(work, "image.upg")
    with open(image_path, "wb") as f:
        f.write(image)

    configs = [(m, mode, float(r)) for m in map(int, args.models.split(","))
               for mode in args.modes.split(",") for r in args.rates.split(",")]
    jobs = []
    seed = args.seed
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        for model, mode, rate in configs:
            for _ in range(args.runs):
                jobs.append(((model, mode, rate), pool.submit(
                    one_run, args.build, image_path, image, model, mode == "checksum", rate, seed)))
                seed += 1
        started = time.monotonic()
        rows = {}
        for config, job in jobs:
            rows.setdefault(config, []).append(job.result())
    elapsed = time.monotonic() - started

    print("Soak: %d-byte image (%d blocks), %d runs per configuration, hang bound %d s, "
          "%.0f s in all" % (args.size, (args.size + 1023) // 1024, args.runs, HANG_SECONDS,
                             elapsed))
    print("Faults per byte at rate r, both directions: flip r/2, drop r/4, dup r/8, insert r/8;")
    print("faults: bytes damaged by the relay; resent: frames sent again (repeats and unanswered)")
    header = "%-5s %-8s %-7s %5s %9s %7s %9s %5s %6s %7s %7s %7s" % (
        "model", "mode", "rate", "runs", "completed", "aborted", "recovered", "hangs", "false",
        "faults", "resent", "mean_s")
    print(header)
    print("-" * len(header))
    totals = {}
    causes = {}
    notable = []
    for (model, mode, rate), results in rows.items():
        completed = sum(r["completed"] for r in results)
        hangs = sum(r["hang"] for r in results)
        false = sum(r["false"] for r in results)
        aborted = len(results) - completed - hangs
        recovered = sum(1 for r in results if r["recovered"])
        faults = sum(sum(d.get(k, 0) for d in r["faults"].values()
                         for k in ("dropped", "flipped", "duplicated", "inserted"))
                     for r in results)
        mean = sum(r["seconds"] for r in results) / len(results)
        resent = sum(r["frames"] - r["acked"] for r in results)
        print("%-5d %-8s %-7g %5d %9d %7d %9d %5d %6d %7d %7d %7.1f" % (
            model, mode, rate, len(results), completed, aborted, recovered, hangs, false,
            faults, resent, mean))
        key = mode
        t = totals.setdefault(key, [0, 0, 0, 0, 0, 0])
        for i, v in enumerate((len(results), completed, aborted, recovered, hangs, false)):
            t[i] += v
        for r in results:
            if not r["completed"]:
                causes[r["words"]] = causes.get(r["words"], 0) + 1
            if r["hang"] or r["false"] or (r["mode"] and r["mode"] != mode and r["completed"]):
                notable.append((model, mode, rate, r))
    print("-" * len(header))
    for mode, t in totals.items():
        print("%-14s %13d %9d %7d %9d %5d %6d" % ("all " + mode, *t))
    print("\nWhy the runs that did not complete ended:")
    for words, count in sorted(causes.items(), key=lambda kv: -kv[1]):
        print("  %4d  %s" % (count, words))
    if notable:
        print("\nHangs and false completions (replay with the relay's --seed):")
        for model, mode, rate, r in notable:
            print("  model %d %s rate %g seed %d exit %s image_ok %s: %s" % (
                model, mode, rate, r["seed"], r["exit"], r["image_ok"], r["words"]))
    bad = sum(t[4] + t[5] for mode, t in totals.items() if mode == "crc")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
