#!/usr/bin/env python3
"""Station figures: N simulated instruments on lines paced at 38400 baud, all downloading at once.

For each N (default 1, 4, 16, 32): N `vantrel-sim --baud 38400` (model 1), one `vantrel station`
on their ports with `--count N download`; once every port waits, all instruments are reset at
the same moment. Printed per N:
- aggregate throughput: the bytes acknowledged by all instruments over the time from the first
  transfer's start to the last one's end (target at least 0.95 x N x the single-port figure);
- per-port efficiency: the time the line needs at best (1029-byte frames at 3840 bytes/s) over
  the time each transfer took, the worst port (target at least 97 %);
- the station's processor time (user + system, GNU time) over its wall time, per busy port
  (target at most 0.5 % of one core per port);
- the station's peak resident memory (target at most 20 MiB + 1 MiB per port);
- the station's processor time while its N ports wait for instruments, over IDLE_S, as a
  share of one core (target: nothing measurable; it wakes only for news, never on a tick).
The transfer times come from the update record (--record), phase "transfer", less the closing
drain's quiet. "late starts" counts transfers that began a start-signal period (3 s) after the
first; "resets" the instruments reset again because their signature was missed. Not a test: figures depend on the machine and its load.
"""
import argparse
import datetime
import json
import os
import random
import signal
import subprocess
import sys
import tempfile
import threading
import queue
import time

LINE_BYTES_PER_SECOND = 3840  # 38400 baud, 10 bits per byte
FRAME_BYTES = 1029            # STX, number, complement, 1024 data bytes, CRC-16
DRAIN_QUIET_S = 1.0           # the closing drain's quiet on model 1, in the transfer phase
FIRST_COM = 10                # the instruments are COM10, COM11, ...
# A transfer that began this long after the first began missed the receiver's first start
# signal (the simulator repeats it every 3 s): the aggregate figure carries that wait.
LATE_START_S = 1.0
RESET_AGAIN_S = 5.0           # an instrument not On-Line this long after its reset is reset again
IDLE_S = 5.0                  # every port waiting: the station's processor time over this long


def cpu_seconds(pid):
    """User + system processor time of the process so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def child_of(pid):
    with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
        return int(f.read().split()[0])


def when(iso):
    return datetime.datetime.fromisoformat(iso.replace("Z", "+00:00")).timestamp()


def run(build, folder, count, image):
    env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(folder, "config-%d" % count))
    names = ["COM%d" % (FIRST_COM + i) for i in range(count)]
    sims = []
    try:
        for name in names:
            sims.append(subprocess.Popen(
                [os.path.join(build, "tools/sim/vantrel-sim"), "--model", "1", "--baud", "38400",
                 "--port", name, "--no-stdin"],
                env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True))
        for sim in sims:
            sim.stdout.readline()  # PTY path: the alias is in place
        record = os.path.join(folder, "record-%d.jsonl" % count)
        times = os.path.join(folder, "time-%d.txt" % count)
        ports = [arg for name in names for arg in ("--port", name)]
        station = subprocess.Popen(
            ["/usr/bin/time", "-f", "%e %U %S %M", "-o", times,
             os.path.join(build, "src/cli/vantrel"), "station", "--file", image, "--record",
             record, "--count", str(count), "--wait", "60", "download"] + ports,
            env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
            errors="replace")
        waiting = set()
        output = []
        while len(waiting) < count:
            line = station.stdout.readline()
            if not line:
                break
            output.append(line)
            if "Waiting for an instrument" in line:
                waiting.add(line.split(":")[0])
        # A port says it waits once the line is quiet after the open: the resets may come at
        # once. First the idle cost of N waiting ports.
        vantrel_pid = child_of(station.pid)
        before = cpu_seconds(vantrel_pid)
        time.sleep(IDLE_S)
        idle = (cpu_seconds(vantrel_pid) - before) / IDLE_S
        for sim in sims:
            sim.send_signal(signal.SIGUSR1)
        # On a loaded machine a paced simulator's signature can arrive with gaps too long to
        # be one: such an instrument is reset again, as an operator would (and counted).
        lines = queue.Queue()
        threading.Thread(target=lambda: [lines.put(l) for l in station.stdout] + [lines.put(None)],
                         daemon=True).start()
        online, resets_again, deadline = set(), 0, time.monotonic() + RESET_AGAIN_S
        while True:
            try:
                line = lines.get(timeout=0.5)
            except queue.Empty:
                line = ""
            if line is None:
                break
            output.append(line)
            if "Instrument On-Line" in line:
                online.add(line.split(":")[0])
            if time.monotonic() > deadline and len(online) < count:
                for name, sim in zip(names, sims):
                    if name not in online:
                        sim.send_signal(signal.SIGUSR1)
                        resets_again += 1
                deadline = time.monotonic() + RESET_AGAIN_S
        status = station.wait(timeout=900)
        with open(times) as f:
            wall, user, system, rss_kib = f.read().split()[-4:]
        with open(record) as f:
            records = [json.loads(line) for line in f]
    finally:
        for sim in sims:
            sim.send_signal(signal.SIGTERM)
            sim.communicate(timeout=30)
    return (status, float(wall), float(user) + float(system), int(rss_kib), records, output,
            resets_again, idle)


def figures(records):
    starts, ends, acked, efficiencies = [], [], 0, []
    for rec in records:
        transfer = next(p for p in rec["phases"] if p["name"] == "transfer")
        sending = transfer["duration_ms"] / 1000.0 - DRAIN_QUIET_S
        start = when(transfer["start"])
        starts.append(start)
        ends.append(start + sending)
        bytes_acked = rec["transfers"][-1]["bytes_acknowledged"]
        acked += bytes_acked
        efficiencies.append(bytes_acked // 1024 * FRAME_BYTES / LINE_BYTES_PER_SECOND / sending)
    late = sum(1 for start in starts if start - min(starts) > LATE_START_S)
    return acked / (max(ends) - min(starts)), min(efficiencies), late


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--kib", type=int, default=64, help="image size, KiB (default 64: 17 s)")
    parser.add_argument("--ports", default="1,4,16,32")
    args = parser.parse_args()
    rows = []
    with tempfile.TemporaryDirectory(prefix="vantrel-station-bench-") as folder:
        image = os.path.join(folder, "image.upg")
        with open(image, "wb") as f:
            f.write(random.Random(1).randbytes(args.kib * 1024))
        for count in (int(n) for n in args.ports.split(",")):
            status, wall, cpu, rss, records, output, again, idle = run(args.build, folder, count,
                                                                      image)
            if status != 0 or len(records) != count:
                sys.stdout.write("".join(output))
                print("N=%d: the station ended with %d after %d instruments" % (
                    count, status, len(records)))
                return 1
            aggregate, worst, late = figures(records)
            rows.append((count, aggregate, worst, cpu / wall / count, cpu / wall, rss, wall, again,
                         late, idle))
    single = rows[0][1] if rows and rows[0][0] == 1 else None
    print("%d KiB image, model 1, %d-byte frames at %d bytes/s (line limit %.0f data bytes/s)"
          % (args.kib, FRAME_BYTES, LINE_BYTES_PER_SECOND,
             LINE_BYTES_PER_SECOND * 1024 / FRAME_BYTES))
    print("%4s %14s %10s %14s %14s %12s %12s %8s %6s %14s %10s" % (
        "N", "aggregate B/s", "vs N x 1", "worst port eff", "CPU per port", "CPU station",
        "peak RSS", "wall s", "resets", "late starts", "idle CPU"))
    failed = False
    for count, aggregate, worst, share, total, rss, wall, again, late, idle in rows:
        ratio = aggregate / (count * single) if single else float("nan")
        limit_kib = 20 * 1024 + 1024 * count
        print("%4d %14.0f %9.3f %13.1f%% %13.3f%% %11.2f%% %8d KiB %8.1f %6d %14.2f %9.2f%%" % (
            count, aggregate, ratio, 100 * worst, 100 * share, 100 * total, rss, wall, again,
            late, 100 * idle))
        failed |= worst < 0.97 or share > 0.005 or rss > limit_kib or (single is not None and ratio < 0.95)
    print("targets: worst port >= 97 %%, aggregate >= 0.95 x N x single, CPU <= 0.5 %% of a "
          "core per port, RSS <= 20 MiB + 1 MiB per port: %s" % ("missed" if failed else "met"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
