#!/usr/bin/python3
"""An automation client that stays: creates the object and prints "held <pid> <unique name>" of
the copy serving it; then releases the object at each line on stdin, printing "ok". A refusal
ends it with the bus error on stderr; end of input ends it without releasing."""
import sys

import dbus

bus = dbus.SessionBus()
# Resolving the name starts a copy through activation when none waits for a client.
obj = bus.get_object("VantrelDistribution.Application", "/ClassFactory", introspect=False)
factory = dbus.Interface(obj, "VantrelDistribution.ClassFactory")
path = factory.CreateInstance()
daemon = bus.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus")
print("held", daemon.GetConnectionUnixProcessID(obj.bus_name), obj.bus_name, flush=True)
for line in sys.stdin:
    factory.Release(path)
    print("ok", flush=True)
