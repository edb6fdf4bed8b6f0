#include "port_listing.h"

#include <sys/sysmacros.h>

#include <algorithm>
#include <sstream>

namespace vantrel::cli {

namespace {

// Where udev keeps what it learnt of each device node: c<major>:<minor> for a character
// device, one "E:KEY=VALUE" line per property.
constexpr const char* kUdevData = "/run/udev/data/c";
// The links udev makes for each serial adapter after its place on the bus.
constexpr const char* kByPathFolder = "/dev/serial/by-path";
// Width of the COM-name column of the port list ("COM99" and a space).
constexpr std::size_t kNameColumn = 6;

std::string Property(const UdevRecord& record, const std::string& key) {
    const auto it = record.properties.find(key);
    return it == record.properties.end() ? std::string() : it->second;
}

// The first property of `keys` that is set: udev 252 has both the old and the ID_USB_ names.
std::string AnyProperty(const UdevRecord& record, std::initializer_list<const char*> keys) {
    for (const char* key : keys) {
        if (std::string value = Property(record, key); !value.empty()) {
            return value;
        }
    }
    return {};
}

std::string Padded(const std::string& text, std::size_t width) {
    return text + std::string(width > text.size() ? width - text.size() : 1, ' ');
}

}  // namespace

std::string Printable(const std::string& text) {
    std::string out = text;
    std::replace_if(
        out.begin(), out.end(), [](char c) { return c < 0x20 || c > 0x7E; }, '?');
    return out;
}

UdevRecord ReadUdevRecord(const SystemView& view, std::uint64_t rdev) {
    UdevRecord record;
    const auto text =
        view.Read(kUdevData + std::to_string(major(rdev)) + ":" + std::to_string(minor(rdev)));
    if (!text) {
        return record;
    }
    record.found = true;
    std::istringstream lines(*text);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t eq = line.find('=');
        if (line.rfind("E:", 0) == 0 && eq != std::string::npos) {
            record.properties[line.substr(2, eq - 2)] = line.substr(eq + 1);
        }
    }
    return record;
}

std::optional<UsbIdentity> UsbIdentityOf(const UdevRecord& record) {
    if (AnyProperty(record, {"ID_BUS", "ID_USB_BUS"}) != "usb" &&
        AnyProperty(record, {"ID_USB_VENDOR_ID"}).empty()) {
        return std::nullopt;
    }
    UsbIdentity usb;
    usb.vendor = AnyProperty(record, {"ID_USB_VENDOR_ID", "ID_VENDOR_ID"});
    usb.product = AnyProperty(record, {"ID_USB_MODEL_ID", "ID_MODEL_ID"});
    usb.serial = AnyProperty(record, {"ID_USB_SERIAL_SHORT", "ID_SERIAL_SHORT"});
    return usb;
}

std::map<std::string, std::string> ByPathLinks(const SystemView& view) {
    std::map<std::string, std::string> links;
    for (const std::string& name : view.List(kByPathFolder).value_or(std::vector<std::string>{})) {
        const std::string link = std::string(kByPathFolder) + "/" + name;
        if (std::string device = view.Canonical(link); !device.empty()) {
            links[link] = device;
        }
    }
    return links;
}

std::string ByPathNameOf(const std::map<std::string, std::string>& links,
                         const std::string& device) {
    for (const auto& [link, target] : links) {
        if (target == device) {
            return link;
        }
    }
    return {};
}

std::vector<PortDetails> DescribePorts(const std::vector<PortEntry>& entries,
                                       const SystemView& view) {
    const auto links = ByPathLinks(view);
    std::vector<PortDetails> ports;
    for (const PortEntry& entry : entries) {
        PortDetails details{entry, std::nullopt, ByPathNameOf(links, view.Canonical(entry.device))};
        if (const auto status = view.Stat(entry.device)) {
            details.usb = UsbIdentityOf(ReadUdevRecord(view, status->rdev));
        }
        ports.push_back(std::move(details));
    }
    return ports;
}

std::string FormatPortList(const std::vector<PortDetails>& ports) {
    std::size_t deviceColumn = 0;
    for (const PortDetails& port : ports) {
        deviceColumn = std::max(deviceColumn, port.entry.device.size() + 2);
    }
    std::string text;
    for (const PortDetails& port : ports) {
        std::string line = Padded(port.entry.name, kNameColumn);
        const bool more = port.usb || !port.byPath.empty();
        line += more ? Padded(port.entry.device, deviceColumn) : port.entry.device;
        if (port.usb) {
            line += "USB " + Printable(port.usb->vendor) + ":" + Printable(port.usb->product) +
                    (port.usb->serial.empty() ? " no serial number"
                                              : " serial " + Printable(port.usb->serial));
            line += port.byPath.empty() ? "" : "  ";
        }
        text += line + port.byPath + "\n";
    }
    return text;
}

}  // namespace vantrel::cli
