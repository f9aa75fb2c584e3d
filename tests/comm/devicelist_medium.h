#pragma once
// A medium with a scripted device list: what EnumDevices adds, how often it
// ran, and a current port number that SelectDevice sets as the serial
// component does.
#include "Exceptions.h"
#include "vxclasses.h"

#include <string>
#include <utility>
#include <vector>

class TListMedium : public TvxBaseIO {
public:
    using TvxBaseIO::TvxBaseIO;

    using TvxBaseIO::Devices;
    using TvxBaseIO::NotifyList;

    std::vector<std::pair<int32_t, std::string>> ports; // (PortNo, DisplayName)
    int enums = 0;
    int refreshes = 0;
    bool failEnum = false;
    int32_t current = 0;
    bool selectLikeSerial = false;

    void EnumDevices() override
    {
        ++enums;
        if (failEnum)
            throw EConvertError("'COMx' is not a valid integer value");
        for (const auto& [port, name] : ports) {
            auto device = std::make_unique<TvxDevice>();
            device->PortNo = port;
            device->DisplayName = name;
            device->DeviceObject = "/dev/" + name;
            AddDevice(std::move(device));
        }
    }
    int32_t DeviceIndex() override { return IndexOfPort(current); }
    void SelectDevice(int32_t Index) override
    {
        if (!selectLikeSerial)
            return TvxBaseIO::SelectDevice(Index);
        if (TvxDevice* d = Device(Index)) {
            current = d->PortNo;
            Notify(nkDevicesChanged);
        }
    }
    void RefreshDevices() override
    {
        ++refreshes;
        ClearDevices();
        FillDeviceList(nullptr);
        TvxBaseIO::RefreshDevices();
    }
    void SendChar(char) override {}
    void SendString(const std::string&) override {}
    void SendData(const void*, uint32_t) override {}
    void PurgeIn() override {}
    void PurgeOut() override {}
    void PurgeAll() override {}
};
