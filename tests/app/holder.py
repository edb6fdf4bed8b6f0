#!/usr/bin/python3
"""An automation client that stays: creates the object and prints "held <pid> <unique name>" of
the copy serving it, or "error <name>"; then obeys stdin lines "release", "create" (once more,
on the same copy) and "release-other" (a path the copy never handed out), printing "ok" or
"error <name>". End of input ends the client without releasing."""
import sys

import dbus

bus = dbus.SessionBus()
try:
    # Resolving the name starts a copy through activation when none waits for a client.
    obj = bus.get_object("VantrelDistribution.Application", "/ClassFactory", introspect=False)
    factory = dbus.Interface(obj, "VantrelDistribution.ClassFactory")
    path = factory.CreateInstance()
    daemon = bus.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus")
    print("held", daemon.GetConnectionUnixProcessID(obj.bus_name), obj.bus_name, flush=True)
except dbus.exceptions.DBusException as exc:
    sys.exit(print("error", exc.get_dbus_name(), flush=True))
for line in sys.stdin:
    try:
        {"release": lambda: factory.Release(path), "create": factory.CreateInstance,
         "release-other": lambda: factory.Release(dbus.ObjectPath("/Other"))}[line.strip()]()
        print("ok", flush=True)
    except dbus.exceptions.DBusException as exc:
        print("error", exc.get_dbus_name(), flush=True)
