#!/usr/bin/python3
"""An automation client that stays: creates the VantrelDistribution object and holds it.

Prints "held <pid> <object path> <unique name>" (of the copy serving it) or "error <name> <message>"
and then obeys stdin, one command a line:
  release    calls Release on the object and prints "released" or "error <name> <message>"
  create     calls CreateInstance once more on the same copy (by its unique name) and prints
             the answer as above
End of input ends the client without releasing: the bus tells the copy that it left.
"""
import sys

import dbus

NAME = "VantrelDistribution.Application"
FACTORY_PATH = "/ClassFactory"
FACTORY_IFACE = "VantrelDistribution.ClassFactory"


def say(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


def error_line(exc):
    return "error %s %s" % (exc.get_dbus_name(), exc.get_dbus_message())


def main():
    bus = dbus.SessionBus()
    try:
        # Resolving the name starts a copy through activation when none waits for a client.
        factory_obj = bus.get_object(NAME, FACTORY_PATH, introspect=False)
        owner = factory_obj.bus_name
        factory = dbus.Interface(factory_obj, FACTORY_IFACE)
        path = factory.CreateInstance()
    except dbus.exceptions.DBusException as exc:
        say(error_line(exc))
        return 1
    daemon = dbus.Interface(bus.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus"),
                            "org.freedesktop.DBus")
    pid = daemon.GetConnectionUnixProcessID(owner)
    say("held %d %s %s" % (pid, path, owner))
    for line in sys.stdin:
        command = line.strip()
        try:
            if command == "release":
                factory.Release(path)
                say("released")
            elif command == "create":
                say("created %s" % factory.CreateInstance())
        except dbus.exceptions.DBusException as exc:
            say(error_line(exc))
    return 0


if __name__ == "__main__":
    sys.exit(main())
