#pragma once
// The window's device selector: bound to the serial component once the
// layout has been read, refreshed when serial devices come and go, and with a
// tooltip on each port that names the device behind it.
class TvxComm;
class TvxDeviceBox;

// Binds Box to Comm (filling it from Comm's device list), shows the device
// tree's tooltips, and forwards the kernel's serial-device events to the
// box's DeviceChanged. Errors of the enumeration reach the caller.
void SetUpDeviceBox(TvxDeviceBox* Box, TvxComm* Comm);
