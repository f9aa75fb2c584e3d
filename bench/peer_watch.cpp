// The least a receiver in the main thread's event loop can cost: a
// QSocketNotifier on the device, one read of up to 8 KiB per activation, as
// QSerialPort does without its buffering. The nested variant watches the
// device through an epoll set that holds it, as the component does (so that a
// port closed on another thread never leaves the loop watching a descriptor
// that has gone or been reused); the two rows together show what the nesting
// costs.
#include "event_loop.h"
#include "peers.h"

#include <QEventLoop>
#include <QSocketNotifier>

#include <sys/epoll.h>

namespace bench {
namespace {

class Watch {
public:
    Watch(const std::string& path, bool nested, Sink sink) : sink_(std::move(sink))
    {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
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
};

using Direct = SinkRuns<Watch, false>;
using Nested = SinkRuns<Watch, true>;

} // namespace

const Peer WatchPeer{"main-thread watch", Direct::Receive, Direct::Echo, Direct::Idle, Direct::Stream};
const Peer NestedWatchPeer{"main-thread watch, nested", Nested::Receive, Nested::Echo, Nested::Idle, Nested::Stream};

} // namespace bench
