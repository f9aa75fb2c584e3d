// The floor of the component's design: a thread that waits for the device
// and takes what came, and the main thread's event loop, to which it hands
// the bytes over; nothing else. Its cost over the raw loop is what one
// hand-off per wake-up costs on this machine.
#include "event_loop.h"
#include "peers.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <functional>
#include <mutex>
#include <sys/eventfd.h>

namespace bench {
namespace {

class HandOff {
public:
    using Sink = std::function<void(std::vector<uint8_t>&)>;

    HandOff(const std::string& path, Sink sink) : sink_(std::move(sink))
    {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios tio;
        tcgetattr(fd_, &tio);
        cfmakeraw(&tio);
        tcsetattr(fd_, TCSANOW, &tio);
        stopFd_ = eventfd(0, EFD_NONBLOCK);
        thread_ = std::thread([this] { Run(); });
    }
    ~HandOff()
    {
        uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(stopFd_, &one, sizeof one);
        thread_.join();
        ::close(stopFd_);
        ::close(fd_);
    }
    int Fd() const { return fd_; }

private:
    void Run()
    {
        uint8_t chunk[8192];
        for (;;) {
            pollfd p[2] = {{fd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
            ::poll(p, 2, -1);
            if (p[1].revents)
                return;
            const ssize_t n = ::read(fd_, chunk, sizeof chunk);
            if (n <= 0)
                continue;
            std::lock_guard lock(mutex_);
            const bool first = pending_.empty();
            pending_.insert(pending_.end(), chunk, chunk + n);
            if (first)
                QMetaObject::invokeMethod(&context_, [this] { Hand(); }, Qt::QueuedConnection);
        }
    }
    void Hand()
    {
        {
            std::lock_guard lock(mutex_);
            taken_.swap(pending_);
        }
        sink_(taken_);
        taken_.clear();
    }

    Sink sink_;
    QObject context_; // hand-overs still queued go with it
    int fd_ = -1;
    int stopFd_ = -1;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<uint8_t> pending_;
    std::vector<uint8_t> taken_;
};

double Receive(Pty& pty, size_t volume)
{
    size_t got = 0;
    QEventLoop loop;
    HandOff port(pty.path, [&](std::vector<uint8_t>& b) {
        got += b.size();
        if (got >= volume)
            loop.quit();
    });
    return BlastWhileLoopRuns(pty, volume, loop);
}

double Echo(Pty& pty, int count)
{
    int fd = -1;
    HandOff port(pty.path, [&](std::vector<uint8_t>& b) { [[maybe_unused]] auto n = ::write(fd, b.data(), b.size()); });
    fd = port.Fd();
    return EchoWhileLoopRuns(pty, count);
}

double Idle(Pty& pty, int seconds)
{
    HandOff port(pty.path, [](std::vector<uint8_t>&) {});
    return CpuOfIdleLoop(seconds);
}

void Stream(Pty& pty, PacedStream& stream)
{
    QEventLoop loop;
    HandOff port(pty.path, [&](std::vector<uint8_t>& b) {
        if (stream.Deliver(b.data(), b.size()))
            loop.quit();
    });
    stream.Start();
    loop.exec();
}

} // namespace

const Peer HandOffPeer{"hand-off floor", Receive, Echo, Idle, Stream};

} // namespace bench
