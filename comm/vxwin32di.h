#pragma once
// Device information for the serial ports, read from the kernel's device tree.
//
// The full enumeration modes of the serial component ask, for each port of
// the serial-port map, which device stands behind it. The answer comes from
// sysfs, read directly: no daemon or database has to run (a container or a
// minimal system has sysfs but often no udev), nothing is linked in, and the
// tree's root is a parameter, so that a test can walk a fake tree.
//
// A walk takes one of the twelve device and interface classes of a full
// enumeration (SetupWalks) and yields one TvxDevice per device of that class.
// The devices are those of the port map's snapshot (portmap.h): the serial
// ttys of the device tree, which the one reader of the tree finds for the map
// and the walks alike (devtree.h), and the pseudo-terminals that a port link
// names. Each belongs to exactly one device class:
//
//   Bluetooth          rfcomm<n>
//   Infrared           ircomm<n>
//   Modem              ttys of the cdc_acm driver (USB modems, ACM devices)
//   Multifunction      ttys of PCMCIA cards (serial_cs)
//   Multiport serial   several ttys on one PCI device, or a multiport driver
//   Legacy driver      ports probed by the legacy serial8250 platform device
//   No driver          a tty whose hardware device has no driver bound
//   Ports              every other one: UARTs, usb-serial converters
//                      (ftdi_sio, cp210x, pl2303, ch341, ...), and
//                      pseudo-terminals (<dev>/pts/<n>) that a link names
//   Adapter            none
//
// The COM port interface lists every serial tty, the modem interface the
// modem ones; the serial-enumerator interface has no counterpart. An
// interface record names the device and its path only: no DeviceKey,
// PnPPortName or InstanceId, so it never matches a port by name.
//
// Fields of a record:
//   Description   the USB product string ("FT232R USB UART"), else a text
//                 after the device class and driver ("Communications Port",
//                 "Pseudo-terminal")
//   Manufacturer  the USB manufacturer string, else empty
//   Driver        the driver bound to the hardware device ("ftdi_sio")
//   Service       the kernel module of that driver, or its name when built in
//   DeviceObject  the device node ("/dev/ttyUSB0")
//   DeviceKey     the tty's path in the tree ("/devices/.../tty/ttyUSB0")
//   SymbolicName  a /dev/serial/by-id link to the node, else the node
//   PnPPortName   the "COMn" the port map gives the node
//   InstanceId    "USB\VID_0403&PID_6001\<serial>" for USB devices, else
//                 "<BUS>\<device name>" ("PNP\00:05")
//   DevInst       the node's device number (major << 20 | minor)
//   Children      instance IDs of the hardware device's bus children, ";"
//
// What cannot be read stays empty; a walk never fails nor throws.
// Present-only walks list plugged-in devices; the others also list, in the
// Ports class, the ports that a link of the map's link folder still names
// while its target is gone (an unplugged adapter pinned by its by-id path).
#include "portmap.h"
#include "vxclasses_device.h"

#include <memory>
#include <string>
#include <vector>

// The result of a walk: the caller owns the records.
using TvxDeviceRecords = std::vector<std::unique_ptr<TvxDevice>>;

namespace vxdi {

inline constexpr char GUID_DEVINTERFACE_MODEM[] = "{2C7089AA-2E0E-11D1-B114-00C04FC2AAE4}";
inline constexpr char GUID_DEVINTERFACE_COMPORT[] = "{86E0D1E0-8089-11D0-9CE4-08003E301F73}";
inline constexpr char GUID_DEVINTERFACE_SERENUM_BUS_ENUMERATOR[] = "{4D36E978-E325-11CE-BFC1-08002BE10318}";
inline constexpr char GUID_DEVCLASS_PORTS[] = "{4D36E978-E325-11CE-BFC1-08002BE10318}";
inline constexpr char GUID_DEVCLASS_INFRARED[] = "{6BDD1FC5-810F-11D0-BEC7-08002BE2092F}";
inline constexpr char GUID_DEVCLASS_ADAPTER[] = "{4D36E964-E325-11CE-BFC1-08002BE10318}";
inline constexpr char GUID_DEVCLASS_BLUETOOTH[] = "{E0CBF06C-CD8B-4647-BB8A-263B43F0F974}";
inline constexpr char GUID_DEVCLASS_MODEM[] = "{4D36E96D-E325-11CE-BFC1-08002BE10318}";
inline constexpr char GUID_DEVCLASS_MULTIFUNCTION[] = "{4D36E971-E325-11CE-BFC1-08002BE10318}";
inline constexpr char GUID_DEVCLASS_MULTIPORTSERIAL[] = "{50906CB8-BA12-11D1-BF5D-0000F805F530}";
inline constexpr char GUID_DEVCLASS_LEGACYDRIVER[] = "{8ECC055D-047F-11D1-A537-0000F8753ED1}";
inline constexpr char GUID_DEVCLASS_NODRIVER[] = "{4D36E976-E325-11CE-BFC1-08002BE10318}";

struct TSetupWalk {
    const char* Guid;
    bool DeviceMode; // false: an interface walk
};

// The walks of a full enumeration, in their order.
inline constexpr TSetupWalk SetupWalks[] = {
    {GUID_DEVINTERFACE_MODEM, false},
    {GUID_DEVINTERFACE_COMPORT, false},
    {GUID_DEVINTERFACE_SERENUM_BUS_ENUMERATOR, false},
    {GUID_DEVCLASS_PORTS, true},
    {GUID_DEVCLASS_INFRARED, true},
    {GUID_DEVCLASS_ADAPTER, true},
    {GUID_DEVCLASS_BLUETOOTH, true},
    {GUID_DEVCLASS_MODEM, true},
    {GUID_DEVCLASS_MULTIFUNCTION, true},
    {GUID_DEVCLASS_MULTIPORTSERIAL, true},
    {GUID_DEVCLASS_LEGACYDRIVER, true},
    {GUID_DEVCLASS_NODRIVER, true},
};

} // namespace vxdi

// True when the device tree of the current port-map configuration can be
// read (its class/tty folder exists). Walks on a tree that cannot be read
// add nothing.
bool LoadSetupServices();
bool LoadSetupServices(const vxport::PortMapConfig& Tree);

// Appends one record per device of the class (a GUID of vxdi, compared
// without regard to letter case; an empty GUID in device mode: every class)
// to Result. DeviceMode visits devices, otherwise device interfaces. The
// interface flag changes nothing: a device's SymbolicName already is the path
// that an interface record carries.
// The tree, the /dev folder and the port map are those of the current port-map
// configuration, of Tree, or of a snapshot read once for several walks.
void WalkSetupDevices(const std::string& ClassGuid, bool PresentOnly, bool DeviceMode, TvxDeviceRecords& Result,
                      bool InterfaceFlag);
void WalkSetupDevices(const vxport::PortMapConfig& Tree, const std::string& ClassGuid, bool PresentOnly,
                      bool DeviceMode, TvxDeviceRecords& Result, bool InterfaceFlag);
void WalkSetupDevices(const vxport::PortSnapshot& Snapshot, const std::string& ClassGuid, bool PresentOnly,
                      bool DeviceMode, TvxDeviceRecords& Result, bool InterfaceFlag);

// The first record whose PnPPortName is PortName, compared without regard to
// letter case; Records.end() when there is none.
TvxDeviceRecords::iterator FindPortDevice(TvxDeviceRecords& Records, const std::string& PortName);
