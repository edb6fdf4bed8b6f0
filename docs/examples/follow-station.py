#!/usr/bin/env python3
"""Follows a station's event lines (vantrel station --json) and says what became of each
instrument, one line each, then the station's totals.

    vantrel station --job /etc/vantrel/jobs/line3.toml --json | python3 follow-station.py

Ends with 0 when the station ended with 0, 1 when it ended otherwise, 2 when its output ended
without a summary (the station was killed) or was not the layout this script knows.
The events and their fields are described in vantrel(1), under JSON OUTPUT.
"""
import json
import sys

SCHEMA = 1


def main():
    percent = {}  # port -> the last tenth of its transfer shown
    for line in sys.stdin:
        event = json.loads(line)
        if event.get("schema") != SCHEMA:
            print(f"unknown event layout: {line.strip()}", file=sys.stderr)
            return 2
        port, kind = event["port"], event["event"]
        if kind == "progress" and event["total"] > 0:
            tenth = event["bytes"] * 10 // event["total"]
            if tenth != percent.get(port):
                percent[port] = tenth
                print(f"{port}  {tenth * 10}%", flush=True)
        elif kind == "outcome":
            state = "done" if event["ok"] else "FAILED"
            print(f"{port}  {state}: {event['text']}", flush=True)
        elif kind == "declined":
            print(f"{port}  {event['text']}", flush=True)
        elif kind == "gone":
            print(f"{port}  gone: {event['text']}", flush=True)
        elif kind == "back":
            print(f"{port}  back on {event['device']}", flush=True)
        elif kind == "summary":
            print(f"{event['done']} done, {event['failed']} failed, "
                  f"{event['declined']} declined; exit status {event['exit_status']}")
            return 0 if event["exit_status"] == 0 else 1
    print("the station's output ended without a summary", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
