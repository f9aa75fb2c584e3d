#pragma once
// Win32 events: auto- or manual-reset, set, reset, pulse and wait.
#include "handles.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace vxport::detail {

class CommPort;

class Event final : public HandleObject {
public:
    static constexpr Kind kHandleKind = Kind::event;
    Event(bool manualReset, bool initialState)
        : HandleObject(kHandleKind), manualReset_(manualReset), signalled_(initialState)
    {
    }
    void Set();
    void Reset();
    void Pulse();
    // WAIT_OBJECT_0 or WAIT_TIMEOUT. When a port's transfer sets the event,
    // the waiting thread polls that port's device meanwhile.
    DWORD Wait(DWORD milliseconds);
    DWORD WaitPlain(DWORD milliseconds);

    // The port whose pending wait sets this event; the port clears itself
    // when it closes.
    void SetSource(CommPort* port);
    void ClearSource(const CommPort* port);
    // A thread that polls the source port while it waits counts as a waiter;
    // it takes the signal with TryTake, and Set wakes it through the port.
    // Joining tries a first take and a take that succeeds leaves, each in the
    // same turn of the lock: the usual wait takes it four times otherwise.
    bool AddPoller(bool take);
    void RemovePoller();
    bool TryTake(bool leave);

private:
    void WakePoller();
    bool Take();

    std::mutex mutex_;
    std::condition_variable changed_;
    const bool manualReset_;
    // Changed under the lock; read without it only by Set, to skip a set
    // that would change nothing.
    std::atomic<bool> signalled_;
    int waiters_ = 0;
    uint64_t pulses_ = 0; // manual-reset pulses release every waiter of that moment
    // Changed under the lock; read without it only to skip a change to the
    // same port.
    std::atomic<CommPort*> source_{nullptr};
    int pollers_ = 0;
    uint64_t pollerPulses_ = 0; // pulses_ when the poller came
};

HandleRef<Event> LookupEvent(HANDLE handle);

} // namespace vxport::detail
