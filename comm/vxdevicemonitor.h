#pragma once
// TvxDeviceMonitor: the kernel's device events for serial ports, as
// device-change messages.
//
// It listens to the kernel's uevents (a NETLINK_KOBJECT_UEVENT socket watched
// by a QSocketNotifier on the thread that started it) and reports the adding
// and removing of serial ttys - the same devices the serial-port map lists -
// through OnDeviceChange with a WM_DEVICECHANGE message: DBT_DEVICEARRIVAL or
// DBT_DEVICEREMOVECOMPLETE, and in lParam a DEV_BROADCAST_PORT_A whose header
// says DBT_DEVTYP_PORT and whose name is the device node.
//
// Events are gathered for a settle time before they are reported: an adapter
// with several ports then makes one message per kind of change, and the
// stable /dev links of an arrived device have been made when the list is
// read again. Where the kernel's events cannot be received (no netlink in a
// sandbox) Start returns false and nothing is ever reported.
#include "Events.h"
#include "vxclasses_device.h"

#include <QObject>
#include <QTimer>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

class QSocketNotifier;

// The port device-change record; dbcp_name holds the device node.
struct DEV_BROADCAST_PORT_A {
    uint32_t dbcp_size;
    uint32_t dbcp_devicetype;
    uint32_t dbcp_reserved;
    char dbcp_name[256];
};

namespace vxdevmon {

struct TUevent {
    std::string Action;    // add, remove, change, bind, ...
    std::string DevPath;   // /devices/...
    std::string Subsystem; // tty, usb, ...
    std::string DevName;   // ttyUSB0 (relative to /dev)
};

// One kernel uevent datagram: "ACTION@DEVPATH" and NUL-separated KEY=VALUE
// lines. Anything else (udev's own messages included) gives nullopt.
std::optional<TUevent> ParseUevent(const char* Data, size_t Size);

// True for a serial tty: subsystem tty with a hardware device (not below
// /devices/virtual/), or a Bluetooth rfcomm tty.
bool IsSerialPort(const TUevent& Event);

} // namespace vxdevmon

class TvxDeviceMonitor : public QObject {
    Q_OBJECT

public:
    explicit TvxDeviceMonitor(QObject* parent = nullptr);
    ~TvxDeviceMonitor() override;

    // Opens the kernel's event socket; false when it cannot be had.
    bool Start();
    // Reads datagrams from Socket instead (taken over, closed by Stop); any
    // sender is accepted. For tests.
    bool StartOnSocket(int Socket);
    void Stop();
    bool Active() const { return socket_ >= 0; }

    // Milliseconds to gather events before reporting them; 0 reports at once.
    void SetSettleTime(int Ms) { settle_.setInterval(Ms); }
    int SettleTime() const { return settle_.interval(); }

    // Called on the monitor's thread, inside the application's event boundary.
    TMethod<TvxMessage&> OnDeviceChange;

private:
    bool Watch(int Socket, bool KernelOnly);
    void ReadEvents();
    void Report();

    int socket_ = -1;
    bool kernelOnly_ = false;
    QSocketNotifier* notifier_ = nullptr;
    QTimer settle_;
    // Kinds of change waiting for the settle time, in arrival order, each with
    // the node of its last event.
    std::vector<std::pair<uintptr_t, std::string>> pending_;
};
