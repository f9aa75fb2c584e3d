#pragma once
// The system's serial-port map: which device each port number COMn stands
// for, and the list of (value name, "COMn") pairs that port enumeration
// shows, like the registry's SERIALCOMM key.
//
// Three sources, read on every call (nothing is opened):
//  - the per-user folder of links, $XDG_CONFIG_HOME/vxcomm/ports/ (or
//    ~/.config/vxcomm/ports/): a symbolic link named com<n> (any letter case,
//    n from 1 to 255; other numbers, and entries that are not links, are
//    refused with a diagnostic line) pins COMn to its target, a device path,
//    a link to one (/dev/serial/by-id/...) or a virtual port name. A link
//    wins over an automatic entry with the same number, also while its
//    target is missing (the entry is then not listed, and the number stays
//    free of others), and the device it points to, with links resolved, gets
//    no automatic entry. Two links to one device: the lower number is listed.
//  - the serial devices of the device tree (devtree.h).
//  - the per-user table of numbers (portnumbers.h), $XDG_STATE_HOME/vxcomm/
//    port-numbers (or ~/.local/state/...): the program writes it, so it is
//    state, not configuration, and it stays with the machine whose USB
//    sockets it may name rather than travel with a copied configuration.
//
// Numbering of the devices of the tree: ttyS<k> with k < 32 is COM<k+1> (the
// kernel numbers them by hardware address, so the number is fixed); every
// other device keeps the number that the table gives its identity, and a new
// one gets a number from 33 to 255 (see NumberDevices).
#include "devtree.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vxport {

struct PortMapConfig {
    std::string linkFolder;
    std::string sysfsRoot = "/sys";
    std::string devRoot = "/dev";
    std::string numberTable; // empty: numbers are not kept
};

struct PortMapEntry {
    unsigned number = 0;
    std::string device;    // what CreateFileA opens
    std::string valueName; // the name shown next to "COMn": the device path
    bool pinned = false;   // from a link
    std::string canonical; // the device with links resolved; entries compare by it
    int tty = -1;          // the device's index in the snapshot's tree, -1 when the tree does not list it
    bool followsSocket = false; // numbered by its USB socket: it has no serial number
};

// One reading of all three sources.
struct PortSnapshot {
    PortMapConfig config;
    DeviceTree tree;
    std::vector<PortMapEntry> links;   // one per number, whether or not their targets exist
    std::vector<PortMapEntry> entries; // the map, by number
};

// The link folder and number table from the environment, the real sysfs and /dev.
PortMapConfig DefaultPortMapConfig();
// What CreateFileA and SerialCommMap use: the default unless set.
PortMapConfig CurrentPortMapConfig();
void SetPortMapConfig(const PortMapConfig& config);
void ResetPortMapConfig();

PortSnapshot ReadPortSnapshot(const PortMapConfig& config);
std::vector<PortMapEntry> ReadPortMap(const PortMapConfig& config);
std::vector<PortMapEntry> ReadPortLinks(const PortMapConfig& config);
std::optional<std::string> ResolveComPort(unsigned number, const PortMapConfig& config);
// (value name, "COMn") for every entry of the current map, or of a snapshot, by number.
std::vector<std::pair<std::string, std::string>> SerialCommMap();
std::vector<std::pair<std::string, std::string>> SerialCommMap(const PortSnapshot& snapshot);

// "com7", "COM7", "Com007": 7. 0 for a name that is no port name; a port
// name with a number outside 1..255 also gives 0 and sets outOfRange.
unsigned PortNameNumber(const std::string& name, bool& outOfRange);

} // namespace vxport
