// The floor of the component's design: a thread that waits for the device
// and takes what came, and the main thread's event loop, to which it hands
// the bytes over; nothing else. Its cost over the raw loop is what one
// hand-off per wake-up costs on this machine. The bounded variant holds at
// most 8 KiB between the threads, as the component's input queue does with
// the window's settings: the thread leaves the device alone until the main
// thread has taken what it holds.
#include "event_loop.h"
#include "peers.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <sys/eventfd.h>

namespace bench {
namespace {

class HandOff {
public:
    using Sink = std::function<void(std::vector<uint8_t>&)>;

    HandOff(const std::string& path, size_t bound, Sink sink) : sink_(std::move(sink)), bound_(bound)
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
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        taken_cv_.notify_one();
        thread_.join();
        ::close(stopFd_);
        ::close(fd_);
    }
    int Fd() const { return fd_; }

private:
    void Run()
    {
        uint8_t chunk[kChunk];
        for (;;) {
            pollfd p[2] = {{fd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
            ::poll(p, 2, -1);
            if (p[1].revents)
                return;
            const ssize_t n = ::read(fd_, chunk, Room());
            if (n <= 0)
                continue;
            std::unique_lock lock(mutex_);
            const bool first = pending_.empty();
            pending_.insert(pending_.end(), chunk, chunk + n);
            if (first)
                QMetaObject::invokeMethod(&context_, [this] { Hand(); }, Qt::QueuedConnection);
            if (bound_ != 0)
                taken_cv_.wait(lock, [this] { return stopping_ || pending_.size() < bound_; });
        }
    }
    size_t Room()
    {
        if (bound_ == 0)
            return kChunk;
        std::lock_guard lock(mutex_);
        return std::min(kChunk, bound_ - pending_.size());
    }
    void Hand()
    {
        {
            std::lock_guard lock(mutex_);
            taken_.swap(pending_);
        }
        taken_cv_.notify_one();
        sink_(taken_);
        taken_.clear();
    }

    static constexpr size_t kChunk = 8192;
    Sink sink_;
    size_t bound_;
    bool stopping_ = false;
    std::condition_variable taken_cv_;
    QObject context_; // hand-overs still queued go with it
    int fd_ = -1;
    int stopFd_ = -1;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<uint8_t> pending_;
    std::vector<uint8_t> taken_;
};

template <size_t Bound>
double Receive(Pty& pty, size_t volume)
{
    size_t got = 0;
    QEventLoop loop;
    HandOff port(pty.path, Bound, [&](std::vector<uint8_t>& b) {
        got += b.size();
        if (got >= volume)
            loop.quit();
    });
    return BlastWhileLoopRuns(pty, volume, loop);
}

template <size_t Bound>
double Echo(Pty& pty, int count)
{
    int fd = -1;
    HandOff port(pty.path, Bound, [&](std::vector<uint8_t>& b) { [[maybe_unused]] auto n = ::write(fd, b.data(), b.size()); });
    fd = port.Fd();
    return EchoWhileLoopRuns(pty, count);
}

template <size_t Bound>
double Idle(Pty& pty, int seconds)
{
    HandOff port(pty.path, Bound, [](std::vector<uint8_t>&) {});
    return CpuOfIdleLoop(seconds);
}

template <size_t Bound>
void Stream(Pty& pty, PacedStream& stream)
{
    QEventLoop loop;
    HandOff port(pty.path, Bound, [&](std::vector<uint8_t>& b) {
        if (stream.Deliver(b.data(), b.size()))
            loop.quit();
    });
    stream.Start();
    loop.exec();
}

} // namespace

const Peer HandOffPeer{"hand-off floor", Receive<0>, Echo<0>, Idle<0>, Stream<0>};
const Peer BoundedHandOffPeer{"hand-off floor, 8 KiB", Receive<8192>, Echo<8192>, Idle<8192>, Stream<8192>};

} // namespace bench
