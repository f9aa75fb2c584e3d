// The device list of an I/O component.
#include "vxclasses_baseio.h"

void TvxBaseIO::SelectDevice(int32_t)
{
    Notify(nkDevicesChanged);
}

void TvxBaseIO::AddDevice(std::unique_ptr<TvxDevice> Device)
{
    if (!Device)
        return;
    const int32_t index = Devices.AddObject(Device->DisplayName, Device.get());
    Device->Index = index;
    Device->Owner = this;
    Device.release(); // owned by the list from here on
}

void TvxBaseIO::ClearDevices()
{
    for (int32_t i = 0; i < Devices.Count(); ++i)
        delete Devices.Objects(i);
    Devices.Clear();
}

void TvxBaseIO::RefreshDevices()
{
    Notify(nkDevicesChanged);
}

void TvxBaseIO::FillDeviceList(TvxStrings* Strings)
{
    if (Devices.Count() == 0)
        EnumDevices();
    if (!Strings)
        return;
    Strings->BeginUpdate();
    try {
        Strings->Clear();
        for (int32_t i = 0; i < Devices.Count(); ++i)
            Strings->AddObject(Devices.Strings(i), Devices.Objects(i));
    } catch (...) {
        Strings->EndUpdate();
        throw;
    }
    Strings->EndUpdate();
}

bool TvxBaseIO::DeviceChangeMessage(TvxMessage& Msg)
{
    if (Msg.Msg != vxmsg::WM_DEVICECHANGE)
        return false;
    bool refresh = false;
    if (Msg.WParam == vxmsg::DBT_DEVNODES_CHANGED) {
        refresh = true;
    } else if (Msg.WParam == vxmsg::DBT_DEVICEARRIVAL || Msg.WParam == vxmsg::DBT_DEVICEREMOVECOMPLETE) {
        // A message without its header is not about a port.
        const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(Msg.LParam);
        refresh = header && header->dbch_devicetype == vxmsg::DBT_DEVTYP_PORT;
    }
    if (refresh)
        RefreshDevices();
    return refresh;
}

TvxDevice* TvxBaseIO::Device(int32_t Index) const
{
    if (Index < 0 || Index >= Devices.Count())
        return nullptr;
    return Devices.Objects(Index);
}

int32_t TvxBaseIO::DeviceCount() const
{
    return Devices.Count();
}

int32_t TvxBaseIO::IndexOfPort(int32_t PortNo) const
{
    for (int32_t i = 0; i < Devices.Count(); ++i) {
        const TvxDevice* device = Devices.Objects(i);
        if (device && device->PortNo == PortNo)
            return i;
    }
    return -1;
}
