#pragma once
// A lock for state that is held a few dozen instructions at a time and taken
// on every received piece: taking and leaving it is one atomic exchange and
// one store, against a mutex's two locked operations and its calls into the
// thread library. A thread that finds it taken spins briefly, then yields, so
// a holder that lost its processor gets it back. Never hold it across a call
// that may block or run user code.
#include <atomic>
#include <thread>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

class TSpinLock {
public:
    void lock() noexcept
    {
        int tries = 0;
        while (taken_.exchange(true, std::memory_order_acquire))
            while (taken_.load(std::memory_order_relaxed))
                if (++tries < kSpins)
                    Pause();
                else
                    std::this_thread::yield();
    }
    bool try_lock() noexcept
    {
        return !taken_.load(std::memory_order_relaxed) && !taken_.exchange(true, std::memory_order_acquire);
    }
    void unlock() noexcept { taken_.store(false, std::memory_order_release); }

private:
    static constexpr int kSpins = 64;
    static void Pause() noexcept
    {
#if defined(__x86_64__) || defined(__i386__)
        _mm_pause();
#endif
    }

    std::atomic<bool> taken_{false};
};
