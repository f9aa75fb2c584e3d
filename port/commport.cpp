// The Win32 serial calls of an open port, run in the caller's thread.
#include "commport.h"

#include "events.h"
#include "inputwatch.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <new>
#include <system_error>
#include <utility>

namespace vxport::detail {
namespace {

// The OVERLAPPED status while the transfer is pending (the NT status value).
constexpr DWORD kPending = 0x103;

std::atomic_ref<DWORD> Status(OVERLAPPED* ov) { return std::atomic_ref<DWORD>(ov->Internal); }
std::atomic_ref<DWORD> Count(OVERLAPPED* ov) { return std::atomic_ref<DWORD>(ov->InternalHigh); }

// Total time-outs longer than this are as good as none, and keep the clock
// arithmetic far from overflow.
constexpr uint64_t kLongestTimeoutMs = 1'000'000'000;

// The largest input queue SetupComm grants.
constexpr DWORD kLargestInQueue = 64u << 20;

std::optional<Clock::duration> Timeout(uint64_t ms)
{
    if (ms == 0 || ms > kLongestTimeoutMs)
        return std::nullopt;
    return std::chrono::milliseconds(ms);
}

} // namespace

CommPort::CommPort(std::unique_ptr<Device> device) : HandleObject(kHandleKind), device_(std::move(device))
{
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    parkFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    // Without its wake-up descriptors the worker could never be told to end,
    // and closing would hang: such a port is not started at all.
    if (wakeFd_ < 0 || parkFd_ < 0) {
        startError_ = (errno == EMFILE || errno == ENFILE) ? ERROR_TOO_MANY_OPEN_FILES : ERROR_NOT_ENOUGH_MEMORY;
        closed_ = true;
        device_->Close();
        return;
    }
    dcb_ = DefaultDcb();
    device_->ReadState(dcb_);
    dcb_.DCBlength = sizeof(DCB);
    device_->Counters(counters_);
    device_->SetWatcher([this] {
        linesDirty_ = true;
        Wake();
    });
    Lock lock(mutex_); // Run starts once the thread is known
    try {
        worker_ = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
        startError_ = ERROR_NOT_ENOUGH_MEMORY;
        closed_ = true;
        device_->Close();
        return;
    }
    workerId_ = worker_.get_id();
    poller_ = workerId_;
}

CommPort::~CommPort()
{
    Close();
    CloseWakeFds();
}

// A closed port may live on for a while in the handle cache of a thread that
// used it: it lets go of its descriptors and its device when it closes.
// Nothing wakes it any more by then: its calls see it closed first, under
// the lock, and its worker, its events and its device's watcher are done
// with it.
void CommPort::CloseWakeFds()
{
    for (int* fd : {&wakeFd_, &parkFd_})
        if (*fd >= 0)
            ::close(std::exchange(*fd, -1));
}

// A thread that closes the port while another does returns only once the
// port is closed, so that it may open the device again at once.
void CommPort::Close()
{
    std::call_once(closeOnce_, [this] { CloseOnce(); });
}

void CommPort::CloseOnce()
{
    {
        Lock lock(mutex_);
        if (closed_)
            return;
        closed_ = true;
        Abort([](const Op&) { return true; }, ERROR_OPERATION_ABORTED, true, true, true);
        Wake();
        uint64_t one = 1; // the worker, parked or not
        [[maybe_unused]] auto n = ::write(parkFd_, &one, sizeof one);
    }
    LeaveEvents();
    if (worker_.joinable())
        worker_.join();
    QuietInputWatches(this);
    device_->Close();
    // A virtual device holds its pair's descriptors until it goes, here,
    // once the lock is left.
    std::unique_ptr<Device> device;
    Lock lock(mutex_);
    CloseWakeFds();
    device = std::move(device_);
}

// Every wait of the event thread passes here with the same event: it is
// recognised without touching the reference counts.
void CommPort::BecomeSourceOf(const std::shared_ptr<Event>& event)
{
    const auto same = [&](const std::weak_ptr<Event>& e) { return !e.owner_before(event) && !event.owner_before(e); };
    if (std::none_of(sourceOf_.begin(), sourceOf_.end(), same)) {
        std::erase_if(sourceOf_, [](const std::weak_ptr<Event>& e) { return e.expired(); });
        sourceOf_.push_back(event);
    }
    event->SetSource(this);
}

void CommPort::LeaveEvents()
{
    std::vector<std::weak_ptr<Event>> events;
    {
        Lock lock(mutex_);
        events.swap(sourceOf_);
    }
    for (const auto& e : events)
        if (auto event = e.lock())
            event->ClearSource(this);
    Lock lock(mutex_);
    left_.wait(lock, [this] { return visitors_ == 0; });
}

void CommPort::Wake()
{
    // The poller looks at the port again before it sleeps: from its own
    // thread (an event set while it serves the device) no wake-up is needed.
    if (std::this_thread::get_id() == poller_.load() || wakeFd_ < 0)
        return;
    // Flagged before the waiter is looked at: a waiter that leaves looks at
    // the flag after it has stopped counting as polling.
    wakePending_.store(true);
    uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wakeFd_, &one, sizeof one);
    if (!waiterPolls_.load())
        n = ::write(parkFd_, &one, sizeof one);
}

BOOL CommPort::Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

[[gnu::hot]] bool CommPort::ManualRts() const
{
    return dcb_.fRtsControl == RTS_CONTROL_TOGGLE && !device_->TogglesRts();
}

// ---- Completion ------------------------------------------------------------

[[gnu::hot]] HandleRef<Event> CommPort::EventOf(const OVERLAPPED* ov)
{
    return ov->hEvent ? LookupEvent(ov->hEvent) : HandleRef<Event>{};
}

// A transfer that stays pending. Like the system, it resets its event when
// it starts, so a signal left from an earlier transfer is not taken for this
// one, and it holds the event until it completes. One that completes within
// its call is not started: it sets the event under the port's lock, so the
// reset would change nothing anybody could see, and it needs no reference
// of its own to the event.
CommPort::Op CommPort::Start(OVERLAPPED* ov, const HandleRef<Event>& event)
{
    if (event)
        event->Reset();
    Count(ov).store(0, std::memory_order_relaxed);
    Status(ov).store(kPending, std::memory_order_release);
    return Op{ov, event.Share(), std::this_thread::get_id(), std::nullopt, false, std::nullopt};
}

// The result goes into the record before the event is set, so a thread woken
// by the event finds it there.
[[gnu::hot]] void CommPort::Complete(OVERLAPPED* ov, DWORD error, DWORD count, Event* event)
{
    Count(ov).store(count, std::memory_order_relaxed);
    Status(ov).store(error, std::memory_order_release);
    if (event)
        event->Set();
    if (syncWaiters_ > 0) // they count themselves under the lock this runs under
        completed_.notify_all();
}

void CommPort::CompleteRead(ReadOp& op, DWORD error)
{
    if (!op.got.empty())
        std::copy(op.got.begin(), op.got.end(), op.buffer);
    Complete(op.ov, op.got.empty() ? error : 0, DWORD(op.got.size()), op.event.get());
}

void CommPort::CompleteWrite(WriteOp& op, DWORD error)
{
    Complete(op.ov, error, DWORD(op.done), op.event.get());
}

void CommPort::CompleteWait(DWORD events, DWORD error)
{
    *wait_->mask = events;
    Complete(wait_->ov, error, 0, wait_->event.get());
    wait_.reset();
}

void CommPort::Abort(const std::function<bool(const Op&)>& which, DWORD error, bool reads, bool writes, bool wait)
{
    if (reads) {
        for (auto it = reads_.begin(); it != reads_.end();)
            if (which(*it)) {
                // The bytes it already took are gone from the queue: they go
                // into the buffer and are counted, with the error.
                if (!it->got.empty())
                    std::copy(it->got.begin(), it->got.end(), it->buffer);
                Complete(it->ov, error, DWORD(it->got.size()), it->event.get());
                it = reads_.erase(it);
            } else {
                ++it;
            }
    }
    if (writes) {
        for (auto it = writes_.begin(); it != writes_.end();)
            if (which(*it)) {
                CompleteWrite(*it, error);
                it = writes_.erase(it);
            } else {
                ++it;
            }
    }
    if (wait && wait_ && which(*wait_))
        CompleteWait(0, error);
    ArmFronts();
}

BOOL CommPort::AwaitSync(Lock& lock, OVERLAPPED* ov, DWORD* transferred)
{
    ++syncWaiters_;
    completed_.wait(lock, [&] { return Status(ov).load(std::memory_order_acquire) != kPending; });
    --syncWaiters_;
    if (transferred)
        *transferred = Count(ov).load(std::memory_order_relaxed);
    DWORD status = Status(ov).load(std::memory_order_acquire);
    return status == 0 ? TRUE : Fail(status);
}

BOOL CommPort::Result(OVERLAPPED* ov, DWORD* transferred, BOOL wait)
{
    Lock lock(mutex_);
    if (Status(ov).load(std::memory_order_acquire) == kPending) {
        EnsurePoller();
        if (!wait)
            return Fail(ERROR_IO_INCOMPLETE);
    }
    return AwaitSync(lock, ov, transferred);
}

BOOL CommPort::Cancel()
{
    Lock lock(mutex_);
    if (closed_)
        return Fail(ERROR_INVALID_HANDLE);
    auto self = std::this_thread::get_id();
    Abort([self](const Op& op) { return op.owner == self; }, ERROR_OPERATION_ABORTED, true, true, true);
    Wake();
    return TRUE;
}

// ---- Transfers -------------------------------------------------------------

BOOL CommPort::Read(void* buffer, DWORD toRead, DWORD* read, OVERLAPPED* ov)
{
    OVERLAPPED local{};
    OVERLAPPED* const record = ov ? ov : &local;
    Lock lock(mutex_);
    if (closed_)
        return Fail(ERROR_INVALID_HANDLE);
    if (toRead > 0 && !buffer)
        return Fail(ERROR_INVALID_PARAMETER);
    if (read)
        *read = 0;
    // What the queue holds already comes first anyway; the device is asked
    // only when the queue cannot fill the request. Input left in the device
    // for a watching caller is taken only as far as the request needs: more
    // would sit in the queue, where the caller's watch cannot see it.
    if (queue_.Size() < toRead && LeavesInputInDevice())
        PumpInput(toRead - queue_.Size(), false);
    else if (queue_.Size() < toRead)
        PumpInput();
    if (AbortedByError())
        return Fail(ERROR_OPERATION_ABORTED);

    const COMMTIMEOUTS& t = timeouts_;
    const bool immediate = t.ReadIntervalTimeout == INFINITE && t.ReadTotalTimeoutMultiplier == 0 &&
                           t.ReadTotalTimeoutConstant == 0;
    const bool returnOnAny = t.ReadIntervalTimeout == INFINITE && t.ReadTotalTimeoutMultiplier == INFINITE &&
                             t.ReadTotalTimeoutConstant > 0 && t.ReadTotalTimeoutConstant < INFINITE;
    // A read that the queue completes at once goes straight into the buffer.
    const size_t ready = reads_.empty() ? std::min<size_t>(queue_.Size(), toRead) : 0;
    if (reads_.empty() && (ready == toRead || immediate || (returnOnAny && ready > 0))) {
        TakeFromQueue(static_cast<BYTE*>(buffer), ready);
        Complete(record, 0, DWORD(ready), EventOf(record).get());
        if (read)
            *read = DWORD(ready);
        return TRUE;
    }
    ReadOp op{Start(record, EventOf(record)), static_cast<BYTE*>(buffer), toRead, {}, 0, Clock::now(), returnOnAny};
    if (op.returnOnAny)
        op.timeout = Timeout(t.ReadTotalTimeoutConstant);
    else if (!immediate)
        op.timeout = Timeout(uint64_t(t.ReadTotalTimeoutMultiplier) * toRead + t.ReadTotalTimeoutConstant);
    if (t.ReadIntervalTimeout != INFINITE)
        op.interval = t.ReadIntervalTimeout;

    // Taking from a full queue lets in the bytes that wait in the device;
    // they are this read's too, as no later arrival would feed it them.
    while (reads_.empty() && op.got.size() < toRead && queue_.Size() > 0) {
        const size_t have = op.got.size();
        const size_t take = std::min<size_t>(queue_.Size(), toRead - have);
        op.got.resize(have + take);
        TakeFromQueue(op.got.data() + have, take);
        if (LeavesInputInDevice() && queue_.Size() == 0 && op.got.size() < toRead)
            PumpInput(toRead - op.got.size(), false);
    }
    const bool done = op.got.size() == toRead || immediate || (op.returnOnAny && !op.got.empty());
    if (done || dead_) {
        if (!done && op.got.empty()) {
            Complete(op.ov, dead_, 0, op.event.get());
            return Fail(dead_);
        }
        CompleteRead(op, 0);
        if (read)
            *read = DWORD(op.got.size());
        return TRUE;
    }
    reads_.push_back(std::move(op));
    ArmFronts();
    Wake();
    if (!ov)
        return AwaitSync(lock, &local, read);
    return Fail(ERROR_IO_PENDING);
}

void CommPort::TakeFromQueue(BYTE* to, size_t count)
{
    const bool wasFull = queue_.Room() == 0;
    queue_.Pop(to, count);
    countedLeft_ -= std::min<DWORD>(countedLeft_, DWORD(count));
    RearmRx80();
    // The worker leaves the device out of its poll while the queue is full.
    // Room made then is filled at once from what waits in the kernel, which
    // signals the next event without a round through the worker; if room is
    // left, the worker must bring the device back, or a pending wait would
    // never see the bytes still to come.
    if (count > 0 && wasFull && !LeavesInputInDevice()) {
        PumpInput();
        if (queue_.Room() > 0)
            Wake();
    }
}

[[gnu::hot]] BOOL CommPort::Write(const void* data, DWORD toWrite, DWORD* written, OVERLAPPED* ov)
{
    OVERLAPPED local{};
    Lock lock(mutex_);
    if (closed_)
        return Fail(ERROR_INVALID_HANDLE);
    if (toWrite > 0 && !data)
        return Fail(ERROR_INVALID_PARAMETER);
    if (written)
        *written = 0;
    if (dead_)
        return Fail(dead_);
    if (AbortedByError())
        return Fail(ERROR_OPERATION_ABORTED);

    const BYTE* bytes = static_cast<const BYTE*>(data);
    OVERLAPPED* const record = ov ? ov : &local;
    const auto event = EventOf(record);
    if (toWrite == 0) {
        Complete(record, 0, 0, event.get());
        return TRUE;
    }
    if (ManualRts() && writes_.empty())
        device_->Escape(SETRTS);
    // With nothing queued before it the device gets the bytes at once; what
    // it leaves is copied: the caller's buffer is never read after the call.
    // Output that nobody waits to see drain needs no bookkeeping and no
    // worker. That is decided before the write, so that the answer to a
    // device returns right after the device took it.
    const bool unwatched = writes_.empty() && !drainAt_ && !DrainWatched();
    const long taken = writes_.empty() ? device_->Write(bytes, toWrite) : 0;
    if (unwatched && DWORD(taken) == toWrite) {
        txActive_ = false;
        outputInDevice_ = true;
        Complete(record, 0, toWrite, event.get());
        if (written)
            *written = toWrite;
        return TRUE;
    }
    if (taken > 0)
        txActive_ = outputInDevice_ = true;
    if (taken < 0) {
        HangUp();
        Complete(record, dead_, 0, event.get());
    } else if (DWORD(taken) == toWrite) {
        Complete(record, 0, toWrite, event.get());
    } else {
        WriteOp op{Start(record, event), std::vector<BYTE>(bytes, bytes + toWrite), size_t(taken)};
        op.timeout = Timeout(uint64_t(timeouts_.WriteTotalTimeoutMultiplier) * toWrite +
                             timeouts_.WriteTotalTimeoutConstant);
        writes_.push_back(std::move(op));
        PumpOutput();
    }
    const auto drainBefore = drainAt_;
    CheckDrain();
    // The worker is needed for output the device did not take at once, or
    // for a new drain deadline; otherwise its sleep is left alone.
    if (!writes_.empty() || drainAt_ != drainBefore)
        Wake();
    DWORD status = Status(record).load(std::memory_order_acquire);
    if (status != kPending) {
        if (written)
            *written = Count(record).load(std::memory_order_relaxed);
        return status == 0 ? TRUE : Fail(status);
    }
    if (!ov)
        return AwaitSync(lock, &local, written);
    return Fail(ERROR_IO_PENDING);
}

BOOL CommPort::WaitEvent(DWORD* mask, OVERLAPPED* ov)
{
    OVERLAPPED local{};
    OVERLAPPED* const record = ov ? ov : &local;
    Lock lock(mutex_);
    if (closed_)
        return Fail(ERROR_INVALID_HANDLE);
    if (!mask || mask_ == 0 || wait_)
        return Fail(ERROR_INVALID_PARAMETER);
    *mask = 0;
    // Bytes still in the device are seen by the poll that follows at once.
    if (history_) {
        *mask = history_;
        history_ = 0;
        Complete(record, 0, 0, EventOf(record).get());
        return TRUE;
    }
    if (dead_)
        return Fail(dead_);
    wait_ = WaitOp{Start(record, EventOf(record)), mask};
    // A caller that waits for the event polls the device meanwhile; for any
    // other the worker does.
    if (wait_->event)
        BecomeSourceOf(wait_->event);
    else
        EnsurePoller();
    if (!ov)
        return AwaitSync(lock, &local, nullptr);
    return Fail(ERROR_IO_PENDING);
}

// ---- Settings and status ---------------------------------------------------

BOOL CommPort::SetupComm(DWORD inQueue, DWORD outQueue)
{
    Lock lock(mutex_);
    if (closed_)
        return Fail(ERROR_INVALID_HANDLE);
    if (inQueue == 0 || outQueue == 0)
        return Fail(ERROR_INVALID_PARAMETER);
    // The queue is allocated and zero-filled at once: a size near 4 GiB would
    // take the memory of the whole machine or throw. Refused, the queue keeps
    // its size and the bytes it holds.
    if (inQueue > kLargestInQueue)
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    try {
        queue_.Resize(inQueue);
    } catch (const std::bad_alloc&) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    outQueueSize_ = outQueue;
    RearmRx80();
    Wake();
    return TRUE;
}

BOOL CommPort::SetState(const DCB& dcb)
{
    Lock lock(mutex_);
    if (closed_)
        return Fail(ERROR_INVALID_HANDLE);
    if (dead_)
        return Fail(dead_);
    if (DWORD error = device_->Configure(dcb))
        return Fail(error);
    dcb_ = dcb;
    dcb_.DCBlength = sizeof(DCB);
    WatchDrain();
    if (ManualRts() && writes_.empty() && !txActive_)
        device_->Escape(CLRRTS);
    return TRUE;
}

BOOL CommPort::GetState(DCB& dcb)
{
    Lock lock(mutex_);
    if (closed_)
        return Fail(ERROR_INVALID_HANDLE);
    if (!dead_)
        device_->ReadState(dcb_);
    dcb = dcb_;
    return TRUE;
}

BOOL CommPort::SetTimeouts(const COMMTIMEOUTS& timeouts)
{
    Lock lock(mutex_);
    if (closed_)
        return Fail(ERROR_INVALID_HANDLE);
    if (timeouts.ReadIntervalTimeout == INFINITE && timeouts.ReadTotalTimeoutMultiplier == INFINITE &&
        timeouts.ReadTotalTimeoutConstant == INFINITE)
        return Fail(ERROR_INVALID_PARAMETER);
    timeouts_ = timeouts;
    return TRUE;
}

BOOL CommPort::GetTimeouts(COMMTIMEOUTS& timeouts)
{
    Lock lock(mutex_);
    if (closed_)
        return Fail(ERROR_INVALID_HANDLE);
    timeouts = timeouts_;
    return TRUE;
}

BOOL CommPort::SetMask(DWORD mask)
{
    Lock lock(mutex_);
    if (closed_)
        return Fail(ERROR_INVALID_HANDLE);
    // Unknown bits are refused, and the mask and a pending wait stay as they are.
    constexpr DWORD kKnown = 2 * EV_EVENT2 - 1; // EV_RXCHAR to EV_EVENT2
    if (mask & ~kKnown)
        return Fail(ERROR_INVALID_PARAMETER);
    constexpr DWORD kModem = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
    if ((mask & kModem) && !(mask_ & kModem)) {
        DWORD status = 0;
        if (device_->ModemStatus(status))
            modem_ = status;
    }
    mask_ = mask;
    history_ &= mask;
    if (wait_)
        CompleteWait(0, 0);
    if (!dead_)
        device_->WatchModem((mask & kModem) != 0);
    UpdateLinePolling();
    WatchDrain();
    Wake();
    return TRUE;
}

BOOL CommPort::GetMask(DWORD& mask)
{
    Lock lock(mutex_);
    if (closed_)
        return Fail(ERROR_INVALID_HANDLE);
    mask = mask_;
    return TRUE;
}

BOOL CommPort::ClearError(DWORD* errors, COMSTAT* stat, bool withOutput)
{
    Lock lock(mutex_);
    if (closed_)
        return Fail(ERROR_INVALID_HANDLE);
    return ClearErrorLocked(errors, stat, withOutput);
}

BOOL CommPort::ClearErrorLocked(DWORD* errors, COMSTAT* stat, bool withOutput)
{
    // A thread that polls the device brings its bytes in as they come; the
    // queue counts them then, as a driver's queue counts what its interrupt
    // took. Only when nobody polls are they fetched here.
    if (devicePollers_ == 0 && !LeavesInputInDevice())
        PumpInput();
    if (!dead_)
        CheckLines();
    // Input left in the device for a watching caller fills the queue as far
    // as EV_RX80FULL goes: it is what a read would find there. Bytes that
    // the caller took into the queue are counted alone: what came after them
    // still shows to its watch.
    const DWORD inDevice = LeavesInputInDevice() && queue_.Size() == 0 ? DeviceInQueue() : 0;
    if (inDevice > 0 && rx80Armed_ && (queue_.Size() + inDevice) * 10 >= queue_.Capacity() * 8) {
        rx80Armed_ = false;
        Signal(EV_RX80FULL);
    }
    return ReportLocked(errors, stat, withOutput, inDevice);
}

[[gnu::hot]] BOOL CommPort::ReportLocked(DWORD* errors, COMSTAT* stat, bool withOutput, DWORD more)
{
    // After a hang-up the call still tells the errors and the bytes that
    // came before, as reads still deliver those bytes; then it fails like
    // every call that needs the device.
    if (dead_ && errors_ == 0 && queue_.Size() + more == 0)
        return Fail(dead_);
    if (errors)
        *errors = errors_;
    errors_ = 0;
    if (stat) {
        std::memset(stat, 0, sizeof *stat);
        // Output held by CTS needs output waiting; the line is asked only
        // then, not for every received piece.
        DWORD status = 0;
        if ((dcb_.fOutxCtsFlow || dcb_.fRtsControl == RTS_CONTROL_HANDSHAKE) && !dead_ && !writes_.empty() &&
            device_->ModemStatus(status) && !(status & MS_CTS_ON))
            stat->fCtsHold = 1;
        stat->cbInQue = DWORD(queue_.Size()) + more;
        if (inputWatched_)
            countedLeft_ = stat->cbInQue;
        if (!withOutput)
            return TRUE;
        size_t pending = 0;
        for (const auto& op : writes_)
            pending += op.data.size() - op.done;
        stat->cbOutQue = DWORD(pending) + (dead_ ? 0 : DeviceOutQueue());
    }
    return TRUE;
}

BOOL CommPort::AddInputToEpoll(int epollFd)
{
    Lock lock(mutex_);
    if (closed_)
        return Fail(ERROR_INVALID_HANDLE);
    if (dead_)
        return Fail(dead_);
    // Under the lock: the port cannot close, and its descriptor cannot be
    // reused, between looking it up and registering it.
    epoll_event ev{};
    ev.events = EPOLLIN;
    if (::epoll_ctl(epollFd, EPOLL_CTL_ADD, device_->PollFd(), &ev) != 0)
        return Fail(errno == EBADF || errno == EINVAL ? ERROR_INVALID_PARAMETER : ERROR_NOT_ENOUGH_MEMORY);
    return TRUE;
}

int CommPort::OpenInputWatch(void (*letGo)())
{
    Lock lock(mutex_);
    if (closed_)
        return (Fail(ERROR_INVALID_HANDLE), -1);
    if (dead_)
        return (Fail(dead_), -1);
    const int fd = detail::OpenInputWatch(this, device_->PollFd(), letGo);
    if (fd < 0)
        Fail(errno == EMFILE || errno == ENFILE ? ERROR_TOO_MANY_OPEN_FILES : ERROR_NOT_ENOUGH_MEMORY);
    return fd;
}

BOOL CommPort::SetInputWatched(bool watched)
{
    Lock lock(mutex_);
    if (closed_)
        return Fail(ERROR_INVALID_HANDLE);
    if (inputWatched_ == watched)
        return TRUE;
    inputWatched_ = watched;
    // What the device holds comes into the queue now, as it would have come
    // without the watch; an event tells of it unless the caller's last count
    // told of all of it.
    if (!watched) {
        PumpInput(SIZE_MAX, false);
        if (queue_.Size() > countedLeft_)
            Signal(EV_RXCHAR);
    }
    countedLeft_ = 0;
    // The poller takes the device's input into or out of its poll. Bytes it
    // takes in before it sees the change are announced as ever.
    Wake();
    return TRUE;
}

BOOL CommPort::TakeInput(DWORD* errors, COMSTAT* stat)
{
    Lock lock(mutex_);
    if (closed_)
        return Fail(ERROR_INVALID_HANDLE);
    return TakeInputLocked(errors, stat);
}

BOOL CommPort::TakeInputLocked(DWORD* errors, COMSTAT* stat)
{
    if (LeavesInputInDevice())
        PumpInput(SIZE_MAX, false);
    return errors || stat ? ClearErrorLocked(errors, stat, false) : TRUE;
}

// Marked hot, as is the rest of what every received piece and every write
// runs: grouped together, a wake-up after a long sleep touches few pages of
// code.
//
// ClearErrorLocked, then, without an error, a read of what it counted that
// completes at once. Bytes that wait in the device go straight into the
// buffer; those that came with a line error go into the queue instead, where
// a read finds them once the caller has seen the error.
[[gnu::hot]] BOOL CommPort::ReadInput(BYTE* buffer, DWORD size, DWORD* read, DWORD* errors, COMSTAT* stat)
{
    Lock lock(mutex_);
    if (closed_)
        return Fail(ERROR_INVALID_HANDLE);
    if ((size > 0 && !buffer) || !read || !errors || !stat)
        return Fail(ERROR_INVALID_PARAMETER);
    *read = 0;
    if (LeavesInputInDevice() && queue_.Size() == 0 && reads_.empty()) {
        const size_t got = ReadDevice(buffer, std::min<size_t>(size, queue_.Capacity()));
        CheckErrorsOfInput();
        if (errors_ != 0) {
            queue_.Push(buffer, got);
            return ReportLocked(errors, stat, false, 0);
        }
        const BOOL ok = ReportLocked(errors, stat, false, DWORD(got));
        countedLeft_ = 0;
        *read = DWORD(got);
        return ok;
    }
    if (!TakeInputLocked(errors, stat))
        return FALSE;
    if (*errors != 0 || !reads_.empty())
        return TRUE;
    const size_t take = std::min<size_t>(queue_.Size(), size);
    TakeFromQueue(buffer, take);
    *read = DWORD(take);
    return TRUE;
}

DWORD CommPort::DeviceInQueue() const
{
    int count = 0;
    if (dead_ || ::ioctl(device_->PollFd(), FIONREAD, &count) != 0 || count < 0)
        return 0;
    return DWORD(count);
}

BOOL CommPort::Purge(DWORD flags)
{
    Lock lock(mutex_);
    if (closed_)
        return Fail(ERROR_INVALID_HANDLE);
    if (flags == 0 || (flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)))
        return Fail(ERROR_INVALID_PARAMETER);
    auto all = [](const Op&) { return true; };
    Abort(all, ERROR_OPERATION_ABORTED, flags & PURGE_RXABORT, flags & PURGE_TXABORT, false);
    if (!dead_ && (flags & (PURGE_TXCLEAR | PURGE_RXCLEAR)))
        device_->Flush(flags & PURGE_RXCLEAR, flags & PURGE_TXCLEAR);
    if (flags & PURGE_RXCLEAR) {
        queue_.Clear();
        countedLeft_ = 0;
        RearmRx80();
    }
    CheckDrain(Clock::now());
    Wake();
    return TRUE;
}

BOOL CommPort::Escape(DWORD function)
{
    Lock lock(mutex_);
    if (closed_)
        return Fail(ERROR_INVALID_HANDLE);
    if (function < SETXOFF || function > CLRBREAK || function == 7)
        return Fail(ERROR_INVALID_PARAMETER);
    if (dead_)
        return Fail(dead_);
    if (DWORD error = device_->Escape(function))
        return Fail(error);
    return TRUE;
}

BOOL CommPort::ModemStatus(DWORD* status)
{
    Lock lock(mutex_);
    if (closed_)
        return Fail(ERROR_INVALID_HANDLE);
    if (!status)
        return Fail(ERROR_INVALID_PARAMETER);
    if (dead_)
        return Fail(dead_);
    if (!device_->ModemStatus(*status))
        return Fail(ERROR_NOT_SUPPORTED);
    return TRUE;
}

} // namespace vxport::detail
