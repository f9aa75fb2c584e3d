#pragma once
// Win32 events: auto- or manual-reset, set, reset, pulse and wait.
#include "handles.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace vxport::detail {

class Event : public HandleObject {
public:
    Event(bool manualReset, bool initialState) : manualReset_(manualReset), signalled_(initialState) {}
    void Set();
    void Reset();
    void Pulse();
    // WAIT_OBJECT_0 or WAIT_TIMEOUT.
    DWORD Wait(DWORD milliseconds);

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    const bool manualReset_;
    bool signalled_;
    int waiters_ = 0;
    uint64_t pulses_ = 0; // manual-reset pulses release every waiter of that moment
};

std::shared_ptr<Event> LookupEvent(HANDLE handle);

} // namespace vxport::detail
