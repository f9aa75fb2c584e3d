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

#include <functional>
#include <sys/epoll.h>

namespace bench {
namespace {

class Watch {
public:
    using Sink = std::function<void(const uint8_t*, size_t)>;

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

template <bool Nested>
double Receive(Pty& pty, size_t volume)
{
    size_t got = 0;
    QEventLoop loop;
    Watch port(pty.path, Nested, [&](const uint8_t*, size_t n) {
        got += n;
        if (got >= volume)
            loop.quit();
    });
    return BlastWhileLoopRuns(pty, volume, loop);
}

template <bool Nested>
double Echo(Pty& pty, int count)
{
    int fd = -1;
    Watch port(pty.path, Nested, [&](const uint8_t* b, size_t n) { [[maybe_unused]] auto w = ::write(fd, b, n); });
    fd = port.Fd();
    return EchoWhileLoopRuns(pty, count);
}

template <bool Nested>
double Idle(Pty& pty, int seconds)
{
    Watch port(pty.path, Nested, [](const uint8_t*, size_t) {});
    return CpuOfIdleLoop(seconds);
}

template <bool Nested>
void Stream(Pty& pty, PacedStream& stream)
{
    QEventLoop loop;
    Watch port(pty.path, Nested, [&](const uint8_t* b, size_t n) {
        if (stream.Deliver(b, n))
            loop.quit();
    });
    stream.Start();
    loop.exec();
}

} // namespace

const Peer WatchPeer{"main-thread watch", Receive<false>, Echo<false>, Idle<false>, Stream<false>};
const Peer NestedWatchPeer{"main-thread watch, nested", Receive<true>, Echo<true>, Idle<true>, Stream<true>};

} // namespace bench
