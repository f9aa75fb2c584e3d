#pragma once
// The device list of an I/O component: the device record and the
// device-change message record.
#include <cstdint>
#include <string>

class TvxBaseIO;

// One device on which a medium can be opened.
class TvxDevice {
public:
    int32_t Index = 0;          // position in the owner's list, set by AddDevice
    TvxBaseIO* Owner = nullptr; // the component whose list holds it, set by AddDevice
    int32_t PortNo = 0;
    std::string DisplayName;
    std::string DeviceObject;
    std::string PortName;
    std::string SymbolicName;
    std::string DeviceKey;
    std::string Description;
    std::string Service;
    std::string Driver;
    std::string InstanceId;
    std::string Children;
    std::string PnPPortName;
    std::string Manufacturer;
    uint32_t DevInst = 0;
};

// A window message as the device-change handling reads it.
struct TvxMessage {
    uint32_t Msg = 0;
    uintptr_t WParam = 0;
    intptr_t LParam = 0;
    intptr_t Result = 0;
};

// The header that device-change events carry in lParam.
struct DEV_BROADCAST_HDR {
    uint32_t dbch_size;
    uint32_t dbch_devicetype;
    uint32_t dbch_reserved;
};

namespace vxmsg {
constexpr uint32_t WM_DEVICECHANGE = 0x0219;
constexpr uintptr_t DBT_DEVNODES_CHANGED = 0x0007;
constexpr uintptr_t DBT_DEVICEARRIVAL = 0x8000;
constexpr uintptr_t DBT_DEVICEREMOVECOMPLETE = 0x8004;
constexpr uint32_t DBT_DEVTYP_VOLUME = 2;
constexpr uint32_t DBT_DEVTYP_PORT = 3;
} // namespace vxmsg
