// The least a receiver in the main thread's event loop can cost: a
// QSocketNotifier on the device, one read of up to 8 KiB per activation, as
// QSerialPort does without its buffering. The nested variant watches the
// device through an epoll set that holds it, as the component does (so that a
// port closed on another thread never leaves the loop watching a descriptor
// that has gone or been reused); the two rows together show what the nesting
// costs. Two more variants also start three threads that only wait, as
// the component's port has (its event thread, its message thread, the port
// layer's worker): they never run while bytes flow, yet their presence
// changes where the scheduler puts the echo's two sides. In the last variant
// one of them also holds the device in its poll without asking for events,
// as the component's event thread does while the main thread reads (it
// still learns of a hang-up that way). The component
// watches the device directly where glib runs the main loop (Qt's default),
// through the set under Qt's own loop.
#include "event_loop.h"
#include "peers.h"

#include <QEventLoop>
#include <QSocketNotifier>

#include <poll.h>
#include <sys/epoll.h>

#include <thread>
#include <vector>

namespace bench {
namespace {

enum class Kind { direct, nested, directWithThreads, nestedWithThreads, directWithDeviceThreads };

// Threads that wait in poll() until the object goes; the first one also
// holds `device` in its poll, without events, unless it is -1.
class IdleThreads {
public:
    IdleThreads(int count, int device)
    {
        if (count == 0 || ::pipe(stop_) != 0)
            return;
        for (int i = 0; i < count; ++i)
            threads_.emplace_back([fd = stop_[0], device = i == 0 ? device : -1] {
                pollfd p[2] = {{fd, POLLIN, 0}, {device, 0, 0}};
                while (::poll(p, 2, -1) >= 0 && p[0].revents == 0)
                    p[1].fd = -1; // the device hung up: it is left alone
            });
    }
    ~IdleThreads()
    {
        if (threads_.empty())
            return;
        [[maybe_unused]] auto w = ::write(stop_[1], "x", 1);
        for (auto& t : threads_)
            t.join();
        ::close(stop_[0]);
        ::close(stop_[1]);
    }
    IdleThreads(const IdleThreads&) = delete;
    IdleThreads& operator=(const IdleThreads&) = delete;

private:
    int stop_[2] = {-1, -1};
    std::vector<std::thread> threads_;
};

class Watch {
public:
    Watch(const std::string& path, Kind kind, Sink sink) : sink_(std::move(sink))
    {
        const bool nested = kind == Kind::nested || kind == Kind::nestedWithThreads;
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        const bool threads = kind != Kind::direct && kind != Kind::nested;
        idle_ = std::make_unique<IdleThreads>(threads ? 3 : 0, kind == Kind::directWithDeviceThreads ? fd_ : -1);
        termios tio;
        tcgetattr(fd_, &tio);
        cfmakeraw(&tio);
        tcsetattr(fd_, TCSANOW, &tio);
        int watched = fd_;
        if (nested) {
            epollFd_ = epoll_create1(EPOLL_CLOEXEC);
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.fd = fd_;
            epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd_, &ev);
            watched = epollFd_;
        }
        notifier_ = std::make_unique<QSocketNotifier>(watched, QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { Take(); });
    }
    ~Watch()
    {
        idle_.reset();
        notifier_.reset();
        if (epollFd_ >= 0)
            ::close(epollFd_);
        ::close(fd_);
    }
    int Fd() const { return fd_; }

private:
    void Take()
    {
        uint8_t chunk[8192];
        const ssize_t n = ::read(fd_, chunk, sizeof chunk);
        if (n > 0)
            sink_(chunk, size_t(n));
    }

    Sink sink_;
    int fd_ = -1;
    int epollFd_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::unique_ptr<IdleThreads> idle_;
};

using Direct = SinkRuns<Watch, Kind::direct>;
using Nested = SinkRuns<Watch, Kind::nested>;
using DirectThreads = SinkRuns<Watch, Kind::directWithThreads>;
using Threads = SinkRuns<Watch, Kind::nestedWithThreads>;
using DeviceThreads = SinkRuns<Watch, Kind::directWithDeviceThreads>;

} // namespace

const Peer WatchPeer{"main-thread watch", Direct::Receive, Direct::Echo, Direct::Idle, Direct::Stream};
const Peer NestedWatchPeer{"main-thread watch, nested", Nested::Receive, Nested::Echo, Nested::Idle, Nested::Stream};
const Peer DirectThreadsWatchPeer{"main-thread watch, 3 threads", DirectThreads::Receive, DirectThreads::Echo,
                                  DirectThreads::Idle, DirectThreads::Stream};
const Peer ThreadsWatchPeer{"main-thread watch, nested, 3 threads", Threads::Receive, Threads::Echo, Threads::Idle,
                            Threads::Stream};
const Peer DeviceThreadsWatchPeer{"main-thread watch, 3 threads, one on the device", DeviceThreads::Receive,
                                  DeviceThreads::Echo, DeviceThreads::Idle, DeviceThreads::Stream};

} // namespace bench
