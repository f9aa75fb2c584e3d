#include "Unit1DeviceBox.h"

#include "vxcomm.h"
#include "vxcommbox.h"
#include "vxcommbox_hints.h"
#include "vxdevicemonitor.h"

#include <QPointer>

void SetUpDeviceBox(TvxDeviceBox* Box, TvxComm* Comm)
{
    Box->SetvxComm(Comm);
    ShowDeviceTreeHints(Box);
    // The monitor belongs to the box, so no event outlives it.
    auto* monitor = new TvxDeviceMonitor(Box);
    QPointer<TvxDeviceBox> box(Box);
    monitor->OnDeviceChange = TMethod<TvxMessage&>(
        [box](TvxMessage& Message) {
            if (box)
                box->DeviceChanged(Message);
        },
        monitor);
    // Without the kernel's events (a sandbox without netlink) the watch of
    // /dev and of the port-link folder still refreshes the list.
    monitor->Start();
}
