#include "vxcommbox_hints.h"

#include "vxcommbox.h"
#include "vxwin32di.h"

#include <QCoreApplication>

namespace {

TvxAccessCheck& AccessCheck()
{
    static TvxAccessCheck check;
    return check;
}

QString Text(const char* text)
{
    return QCoreApplication::translate("TvxDeviceBox", text);
}

// The lines about the number and the access of a port of the map.
QStringList PortLines(const vxport::PortMapEntry& entry)
{
    QStringList lines;
    if (entry.followsSocket)
        lines << Text("The number follows the USB socket: the adapter has no serial number.");
    if (entry.device.rfind("\\\\", 0) == 0)
        return lines; // a virtual port name, no node
    const TvxAccessCheck& check = AccessCheck();
    const vxport::DeviceAccess access = check ? check(entry.device) : vxport::CheckDeviceAccess(entry.device);
    if (!access.allowed) {
        const QString group = QString::fromStdString(access.group.empty() ? "dialout" : access.group);
        lines << Text("No access for this user: add it to the group %1 (sudo adduser $USER %1), then log in again.")
                     .arg(group);
    }
    return lines;
}

} // namespace

void ApplyDeviceTreeHints(TvxDeviceBox* Box)
{
    if (!Box || Box->count() == 0)
        return;
    const vxport::PortSnapshot snapshot = vxport::ReadPortSnapshot(vxport::CurrentPortMapConfig());
    TvxDeviceRecords present;
    WalkSetupDevices(snapshot, "", true, true, present, false);
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
        QStringList lines{TvxDeviceBox::DeviceToolTip(device->DeviceObject, description, manufacturer)};
        for (const auto& entry : snapshot.entries)
            if (int32_t(entry.number) == device->PortNo)
                lines << PortLines(entry);
        lines.removeAll(QString());
        Box->setItemData(i, lines.join('\n'), Qt::ToolTipRole);
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

void SetDeviceAccessCheck(TvxAccessCheck Check)
{
    AccessCheck() = std::move(Check);
}
