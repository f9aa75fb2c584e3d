#pragma once
// The system's serial-port map: which device each port number COMn stands
// for, and the list of (value name, "COMn") pairs that port enumeration
// shows, like the registry's SERIALCOMM key.
//
// Two sources, read on every call (nothing is opened, only names and sysfs
// attributes are read):
//  - the per-user folder of links, $XDG_CONFIG_HOME/vxcomm/ports/ (or
//    ~/.config/vxcomm/ports/): a symbolic link named com<n> pins COMn to its
//    target, a device path or a virtual port name. A link wins over an
//    automatic entry with the same number, also while its target is missing
//    (the entry is then not listed, and the number stays free of others), and
//    a device that a link points to gets no automatic entry.
//  - the serial devices in sysfs (<root>/class/tty/<name> with a device link:
//    UARTs, USB serial and ACM, on-board UARTs; and Bluetooth rfcomm<n>).
//    Legacy ttyS entries that the kernel reserves without hardware (type 0)
//    are left out.
//
// Numbering of the sysfs devices, chosen so that a device keeps its number
// across restarts and when other devices come and go:
//  - ttyS<k> with k < 32 is COM<k+1> (the kernel numbers them by hardware
//    address, so the number is fixed);
//  - every other device gets a number from 33 to 255 derived from a stable
//    identity: for USB, vendor, product, serial number (or, without one, the
//    physical USB port) and interface; otherwise its sysfs device path. When
//    two present devices land on the same number, or a link holds it, the
//    device whose identity sorts later moves to the next free number; a link
//    pins it for good.
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vxport {

struct PortMapConfig {
    std::string linkFolder;
    std::string sysfsRoot = "/sys";
    std::string devRoot = "/dev";
};

struct PortMapEntry {
    unsigned number;
    std::string device;    // what CreateFileA opens
    std::string valueName; // the name shown next to "COMn": the device path
    bool pinned;           // from a link
};

// The link folder from the environment, the real sysfs and /dev.
PortMapConfig DefaultPortMapConfig();
// What CreateFileA and SerialCommMap use: the default unless set.
PortMapConfig CurrentPortMapConfig();
void SetPortMapConfig(const PortMapConfig& config);
void ResetPortMapConfig();

std::vector<PortMapEntry> ReadPortMap(const PortMapConfig& config);
// The links of the folder, one per number, by number, whether or not their
// targets exist.
std::vector<PortMapEntry> ReadPortLinks(const PortMapConfig& config);
std::optional<std::string> ResolveComPort(unsigned number, const PortMapConfig& config);
// (value name, "COMn") for every entry of the current map, by number.
std::vector<std::pair<std::string, std::string>> SerialCommMap();

} // namespace vxport
