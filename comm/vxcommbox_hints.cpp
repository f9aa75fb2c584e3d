#include "vxcommbox_hints.h"

#include "vxcommbox.h"

TvxDeviceRecords PresentDevices()
{
    TvxDeviceRecords present;
    WalkSetupDevices("", true, true, present, false);
    return present;
}

TvxPortHint PortDeviceHint(const TvxDevice& Device, TvxDeviceRecords& Present)
{
    TvxPortHint hint{Device.DeviceObject, Device.Description, Device.Manufacturer};
    if (hint.Description.empty()) {
        auto found = FindPortDevice(Present, Device.PortName);
        if (found != Present.end()) {
            hint.Description = (*found)->Description;
            hint.Manufacturer = (*found)->Manufacturer;
        }
    }
    return hint;
}

void ApplyDeviceTreeHints(TvxDeviceBox* Box)
{
    if (!Box || Box->count() == 0)
        return;
    TvxDeviceRecords present = PresentDevices();
    for (int i = 0; i < Box->count(); ++i) {
        const TvxDevice* device = Box->ItemDevice(i);
        if (!device)
            continue;
        const TvxPortHint hint = PortDeviceHint(*device, present);
        Box->setItemData(i, TvxDeviceBox::DeviceToolTip(hint.Path, hint.Description, hint.Manufacturer),
                         Qt::ToolTipRole);
    }
}

void ShowDeviceTreeHints(TvxDeviceBox* Box)
{
    if (!Box)
        return;
    static const char* const kShown = "vxDeviceTreeHints";
    if (!Box->property(kShown).toBool()) {
        Box->setProperty(kShown, true);
        QObject::connect(Box, &TvxDeviceBox::ItemsRefreshed, Box, [Box] { ApplyDeviceTreeHints(Box); });
    }
    ApplyDeviceTreeHints(Box);
}
