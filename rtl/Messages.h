#pragma once
// Registered message identifiers and per-thread message queues: the way the
// serial component's worker threads hand port events to each other.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

// A message record as a thread's queue delivers it.
struct TMsg {
    void* hwnd = nullptr;
    uint32_t message = 0;
    uintptr_t wParam = 0;
    intptr_t lParam = 0;
    uint32_t time = 0;
    struct {
        int32_t x = 0, y = 0;
    } pt;
};

// The process-wide identifier of a message name, in 0xC000..0xFFFF; the same
// name (compared without regard to letter case) always gives the same value.
// 0 when the range is exhausted or the name is empty.
uint32_t RegisterWindowMessageA(const char* name);

// The message queue of one thread. Posting fails until the owner has created
// it (Open) and after it has been closed.
class TThreadMessageQueue {
public:
    void Open();
    void Close();
    bool Post(uint32_t message, uintptr_t wParam, intptr_t lParam);
    // Waits for the next message whose number lies in [min, max] (0, 0 takes
    // any). False once the queue has been closed and is empty.
    bool Get(TMsg& msg, uint32_t min = 0, uint32_t max = 0);

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<TMsg> messages_;
    bool open_ = false;
};
