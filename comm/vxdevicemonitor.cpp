#include "vxdevicemonitor.h"

#include "Application.h"

#include <QSocketNotifier>

#include <algorithm>
#include <cstring>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vxdevmon {

std::optional<TUevent> ParseUevent(const char* Data, size_t Size)
{
    if (!Data || Size == 0)
        return std::nullopt;
    const std::string message(Data, Size);
    // The kernel's header line; udev's messages start with "libudev".
    const size_t headerEnd = message.find('\0');
    const std::string header = message.substr(0, headerEnd);
    const size_t at = header.find('@');
    if (at == std::string::npos || at == 0)
        return std::nullopt;
    TUevent event;
    event.Action = header.substr(0, at);
    event.DevPath = header.substr(at + 1);
    size_t pos = headerEnd == std::string::npos ? message.size() : headerEnd + 1;
    while (pos < message.size()) {
        size_t end = message.find('\0', pos);
        if (end == std::string::npos)
            end = message.size();
        const std::string line = message.substr(pos, end - pos);
        const size_t eq = line.find('=');
        if (eq != std::string::npos) {
            const std::string key = line.substr(0, eq);
            const std::string value = line.substr(eq + 1);
            if (key == "ACTION")
                event.Action = value;
            else if (key == "DEVPATH")
                event.DevPath = value;
            else if (key == "SUBSYSTEM")
                event.Subsystem = value;
            else if (key == "DEVNAME")
                event.DevName = value;
        }
        pos = end + 1;
    }
    return event;
}

bool IsSerialPort(const TUevent& Event)
{
    if (Event.Subsystem != "tty" || Event.DevName.empty() || Event.DevName.find('/') != std::string::npos ||
        Event.DevName.find("..") != std::string::npos)
        return false;
    if (Event.DevName.rfind("rfcomm", 0) == 0)
        return true;
    return Event.DevPath.rfind("/devices/", 0) == 0 && Event.DevPath.find("/virtual/") == std::string::npos;
}

} // namespace vxdevmon

TvxDeviceMonitor::TvxDeviceMonitor(QObject* parent) : QObject(parent)
{
    settle_.setSingleShot(true);
    settle_.setInterval(300);
    connect(&settle_, &QTimer::timeout, this, &TvxDeviceMonitor::Report);
}

TvxDeviceMonitor::~TvxDeviceMonitor()
{
    Stop();
}

bool TvxDeviceMonitor::Start()
{
    Stop();
    const int s = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT);
    if (s < 0)
        return false;
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = 1; // the kernel's own events
    if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(s);
        return false;
    }
    return Watch(s, true);
}

bool TvxDeviceMonitor::StartOnSocket(int Socket)
{
    Stop();
    if (Socket < 0)
        return false;
    return Watch(Socket, false);
}

bool TvxDeviceMonitor::Watch(int Socket, bool KernelOnly)
{
    socket_ = Socket;
    kernelOnly_ = KernelOnly;
    notifier_ = new QSocketNotifier(Socket, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &TvxDeviceMonitor::ReadEvents);
    return true;
}

void TvxDeviceMonitor::Stop()
{
    settle_.stop();
    pending_.clear();
    delete notifier_;
    notifier_ = nullptr;
    if (socket_ >= 0)
        ::close(socket_);
    socket_ = -1;
}

void TvxDeviceMonitor::ReadEvents()
{
    char buffer[8192];
    for (;;) {
        sockaddr_nl sender{};
        iovec io{buffer, sizeof buffer};
        msghdr header{};
        header.msg_name = &sender;
        header.msg_namelen = sizeof sender;
        header.msg_iov = &io;
        header.msg_iovlen = 1;
        const ssize_t size = ::recvmsg(socket_, &header, MSG_DONTWAIT);
        if (size <= 0)
            break;
        // Only the kernel (port id 0) speaks on the kernel's group; anything
        // else on the socket is not believed.
        if (kernelOnly_ && (header.msg_namelen < sizeof sender || sender.nl_pid != 0))
            continue;
        if (header.msg_flags & MSG_TRUNC)
            continue;
        const auto event = vxdevmon::ParseUevent(buffer, size_t(size));
        if (!event || !vxdevmon::IsSerialPort(*event))
            continue;
        uintptr_t kind = 0;
        if (event->Action == "add")
            kind = vxmsg::DBT_DEVICEARRIVAL;
        else if (event->Action == "remove")
            kind = vxmsg::DBT_DEVICEREMOVECOMPLETE;
        else
            continue;
        const std::string node = "/dev/" + event->DevName;
        auto same = std::find_if(pending_.begin(), pending_.end(), [&](const auto& p) { return p.first == kind; });
        if (same != pending_.end())
            same->second = node;
        else
            pending_.emplace_back(kind, node);
    }
    if (pending_.empty())
        return;
    if (settle_.interval() <= 0)
        Report();
    else
        settle_.start();
}

void TvxDeviceMonitor::Report()
{
    settle_.stop();
    auto pending = std::move(pending_);
    pending_.clear();
    for (const auto& [kind, node] : pending) {
        DEV_BROADCAST_PORT_A port{};
        port.dbcp_size = sizeof port;
        port.dbcp_devicetype = vxmsg::DBT_DEVTYP_PORT;
        std::strncpy(port.dbcp_name, node.c_str(), sizeof port.dbcp_name - 1);
        TvxMessage message;
        message.Msg = vxmsg::WM_DEVICECHANGE;
        message.WParam = kind;
        message.LParam = reinterpret_cast<intptr_t>(&port);
        Application::RunEvent([&] { OnDeviceChange(message); });
    }
}
