#pragma once
// The one reader of the kernel's device tree for serial ports. The port map
// numbers what it finds and the device walks describe it; both read the tree
// through here, once per enumeration, so that they agree on which ttys exist
// and which device stands behind each.
//
// A serial tty is an entry of <sysfs>/class/tty with a device link (UARTs,
// usb-serial converters, ACM modems, on-board and PCI UARTs), or a Bluetooth
// rfcomm / IrDA ircomm tty (virtual, no device link). Consoles, virtual
// terminals and the legacy ttyS entries that the kernel reserves without
// hardware (type 0) are not serial ports.
//
// The hardware device is the one the driver is bound to. Kernels from 6.5 put
// a serial-core controller and port device between a UART's tty and that
// device; they are skipped, so old and new layouts read the same.
//
// Identity, the key of a device in the per-user number table:
//   USB        usb:<vendor>:<product>:<serial>:<interface>, or without a
//              serial number usb:<vendor>:<product>:@<USB port path>:<interface>
//              (the number then follows the socket)
//   virtual    <driver>:<name> (rfcomm:rfcomm0)
//   others     <hardware path below the tree's root>/<name>
// Two present devices with one identity (adapters that share a serial number)
// are told apart by their USB port path: the one on the first path keeps the
// bare identity.
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace vxport {

struct UsbInfo {
    std::string vendor, product, serial; // idVendor, idProduct, serial
    std::string productName, manufacturer;
    int interfaces = 0;           // bNumInterfaces
    std::string interfaceNumber;  // bInterfaceNumber of the tty's interface
};

struct TtyDevice {
    std::string name;                 // ttyUSB0
    std::string node;                 // <dev>/ttyUSB0
    std::string canonical;            // the node with links resolved
    std::filesystem::path classDir;   // the tty's own folder, links resolved
    std::filesystem::path hardware;   // empty for virtual ttys
    std::string driver;               // ftdi_sio; rfcomm or ircomm for virtual ttys
    std::string module;               // the driver's kernel module; empty when built in
    std::string bus;                  // of the hardware device: usb-serial, usb, pnp, pci, platform
    std::string devNumbers;           // major:minor
    std::filesystem::path usb;        // the USB device at or above the hardware; empty when not USB
    UsbInfo usbInfo;
    std::string byId;                 // a <dev>/serial/by-id link to the node, the first by name
    unsigned fixedNumber = 0;         // ttyS<k> with k < 32: k + 1 (the machine's own UARTs)
    std::string identity;
    bool followsSocket = false;       // USB without a serial number
};

struct DeviceTree {
    std::filesystem::path sysfs; // the root, links resolved
    std::vector<TtyDevice> ttys; // by name
};

DeviceTree ReadDeviceTree(const std::string& sysfsRoot, const std::string& devRoot);

// How often the tree has been read in this process.
unsigned long DeviceTreeReads();

// The devices on a bus directly below `device`: (bus, device name) pairs, by name.
std::vector<std::pair<std::string, std::string>> BusChildren(const std::filesystem::path& device);

// Whether this process may open the node for reading and writing, by its
// effective ids; group is the node's group when that is not root's.
struct DeviceAccess {
    bool allowed = true;
    std::string group;
};
DeviceAccess CheckDeviceAccess(const std::string& node);

} // namespace vxport
