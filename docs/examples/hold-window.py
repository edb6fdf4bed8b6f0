#!/usr/bin/python3
"""Holds a VantrelDistribution window through its automation object for as long as it runs.

    python3 hold-window.py

The session bus starts a copy of the program for this client, and the window opens. The script
prints "held PID NAME": the process id of that copy and the unique bus name it answered from.
It keeps talking to that unique name: the copy gives the well-known name
VantrelDistribution.Application up as soon as it has handed out its object, so that the next
client gets a copy of its own.

While the object is held, the window's Exit only hides it. A line on standard input (Enter)
releases the object and prints "released": the copy ends, unless the operator has one of the
window's boxes open (the window then stays until its Exit). The end of input (Ctrl-D) or Ctrl-C
ends the script; leaving the bus releases the object too, if it is still held.

Needs Debian's python3 with its dbus module (package python3-dbus).
"""
import sys
import time

import dbus

NAME = "VantrelDistribution.Application"
FACTORY = "VantrelDistribution.ClassFactory"
# A copy that has just handed out its object to another client answers InUse for a moment,
# until the bus has taken the name from it; asking again then starts a copy for this client.
IN_USE = "VantrelDistribution.Error.InUse"
ATTEMPTS = 10
PAUSE_S = 0.5


def create(bus):
    """The factory of the copy that serves this client, and the object's path."""
    for attempt in range(ATTEMPTS):
        # Bound to the unique name of the name's owner now; the bus starts a copy when there
        # is none waiting for a client.
        copy = bus.get_object(NAME, "/ClassFactory", introspect=False)
        factory = dbus.Interface(copy, FACTORY)
        try:
            return copy, factory, factory.CreateInstance()
        except dbus.DBusException as error:
            if error.get_dbus_name() != IN_USE or attempt + 1 == ATTEMPTS:
                raise
            time.sleep(PAUSE_S)


def main():
    bus = dbus.SessionBus()
    try:
        copy, factory, path = create(bus)
    except dbus.DBusException as error:
        print(f"hold-window: {error.get_dbus_name()}: {error.get_dbus_message()}",
              file=sys.stderr)
        return 1
    daemon = bus.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus")
    pid = daemon.GetConnectionUnixProcessID(copy.bus_name)
    print("held", pid, copy.bus_name, flush=True)
    held = True
    for _ in sys.stdin:
        if held:
            factory.Release(path)
            held = False
            print("released", flush=True)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit(130)
