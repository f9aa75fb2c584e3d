// TvxCustomSerialComm: port addressing, defaults and the device list.
#include "vxcomm_serial.h"

#include "vxsysutils.h"
#include "vxwin32.h"
#include "vxwin32di.h"

using namespace vxport;

TvxCustomSerialComm::TvxCustomSerialComm(QObject* AOwner) : TvxCustomComm(AOwner)
{
    Construct();
}

TvxCustomSerialComm::TvxCustomSerialComm(QObject* AOwner, bool ManualRts) : TvxCustomComm(AOwner, ManualRts)
{
    Construct();
}

void TvxCustomSerialComm::Construct()
{
    SetLogPrefix("vxComm: ");
    // Every DCB field the component does not set keeps the system's default
    // for COM1 (zeros where the system has none).
    COMMCONFIG& config = Config();
    GetDefaultCommConfigA("COM1", &config, &config.dwSize);
    config.dwSize = sizeof(COMMCONFIG);
    config.dcb.DCBlength = sizeof(DCB);
    SetComPort(cpCOM1);
    SetBaudRate(19200);
    SetByteSize(8);
    SetParity(pNone);
    SetStopBits(sbOne);
    SetStreamProtocol(spHardware);
    SetEventChar(0);
}

std::string TvxCustomSerialComm::GetDeviceName()
{
    return ComPortName(comPortNo_);
}

HANDLE TvxCustomSerialComm::OpenHandle()
{
    return OpenComPort(comPortNo_);
}

void TvxCustomSerialComm::SetComPortNo(uint16_t Value)
{
    const TLifeFlag life = LifeFlag(); // OnClose may destroy the component
    const bool wasActive = Active();
    SetActive(false);
    if (!*life)
        return;
    comPortNo_ = Value;
    // The number is the component's now even when the port behind it does
    // not open: a port box bound to it must show that number, not the old.
    try {
        SetActive(wasActive);
    } catch (...) {
        if (*life)
            Notify(nkDevicesChanged);
        throw;
    }
    if (*life)
        Notify(nkDevicesChanged);
}

TComPort TvxCustomSerialComm::ComPort() const
{
    // Port 0 names no port; it reads like any number outside 1..8.
    if (comPortNo_ >= 1 && comPortNo_ <= 8)
        return TComPort(comPortNo_ - 1);
    return cpCOMxx;
}

void TvxCustomSerialComm::SetComPort(TComPort Value)
{
    if (Value < cpCOMxx)
        SetComPortNo(uint16_t(Value) + 1);
}

void TvxCustomSerialComm::SelectDevice(int32_t Index)
{
    if (TvxDevice* device = Device(Index))
        SetComPortNo(uint16_t(device->PortNo));
}

int32_t TvxCustomSerialComm::DeviceIndex()
{
    return IndexOfPort(int32_t(uint32_t(comPortNo_)));
}

void TvxCustomSerialComm::EnumDevices()
{
    // In the full modes each port is matched with the first device of the
    // device tree that the map gives the same port name. The tree and the map
    // are read once for the walks and the port list.
    const TvxEnumPorts mode = enumPorts_;
    const vxport::PortSnapshot snapshot = vxport::ReadPortSnapshot(vxport::CurrentPortMapConfig());
    TvxDeviceRecords candidates;
    if (mode != epQuickAll)
        for (const vxdi::TSetupWalk& walk : vxdi::SetupWalks)
            WalkSetupDevices(snapshot, walk.Guid, mode == epFullPresent, walk.DeviceMode, candidates,
                             !walk.DeviceMode);
    TComPortList ports;
    EnumComPorts(ports, true, vxport::SerialCommMap(snapshot));
    for (const TComPortEntry& entry : ports) {
        auto device = std::make_unique<TvxDevice>();
        const size_t eq = entry.Text.find('=');
        device->DisplayName = entry.Text.substr(0, eq);
        device->PortName = device->DisplayName;
        device->DeviceObject = eq == std::string::npos ? std::string() : entry.Text.substr(eq + 1);
        device->PortNo = entry.PortNo;
        if (mode != epQuickAll) {
            auto match = FindPortDevice(candidates, device->PortName);
            if (match != candidates.end()) {
                const TvxDevice& found = **match;
                device->Service = found.Service;
                device->Description = found.Description;
                if (!found.Description.empty())
                    device->DisplayName += " (" + found.Description + ")";
                device->Driver = found.Driver;
                device->Manufacturer = found.Manufacturer;
                device->PnPPortName = found.PnPPortName;
                device->DeviceKey = found.DeviceKey;
                candidates.erase(match);
            } else if (mode == epFullPresent) {
                continue; // no device is plugged in behind this port
            }
        }
        AddDevice(std::move(device));
    }
}

void TvxCustomSerialComm::RefreshDevices()
{
    ClearDevices();
    FillDeviceList(nullptr);
    TvxCustomComm::RefreshDevices();
}
