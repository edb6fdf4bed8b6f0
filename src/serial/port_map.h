#pragma once

#include <string>
#include <vector>

namespace vantrel {

// One entry of the port list: a COM name and the device it stands for.
struct PortEntry {
    std::string name;    // "COM1" .. "COM99"
    std::string device;  // e.g. "/dev/ttyUSB0", or the target of an alias
};

// The program's configuration folder: $XDG_CONFIG_HOME/vantrel (an absolute one only), by
// default ~/.config/vantrel; empty when neither is known.
std::string ConfigFolder();

// The folder of port aliases, ConfigFolder()/ports. A symbolic link named COMn there stands
// for its target.
std::string PortAliasFolder();

// Maps COM names to devices. An alias COMn in `aliasFolder` wins; otherwise the fixed
// numbers apply to `systemDevices` (paths of the serial ports the system reports):
// ttyS<k> is COM<k+1>, ttyUSB<k> is COM<k+33>, ttyACM<k> is COM<k+65>, k from 0 to 31.
// Only names whose device exists as a character device are kept; nothing is opened to ask
// (an open would raise a real port's modem lines). The result is in the port list's sorted text
// order, letters compared without regard to case (COM10 before COM3).
std::vector<PortEntry> MapPorts(const std::string& aliasFolder,
                                const std::vector<std::string>& systemDevices);

// The serial devices the kernel lists in `ttyClass` (/sys/class/tty), as /dev paths: every
// tty backed by a device of its own (USB adapters, built-in ports), less the built-in ports
// the serial driver reserves without hardware behind them (type 0, "unknown"). Opens nothing:
// asking a port itself whether it is real would raise its DTR and RTS.
std::vector<std::string> SerialDevicesIn(const std::string& ttyClass);

// The device behind a COM name in `entries`; a name that is no COM name (a device path) is
// returned with its links resolved (a /dev/serial/by-path name gives its tty), or unchanged
// when it leads nowhere; empty for a COM name that stands for nothing.
std::string ResolvePort(const std::vector<PortEntry>& entries, const std::string& nameOrDevice);

}  // namespace vantrel
