#pragma once
// The worker thread of an I/O component: it runs the component's
// ThreadExecute once. The component stops it with Terminate and WaitFor, and
// releases it afterwards; the thread never outlives its object.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

class TvxBaseIO;

class TvxThreadIO {
public:
    // Starts the thread at once.
    explicit TvxThreadIO(TvxBaseIO* IO);
    // Terminates and waits when the thread is still running.
    ~TvxThreadIO();
    TvxThreadIO(const TvxThreadIO&) = delete;
    TvxThreadIO& operator=(const TvxThreadIO&) = delete;

    TvxBaseIO* IO() const { return io_; }

    // The terminate request; ThreadExecute returns once it is set.
    void Terminate();
    bool Terminated() const { return terminated_.load(std::memory_order_acquire); }
    // Sleeps up to `milliseconds`, waking early on Terminate. True when terminated.
    bool WaitTerminated(uint32_t milliseconds);
    // Waits until the thread has ended. Called on the thread itself it returns at once.
    void WaitFor();
    bool IsCurrent() const { return std::this_thread::get_id() == id_.load(std::memory_order_acquire); }

private:
    void Run();

    TvxBaseIO* io_;
    std::atomic<bool> terminated_{false};
    std::mutex mutex_;
    std::condition_variable wake_;
    // Set by the thread itself, so that it knows itself from its first step.
    std::atomic<std::thread::id> id_{};
    std::thread thread_;
};
