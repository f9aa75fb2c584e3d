#include "events.h"

#include "commport.h"

#include <chrono>
#include <thread>

namespace vxport::detail {

[[gnu::hot]] void Event::Set()
{
    // A port sets its events for every transfer. Set again while still set,
    // the event changes nothing and has nobody to wake: a waiter or poller
    // that was there when it became set was woken then, and one that came
    // later found it set.
    if (signalled_.load(std::memory_order_acquire))
        return;
    std::lock_guard lock(mutex_);
    signalled_ = true;
    // Waiters count themselves under the lock.
    if (waiters_ > 0) {
        if (manualReset_)
            changed_.notify_all();
        else
            changed_.notify_one();
    }
    WakePoller();
}

void Event::Reset()
{
    std::lock_guard lock(mutex_);
    signalled_ = false;
}

void Event::Pulse()
{
    std::lock_guard lock(mutex_);
    if (manualReset_) {
        ++pulses_;
        signalled_ = false;
        changed_.notify_all();
    } else if (waiters_ + pollers_ > 0) {
        signalled_ = true; // the one waiter that takes it resets it
        changed_.notify_one();
    } else {
        signalled_ = false;
    }
    WakePoller();
}

// Under the lock: the source stays open while it is set.
void Event::WakePoller()
{
    if (CommPort* port = source_.load(); pollers_ > 0 && port)
        port->Wake();
}

// A port's every wait names its event again: only a change takes the lock.
void Event::SetSource(CommPort* port)
{
    if (source_.load() == port)
        return;
    std::lock_guard lock(mutex_);
    source_.store(port);
}

void Event::ClearSource(const CommPort* port)
{
    std::lock_guard lock(mutex_);
    if (source_.load() == port)
        source_.store(nullptr);
}

bool Event::AddPoller(bool take)
{
    std::lock_guard lock(mutex_);
    if (pollers_++ == 0)
        pollerPulses_ = pulses_;
    if (!take || !Take())
        return false;
    --pollers_;
    return true;
}

void Event::RemovePoller()
{
    std::lock_guard lock(mutex_);
    --pollers_;
}

bool Event::TryTake(bool leave)
{
    std::lock_guard lock(mutex_);
    const bool taken = Take();
    if (taken && leave)
        --pollers_;
    return taken;
}

// Under the lock.
bool Event::Take()
{
    if (pulses_ != pollerPulses_) {
        pollerPulses_ = pulses_;
        return true;
    }
    if (!signalled_)
        return false;
    if (!manualReset_)
        signalled_ = false;
    return true;
}

DWORD Event::Wait(DWORD milliseconds)
{
    CommPort* port = nullptr;
    {
        std::lock_guard lock(mutex_);
        if ((port = source_.load()))
            port->Visit();
    }
    return port ? port->WaitPolling(*this, milliseconds) : WaitPlain(milliseconds);
}

DWORD Event::WaitPlain(DWORD milliseconds)
{
    std::unique_lock lock(mutex_);
    const uint64_t pulsesAtStart = pulses_;
    auto ready = [&] { return signalled_ || pulses_ != pulsesAtStart; };
    ++waiters_;
    bool got;
    if (milliseconds == INFINITE) {
        changed_.wait(lock, ready);
        got = true;
    } else {
        got = changed_.wait_for(lock, std::chrono::milliseconds(milliseconds), ready);
    }
    --waiters_;
    if (!got)
        return WAIT_TIMEOUT;
    if (!manualReset_)
        signalled_ = false;
    return WAIT_OBJECT_0;
}

[[gnu::hot]] HandleRef<Event> LookupEvent(HANDLE handle)
{
    return HandleRef<Event>(handle);
}

} // namespace vxport::detail

namespace vxport {

using detail::LookupEvent;

HANDLE CreateEventA(void*, BOOL manualReset, BOOL initialState, const char*)
{
    return detail::RegisterHandle(std::make_shared<detail::Event>(manualReset != 0, initialState != 0));
}

BOOL SetEvent(HANDLE event)
{
    auto e = LookupEvent(event);
    if (!e)
        return detail::InvalidHandle();
    e->Set();
    return TRUE;
}

BOOL ResetEvent(HANDLE event)
{
    auto e = LookupEvent(event);
    if (!e)
        return detail::InvalidHandle();
    e->Reset();
    return TRUE;
}

BOOL PulseEvent(HANDLE event)
{
    auto e = LookupEvent(event);
    if (!e)
        return detail::InvalidHandle();
    e->Pulse();
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    auto e = LookupEvent(handle);
    if (!e) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return e->Wait(milliseconds);
}

void Sleep(DWORD milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

DWORD GetTickCount()
{
    using namespace std::chrono;
    return DWORD(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

namespace {
thread_local DWORD lastError = 0;
}

DWORD GetLastError()
{
    return lastError;
}

void SetLastError(DWORD code)
{
    lastError = code;
}

} // namespace vxport
