#pragma once
// The device list of an I/O component: the device record, the string list
// that lists are filled into, and the device-change message record.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

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

// A list of texts, each with a device. FillDeviceList writes into one; a
// combo box's items are adapted to it by a small descendant.
class TvxStrings {
public:
    virtual ~TvxStrings() = default;
    virtual void Clear() = 0;
    virtual int32_t AddObject(const std::string& S, TvxDevice* Device) = 0;
    virtual int32_t Count() const = 0;
    virtual std::string Strings(int32_t Index) const = 0;
    virtual TvxDevice* Objects(int32_t Index) const = 0;
    virtual void BeginUpdate() {}
    virtual void EndUpdate() {}
};

// The plain list: unsorted, duplicates allowed. It never owns the devices.
class TvxStringList : public TvxStrings {
public:
    void Clear() override { items_.clear(); }
    int32_t AddObject(const std::string& S, TvxDevice* Device) override;
    int32_t Count() const override { return int32_t(items_.size()); }
    // ERangeError for an index outside the list.
    std::string Strings(int32_t Index) const override;
    TvxDevice* Objects(int32_t Index) const override;

private:
    void Check(int32_t Index) const;
    std::vector<std::pair<std::string, TvxDevice*>> items_;
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
