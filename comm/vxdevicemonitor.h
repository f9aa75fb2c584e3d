#pragma once
// TvxDeviceMonitor: the kernel's device events for serial ports, and changes
// of the folders the port map reads, as device-change messages.
//
// Kernel events come from a netlink socket, folder changes from a folder
// watch (devwatch.h); both are watched by QSocketNotifiers on the thread that
// started the monitor. The adding and removing of a serial tty - the same
// devices the serial-port map lists - is reported through OnDeviceChange
// with a WM_DEVICECHANGE message: DBT_DEVICEARRIVAL or
// DBT_DEVICEREMOVECOMPLETE, and in lParam a DEV_BROADCAST_PORT_A whose header
// says DBT_DEVTYP_PORT and whose name is the device node. What the folder
// watch sees (udev's by-id link or permissions arriving after the kernel's
// event, a port link made or removed) and kernel events lost to a full socket
// buffer are reported as DBT_DEVNODES_CHANGED, on which the list is read
// again whole.
//
// Events are gathered for a settle time before they are reported: an adapter
// with several ports then makes one message per kind of change.
#include "Events.h"
#include "devwatch.h"
#include "portmap.h"
#include "vxclasses_device.h"

#include <QObject>
#include <QTimer>

#include <cstddef>
#include <functional>
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

// True for a name in /dev that may be a serial port's node: tty<letters...>
// and rfcomm<n>, not the virtual terminals tty<n>.
bool IsSerialNodeName(const std::string& Name);

} // namespace vxdevmon

class TvxDeviceMonitor : public QObject {
    Q_OBJECT

public:
    explicit TvxDeviceMonitor(QObject* parent = nullptr);
    ~TvxDeviceMonitor() override;

    // Opens the kernel's event socket and watches the folders of the current
    // port-map configuration; true when either works. Where the folders
    // cannot be watched, each arrival is followed by two later refreshes.
    bool Start();
    // Reads datagrams from Socket instead (taken over, closed by Stop); any
    // sender is accepted. For tests.
    bool StartOnSocket(int Socket);
    // Watches the port-link folder, <dev>/serial/by-id and <dev> of Config.
    bool WatchFolders(const vxport::PortMapConfig& Config);
    void Stop();
    bool Active() const { return socket_ >= 0; }
    bool Watching() const { return folders_.Handle() >= 0; }

    // Milliseconds to gather events before reporting them; 0 reports at once.
    void SetSettleTime(int Ms) { settle_.setInterval(Ms); }
    int SettleTime() const { return settle_.interval(); }
    // After each reported arrival, report DBT_DEVNODES_CHANGED again after
    // each of these delays (ms): the stand-in for the folder watch.
    void SetArrivalRetries(std::vector<int> DelaysMs) { retries_ = std::move(DelaysMs); }

    // How kernel events are read from the socket; tests put their own here.
    using TEventReader = std::function<vxport::EventRead(int Socket, std::string& Datagram)>;
    void SetEventReader(TEventReader Reader) { reader_ = std::move(Reader); }

    // Called on the monitor's thread, inside the application's event boundary.
    TMethod<TvxMessage&> OnDeviceChange;

private:
    void Watch(int Socket, bool KernelOnly);
    void ReadEvents();
    void ReadFolders();
    void Queue(uintptr_t Kind, const std::string& Node);
    void Report();

    int socket_ = -1;
    bool kernelOnly_ = false;
    QSocketNotifier* notifier_ = nullptr;
    vxport::FolderWatch folders_;
    std::string devFolder_;
    QSocketNotifier* folderNotifier_ = nullptr;
    TEventReader reader_;
    QTimer settle_;
    std::vector<int> retries_;
    unsigned generation_ = 0; // retries of an earlier start do not fire
    // Kinds of change waiting for the settle time, in arrival order, each with
    // the node of its last event.
    std::vector<std::pair<uintptr_t, std::string>> pending_;
};
