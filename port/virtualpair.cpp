#include "virtualpair.h"

#include "device.h"

#include <algorithm>
#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <sys/socket.h>
#include <unistd.h>

namespace vxport::detail {
namespace {

constexpr const char* kPrefix = "\\\\.\\VIRTUAL\\";
using Clock = std::chrono::steady_clock;

struct EndState {
    int fd = -1;
    bool open = false;
    bool rts = false;
    bool dtr = false;
    bool ring = false;
    LineCounters received;
    std::chrono::microseconds perByte{0};
    Clock::time_point busyUntil{};
    std::function<void()> watcher;
};

struct Pair {
    std::mutex mutex;
    EndState ends[2];
    ~Pair()
    {
        for (auto& end : ends)
            if (end.fd >= 0)
                ::close(end.fd);
    }

    void Notify(int end)
    {
        if (ends[end].watcher)
            ends[end].watcher();
    }
};

std::mutex pairsMutex;
std::map<std::string, std::shared_ptr<Pair>>& Pairs()
{
    static auto* pairs = new std::map<std::string, std::shared_ptr<Pair>>;
    return *pairs;
}

std::shared_ptr<Pair> Find(const std::string& name)
{
    std::lock_guard lock(pairsMutex);
    auto it = Pairs().find(name);
    return it == Pairs().end() ? nullptr : it->second;
}

int Index(virtualpair::End end)
{
    return end == virtualpair::End::A ? 0 : 1;
}

class VirtualEnd : public Device {
public:
    VirtualEnd(std::shared_ptr<Pair> pair, int end)
        : pair_(std::move(pair)), end_(end), fd_(pair_->ends[end].fd), dcb_(DefaultDcb())
    {
    }
    ~VirtualEnd() override { Close(); }

    int PollFd() const override { return fd_; }

    long Read(BYTE* buffer, size_t size) override
    {
        const ssize_t n = ::recv(fd_, buffer, size, MSG_DONTWAIT);
        if (n > 0)
            return long(n);
        if (n == 0)
            return -1;
        return (errno == EAGAIN || errno == EINTR) ? 0 : -1;
    }

    long Write(const BYTE* data, size_t size) override
    {
        const ssize_t n = ::send(fd_, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0)
            return (errno == EAGAIN || errno == EINTR) ? 0 : -1;
        std::lock_guard lock(pair_->mutex);
        EndState& me = pair_->ends[end_];
        me.busyUntil = std::max(Clock::now(), me.busyUntil) + me.perByte * n;
        return long(n);
    }

    DWORD OutQueue() override
    {
        std::lock_guard lock(pair_->mutex);
        const EndState& me = pair_->ends[end_];
        const auto left = me.busyUntil - Clock::now();
        if (me.perByte.count() == 0 || left <= Clock::duration::zero())
            return 0;
        return DWORD((left + me.perByte - Clock::duration(1)) / me.perByte);
    }

    int DrainDelayMs() override
    {
        std::lock_guard lock(pair_->mutex);
        const auto left = pair_->ends[end_].busyUntil - Clock::now();
        return int(std::max<long long>(1, std::chrono::ceil<std::chrono::milliseconds>(left).count()));
    }

    void Flush(bool input, bool output) override
    {
        if (input) {
            BYTE sink[4096];
            while (::recv(fd_, sink, sizeof sink, MSG_DONTWAIT) > 0) {
            }
        }
        if (output) {
            std::lock_guard lock(pair_->mutex);
            pair_->ends[end_].busyUntil = Clock::now();
        }
    }

    DWORD Configure(const DCB& dcb) override
    {
        if (DWORD error = CheckDcb(dcb))
            return error;
        dcb_ = dcb;
        Drive(&EndState::dtr, dcb.fDtrControl != DTR_CONTROL_DISABLE);
        if (dcb.fRtsControl != RTS_CONTROL_TOGGLE)
            Drive(&EndState::rts, dcb.fRtsControl != RTS_CONTROL_DISABLE);
        return 0;
    }

    void ReadState(DCB& dcb) override { dcb = dcb_; }

    bool TogglesRts() const override { return false; }

    DeviceCaps Caps() const override { return {true, true, true, true}; }

    bool ModemStatus(DWORD& status) override
    {
        std::lock_guard lock(pair_->mutex);
        const EndState& me = pair_->ends[end_];
        const EndState& peer = pair_->ends[1 - end_];
        status = (peer.rts ? MS_CTS_ON : 0) | (peer.dtr ? MS_DSR_ON | MS_RLSD_ON : 0) | (me.ring ? MS_RING_ON : 0);
        return true;
    }

    DWORD Escape(DWORD function) override
    {
        switch (function) {
        case SETRTS: Drive(&EndState::rts, true); return 0;
        case CLRRTS: Drive(&EndState::rts, false); return 0;
        case SETDTR: Drive(&EndState::dtr, true); return 0;
        case CLRDTR: Drive(&EndState::dtr, false); return 0;
        case SETBREAK: {
            std::lock_guard lock(pair_->mutex);
            pair_->ends[1 - end_].received.brk++;
            pair_->Notify(1 - end_);
            return 0;
        }
        case CLRBREAK:
        case SETXON:
        case SETXOFF: return 0;
        default: return ERROR_INVALID_PARAMETER;
        }
    }

    bool Counters(LineCounters& counters) override
    {
        std::lock_guard lock(pair_->mutex);
        counters = pair_->ends[end_].received;
        return true;
    }

    void SetWatcher(std::function<void()> watcher) override
    {
        std::lock_guard lock(pair_->mutex);
        pair_->ends[end_].watcher = std::move(watcher);
    }

    void WatchModem(bool) override {}

    void Close() override
    {
        if (closed_)
            return;
        closed_ = true;
        std::lock_guard lock(pair_->mutex);
        EndState& me = pair_->ends[end_];
        me.watcher = nullptr;
        me.open = false;
        me.rts = me.dtr = false;
        pair_->Notify(1 - end_);
    }

private:
    void Drive(bool EndState::*line, bool on)
    {
        std::lock_guard lock(pair_->mutex);
        if (pair_->ends[end_].*line == on)
            return;
        pair_->ends[end_].*line = on;
        pair_->Notify(1 - end_);
    }

    std::shared_ptr<Pair> pair_;
    const int end_;
    const int fd_;
    DCB dcb_;
    bool closed_ = false;
};

template <class F>
void WithEnd(const std::string& name, virtualpair::End end, F f)
{
    if (auto pair = Find(name)) {
        std::lock_guard lock(pair->mutex);
        f(*pair, Index(end));
    }
}

} // namespace

bool IsVirtualName(const std::string& name)
{
    return name.rfind(kPrefix, 0) == 0;
}

std::unique_ptr<Device> OpenVirtualEnd(const std::string& name, DWORD& error)
{
    const std::string rest = name.substr(std::string(kPrefix).size());
    error = ERROR_FILE_NOT_FOUND;
    if (rest.size() < 3 || rest[rest.size() - 2] != '-')
        return nullptr;
    const char side = rest.back();
    if (side != 'A' && side != 'B')
        return nullptr;
    auto pair = Find(rest.substr(0, rest.size() - 2));
    if (!pair)
        return nullptr;
    const int end = side == 'A' ? 0 : 1;
    std::lock_guard lock(pair->mutex);
    if (pair->ends[end].open) {
        error = ERROR_SHARING_VIOLATION;
        return nullptr;
    }
    // Like a tty, opening raises DTR and RTS.
    pair->ends[end].open = true;
    pair->ends[end].rts = pair->ends[end].dtr = true;
    pair->Notify(1 - end);
    error = 0;
    return std::make_unique<VirtualEnd>(pair, end);
}

} // namespace vxport::detail

namespace vxport::virtualpair {

using detail::Pair;

std::string PortName(const std::string& pair, End end)
{
    return std::string(detail::kPrefix) + pair + (end == End::A ? "-A" : "-B");
}

bool Create(const std::string& name)
{
    std::lock_guard lock(detail::pairsMutex);
    if (detail::Pairs().count(name))
        return false;
    auto pair = std::make_shared<Pair>();
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) < 0)
        return false;
    pair->ends[0].fd = fds[0];
    pair->ends[1].fd = fds[1];
    detail::Pairs().emplace(name, pair);
    return true;
}

void Destroy(const std::string& name)
{
    std::shared_ptr<Pair> pair;
    {
        std::lock_guard lock(detail::pairsMutex);
        auto it = detail::Pairs().find(name);
        if (it == detail::Pairs().end())
            return;
        pair = it->second;
        detail::Pairs().erase(it);
    }
    // Open ends keep the descriptors through their Pair; shutting the sockets
    // down makes them see a hang-up. The descriptors close with the last end.
    for (auto& end : pair->ends)
        ::shutdown(end.fd, SHUT_RDWR);
}

void SetRing(const std::string& pair, End end, bool on)
{
    detail::WithEnd(pair, end, [on](Pair& p, int i) {
        p.ends[i].ring = on;
        p.Notify(i);
    });
}

void InjectLineErrors(const std::string& pair, End end, DWORD errors)
{
    detail::WithEnd(pair, end, [errors](Pair& p, int i) {
        auto& c = p.ends[i].received;
        c.frame += (errors & CE_FRAME) ? 1 : 0;
        c.parity += (errors & CE_RXPARITY) ? 1 : 0;
        c.overrun += (errors & CE_OVERRUN) ? 1 : 0;
        c.brk += (errors & CE_BREAK) ? 1 : 0;
        c.bufOverrun += (errors & CE_RXOVER) ? 1 : 0;
        p.Notify(i);
    });
}

void SetTransmitTime(const std::string& pair, End end, std::chrono::microseconds perByte)
{
    detail::WithEnd(pair, end, [perByte](Pair& p, int i) { p.ends[i].perByte = perByte; });
}

DWORD DrivenLines(const std::string& pair, End end)
{
    DWORD lines = 0;
    detail::WithEnd(pair, end, [&](Pair& p, int i) {
        lines = (p.ends[i].rts ? MS_CTS_ON : 0) | (p.ends[i].dtr ? MS_DSR_ON : 0);
    });
    return lines;
}

} // namespace vxport::virtualpair
