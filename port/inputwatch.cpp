#include "inputwatch.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <vector>

namespace vxport::detail {
namespace {

struct Watch {
    int fd;
    const CommPort* port; // null once the port has closed
    void (*letGo)();
};

std::mutex& Mutex()
{
    static std::mutex mutex;
    return mutex;
}

std::vector<Watch>& Watches()
{
    static std::vector<Watch> watches;
    return watches;
}

// An eventfd that nobody writes: polled for input it never becomes ready.
// Made once, under the mutex, and kept.
int QuietFd()
{
    static int fd = -1;
    if (fd < 0)
        fd = ::eventfd(0, EFD_CLOEXEC);
    return fd;
}

} // namespace

int OpenInputWatch(const CommPort* port, int deviceFd, void (*letGo)())
{
    const std::lock_guard lock(Mutex());
    if (QuietFd() < 0)
        return -1;
    const int fd = ::fcntl(deviceFd, F_DUPFD_CLOEXEC, 0);
    if (fd >= 0)
        Watches().push_back({fd, port, letGo});
    return fd;
}

void QuietInputWatches(const CommPort* port)
{
    std::vector<void (*)()> letGo;
    {
        const std::lock_guard lock(Mutex());
        for (Watch& w : Watches()) {
            if (w.port != port)
                continue;
            // The number stays taken, so the caller's loop never watches a
            // closed descriptor or one that another open got.
            ::dup3(QuietFd(), w.fd, O_CLOEXEC);
            w.port = nullptr;
            if (w.letGo)
                letGo.push_back(w.letGo);
        }
    }
    for (auto f : letGo)
        f();
}

void CloseInputWatch(int fd)
{
    const std::lock_guard lock(Mutex());
    const auto it = std::find_if(Watches().begin(), Watches().end(), [fd](const Watch& w) { return w.fd == fd; });
    if (it == Watches().end())
        return;
    Watches().erase(it);
    ::close(fd);
}

} // namespace vxport::detail
