// The port's worker: moves bytes between the device, the input queue and the
// pending transfers, and turns what happens on the line into events. It
// blocks in poll() on the device and the wake-up descriptor; a time limit is
// set only while a transfer has a deadline, output is draining, or modem
// lines or error counters must be polled.
#include "commport.h"

#include "events.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace vxport::detail {
namespace {

constexpr DWORD kModemEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
constexpr auto kLinePollPeriod = std::chrono::milliseconds(20);

void ReadCount(int fd)
{
    uint64_t count;
    [[maybe_unused]] auto n = ::read(fd, &count, sizeof count);
}

} // namespace

// The worker parks while a waiter polls the device, and stays parked after
// the waiter leaves (it comes back at once) until somebody wakes the port
// while no waiter polls: a transfer that goes pending, a wait that nobody
// waits for by its event, a waiter leaving while a thread is blocked on a
// transfer's end. A parked worker looks again now and then, so that
// a wait whose caller only tests the record is served all the same. While it
// finds a waiter polling at every look, it looks less often (up to once a
// second): each look wakes a sleeping CPU, which on a virtual machine costs
// more than a tenth of a millisecond.
void CommPort::Run()
{
    constexpr int kFirstLookMs = 50;
    constexpr int kLongestLookMs = 1000;
    int lookMs = kFirstLookMs;
    Lock lock(mutex_);
    while (!closed_) {
        if (waiterPolls_)
            parked_ = true;
        if (!parked_) {
            lookMs = kFirstLookMs;
            PollDevice(lock, NextTimeoutMs());
            continue;
        }
        pollfd park{parkFd_, POLLIN, 0};
        lock.unlock();
        const bool woken = ::poll(&park, 1, lookMs) > 0;
        lock.lock();
        ReadCount(parkFd_);
        lookMs = woken || !waiterPolls_ ? kFirstLookMs : std::min(lookMs * 2, kLongestLookMs);
        parked_ = false;
        if (!waiterPolls_)
            poller_ = workerId_;
    }
}

// Under the lock: a pending transfer or wait that no thread polls for gets
// the worker back.
void CommPort::EnsurePoller()
{
    if (parked_ && !waiterPolls_) {
        uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(parkFd_, &one, sizeof one);
    }
}

void CommPort::PollDevice(Lock& lock, int timeoutMs)
{
    pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {-1, 0, 0}};
    if (!dead_) {
        short wanted = 0;
        if (queue_.Room() > 0 && (!inputWatched_ || !reads_.empty()))
            wanted |= POLLIN;
        if (!writes_.empty())
            wanted |= POLLOUT;
        // With a full queue and no output the device stays in the poll
        // without events: poll() still reports a hang-up, which Service
        // turns into the end of the device, so it cannot repeat. A device
        // unplugged then would otherwise leave a pending wait forever.
        fds[1] = {device_->PollFd(), wanted, 0};
    }
    const int pollsInput = (fds[1].events & POLLIN) ? 1 : 0;
    devicePollers_ += pollsInput;
    lock.unlock();
    ::poll(fds, 2, timeoutMs);
    lock.lock();
    devicePollers_ -= pollsInput;
    // A waiter came meanwhile: the worker leaves the device and the wake-up
    // to it (the wake-up may be the one for the waiter's event).
    if (closed_ || (waiterPolls_ && std::this_thread::get_id() == workerId_))
        return;
    if (fds[0].revents & POLLIN) {
        wakePending_.store(false);
        ReadCount(wakeFd_);
    }
    Service(fds[1].revents);
}

DWORD CommPort::WaitPolling(Event& event, DWORD milliseconds)
{
    const auto deadline =
        milliseconds == INFINITE ? Clock::time_point{} : Clock::now() + std::chrono::milliseconds(milliseconds);
    auto left = [&]() -> int { // -1 without a limit
        if (milliseconds == INFINITE)
            return -1;
        const auto rest = deadline - Clock::now();
        return rest <= Clock::duration::zero() ? 0 : int(std::chrono::ceil<std::chrono::milliseconds>(rest).count());
    };
    Lock lock(mutex_);
    if (closed_ || waiterPolls_) {
        Leave(lock);
        return event.WaitPlain(milliseconds);
    }
    waiterPolls_ = true;
    if (!parked_) { // the worker leaves the device to this thread
        uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(wakeFd_, &one, sizeof one);
    }
    poller_ = std::this_thread::get_id();
    // A take that succeeds also leaves the pollers.
    bool taken = event.AddPoller(!closed_);
    while (!taken && !closed_) {
        const int rest = left();
        if (rest == 0)
            break;
        const int due = NextTimeoutMs();
        PollDevice(lock, due < 0 ? rest : rest < 0 ? due : std::min(due, rest));
        if (!closed_)
            taken = event.TryTake(true);
    }
    if (!taken)
        event.RemovePoller();
    waiterPolls_ = false;
    poller_ = workerId_;
    // A thread blocked on a transfer's end needs the device polled now; the
    // parked worker would come only at its next look.
    if (syncWaiters_ > 0)
        EnsurePoller();
    // A wake-up that came for the poller after its last look is served here.
    if (!closed_ && wakePending_.load())
        PollDevice(lock, 0);
    Leave(lock);
    if (taken)
        return WAIT_OBJECT_0;
    const int rest = left();
    return rest == 0 ? WAIT_TIMEOUT : event.WaitPlain(rest < 0 ? INFINITE : DWORD(rest));
}

void CommPort::Leave(Lock& lock)
{
    --visitors_;
    left_.notify_all(); // under the lock: Close may end the port once it is free
    lock.unlock();
}

// The clock is read only when something is timed: a stream's every event
// passes here.
int CommPort::NextTimeoutMs() const
{
    std::optional<Clock::time_point> next;
    auto consider = [&](std::optional<Clock::time_point> t) {
        if (t && (!next || *t < *next))
            next = t;
    };
    for (const auto& op : reads_)
        consider(op.deadline);
    if (!reads_.empty() && reads_.front().interval && !reads_.front().got.empty())
        consider(reads_.front().lastByte + std::chrono::milliseconds(reads_.front().interval));
    for (const auto& op : writes_)
        consider(op.deadline);
    consider(drainAt_);
    consider(linePollAt_);
    if (!next)
        return -1;
    const auto now = Clock::now();
    if (*next <= now)
        return 0;
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(*next - now).count();
    return int(std::min<long long>(ms, 1 << 30));
}

void CommPort::Service(short revents)
{
    // Input that the caller watches is left in the device, also when the
    // watch began while this poll ran; a hang-up still takes in what came
    // before it, as it does when nobody watches.
    const bool hungUp = (revents & (POLLHUP | POLLERR)) != 0;
    long got = !inputWatched_ || !reads_.empty() || hungUp ? PumpInput() : 0;
    if (!dead_ && got == 0 && (revents & (POLLHUP | POLLERR)))
        HangUp();
    PumpOutput();
    // Nothing timed, nothing to expire: the clock is left alone.
    const bool timed = !reads_.empty() || !writes_.empty() || txActive_ || drainAt_ || linePollAt_;
    const auto now = timed ? Clock::now() : Clock::time_point{};
    if (timed) {
        ExpireReads(now);
        ExpireWrites(now);
        CheckDrain(now);
    }
    const bool due = linePollAt_ && now >= *linePollAt_;
    if (!dead_ && (linesDirty_.exchange(false) || due)) {
        CheckLines();
        if (due)
            linePollAt_.reset();
    }
    UpdateLinePolling();
}

// ---- Input -----------------------------------------------------------------

// Reads only while the input queue has room. A full queue leaves the bytes in
// the kernel, whose buffer and flow control hold the sender back; bytes the
// driver itself has to drop show up in its counters and are reported as
// CE_RXOVER. So nothing is lost without a report.
long CommPort::PumpInput(size_t limit, bool announce)
{
    if (dead_)
        return 0;
    BYTE chunk[4096];
    long total = 0;
    size_t queued = 0;
    DWORD events = 0;
    const bool stripNul = dcb_.fNull;
    while (queue_.Room() > 0 && queued < limit) {
        const size_t want = std::min({sizeof chunk, queue_.Room(), limit - queued});
        const long n = device_->Read(chunk, want);
        if (n < 0) {
            HangUp();
            break;
        }
        if (n == 0)
            break;
        // Stripped NUL bytes never reach the queue and raise no event.
        const size_t kept = stripNul ? size_t(std::remove(chunk, chunk + n, BYTE(0)) - chunk) : size_t(n);
        queue_.Push(chunk, kept);
        total += n;
        queued += kept;
        events |= kept > 0 && announce ? EV_RXCHAR : 0;
        if (std::memchr(chunk, static_cast<unsigned char>(dcb_.EvtChar), kept))
            events |= EV_RXFLAG;
        if (size_t(n) < want)
            break;
    }
    if (total == 0)
        return total;
    if (rx80Armed_ && queue_.Size() * 10 >= queue_.Capacity() * 8) {
        rx80Armed_ = false;
        events |= EV_RX80FULL;
    }
    CheckErrorsOfInput();
    FeedReads();
    // A watching caller is told only of bytes left in the queue, out of its
    // sight; those that pending reads took need no event.
    if (inputWatched_ && queue_.Size() == 0)
        events &= ~EV_RXCHAR;
    Signal(events);
    return total;
}

[[gnu::hot]] size_t CommPort::ReadDevice(BYTE* to, size_t size)
{
    size_t got = 0;
    // A short read found the device empty; asking again would only cost a
    // system call per received piece.
    while (got < size && !dead_) {
        const size_t want = size - got;
        const long n = device_->Read(to + got, want);
        if (n < 0)
            HangUp();
        if (n <= 0)
            break;
        got += size_t(n);
        if (size_t(n) < want)
            break;
    }
    if (got == 0)
        return 0;
    DWORD events = 0;
    if (std::memchr(to, static_cast<unsigned char>(dcb_.EvtChar), got))
        events |= EV_RXFLAG;
    // Bytes that never sit in the queue still fill it this far on their way.
    if (rx80Armed_ && got * 10 >= queue_.Capacity() * 8)
        events |= EV_RX80FULL;
    Signal(events);
    return got;
}

void CommPort::RearmRx80()
{
    if (queue_.Size() * 10 < queue_.Capacity() * 8)
        rx80Armed_ = true;
}

void CommPort::FeedReads()
{
    const auto now = reads_.empty() ? Clock::time_point{} : Clock::now();
    while (!reads_.empty() && queue_.Size() > 0) {
        ReadOp& op = reads_.front();
        const size_t have = op.got.size();
        const size_t take = std::min<size_t>(queue_.Size(), op.want - have);
        op.got.resize(have + take);
        queue_.Pop(op.got.data() + have, take);
        countedLeft_ -= std::min<DWORD>(countedLeft_, DWORD(take));
        op.lastByte = now;
        if (op.got.size() < op.want && !op.returnOnAny)
            break;
        CompleteRead(op, 0);
        reads_.pop_front();
    }
    RearmRx80();
    ArmFronts();
}

// A read that runs out of time completes successfully with what it has.
void CommPort::ExpireReads(Clock::time_point now)
{
    for (auto it = reads_.begin(); it != reads_.end();) {
        const bool front = it == reads_.begin();
        const bool total = it->deadline && now >= *it->deadline;
        const bool interval = front && it->interval && !it->got.empty() &&
                              now - it->lastByte >= std::chrono::milliseconds(it->interval);
        if (total || interval) {
            CompleteRead(*it, 0);
            it = reads_.erase(it);
        } else {
            ++it;
        }
    }
    ArmFronts();
}

// ---- Output ----------------------------------------------------------------

void CommPort::PumpOutput()
{
    while (!dead_ && !writes_.empty()) {
        WriteOp& op = writes_.front();
        const long n = device_->Write(op.data.data() + op.done, op.data.size() - op.done);
        if (n < 0) {
            HangUp();
            return;
        }
        if (n > 0)
            txActive_ = outputInDevice_ = true;
        op.done += size_t(n);
        if (op.done < op.data.size())
            break;
        CompleteWrite(op, 0);
        writes_.pop_front();
    }
    ArmFronts();
}

// A write that runs out of time counts as done, with the bytes it got out.
void CommPort::ExpireWrites(Clock::time_point now)
{
    for (auto it = writes_.begin(); it != writes_.end();) {
        if (it->deadline && now >= *it->deadline) {
            CompleteWrite(*it, 0);
            it = writes_.erase(it);
        } else {
            ++it;
        }
    }
    ArmFronts();
}

void CommPort::CheckDrain(std::optional<Clock::time_point> at)
{
    if (!txActive_ || !writes_.empty() || dead_) {
        drainAt_.reset();
        return;
    }
    // Nobody waits for the end of the output: the worker is not woken for it.
    if (!DrainWatched()) {
        txActive_ = false;
        drainAt_.reset();
        return;
    }
    const Clock::time_point now = at ? *at : Clock::now();
    if (drainAt_ && now < *drainAt_)
        return;
    if (DeviceOutQueue() > 0) {
        drainAt_ = now + std::chrono::milliseconds(std::max(1, device_->DrainDelayMs()));
        return;
    }
    drainAt_.reset();
    txActive_ = false;
    if (ManualRts())
        device_->Escape(CLRRTS);
    Signal(EV_TXEMPTY);
}

[[gnu::hot]] bool CommPort::DrainWatched() const
{
    return (mask_ & EV_TXEMPTY) || ManualRts();
}

// Output that went out unwatched and is still in the device is followed again
// once somebody waits for its end.
void CommPort::WatchDrain()
{
    if (txActive_ || dead_ || !DrainWatched() || DeviceOutQueue() == 0)
        return;
    txActive_ = true;
    CheckDrain(Clock::now());
    Wake();
}

DWORD CommPort::DeviceOutQueue()
{
    if (!outputInDevice_)
        return 0;
    const DWORD queued = device_->OutQueue();
    outputInDevice_ = queued > 0;
    return queued;
}

// ---- Lines and events ------------------------------------------------------

[[gnu::hot]] DWORD CommPort::CheckCounters()
{
    DWORD events = 0;
    LineCounters now;
    if (device_->Counters(now)) {
        auto rose = [](uint32_t after, uint32_t before) { return after != before; };
        if (rose(now.frame, counters_.frame))
            errors_ |= CE_FRAME, events |= EV_ERR;
        if (rose(now.parity, counters_.parity))
            errors_ |= CE_RXPARITY, events |= EV_ERR;
        if (rose(now.overrun, counters_.overrun))
            errors_ |= CE_OVERRUN, events |= EV_ERR;
        if (rose(now.brk, counters_.brk))
            errors_ |= CE_BREAK, events |= EV_BREAK;
        if (rose(now.bufOverrun, counters_.bufOverrun))
            errors_ |= CE_RXOVER;
        counters_ = now;
        // Aborting on errors: the error ends every transfer under way, and
        // new ones are refused until ClearCommError has told it.
        if (AbortedByError() && (!reads_.empty() || !writes_.empty()))
            Abort([](const Op&) { return true; }, ERROR_OPERATION_ABORTED, true, true, false);
    }
    return events;
}

// Received bytes need only the counters: changes of the modem lines come to
// the port by themselves (the device's watcher, or the line poll).
[[gnu::hot]] void CommPort::CheckErrorsOfInput()
{
    if (const DWORD events = dead_ ? 0 : CheckCounters())
        Signal(events);
}

void CommPort::CheckLines()
{
    DWORD events = CheckCounters();
    DWORD status = 0;
    if ((mask_ & kModemEvents) && device_->ModemStatus(status)) {
        const DWORD changed = status ^ modem_;
        if (changed & MS_CTS_ON)
            events |= EV_CTS;
        if (changed & MS_DSR_ON)
            events |= EV_DSR;
        if (changed & MS_RLSD_ON)
            events |= EV_RLSD;
        if (changed & status & MS_RING_ON)
            events |= EV_RING;
        modem_ = status;
    }
    Signal(events);
}

// Polls only what cannot wake the worker by itself, and only while the mask
// asks for it.
void CommPort::UpdateLinePolling()
{
    const DeviceCaps caps = device_->Caps();
    const bool modem = (mask_ & kModemEvents) && caps.modemLines && !caps.modemNotifies;
    const bool counters = (mask_ & (EV_BREAK | EV_ERR)) && caps.counters && !caps.countersNotify;
    if (dead_ || !(modem || counters))
        linePollAt_.reset();
    else if (!linePollAt_)
        linePollAt_ = Clock::now() + kLinePollPeriod;
}

[[gnu::hot]] void CommPort::Signal(DWORD events)
{
    history_ |= events & mask_;
    if (wait_ && history_) {
        const DWORD happened = history_;
        history_ = 0;
        CompleteWait(happened, 0);
    }
}

// Starts the total time-out of the transfer at the head of each queue. A
// caller's thread that gives the worker a new deadline wakes it, since its
// poll was timed without it.
void CommPort::ArmFronts()
{
    std::optional<Clock::time_point> now;
    bool newDeadline = false;
    auto arm = [&](Op& op) {
        if (op.armed)
            return;
        op.armed = true;
        if (op.timeout) {
            now = now ? now : Clock::now();
            op.deadline = *now + *op.timeout;
            newDeadline = true;
        }
    };
    if (!reads_.empty())
        arm(reads_.front());
    if (!writes_.empty())
        arm(writes_.front());
    if (newDeadline && std::this_thread::get_id() != poller_)
        Wake();
}

// The device is gone: every pending transfer and wait ends with an error, and
// so does every later call that would need the device.
void CommPort::HangUp()
{
    if (dead_)
        return;
    dead_ = ERROR_DEVICE_NOT_CONNECTED;
    device_->WatchModem(false);
    for (auto& op : reads_)
        CompleteRead(op, dead_);
    reads_.clear();
    for (auto& op : writes_)
        CompleteWrite(op, dead_);
    writes_.clear();
    if (wait_ && history_) {
        const DWORD happened = history_;
        history_ = 0;
        CompleteWait(happened, 0);
    } else if (wait_) {
        CompleteWait(0, dead_);
    }
    txActive_ = false;
    drainAt_.reset();
    linePollAt_.reset();
}

} // namespace vxport::detail
