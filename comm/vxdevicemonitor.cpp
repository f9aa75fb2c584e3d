#include "vxdevicemonitor.h"

#include "Application.h"

#include <QSocketNotifier>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
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

bool IsSerialNodeName(const std::string& Name)
{
    if (Name.rfind("rfcomm", 0) == 0)
        return true;
    return Name.rfind("tty", 0) == 0 && Name.size() > 3 && !std::isdigit(static_cast<unsigned char>(Name[3]));
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
    const int s = vxport::OpenKernelEventSocket();
    if (s >= 0)
        Watch(s, true);
    if (!WatchFolders(vxport::CurrentPortMapConfig()))
        retries_ = {1000, 3000};
    return Active() || Watching();
}

bool TvxDeviceMonitor::StartOnSocket(int Socket)
{
    Stop();
    if (Socket < 0)
        return false;
    Watch(Socket, false);
    return true;
}

void TvxDeviceMonitor::Watch(int Socket, bool KernelOnly)
{
    socket_ = Socket;
    kernelOnly_ = KernelOnly;
    notifier_ = new QSocketNotifier(Socket, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &TvxDeviceMonitor::ReadEvents);
}

bool TvxDeviceMonitor::WatchFolders(const vxport::PortMapConfig& Config)
{
    delete folderNotifier_;
    folderNotifier_ = nullptr;
    devFolder_ = std::filesystem::path(Config.devRoot).lexically_normal().string();
    while (devFolder_.size() > 1 && devFolder_.back() == '/')
        devFolder_.pop_back();
    if (!folders_.Start({Config.linkFolder, Config.devRoot + "/serial/by-id", Config.devRoot}))
        return false;
    folderNotifier_ = new QSocketNotifier(folders_.Handle(), QSocketNotifier::Read, this);
    connect(folderNotifier_, &QSocketNotifier::activated, this, &TvxDeviceMonitor::ReadFolders);
    return true;
}

void TvxDeviceMonitor::Stop()
{
    settle_.stop();
    pending_.clear();
    ++generation_;
    delete notifier_;
    notifier_ = nullptr;
    delete folderNotifier_;
    folderNotifier_ = nullptr;
    folders_.Stop();
    if (socket_ >= 0)
        ::close(socket_);
    socket_ = -1;
}

void TvxDeviceMonitor::ReadEvents()
{
    std::string datagram;
    for (;;) {
        const vxport::EventRead read =
            reader_ ? reader_(socket_, datagram) : vxport::ReadKernelEvent(socket_, kernelOnly_, datagram);
        if (read == vxport::EventRead::None)
            break;
        if (read == vxport::EventRead::Lost) {
            // What was lost is unknown: the whole list is read again.
            Queue(vxmsg::DBT_DEVNODES_CHANGED, {});
            continue;
        }
        const auto event = vxdevmon::ParseUevent(datagram.data(), datagram.size());
        if (!event || !vxdevmon::IsSerialPort(*event))
            continue;
        if (event->Action == "add")
            Queue(vxmsg::DBT_DEVICEARRIVAL, "/dev/" + event->DevName);
        else if (event->Action == "remove")
            Queue(vxmsg::DBT_DEVICEREMOVECOMPLETE, "/dev/" + event->DevName);
    }
}

void TvxDeviceMonitor::ReadFolders()
{
    for (const vxport::FolderChange& change : folders_.ReadChanges())
        if (change.folder != devFolder_ || change.name.empty() || vxdevmon::IsSerialNodeName(change.name))
            Queue(vxmsg::DBT_DEVNODES_CHANGED, {});
}

void TvxDeviceMonitor::Queue(uintptr_t Kind, const std::string& Node)
{
    auto same = std::find_if(pending_.begin(), pending_.end(), [&](const auto& p) { return p.first == Kind; });
    if (same != pending_.end())
        same->second = Node;
    else
        pending_.emplace_back(Kind, Node);
    if (settle_.interval() <= 0)
        Report();
    else if (!settle_.isActive())
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
        message.LParam = kind == vxmsg::DBT_DEVNODES_CHANGED ? 0 : reinterpret_cast<intptr_t>(&port);
        Application::RunEvent([&] { OnDeviceChange(message); });
        if (kind != vxmsg::DBT_DEVICEARRIVAL)
            continue;
        for (int delay : retries_)
            QTimer::singleShot(delay, this, [this, generation = generation_] {
                if (generation == generation_)
                    Queue(vxmsg::DBT_DEVNODES_CHANGED, {});
            });
    }
}
