#pragma once
// What tells the port list to refresh: the kernel's device events, and
// changes in the folders that the port map reads.
//
// The kernel reports a new tty before udev has made its /dev/serial/by-id
// links and set its group and mode, so a list read at the kernel's event can
// miss a port link that goes through by-id and show a port as open to all
// when it is not yet. Watching /dev (device nodes made, removed or changed in
// mode or owner), <dev>/serial/by-id and the port-link folder catches what
// udev and the user do afterwards, and works where the kernel's events cannot
// be received (no netlink in a container or sandbox).
#include <string>
#include <vector>

struct inotify_event;

namespace vxport {

// ---- The kernel's device events -----------------------------------------------------------------

// A socket on the kernel's device events (uevents), non-blocking, with a
// large receive buffer; -1 when there is none to be had.
int OpenKernelEventSocket();

enum class EventRead {
    Datagram, // one event read into the text
    Lost,     // events were dropped because the socket's buffer was full
    None,     // nothing pending (or the socket failed)
};

// Reads one datagram without blocking. With kernelOnly, datagrams from any
// sender but the kernel are skipped; truncated ones are skipped too.
EventRead ReadKernelEvent(int socket, bool kernelOnly, std::string& datagram);

// ---- Folder watch ------------------------------------------------------------------------------

struct FolderChange {
    std::string folder; // one of the watched folders
    std::string name;   // the entry that changed; empty: the folder itself came or went
};

// Watches folders for entries made, removed, renamed or changed in mode or
// owner. A folder that does not exist (yet) is waited for through its nearest
// existing parent; one that is removed is waited for again.
class FolderWatch {
public:
    FolderWatch() = default;
    ~FolderWatch();
    FolderWatch(const FolderWatch&) = delete;
    FolderWatch& operator=(const FolderWatch&) = delete;

    // False when the system gives no watch (too many in use).
    bool Start(const std::vector<std::string>& folders);
    void Stop();
    // Readable when changes are pending.
    int Handle() const { return fd_; }
    // What happened since the last call, without blocking.
    std::vector<FolderChange> ReadChanges();

private:
    void Arm();
    bool Note(const inotify_event& event, std::vector<FolderChange>& changes) const;

    int fd_ = -1;
    std::vector<std::string> wanted_;
    std::vector<std::pair<int, std::string>> watched_; // watch descriptor, folder
};

} // namespace vxport
