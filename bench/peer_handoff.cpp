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
#include <mutex>
#include <sys/eventfd.h>

namespace bench {
namespace {

class HandOff {
public:
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
        sink_(taken_.data(), taken_.size());
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

using Unbounded = SinkRuns<HandOff, size_t(0)>;
using Bounded = SinkRuns<HandOff, size_t(8192)>;

} // namespace

const Peer HandOffPeer{"hand-off floor", Unbounded::Receive, Unbounded::Echo, Unbounded::Idle, Unbounded::Stream};
const Peer BoundedHandOffPeer{"hand-off floor, 8 KiB", Bounded::Receive, Bounded::Echo, Bounded::Idle, Bounded::Stream};

} // namespace bench
