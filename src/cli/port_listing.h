#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "serial/port_map.h"
#include "system_view.h"

namespace vantrel::cli {

// Thread contract: these functions keep no state; a view passed in is used only during the
// call, on the calling thread.

// What udev recorded of a device node (/run/udev/data/c<major>:<minor>).
struct UdevRecord {
    bool found = false;
    std::map<std::string, std::string> properties;  // E: lines, e.g. ID_VENDOR_ID=0403
};

// The udev record of the device node numbered `rdev`; not found for a device udev never saw
// (a pseudo-terminal).
UdevRecord ReadUdevRecord(const SystemView& view, std::uint64_t rdev);

// A USB adapter's identity, as udev read it from the adapter's descriptors.
struct UsbIdentity {
    std::string vendor;   // four hex digits, e.g. "0403"
    std::string product;  // four hex digits, e.g. "6001"
    std::string serial;   // empty when the adapter reports none
};

// The USB identity in a udev record; nothing for a device that is no USB adapter.
std::optional<UsbIdentity> UsbIdentityOf(const UdevRecord& record);

// The /dev/serial/by-path links and the devices they lead to: a link names the adapter's
// place on the USB bus (hub and socket), which stays put when adapters are replugged or
// come up in another order. Each link with its canonical device.
std::map<std::string, std::string> ByPathLinks(const SystemView& view);
// The link in `links` that leads to `device` (canonical); empty when none does.
std::string ByPathNameOf(const std::map<std::string, std::string>& links,
                         const std::string& device);

// One port of `vantrel ports`, with what the system knows of its adapter.
struct PortDetails {
    PortEntry entry;
    std::optional<UsbIdentity> usb;  // USB adapters only
    std::string byPath;              // the /dev/serial/by-path link to it, empty when none
};

// The details of every entry, read without opening anything.
std::vector<PortDetails> DescribePorts(const std::vector<PortEntry>& entries,
                                       const SystemView& view);

// The text of `vantrel ports`: one line per port, its COM name first (the completion reads
// that word), the device, and for USB adapters vendor:product, serial number and by-path link.
// Empty for no ports.
std::string FormatPortList(const std::vector<PortDetails>& ports);

// `text` with every character outside printable ASCII replaced by '?': names a device
// reports about itself go to terminals and logs.
std::string Printable(const std::string& text);

}  // namespace vantrel::cli
