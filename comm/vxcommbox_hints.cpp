#include "vxcommbox_hints.h"

#include "vxcommbox.h"
#include "vxwin32di.h"

void ApplyDeviceTreeHints(TvxDeviceBox* Box)
{
    if (!Box || Box->count() == 0)
        return;
    TvxDeviceRecords present;
    WalkSetupDevices("", true, true, present, false);
    for (int i = 0; i < Box->count(); ++i) {
        const TvxDevice* device = Box->ItemDevice(i);
        if (!device)
            continue;
        std::string description = device->Description;
        std::string manufacturer = device->Manufacturer;
        if (description.empty()) {
            auto found = FindPortDevice(present, device->PortName);
            if (found != present.end()) {
                description = (*found)->Description;
                manufacturer = (*found)->Manufacturer;
            }
        }
        Box->setItemData(i, TvxDeviceBox::DeviceToolTip(device->DeviceObject, description, manufacturer),
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
