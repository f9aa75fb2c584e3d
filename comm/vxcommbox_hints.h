#pragma once
// Tooltips that tell a person which device stands behind each item of a
// device selector box bound to a serial component.
//
// A quick enumeration knows only the port name and the device path; the
// device tree knows the product and its maker. After every refill of the
// box, each item whose device has no description gets them from the present
// device that the port map gives the item's port name, so that "COM37" reads
// "Device: /dev/ttyUSB0 / Description: FT232R USB UART / Manufacturer: FTDI".
#include "vxwin32di.h"

#include <string>

class TvxDeviceBox;

// What a tooltip tells of the device behind a port of the list.
struct TvxPortHint {
    std::string Path;
    std::string Description;
    std::string Manufacturer;
};

// The device's own fields, or, when it has no description, those of the
// present device (of a walk over the present devices of every class) that
// the port map gives its port name.
TvxPortHint PortDeviceHint(const TvxDevice& Device, TvxDeviceRecords& Present);

// The present devices of every class, for PortDeviceHint.
TvxDeviceRecords PresentDevices();

// Applies the tooltips now and after every refill of the box's items.
void ShowDeviceTreeHints(TvxDeviceBox* Box);
// Applies them once.
void ApplyDeviceTreeHints(TvxDeviceBox* Box);
