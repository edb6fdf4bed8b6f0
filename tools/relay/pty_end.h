#pragma once

#include <string>

namespace vantrel::relay {

// One end of the relay: a pty whose slave side a program opens, or a device the relay opened
// itself. Descriptors are non-blocking.
struct LineEnd {
    int fd = -1;         // what the relay reads and writes: the pty master, or the device
    int heldSlave = -1;  // the relay keeps its own pty's slave open: the program may open and
                         // close it as often as it likes without the master seeing a hang-up
    std::string path;    // the slave's path, or the device's
};

// Makes a pty whose slave is raw (no echo, no line-end translation) before anyone opens it.
// False with `error` set when the system refuses.
bool OpenPty(LineEnd& end, std::string& error);

// Opens `device` read-write, raw, without making it the controlling terminal.
bool OpenDevice(const std::string& device, LineEnd& end, std::string& error);

// Closes both descriptors; a pty's slave path goes away with them.
void CloseEnd(LineEnd& end);

// Points the symbolic link `link` at `target`, replacing what was there (atomically: a
// program resolving the link sees the old or the new target, never nothing).
bool PlaceLink(const std::string& link, const std::string& target, std::string& error);

// $XDG_CONFIG_HOME/vantrel/ports, by default ~/.config/vantrel/ports, created if missing.
std::string AliasFolder(std::string& error);

}  // namespace vantrel::relay
