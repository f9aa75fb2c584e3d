#include "SpinLock.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

// More threads than processors: holders lose their processor while others
// wait, which the lock must outlast without losing an update.
TEST(SpinLock, ExcludesEveryOtherHolderAndOutlastsPreemption)
{
    TSpinLock lock;
    long counter = 0; // plain: only the lock keeps the updates whole
    constexpr int kThreads = 6;
    constexpr int kRounds = 20000;
    std::vector<std::thread> threads;
    threads.reserve(kThreads);
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                std::lock_guard guard(lock);
                const long seen = counter;
                std::this_thread::yield();
                counter = seen + 1;
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, long(kThreads) * kRounds);

    ASSERT_TRUE(lock.try_lock());
    std::thread other([&] { EXPECT_FALSE(lock.try_lock()); });
    other.join();
    lock.unlock();
    EXPECT_TRUE(lock.try_lock());
    lock.unlock();
}
