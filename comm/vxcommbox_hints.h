#pragma once
// Tooltips that tell a person which device stands behind each item of a
// device selector box bound to a serial component.
//
// A quick enumeration knows only the port name and the device path; the
// device tree knows the product and its maker. After every refill of the
// box, each item whose device has no description gets them from the present
// device that the port map gives the item's port name, so that "COM37" reads
// "Device: /dev/ttyUSB0 / Description: FT232R USB UART / Manufacturer: FTDI".
// Two more lines where they apply: that the number follows the USB socket (an
// adapter without a serial number), and that this user cannot open the port
// and how to get access. The items stay "COMn".
#include "devtree.h"
#include "vxwin32di.h"

#include <functional>
#include <string>
#include <vector>

class TvxDeviceBox;

// What a tooltip tells of the device behind a port of the list.
struct TvxPortHint {
    std::string Path;
    std::string Description;
    std::string Manufacturer;
    std::vector<std::string> Notes; // the socket and access lines
};

// The port map and the present devices of every class, read once.
struct TvxPortHints {
    vxport::PortSnapshot Snapshot;
    TvxDeviceRecords Present;
};
TvxPortHints ReadPortHints();

// The device's own fields, or, when it has no description, those of the
// present device that the port map gives its port name; and the notes of
// its port.
TvxPortHint PortDeviceHint(const TvxDevice& Device, TvxPortHints& Hints);

// Applies the tooltips now and after every refill of the box's items.
void ShowDeviceTreeHints(TvxDeviceBox* Box);
// Applies them once.
void ApplyDeviceTreeHints(TvxDeviceBox* Box);

// Whether this user can open a device node. By default the node's access for
// the process's effective ids (vxport::CheckDeviceAccess); tests, which may
// run as root, put their own. An empty check restores the default.
using TvxAccessCheck = std::function<vxport::DeviceAccess(const std::string& Node)>;
void SetDeviceAccessCheck(TvxAccessCheck Check);
