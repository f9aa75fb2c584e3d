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

TvxPortHints ReadPortHints()
{
    TvxPortHints hints{vxport::ReadPortSnapshot(vxport::CurrentPortMapConfig()), {}};
    WalkSetupDevices(hints.Snapshot, "", true, true, hints.Present, false);
    return hints;
}

TvxPortHint PortDeviceHint(const TvxDevice& Device, TvxPortHints& Hints)
{
    TvxPortHint hint{Device.DeviceObject, Device.Description, Device.Manufacturer, {}};
    if (hint.Description.empty()) {
        auto found = FindPortDevice(Hints.Present, Device.PortName);
        if (found != Hints.Present.end()) {
            hint.Description = (*found)->Description;
            hint.Manufacturer = (*found)->Manufacturer;
        }
    }
    for (const auto& entry : Hints.Snapshot.entries)
        if (int32_t(entry.number) == Device.PortNo)
            for (const QString& line : PortLines(entry))
                hint.Notes.push_back(line.toStdString());
    return hint;
}

void ApplyDeviceTreeHints(TvxDeviceBox* Box)
{
    if (!Box || Box->count() == 0)
        return;
    TvxPortHints hints = ReadPortHints();
    for (int i = 0; i < Box->count(); ++i) {
        const TvxDevice* device = Box->ItemDevice(i);
        if (!device)
            continue;
        const TvxPortHint hint = PortDeviceHint(*device, hints);
        QStringList lines{TvxDeviceBox::DeviceToolTip(hint.Path, hint.Description, hint.Manufacturer)};
        for (const std::string& note : hint.Notes)
            lines << QString::fromStdString(note);
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
