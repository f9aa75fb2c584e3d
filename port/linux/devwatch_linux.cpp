// Kernel events through a NETLINK_KOBJECT_UEVENT socket, folders through
// inotify.
#include "devwatch.h"

#include "fsread.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <linux/netlink.h>
#include <map>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace vxport {
namespace {

constexpr int kEventBuffer = 1 << 20; // room for a burst, such as a hub with many adapters

constexpr uint32_t kContent = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF |
                              IN_MOVE_SELF | IN_ONLYDIR;
constexpr uint32_t kAwaited = IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

std::string Normal(const std::string& folder)
{
    std::string path = fs::path(folder).lexically_normal().string();
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

} // namespace

int OpenKernelEventSocket()
{
    const int s = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT);
    if (s < 0)
        return -1;
    // The forced size needs privileges; the plain one is capped by the system.
    if (::setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &kEventBuffer, sizeof kEventBuffer) != 0)
        ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &kEventBuffer, sizeof kEventBuffer);
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = 1; // the kernel's own events
    if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(s);
        return -1;
    }
    return s;
}

EventRead ReadKernelEvent(int socket, bool kernelOnly, std::string& datagram)
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
        const ssize_t size = ::recvmsg(socket, &header, MSG_DONTWAIT);
        if (size < 0 && errno == ENOBUFS)
            return EventRead::Lost;
        if (size < 0 && errno == EINTR)
            continue;
        if (size <= 0)
            return EventRead::None;
        // Only the kernel (port id 0) speaks on the kernel's group; anything
        // else on the socket is not believed.
        if (kernelOnly && (header.msg_namelen < sizeof sender || sender.nl_pid != 0))
            continue;
        if (header.msg_flags & MSG_TRUNC)
            continue;
        datagram.assign(buffer, size_t(size));
        return EventRead::Datagram;
    }
}

FolderWatch::~FolderWatch()
{
    Stop();
}

bool FolderWatch::Start(const std::vector<std::string>& folders)
{
    Stop();
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0)
        return false;
    for (const std::string& folder : folders)
        if (!folder.empty())
            wanted_.push_back(Normal(folder));
    Arm();
    if (!watched_.empty())
        return true;
    Stop();
    return false;
}

void FolderWatch::Stop()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    wanted_.clear();
    watched_.clear();
}

// Watches each wanted folder that exists, and the nearest existing parent of
// each that does not.
void FolderWatch::Arm()
{
    std::map<std::string, uint32_t> needed;
    for (const std::string& folder : wanted_) {
        fs::path path = folder;
        while (!IsFolder(path) && path.has_relative_path())
            path = path.parent_path();
        needed[path.string()] |= path == folder ? kContent : kAwaited;
    }
    for (const auto& [wd, folder] : watched_)
        if (!needed.count(folder))
            ::inotify_rm_watch(fd_, wd);
    watched_.clear();
    for (const auto& [folder, mask] : needed) {
        const int wd = ::inotify_add_watch(fd_, folder.c_str(), mask);
        if (wd >= 0)
            watched_.emplace_back(wd, folder);
    }
}

std::vector<FolderChange> FolderWatch::ReadChanges()
{
    std::vector<FolderChange> changes;
    bool rearm = false;
    alignas(inotify_event) char buffer[16384];
    ssize_t size = 0;
    while (fd_ >= 0 && (size = ::read(fd_, buffer, sizeof buffer)) > 0) {
        for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= size;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += ssize_t(sizeof(inotify_event) + event->len);
            if (event->mask & IN_Q_OVERFLOW) {
                rearm = true;
                continue;
            }
            if (Note(*event, changes))
                rearm = true;
        }
    }
    if (rearm) {
        Arm();
        for (const std::string& folder : wanted_)
            changes.push_back({folder, {}});
    }
    return changes;
}

// Adds the change of one event; true when a folder came or went, here or on
// the way to a wanted one. Events of watches already removed count for
// nothing.
bool FolderWatch::Note(const inotify_event& event, std::vector<FolderChange>& changes) const
{
    auto watch = std::find_if(watched_.begin(), watched_.end(), [&](const auto& w) { return w.first == event.wd; });
    if (watch == watched_.end())
        return false;
    const std::string& folder = watch->second;
    const bool self = event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED);
    const std::string name = event.len ? std::string(event.name) : std::string();
    const std::string child = name.empty() ? std::string() : (fs::path(folder) / name).string();
    bool cameOrWent = self;
    for (const std::string& wanted : wanted_)
        if (!child.empty() && (wanted == child || wanted.rfind(child + "/", 0) == 0))
            cameOrWent = true;
    if (std::find(wanted_.begin(), wanted_.end(), folder) != wanted_.end())
        changes.push_back({folder, self ? std::string() : name});
    return cameOrWent;
}

} // namespace vxport
